#include "net/WSocketSocks.h"

TCustomSocksWSocket::TCustomSocksWSocket() = default;
TCustomSocksWSocket::~TCustomSocksWSocket() = default;
