// The sendmail-compatible mode: options, the message's own header (recipients, Bcc, the lines
// added), and one SMTP session whose message lines come from the stored input.
#include "app/SendmailMode.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <string_view>

#include "app/Credentials.h"
#include "app/MessageStream.h"
#include "app/SettingKeys.h"
#include "app/Tarvik2_unit1.h"
#include "net/SocketErrors.h"
#include "net/WSocketSocks.h"
#include "net/WSocketTls.h"
#include "platform/Application.h"
#include "platform/EventLoop.h"

namespace {

// RFC 5321 4.5.3.1.6: at most 998 characters on a line, CR LF not counted.
constexpr std::size_t kMaxWireLine = 998;
// The header is held in memory while the body stays in the stored input: a bound on it.
constexpr std::size_t kMaxHeaderBytes = 1 << 20;

void Say(const std::string& text) {
  std::cerr << "sendmail: " << TerminalText(text) << '\n' << std::flush;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return EqualIgnoringAsciiCase(a, b);
}

// The options that take a value, attached ("-fann@x") or as the next argument.
bool TakesValue(char letter) {
  return std::string_view("fFrBNRVLOh").find(letter) != std::string_view::npos;
}

std::string Trimmed(std::string_view text) {
  const std::size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return "";
  return std::string(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

// ---- The message's header

struct THeaderField {
  std::string Name;
  std::string Value;  // unfolded
  int FirstLine = 0;  // its physical lines in the stored input
  int LineCount = 1;
};

struct THeader {
  std::vector<THeaderField> Fields;
  int BodyStart = 0;         // first body line in the stored input
  bool HasSeparator = true;  // an empty line ends the header (skipped when sending)
  std::string Problem;
};

bool IsFieldStart(const std::string& line, std::string& name) {
  const std::size_t colon = line.find(':');
  if (colon == 0 || colon == std::string::npos) return false;
  for (std::size_t i = 0; i < colon; ++i)
    if (line[i] <= ' ' || line[i] >= 127) return false;
  name = line.substr(0, colon);
  return true;
}

THeader ReadHeader(const TMessageStream& text) {
  THeader header;
  std::size_t bytes = 0;
  int index = 0;
  for (;; ++index) {
    const std::string* line = text.Line(index);
    if (!line) {
      header.HasSeparator = false;
      break;
    }
    if (line->empty()) break;
    bytes += line->size() + 2;
    if (bytes > kMaxHeaderBytes) {
      header.Problem = "The message's header is longer than 1 MB.";
      return header;
    }
    std::string name;
    if ((line->front() == ' ' || line->front() == '\t') && !header.Fields.empty()) {
      header.Fields.back().Value += *line;
      ++header.Fields.back().LineCount;
    } else if (IsFieldStart(*line, name)) {
      header.Fields.push_back({name, line->substr(name.size() + 1), index, 1});
    } else {
      header.HasSeparator = false;  // the body begins without an empty line before it
      break;
    }
  }
  header.BodyStart = index + (header.HasSeparator ? 1 : 0);
  return header;
}

const THeaderField* FindField(const THeader& header, std::string_view name) {
  for (const THeaderField& field : header.Fields)
    if (EqualsIgnoringCase(field.Name, name)) return &field;
  return nullptr;
}

bool IsBccField(const THeaderField& field) {
  return EqualsIgnoringCase(field.Name, "Bcc") || EqualsIgnoringCase(field.Name, "Resent-Bcc");
}

// ---- The send

struct TSendmailRun {
  std::unique_ptr<TMessageStream> Text;
  THeader Header;
  std::vector<std::string> HeaderLines;  // as sent, without the empty line that follows
  int ExitCode = -1;                     // chosen once the outcome is known
  bool Quitting = false;                 // QUIT is under way; the run ends with its end
  TPasswordRequest Password;             // asked when AUTH is next, never on a terminal
  bool NoPassword = false;               // the login had no password to send
};

// The line LineNum (from 1) of the message as sent: the header kept and completed, the empty
// line, then the body as stored.
const std::string* OutgoingLine(const TSendmailRun& run, int LineNum) {
  static const std::string kEmpty;
  const int headerLines = static_cast<int>(run.HeaderLines.size());
  if (LineNum <= headerLines) return &run.HeaderLines[static_cast<std::size_t>(LineNum - 1)];
  if (LineNum == headerLines + 1) return &kEmpty;
  return run.Text->Line(run.Header.BodyStart + LineNum - headerLines - 2);
}

std::string DomainOf(const std::string& address) {
  const std::size_t at = address.rfind('@');
  return at == std::string::npos ? "localhost" : address.substr(at + 1);
}

// The header lines as sent: the message's own, without Bcc, then the lines a message needs
// and lacks.
std::vector<std::string> OutgoingHeader(const TMessageStream& text, const THeader& header,
                                        const std::string& sender, const std::string& fullName) {
  std::vector<std::string> lines;
  for (const THeaderField& field : header.Fields) {
    if (IsBccField(field)) continue;
    for (int i = 0; i < field.LineCount; ++i) lines.push_back(*text.Line(field.FirstLine + i));
  }
  if (!FindField(header, "From"))
    lines.push_back("From: " + (fullName.empty() ? sender : fullName + " <" + sender + ">"));
  const std::time_t now = std::time(nullptr);
  if (!FindField(header, "Date")) lines.push_back("Date: " + Rfc822DateTime(now));
  if (!FindField(header, "Message-ID"))
    lines.push_back("Message-ID: " + NewMessageId(DomainOf(sender), now));
  return lines;
}

void AddOnce(TStringList& list, const std::string& address) {
  for (const std::string& known : list)
    if (EqualsIgnoringCase(known, address)) return;
  list.Add(address);
}

void Finish(TSendmailRun& run, TCustomSmtpClient& client, int exitCode, const std::string& why) {
  if (!why.empty()) Say(why);
  run.ExitCode = exitCode;
  // A sound session is ended as the protocol asks; the exit status is already chosen.
  if (client.Connected() && client.State() == TSmtpState::smtpReady) {
    try {
      client.Quit();
      run.Quitting = true;
      return;
    } catch (const std::exception&) {
    }
  }
  client.Abort();
}

void RequestDone(TSendmailRun& run, TCustomSmtpClient& client, TSmtpRequest request,
                 std::uint16_t error) {
  using enum TSmtpRequest;
  if (run.Quitting) {
    if (request == smtpQuit || error != 0) {
      run.Quitting = false;
      client.Abort();
    }
    return;
  }
  if (run.ExitCode >= 0) return;
  const std::string reply =
      client.ErrorMessage().empty() ? client.LastResponse() : client.ErrorMessage();
  if (error != 0) {
    std::string why = "The message was not sent: " + reply;
    if (!client.RefusedRcptName().empty() &&
        reply.find(client.RefusedRcptName()) == std::string::npos)
      why += " (recipient " + client.RefusedRcptName() + ")";
    const int code = run.NoPassword ? SysExit::Config
                                    : SendmailExitCode(request, error, client.ErrorIsPermanent());
    return Finish(run, client, code, why);
  }
  try {
    switch (request) {
      case smtpOpen:
        client.SetPassword(TSecret());  // not kept longer than the login needs it
        if (run.Text->EightBit() && !client.Server8BitMime())
          return Finish(run, client, SysExit::DataErr,
                        "The message holds 8-bit text and the server " + client.Host() +
                            " does not announce 8BITMIME: it is not sent, since it would arrive "
                            "altered.");
        return client.MailFrom();
      case smtpMailFrom:
        return client.RcptTo();
      case smtpRcptTo:
        if (!client.ErrorMessage().empty())
          return Finish(run, client, SendmailExitCode(smtpRcptTo, 550, client.ErrorIsPermanent()),
                        "The message was not sent: " + client.ErrorMessage());
        return client.Data();
      case smtpData:
        // Accepted: the message is sent, whatever QUIT brings.
        return Finish(run, client, SysExit::Ok, "");
      default:
        return;
    }
  } catch (const std::exception& e) {
    // The next step could not start (the server went away in between).
    Finish(run, client, SysExit::TempFail, std::string("The message was not sent: ") + e.what());
  }
}

// Standard input holds the message and the terminal, if any, belongs to the caller: the password
// comes from passwordcmd, the keyring (never its unlock prompt) or netrc, or the send stops.
void CredentialsNeeded(TSendmailRun& run, TCustomSmtpClient& client, const TForm1& form) {
  TPasswordQuestion question;
  question.Host = client.Host();
  question.Port = client.Port();
  question.User = client.Username();
  question.Command = form.passwordcmd.Text;
  question.CommandTimeoutSeconds = form.PasswordTimeoutSeconds;
  question.Interactive = false;
  run.Password.Start(
      question, [&run, &client](bool found, const TSecret& password, const std::string& problem) {
        if (found) {
          client.ProvideCredentials(password);
          return;
        }
        run.NoPassword = true;
        client.RefuseCredentials(problem);
      });
}

void GetData(TSendmailRun& run, int lineNum, char* msgLine, int maxLen, bool& more) {
  const std::string* line = OutgoingLine(run, lineNum);
  if (!line) {
    more = false;
    return;
  }
  const std::size_t length = std::min(line->size(), static_cast<std::size_t>(maxLen));
  std::memcpy(msgLine, line->data(), length);
  msgLine[length] = '\0';
}

void RunLoopUntilDone(const TSendmailRun& run) {
  EventLoop& loop = EventLoop::Current();
  while (run.ExitCode < 0 || run.Quitting) {
    pollfd watch{loop.Fd(), POLLIN, 0};
    ::poll(&watch, 1, 1000);
    Application().ProcessMessages();
  }
}

// The envelope sender: -f, else the setting from, else the From line's first address.
std::string EnvelopeSender(const TSendmailOptions& options, const TForm1& form,
                           const THeader& header) {
  if (!options.Sender.empty()) return options.Sender;
  if (!form.from.Text.empty()) return EnvelopeSenderOf(form.from.Text);
  if (const THeaderField* from = FindField(header, "From")) {
    const std::vector<std::string> addresses = AddressesOf(from->Value);
    if (!addresses.empty()) return addresses.front();
  }
  return "";
}

}  // namespace

bool SendmailModeRequested(const std::string& ProgramName,
                           const std::vector<std::string>& Arguments) {
  const std::size_t slash = ProgramName.rfind('/');
  const std::string base = slash == std::string::npos ? ProgramName : ProgramName.substr(slash + 1);
  return base == "sendmail" || (!Arguments.empty() && Arguments.front() == "--sendmail");
}

TSendmailOptions ParseSendmailArguments(const std::vector<std::string>& Arguments) {
  TSendmailOptions options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < Arguments.size() && options.Problem.empty(); ++i) {
    const std::string& argument = Arguments[i];
    if (optionsEnded || !argument.starts_with("-") || argument == "-") {
      for (const std::string& address : AddressesOf(argument))
        options.Recipients.push_back(address);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    // Letters may be grouped ("-ti"); a letter with a value takes the rest or the next one.
    for (std::size_t j = 1; j < argument.size(); ++j) {
      const char letter = argument[j];
      if (TakesValue(letter)) {
        std::string value = argument.substr(j + 1);
        if (value.empty()) {
          if (i + 1 >= Arguments.size()) {
            options.Problem = "The option -" + std::string(1, letter) + " needs a value.";
            break;
          }
          value = Arguments[++i];
        }
        if (letter == 'f' || letter == 'r') options.Sender = value;
        if (letter == 'F') options.FullName = value;
        break;
      }
      if (letter == 'o' || letter == 'e') {  // -oi, -oem, -odb, -em ...: only -oi matters
        if (argument.substr(j) == "oi") options.DotEndsInput = false;
        break;
      }
      if (letter == 'b') {
        if (argument.substr(j) != "bm")
          options.Problem = "The option " + argument +
                            " (a sendmail mode other than -bm) is not supported: Tarvik only "
                            "sends the message on standard input.";
        break;
      }
      if (letter == 't') {
        options.RecipientsFromHeader = true;
      } else if (letter == 'i') {
        options.DotEndsInput = false;
      } else if (std::string_view("mnUvAG").find(letter) == std::string_view::npos) {
        options.Problem = "The option " + argument + " is not supported (unknown option -" +
                          std::string(1, letter) + ").";
        break;
      } else if (letter == 'A' || letter == 'G') {
        break;  // -Am, -Ac: which configuration to submit with; Tarvik has one
      }
    }
  }
  return options;
}

std::vector<std::string> AddressesOf(const std::string& FieldValue) {
  std::vector<std::string> addresses;
  std::string item, angle;
  bool inAngle = false, inQuote = false, sawAngle = false;
  int comment = 0;
  auto take = [&] {
    std::string address = Trimmed(sawAngle ? angle : item);
    if (!address.empty() && address.find('@') != std::string::npos)
      addresses.push_back(address);
    else if (!address.empty() && !sawAngle && address.find(' ') == std::string::npos)
      addresses.push_back(address);  // a bare local name: refused later, with its name
    item.clear();
    angle.clear();
    sawAngle = false;
  };
  for (std::size_t i = 0; i < FieldValue.size(); ++i) {
    const char c = FieldValue[i];
    if (inQuote) {
      if (c == '\\')
        ++i;
      else if (c == '"')
        inQuote = false;
      continue;  // a display name is dropped
    }
    if (comment > 0) {
      if (c == '\\')
        ++i;
      else if (c == '(')
        ++comment;
      else if (c == ')')
        --comment;
      continue;
    }
    if (inAngle) {
      if (c == '>')
        inAngle = false;
      else
        angle += c;
      continue;
    }
    switch (c) {
      case '"':
        inQuote = true;
        break;
      case '(':
        comment = 1;
        break;
      case '<':
        inAngle = sawAngle = true;
        angle.clear();
        break;
      case ':':
        item.clear();  // a group's name ends: its members follow
        break;
      case ',':
      case ';':
        take();
        break;
      default:
        item += c;
    }
  }
  take();
  return addresses;
}

int SendmailExitCode(TSmtpRequest Request, std::uint16_t Error, bool Permanent) {
  if (Error == WSAHOST_NOT_FOUND || Error == WSANO_DATA) return SysExit::NoHost;
  if (Error == SocksError::AuthenticationFailed) return SysExit::NoPerm;
  if (Error >= TlsError::Setup && Error <= TlsError::Protocol) return SysExit::Unavailable;
  if (Error >= SocksError::LogicError && Error <= SocksError::ResolveFailed)
    return SysExit::Unavailable;
  if (Error >= 10000) return SysExit::TempFail;  // the network, a closed session
  if (Request == TSmtpRequest::smtpOpen && (Error == 535 || Error == 534)) return SysExit::NoPerm;
  if (Request == TSmtpRequest::smtpOpen && (Error == 530 || Error == 538)) return SysExit::Config;
  if (Error >= 400 && Error < 500) return SysExit::TempFail;
  return Permanent ? SysExit::Unavailable : SysExit::TempFail;
}

int RunSendmail(const std::vector<std::string>& Arguments) {
  const TSendmailOptions options = ParseSendmailArguments(Arguments);
  if (!options.Problem.empty()) {
    Say(options.Problem);
    return SysExit::Usage;
  }
  TForm1 form;
  form.Scripting = true;
  try {
    form.LoadSettings(setting::kDefaults);
  } catch (const std::exception& e) {
    Say(std::string("The settings cannot be read: ") + e.what());
    return SysExit::Config;
  }

  TSendmailRun run;
  try {
    run.Text =
        TMessageStream::Read(STDIN_FILENO, "The message on standard input", options.DotEndsInput);
  } catch (const EMessageStream& e) {
    Say(e.what());
    return e.BadText() ? SysExit::DataErr : SysExit::TempFail;
  }
  if (run.Text->LineCount() == 0) {
    Say("There is no message on standard input.");
    return SysExit::DataErr;
  }
  if (run.Text->LongestLine() > kMaxWireLine) {
    Say("The message has a line longer than 998 characters, which SMTP cannot carry (RFC 5321); "
        "encode the message (quoted-printable or base64) first.");
    return SysExit::DataErr;
  }
  run.Header = ReadHeader(*run.Text);
  if (!run.Header.Problem.empty()) {
    Say(run.Header.Problem);
    return SysExit::DataErr;
  }

  const std::string sender = EnvelopeSender(options, form, run.Header);
  if (sender.empty()) {
    Say("There is no sender: give -f ADDRESS, set from in the settings, or write a From line.");
    return SysExit::Config;
  }
  TCustomSmtpClient client;
  for (const std::string& address : options.Recipients) AddOnce(client.RcptName(), address);
  if (options.RecipientsFromHeader)
    for (const THeaderField& field : run.Header.Fields)
      if (EqualsIgnoringCase(field.Name, "To") || EqualsIgnoringCase(field.Name, "Cc") ||
          EqualsIgnoringCase(field.Name, "Bcc"))
        for (const std::string& address : AddressesOf(field.Value))
          AddOnce(client.RcptName(), address);
  if (client.RcptName().Count() == 0) {
    Say("There is no recipient: name one as an argument, or give -t and a To, Cc or Bcc line.");
    return SysExit::Usage;
  }
  for (const std::string& address : client.RcptName())
    if (address.find('@') == std::string::npos) {
      Say("The recipient \"" + address +
          "\" is no mail address (no \"@\"); Tarvik delivers "
          "nothing locally.");
      return SysExit::Usage;
    }
  for (const std::string* address : {&sender, &options.FullName})
    if (address->find_first_of("\r\n") != std::string::npos) {
      Say("The sender holds a line break.");
      return SysExit::Usage;
    }
  run.HeaderLines = OutgoingHeader(*run.Text, run.Header, sender, options.FullName);

  const TServerField server = ServerFieldOf(form.SMTPServer.Text);
  if (form.SMTPServer.Text.empty() || !server.Problem.empty()) {
    Say(form.SMTPServer.Text.empty()
            ? "No server is set: set SMTPServer in section defaults of " + SettingsFileName() + "."
            : server.Problem);
    return SysExit::Config;
  }
  client.SetHost(server.Host);
  client.SetPort(server.Port);
  client.SetSignOn(form.HeloName);
  client.SetTimeout(form.SmtpCli1->Timeout());
  client.SetFromName(sender);
  client.SetRawMessage(true);
  // The chain is MailFrom, RcptTo, Data, Quit: where the server pipelines, DATA goes with a sole
  // recipient and QUIT with the final ".".
  client.SetPipelineData(true);
  client.SetQuitAfterData(true);
  client.SetTextTransferEncoding(run.Text->EightBit() ? "8bit" : "7bit");
  TCustomSmtpClient::TSmtpProxy proxy;
  if (std::string problem = ParseProxy(form.Proxy, proxy); !problem.empty()) {
    Say(problem);
    return SysExit::Config;
  }
  client.SetProxy(proxy);
  if (const std::string problem = ConfigureClientSecurity(form, client); !problem.empty()) {
    Say(problem);
    return SysExit::Config;
  }
  client.OnRequestDone = [&](TCustomSmtpClient*, TSmtpRequest request, std::uint16_t error) {
    RequestDone(run, client, request, error);
  };
  client.OnCredentialsNeeded = [&](TCustomSmtpClient*, const std::string&) {
    CredentialsNeeded(run, client, form);
  };
  client.OnGetData = [&](TCustomSmtpClient*, int lineNum, char* msgLine, int maxLen, bool& more) {
    GetData(run, lineNum, msgLine, maxLen, more);
  };
  try {
    client.Open();
  } catch (const std::exception& e) {
    Say(std::string("The message was not sent: ") + e.what());
    return SysExit::Software;
  }
  RunLoopUntilDone(run);
  run.Password.Cancel();
  client.SetPassword(TSecret());
  return run.ExitCode;
}
