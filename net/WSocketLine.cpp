#include "net/WSocketLine.h"

TCustomLineWSocket::TCustomLineWSocket() = default;
TCustomLineWSocket::~TCustomLineWSocket() = default;
