// Fuzzes the reply assembly of the SMTP client: arbitrary server bytes, split at arbitrary
// points, arrive while a request waits (the greeting, a command, recipients, DATA and its body,
// the Mail sequence). Every request started must end exactly once.
//
// Input: a sequence of records. Record byte 0 picks an action: start a request (when none is
// open), abort, or deliver bytes; for deliveries byte 1 is the length of the chunk that follows.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "fuzz/smtp_fuzz_client.h"

namespace {

class FuzzClient : public TFuzzSmtpClient {
 public:
  FuzzClient() {
    SetFromName("a@b.example");
    SetRcptName({"one@x.example", "<two@x.example>", "three@x.example"});
    OnGetData = [](TCustomSmtpClient*, int LineNum, char* Line, int, bool& More) {
      if (LineNum > 3) {
        More = false;
        return;
      }
      std::strcpy(Line, LineNum == 2 ? "." : "body");
    };
  }

  // Starts a request of the kind Selector picks; false when it refused to start.
  bool Start(std::uint8_t Selector) {
    if (FState != TSmtpState::smtpReady) return false;
    FConnected = true;
    try {
      switch (Selector % 7) {
        case 0:
          FRequestDoneFlag = false;
          FRequestType = TSmtpRequest::smtpConnect;
          StateChange(TSmtpState::smtpWaitingBanner);
          break;
        case 1:
          SetSignOn("fuzz.example");
          Helo();
          break;
        case 2:
          RcptTo();
          break;
        case 3:
          Data();
          break;
        case 4:
          Mail();
          break;
        case 5:
          Quit();
          break;
        case 6:
          Rset();
          break;
      }
    } catch (const SmtpException&) {
      return false;
    }
    return true;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  long started = 0, done = 0;
  {
    FuzzClient client;
    client.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest, std::uint16_t) {
      if (++done > started) {
        std::fprintf(stderr, "request ended twice\n");
        std::abort();
      }
    };
    std::size_t i = 0;
    while (i < Size) {
      const std::uint8_t action = Data[i++];
      if (action < 0x20) {
        if (!client.RequestOpen() && client.Start(action)) ++started;
      } else if (action < 0x24) {
        client.Abort();
        client.SessionClosed();
      } else {
        const std::size_t len = i < Size ? Data[i++] : 0;
        const std::size_t n = std::min(len, Size - i);
        client.Feed(std::string_view(reinterpret_cast<const char*>(Data + i), n));
        i += n;
      }
      EventLoop::Current().ProcessMessages();
    }
    client.SessionClosed();
    EventLoop::Current().ProcessMessages();
  }
  if (done != started) {
    std::fprintf(stderr, "%ld requests started, %ld ended\n", started, done);
    std::abort();
  }
  return 0;
}
