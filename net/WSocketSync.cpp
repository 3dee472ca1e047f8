#include "net/WSocketSync.h"

TCustomSyncWSocket::TCustomSyncWSocket() = default;
TCustomSyncWSocket::~TCustomSyncWSocket() = default;
