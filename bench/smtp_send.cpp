// Sends one message through TSmtpCli and exits: 0 when the server accepted it, 1 otherwise.
//   bench_smtp_send HOST PORT [ATTACHMENT] [--smtps CAFILE]
// With --smtps the session is TLS from the first byte (the client's implicit TLS, the server's
// certificate checked against CAFILE and HOST), and the TLS records written are reported on
// standard error: "tls: R records, B bytes of text, average A bytes per record".
// The SMTP attachment benchmark (bench/smtp_attachment.sh) times this program against curl
// and plain send() loops.
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/EventLoop.h"
#include "smtp/SmtpProt.h"

namespace {

// The client, with a look at its socket's TLS records.
class BenchClient : public TSmtpCli {
 public:
  void ReportRecords() const {
    const auto records = FWSocket->TlsRecordsSent();
    const auto bytes = FWSocket->TlsPlainBytesSent();
    std::fprintf(stderr, "tls: %llu records, %llu bytes of text, average %.0f bytes per record\n",
                 static_cast<unsigned long long>(records), static_cast<unsigned long long>(bytes),
                 records ? static_cast<double>(bytes) / static_cast<double>(records) : 0.0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HOST PORT [ATTACHMENT] [--smtps CAFILE]\n", argv[0]);
    return 2;
  }
  BenchClient client;
  client.SetHost(argv[1]);
  client.SetPort(argv[2]);
  client.SetFromName("bench@tarvik.example");
  client.SetHdrFrom("Bench <bench@tarvik.example>");
  client.SetHdrTo("sink@tarvik.example");
  client.SetHdrSubject("attachment benchmark");
  client.RcptName().Add("sink@tarvik.example");
  client.MailMessage().Add("The attachment follows.");
  bool tls = false;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--smtps") == 0 && i + 1 < argc) {
      client.SetTlsMode(TSmtpTlsMode::smtpTlsImplicit);
      client.SetCaFile(argv[++i]);
      tls = true;
    } else {
      client.SetEmailFiles({argv[i]});
    }
  }
  int exitCode = 1;
  EventLoop& loop = EventLoop::Current();
  client.OnRequestDone = [&](TCustomSmtpClient* c, TSmtpRequest r, std::uint16_t e) {
    if (e != 0) {
      std::fprintf(stderr, "failed: %s\n", c->ErrorMessage().c_str());
      loop.Quit();
      return;
    }
    switch (r) {
      case TSmtpRequest::smtpOpen:
        c->MailFrom();
        break;
      case TSmtpRequest::smtpMailFrom:
        c->RcptTo();
        break;
      case TSmtpRequest::smtpRcptTo:
        c->Data();
        break;
      case TSmtpRequest::smtpData:
        exitCode = 0;
        if (tls) client.ReportRecords();
        c->Quit();
        break;
      default:
        loop.Quit();
        break;
    }
  };
  client.Open();
  loop.Run();
  return exitCode;
}
