// TCustomLineWSocket: the line-mode layer of the socket class chain. It overrides
// HandleWindowMessage (message 0x414), RcvdCount, FireDataAvailable, FireSessionClosed and
// RecvRaw of the core; for now it passes everything through.
#pragma once

#include "net/WSocketSocks.h"

class TCustomLineWSocket : public TCustomSocksWSocket {
 public:
  TCustomLineWSocket();
  ~TCustomLineWSocket() override;
};
