// TCustomSyncWSocket: the synchronous-wait layer of the socket class chain (RunAndWait,
// WaitForFlag); for now it passes everything through.
#pragma once

#include "net/WSocketLine.h"

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  TCustomSyncWSocket();
  ~TCustomSyncWSocket() override;
};
