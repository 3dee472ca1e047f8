// The one include for users of the socket component: the Winsock binding, the error texts, the
// resolution routines and the socket class chain
// TCustomWSocket -> TCustomSocksWSocket -> TCustomTlsWSocket -> TCustomLineWSocket ->
// TCustomSyncWSocket -> TWSocket.
#pragma once

#include "net/NameService.h"
#include "net/SocketErrors.h"
#include "net/WSockbuf.h"
#include "net/WSocketCore.h"
#include "net/WSocketLine.h"
#include "net/WSocketSocks.h"
#include "net/WSocketSync.h"
#include "net/WSocketTls.h"
#include "net/Winsock.h"

// The published socket class: every layer's properties, operations and events are public
// members of the classes above, so this class adds nothing but the name applications use.
class TWSocket : public TCustomSyncWSocket {
 public:
  TWSocket();
  ~TWSocket() override;
};
