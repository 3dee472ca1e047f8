#include "net/WSocket.h"

TWSocket::TWSocket() = default;
TWSocket::~TWSocket() = default;
