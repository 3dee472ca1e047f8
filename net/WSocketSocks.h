// TCustomSocksWSocket: the SOCKS 4/4A/5 client layer of the socket class chain. It overrides
// ResetDefaults, RcvdCount, FireDataAvailable, FireSessionConnected, FireSessionClosed,
// RecvRaw, Connect and Listen of the core; for now it passes everything through.
#pragma once

#include "net/WSocketCore.h"

class TCustomSocksWSocket : public TCustomWSocket {
 public:
  TCustomSocksWSocket();
  ~TCustomSocksWSocket() override;
};
