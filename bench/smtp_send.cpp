// Sends one message through TSmtpCli and exits: 0 when the server accepted it, 1 otherwise.
//   bench_smtp_send HOST PORT [ATTACHMENT]
// The SMTP attachment benchmark (bench/smtp_attachment.sh) times this program against curl
// and a plain send() loop.
#include <cstdio>
#include <cstring>

#include "platform/EventLoop.h"
#include "smtp/SmtpProt.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s HOST PORT [ATTACHMENT]\n", argv[0]);
    return 2;
  }
  TSmtpCli client;
  client.SetHost(argv[1]);
  client.SetPort(argv[2]);
  client.SetFromName("bench@tarvik.example");
  client.SetHdrFrom("Bench <bench@tarvik.example>");
  client.SetHdrTo("sink@tarvik.example");
  client.SetHdrSubject("attachment benchmark");
  client.RcptName().Add("sink@tarvik.example");
  client.MailMessage().Add("The attachment follows.");
  if (argc > 3) client.SetEmailFiles({argv[3]});
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
