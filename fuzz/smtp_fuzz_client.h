// TFuzzSmtpClient: the SMTP client with server bytes handed straight to its reply assembly, as
// the socket would hand them, for the fuzz targets. Its socket is never connected.
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "smtp/SmtpProt.h"

class TFuzzSmtpClient : public TCustomSmtpClient {
 public:
  TFuzzSmtpClient() {
    // Sends on the socket, which is never connected here, report instead of throwing.
    FWSocket->OnError = [](TCustomWSocket*) {};
  }

  bool RequestOpen() const { return !FRequestDoneFlag; }

  void Feed(std::string_view Bytes) {
    while (!Bytes.empty()) {
      const int room = ReceiveBufferSize - FRcvdCount - 1;
      if (room <= 0) std::abort();  // the assembly must never be left without room
      const int n = std::min<int>(room, static_cast<int>(Bytes.size()));
      std::memcpy(FReceiveBuffer + FRcvdCount, Bytes.data(), static_cast<std::size_t>(n));
      Bytes.remove_prefix(static_cast<std::size_t>(n));
      ReceivedBytes(n, 0);
    }
  }

  // What the socket would report when the connection goes away.
  void SessionClosed() { WSocketSessionClosed(FWSocket.get(), 0); }
};
