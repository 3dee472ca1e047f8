// Sending a message: the checks of the Send button, filling the SMTP client from the form, the
// request chain Open, MailFrom, RcptTo, Data, Quit driven from the client's completion event,
// the body lines handed to the client, retry, abort and what follows a successful send.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/Credentials.h"
#include "app/MessageStream.h"
#include "app/Tarvik2_unit1.h"
#include "net/SocketErrors.h"
#include "platform/FrontEnd.h"
#include "platform/Shell.h"
#include "smtp/SmtpAddress.h"
#include "util/FileUtils.h"
#include "util/KeyUtils.h"
#include "util/StringUtils.h"

namespace {

constexpr const char* kSendCaption = "&Send";
constexpr const char* kAbortCaption = "&Abort";
constexpr const char* kMailerLine =
    "X-Mailer: Tarvik v2.0 - a small plain-text mail sender for Linux";
constexpr const char* kNotifier = "vorelclient";

// RFC 5321 4.5.3.1.6: at most 998 characters on a line, CR LF not counted.
constexpr std::size_t kMaxWireLine = 998;
// How every MIME boundary of the client begins; a text line starting so is sent encoded.
constexpr std::string_view kBoundaryStart = "--= Multipart Boundary ";
constexpr std::size_t kDefaultPort = 25;

bool HoldsLineBreak(std::string_view text) {
  return text.find_first_of("\r\n") != std::string_view::npos;
}

bool IsBlankOnly(std::string_view text) {
  return text.find_first_not_of(" \t") == std::string_view::npos;
}

// The text between the first "<" and the first ">" after it; nothing when no ">" follows.
std::string BetweenAngleBrackets(const std::string& text) {
  const std::size_t open = text.find('<');
  const std::size_t close = text.find('>', open + 1);
  if (close == std::string::npos) return "";
  return text.substr(open + 1, close - open - 1);
}

// A recipient entry as the server is to get it, or the reason why it cannot be sent.
struct Recipient {
  std::string Address;
  std::string Problem;
};

Recipient RecipientFromEntry(const std::string& entry) {
  Recipient result;
  result.Address = entry.find('<') != std::string::npos ? BetweenAngleBrackets(entry) : entry;
  if (IsBlankOnly(result.Address))
    result.Problem =
        "The recipient \"" + entry + "\" holds no address" +
        (entry.find('<') != std::string::npos ? " (nothing between \"<\" and \">\")" : "") +
        ", can't send mail.";
  else if (result.Address.find('@') == std::string::npos)
    // A bare name would reach a local user of the server's choosing.
    result.Problem =
        "The recipient \"" + entry + "\" holds no mail address (no \"@\"), can't send mail.";
  return result;
}

// The recipients of the to-field, the To header naming exactly them, or the first problem
// found in the field.
struct RecipientList {
  TStringList Addresses;
  std::string HeaderTo;
  std::string Problem;
};

// The recipients of one recipient field (sendto, cc or bcc); none is no problem here.
RecipientList RecipientsOf(const std::string& sendto) {
  RecipientList list;
  std::vector<std::string> entries;
  if (sendto.find(';') == std::string::npos) {
    if (!IsBlankOnly(sendto)) entries.push_back(sendto);
  } else {
    // Every ";"-separated entry, however many there are (GetToken counts only to 255); empty
    // and blank entries ("a;;b", the "; " left after the last address) are skipped, so that
    // every real recipient gets the message. The blank after a ";" is dropped, not more.
    for (std::size_t start = 0; start <= sendto.size();) {
      const std::size_t end = std::min(sendto.find(';', start), sendto.size());
      std::string entry = sendto.substr(start, end - start);
      start = end + 1;
      if (IsBlankOnly(entry)) continue;
      if (entry.starts_with(' ')) entry.erase(0, 1);
      entries.push_back(std::move(entry));
    }
  }
  for (const std::string& entry : entries) {
    const Recipient recipient = RecipientFromEntry(entry);
    if (!recipient.Problem.empty() && list.Problem.empty()) list.Problem = recipient.Problem;
    list.Addresses.Add(recipient.Address);
    list.HeaderTo += (list.HeaderTo.empty() ? "" : ", ") + entry;
  }
  return list;
}

// The recipients of the three fields: the To and Cc header texts, and the envelope, which
// names every address once (compared without regard to the case of ASCII letters), however
// often the fields repeat it.
struct Recipients {
  RecipientList To;
  RecipientList Cc;
  TStringList Envelope;
  std::string Problem;
};

void AddToEnvelope(TStringList& envelope, const std::string& address) {
  for (const std::string& present : envelope)
    if (EqualIgnoringAsciiCase(present, address)) return;
  envelope.Add(address);
}

Recipients RecipientsOf(const TForm1& form) {
  Recipients all;
  all.To = RecipientsOf(form.sendto.Text);
  all.Cc = RecipientsOf(form.cc.Text);
  const RecipientList bcc = RecipientsOf(form.bcc.Text);
  for (const RecipientList* list :
       std::initializer_list<const RecipientList*>{&all.To, &all.Cc, &bcc}) {
    for (const std::string& address : list->Addresses) AddToEnvelope(all.Envelope, address);
    if (all.Problem.empty()) all.Problem = list->Problem;
  }
  if (all.To.Addresses.Empty() && all.Problem.empty())
    all.Problem = "Reciptient not specified (to-field), can't send mail.";
  return all;
}

// The envelope sender: the address in angle brackets, or the whole from-field.
std::string EnvelopeSender(const std::string& fromText) {
  return fromText.find('<') != std::string::npos ? BetweenAngleBrackets(fromText) : fromText;
}

// The server field: "host", "host:port", "[IPv6]", "[IPv6]:port" or a bare IPv6 address. The
// port is 25 unless one is given; one that is not a number from 1 to 65535 is a problem, never
// another port.
struct ServerAddress {
  std::string Host;
  std::string Port;
  std::string Problem;
};

ServerAddress ServerAddressOf(const std::string& field) {
  ServerAddress server;
  std::string portText;
  bool hasPort = false;
  const std::size_t colon = field.find(':');
  if (field.starts_with("[")) {
    const std::size_t close = field.find(']');
    if (close == std::string::npos || (close + 1 < field.size() && field[close + 1] != ':')) {
      server.Problem = "The server \"" + field + "\" is not written as [address] or " +
                       "[address]:port, can't send mail.";
      return server;
    }
    server.Host = field.substr(1, close - 1);
    hasPort = close + 1 < field.size();
    if (hasPort) portText = field.substr(close + 2);
  } else if (colon != std::string::npos && field.find(':', colon + 1) != std::string::npos) {
    server.Host = field;  // two colons or more: an IPv6 address without a port
  } else {
    server.Host = field.substr(0, colon);
    hasPort = colon != std::string::npos;
    if (hasPort) portText = field.substr(colon + 1);
  }
  server.Port = std::to_string(kDefaultPort);
  if (!hasPort) return server;
  const bool digits = !portText.empty() && portText.size() <= 5 &&
                      portText.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoul(portText) < 1 || std::stoul(portText) > 65535) {
    server.Problem = "The port \"" + portText + "\" of the server \"" + field +
                     "\" is not a number from 1 to 65535, can't send mail.";
    return server;
  }
  server.Port = portText;
  return server;
}

std::string AddressRefusal(const char* what, std::string_view value, const char* field,
                           const std::string& problem) {
  return std::string("The ") + what + " \"" + VisibleText(value) + "\" in the " + field + " " +
         problem + ", can't send mail.";
}

// The addresses as the server and the header get them: every byte must be one a server and a
// reader take as meant (the client checks again whatever else reaches its envelope).
std::string AddressFieldProblem(const TForm1& form, const Recipients& recipients) {
  const std::string sender = EnvelopeAddress(EnvelopeSender(form.from.Text));
  if (std::string problem = AddressProblem(sender); !problem.empty())
    return AddressRefusal("address", sender, "from-field", problem);
  if (std::string problem = TextProblem(form.from.Text); !problem.empty())
    return AddressRefusal("text", form.from.Text, "from-field", problem);
  struct Field {
    const char* Name;
    const RecipientList* List;
    const std::string& Text;
  };
  const RecipientList bcc = RecipientsOf(form.bcc.Text);
  for (const Field& field :
       {Field{"to-field", &recipients.To, form.sendto.Text},
        Field{"cc-field", &recipients.Cc, form.cc.Text}, Field{"bcc-field", &bcc, form.bcc.Text}}) {
    for (const std::string& address : field.List->Addresses)
      if (std::string problem = AddressProblem(EnvelopeAddress(address)); !problem.empty())
        return AddressRefusal("address", address, field.Name, problem);
    if (std::string problem = TextProblem(field.Text); !problem.empty())
      return AddressRefusal("text", field.Text, field.Name, problem);
  }
  if (!form.HeloName.empty())
    if (std::string problem = DomainProblem(form.HeloName); !problem.empty())
      return AddressRefusal("name", form.HeloName, "helo setting (option -helo:)", problem);
  return "";
}

// The first reason why the fields cannot be sent as they stand, or "".
std::string FieldProblem(const TForm1& form, const Recipients& recipients,
                         const ServerAddress& server) {
  struct Field {
    const char* Name;
    const std::string& Text;
  };
  for (const Field& field :
       {Field{"from", form.from.Text}, Field{"to", form.sendto.Text}, Field{"cc", form.cc.Text},
        Field{"bcc", form.bcc.Text}, Field{"subject", form.subject.Text}})
    if (HoldsLineBreak(field.Text))
      return std::string("The ") + field.Name +
             "-field holds a line break, which would end the command or header early, can't "
             "send mail.";
  for (const std::string& file : form.AttachedFiles.Items)
    if (HoldsLineBreak(file))
      return "The name of an attached file holds a line break, can't send mail.";
  if (!server.Problem.empty()) return server.Problem;
  if (form.from.Text.find('<') != std::string::npos && IsBlankOnly(EnvelopeSender(form.from.Text)))
    return "The sender \"" + form.from.Text +
           "\" holds no address (nothing between \"<\" and \">\"), can't send mail.";
  if (!recipients.Problem.empty()) return recipients.Problem;
  return AddressFieldProblem(form, recipients);
}

// "utf-8" when the text the user wrote (header fields included) holds valid UTF-8 beyond ASCII,
// else "iso-8859-1", so that the label always matches the bytes sent.
std::string CharSetOf(const TForm1& form) {
  bool beyondAscii = false, valid = true;
  auto scan = [&](const std::string& text) {
    if (!HoldsEightBit(text)) return;
    beyondAscii = true;
    valid = valid && IsValidUtf8(text);
  };
  for (const std::string* field : {&form.from.Text.Get(), &form.sendto.Text.Get(),
                                   &form.cc.Text.Get(), &form.subject.Text.Get()})
    scan(*field);
  for (const std::string& line : form.MessageText.Lines) scan(line);
  if (const TMessageStream* text = form.MessageStream.get(); text && text->EightBit()) {
    beyondAscii = true;
    valid = valid && text->ValidUtf8();
  }
  for (const std::string& line : form.SignLines) scan(line);
  return beyondAscii && valid ? "utf-8" : "iso-8859-1";
}

// How the body lines go to the client: "7bit" for ASCII lines that fit the wire, "8bit" for such
// lines with bytes beyond ASCII (the client sends them as quoted-printable unless the server
// announced 8BITMIME), "quoted-printable" (encoded here) when a line is longer than the wire
// allows or could pass for a MIME boundary. The text then arrives exactly as written.
std::string TransferEncodingOf(const TForm1& form) {
  bool eightBit = false;
  if (const TMessageStream* text = form.MessageStream.get()) {
    if (text->LongestLine() > kMaxWireLine || text->PrefixSeen()) return "quoted-printable";
    eightBit = text->EightBit();
  }
  const TStringList* texts[] = {&form.MessageText.Lines, &form.SignLines};
  for (const TStringList* lines : texts) {
    for (const std::string& line : *lines) {
      if (line.size() > kMaxWireLine || line.starts_with(kBoundaryStart)) return "quoted-printable";
      eightBit = eightBit || HoldsEightBit(line);
    }
  }
  return eightBit ? "8bit" : "7bit";
}

const std::string* SourceLine(const TForm1& form, int index) {
  // The text read from standard input comes first; "-msg:" lines given after it follow.
  if (const TMessageStream* text = form.MessageStream.get()) {
    if (index < text->LineCount()) return text->Line(index);
    index -= text->LineCount();
  }
  const int messageLines = form.MessageText.Lines.Count();
  if (index < messageLines) return &form.MessageText.Lines[index];
  if (index - messageLines < form.SignLines.Count()) return &form.SignLines[index - messageLines];
  return nullptr;
}

// Writes the body line at the cursor into out (room for kMaxWireLine characters and a NUL) and
// moves the cursor past it: a source line as it is, or its next quoted-printable wire line.
// False after the last line.
bool NextBodyLine(const TForm1& form, TForm1::TBodyCursor& cursor, bool quotedPrintable,
                  char* out) {
  const std::string* line = SourceLine(form, cursor.SourceLine);
  if (!line) return false;
  if (quotedPrintable) {
    EncodeQuotedPrintable(*line, cursor.Offset, out);
  } else {
    // The encoding was chosen so that every line fits; the bound only keeps memory safe.
    const std::size_t length = std::min(line->size(), kMaxWireLine);
    line->copy(out, length);
    out[length] = '\0';
    cursor.Offset = line->size();
  }
  if (cursor.Offset >= line->size()) {
    ++cursor.SourceLine;
    cursor.Offset = 0;
  }
  ++cursor.NextLineNum;
  return true;
}

void SetStatus(TForm1& form, const std::string& text) {
  form.StatusBar1.SimpleText = text;
}

void StartNotifier(const char* parameter) {
  StartProgram(kNotifier, parameter);
}

// Deletes a file that was sent, but only while it is still the file that was sent: one changed
// since holds something the message did not carry, which would be lost. A file that cannot go
// is skipped; one that changed is named (stderr in scripting mode, the status line otherwise).
void DeleteSentFile(TForm1& form, const std::string& fileName,
                    const std::optional<TFileIdentity>& identity) {
  if (fileName.empty() || !identity) return;
  if (DeleteFileIfUnchanged(fileName, *identity)) return;
  if (FileUnchanged(fileName, *identity) || !IdentityOfPath(fileName)) return;
  form.KeptFilesNotice += (form.KeptFilesNotice.empty() ? "" : " ") + std::string("The file ") +
                          fileName + " changed after it was sent and is kept.";
}

// The signature: an empty line, "--" and the lines of the file. False when the file cannot be
// opened and the user chose not to send without it.
bool LoadSignature(TForm1& form) {
  form.SignLines.Clear();
  if (form.SignFile.Text.empty()) return true;
  TStringList lines;
  try {
    lines.SetText(FileContent(form.SignFile.Text));
  } catch (const std::exception&) {  // a folder is no signature either
    const int answer = MessageBoxA(
        0, "The signfile cannot be opened, sign will not be added.\rSend message anyway?",
        "SignFile Error", MB_YESNO + MB_ICONQUESTION);
    return answer == IDYES;
  }
  form.SignLines.Add("");
  form.SignLines.Add("--");
  for (const std::string& line : lines) form.SignLines.Add(line);
  return true;
}

// The envelope, the header fields and the server, taken from the form.
void FillClient(const TForm1& form, TSmtpCli& client, const Recipients& recipients,
                const ServerAddress& server) {
  client.RcptName().Clear();
  client.SetHdrFrom(form.from.Text);
  client.SetFromName(EnvelopeSender(form.from.Text));
  TStringList envelope = recipients.Envelope;
  client.SetHdrTo(recipients.To.HeaderTo);
  // Blind copies are in the envelope only: no header line names them.
  client.SetHdrCc(recipients.Cc.HeaderTo);
  if (form.SendForward) {
    std::string self = form.from.Text;
    if (const std::size_t open = self.find('<'); open != std::string::npos) {
      self = self.substr(open + 1);
      if (!self.empty()) self.pop_back();  // the closing ">"
    }
    AddToEnvelope(envelope, self);
  }
  client.SetRcptName(envelope);
  client.SetHdrSubject(form.subject.Text);
  client.SetHost(server.Host);
  client.SetPort(server.Port);
  client.SetSignOn(form.HeloName);
  client.SetUseEhlo(form.UseEhlo);
  // The chain is MailFrom, RcptTo, Data and the session ends after the message: where the server
  // pipelines, DATA goes with a sole recipient and QUIT with the final "." (the files still wait
  // for the server's acceptance, the reply to ".").
  client.SetPipelineData(true);
  client.SetQuitAfterData(true);
}

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

std::optional<TSmtpTlsMode> TlsModeOf(const std::string& setting, const std::string& port) {
  const std::string value = LowerAscii(setting);
  if (value.empty() || value == "auto") {
    if (port == "465" || port == "smtps" || port == "submissions")
      return TSmtpTlsMode::smtpTlsImplicit;
    if (port == "587" || port == "submission") return TSmtpTlsMode::smtpTlsStartTls;
    return TSmtpTlsMode::smtpTlsNone;
  }
  if (value == "starttls") return TSmtpTlsMode::smtpTlsStartTls;
  if (value == "smtps") return TSmtpTlsMode::smtpTlsImplicit;
  if (value == "off") return TSmtpTlsMode::smtpTlsNone;
  return std::nullopt;
}

namespace {

// TLS and the login for this send, from the settings; the first reason why the send cannot go
// out as asked, or "". The password is not looked for here: only when AUTH is about to go.
std::string ConfigureSecurity(const TForm1& form, TCustomSmtpClient& client) {
  const std::optional<TSmtpTlsMode> mode = TlsModeOf(form.tls.Text, client.Port());
  if (!mode)
    return "The setting tls (option -tls:) is \"" + form.tls.Text +
           "\", not one of auto, starttls, smtps or off, can't send mail.";
  client.SetTlsMode(*mode);
  client.SetCaFile(form.CaFile);
  client.SetTlsFingerprint(form.TlsFingerprint);
  client.SetUsername(form.user.Text);
  const std::string auth = LowerAscii(form.AuthMethod);
  client.SetAuthType(auth == "oauth2"        ? TSmtpAuthType::smtpAuthOAuth2
                     : auth == "oauthbearer" ? TSmtpAuthType::smtpAuthOAuthBearer
                                             : TSmtpAuthType::smtpAuthAuto);
  // The password is asked for when AUTH is about to go (SmtpCli1CredentialsNeeded).
  client.SetPassword(TSecret());
  if (form.user.Text.empty()) return "";
  if (*mode == TSmtpTlsMode::smtpTlsNone)
    return "A login (user " + form.user.Text +
           ") is never sent over an unencrypted connection: set tls=starttls or tls=smtps in the "
           "settings, or use the option -tls:starttls or -tls:smtps, can't send mail.";
  return "";
}

// One sentence for the refusals a server gives a client that is not set up for what it
// requires (RFC 3207 530, RFC 4954 530/538), naming the setting and option that fix it.
std::string RefusalHint(const TSmtpCli& client, const std::string& reply) {
  const std::string code = reply.substr(0, 3);
  if (code != "530" && code != "538") return "";
  const std::string text = LowerAscii(reply);
  const bool asksTls = code == "538" || text.find("tls") != std::string::npos ||
                       text.find("encrypt") != std::string::npos ||
                       text.find("secure") != std::string::npos;
  if (asksTls && client.TlsMode() == TSmtpTlsMode::smtpTlsNone)
    return "\rThe server wants an encrypted connection: set tls=starttls in the settings or use "
           "the option -tls:starttls.";
  if (!asksTls && text.find("auth") != std::string::npos && client.Username().empty())
    return "\rThe server wants a login: set user in the settings or use the option -user:NAME "
           "(the password comes from passwordcmd, ~/.netrc or a prompt).";
  return "";
}

// A second line for the failures a person can mend in the settings: what to check, named by
// the setting and the option that set it. The failure's own text stays as it is, before it. A
// failed connection or lookup is known by its code, never by the words of a reply: a server's
// "Connection refused" for a listed client, or its "Host not found" for a recipient's domain,
// says nothing of where the server is.
std::string FailureHint(const TSmtpCli& client, const std::string& reply, std::uint16_t error) {
  const std::string where = client.Host() + " port " + client.Port();
  auto holds = [&](const char* part) { return reply.find(part) != std::string::npos; };
  if (error == WSAECONNREFUSED || error == WSAETIMEDOUT || error == WSAENETUNREACH ||
      error == WSAEHOSTUNREACH || error == WSAEHOSTDOWN ||
      reply.starts_with("500 No connection to the server within"))
    return "\rNo SMTP server answered at " + where +
           ": check the setting SMTPServer (option -server:HOST:PORT) and that the server runs.";
  if (error >= WSAHOST_NOT_FOUND && error <= WSANO_DATA)
    return "\rThe name " + client.Host() +
           " does not resolve to an address: check the setting SMTPServer (option "
           "-server:HOST:PORT) and the name service.";
  if (holds("certificate verify failed") || holds("certificate fingerprint mismatch")) {
    const std::string& seen = client.TlsPeerFingerprint();
    return "\rTo trust this server, set cafile to a file with the certificate of the CA that "
           "issued its certificate, or tlsfingerprint" +
           (seen.empty() ? std::string(" to its certificate's SHA-256 fingerprint") : "=" + seen) +
           ", in the settings.";
  }
  if (reply.starts_with("535"))
    return "\rThe server refused the password of user " + client.Username() + " at " + where +
           ": check the setting user and the password (passwordcmd, ~/.netrc, the keyring).";
  return RefusalHint(client, reply);
}

// True for a control that the sending state disables: the pages' fields, the memo, Clear.
bool DisabledWhileSending(const TForm1& form, const TControl* control) {
  if (!control) return false;
  if (control == &form.MessageText || control == &form.ClearBtn) return true;
  const auto& pages = form.PageControl1.Pages();
  return control == &form.PageControl1 ||
         std::find(pages.begin(), pages.end(), control->Parent) != pages.end();
}

void EnterSendingState(TForm1& form) {
  SetStatus(form, "Status: Connecting to server...");
  form.ProgressBar1.SetPosition(1);
  form.PageControl1.Enabled = false;
  form.MessageText.Enabled = false;
  form.SendBtn.Caption = kAbortCaption;
  form.ClearBtn.Enabled = false;
  // A disabled field keeps no focus, and without a focused control the keys reach nobody:
  // the Abort button takes it, so that Ctrl+Enter aborts wherever the send was started from.
  if (DisabledWhileSending(form, form.ActiveControl())) {
    form.FocusBeforeSend = form.ActiveControl();
    form.SendBtn.SetFocus();
  }
}

}  // namespace

bool TForm1::Sending() const {
  return SendBtn.Caption == kAbortCaption;
}

void TForm1::SendBtnClick(TControl*) {
  if (Sending()) {
    DoRetry = false;
    if (RetryTimer.Enabled()) {
      // Between two tries nothing is open: the wait simply ends.
      RetryTimer.SetEnabled(false);
      RetryCount = 0;
      SetStatus(*this, "Status: Sending aborted.");
      RestoreControls();
      return;
    }
    AbortRequested = true;
    PasswordRequest.Cancel();  // a password command still running ends now
    SmtpCli1->Abort();
    return;
  }
  if (SMTPServer.Text.empty()) return ErrorBox("No SMTP Server specified, can't send mail.");
  if (from.Text.empty()) return ErrorBox("Sender not specified (from-field), can't send mail.");
  if (sendto.Text.empty()) return ErrorBox("Reciptient not specified (to-field), can't send mail.");
  if (MessageText.Text().empty() && !(MessageStream && MessageStream->ByteCount() > 0))
    return ErrorBox("No message text written, can't send mail.");
  // A nick the book does not know must not reach the server as a local user's name.
  if (const std::string problem = ResolveNicks(); !problem.empty()) return ErrorBox(problem);
  const Recipients recipients = RecipientsOf(*this);
  const ServerAddress server = ServerAddressOf(SMTPServer.Text);
  if (const std::string problem = FieldProblem(*this, recipients, server); !problem.empty())
    return ErrorBox(problem);
  // A second press on a message that went out already would send a copy without a word.
  if (!SentMessageImage.empty() && MessageImage() == SentMessageImage &&
      MessageBoxA(0, "This message has been sent already.\r\rSend another copy of it?",
                  "Message sent already", MB_YESNO + MB_ICONQUESTION) != IDYES)
    return;

  if (IsKeyDown(VK_SHIFT)) DoRetry = true;

  TSmtpCli& client = *SmtpCli1;
  FillClient(*this, client, recipients, server);
  if (MessageFileIdentity)
    client.SetSourceFiles({{MessageFileName, *MessageFileIdentity}});
  else
    client.SetSourceFiles({});
  try {
    client.SetEmailFiles(AttachedFiles.Items);
  } catch (const SmtpException& e) {
    return ErrorBox(std::string("Cannot attach the file, can't send mail:\r") + e.what());
  }
  if (!LoadSignature(*this)) return;
  TCustomSmtpClient::TSmtpProxy proxy;
  if (const std::string problem = ParseProxy(Proxy, proxy); !problem.empty())
    return ErrorBox(problem);
  client.SetProxy(proxy);
  if (const std::string problem = ConfigureSecurity(*this, client); !problem.empty())
    return ErrorBox(problem);
  client.SetCharSet(CharSetOf(*this));
  client.SetTextTransferEncoding(TransferEncodingOf(*this));
  BodyCursor = {};

  if (StatusBarTimer.Running()) OnStatusBarTimer(&StatusBarTimer);
  EnterSendingState(*this);

  AbortRequested = false;
  SendSucceeded = true;
  MessageAccepted = false;
  RefusedPassword = TPasswordSource::None;
  RefusedTypedPasswords = 0;
  RefusedLogin.clear();
  LoginCancelled = false;
  PasswordToRemember.Clear();
  // The session of an earlier send may still be closing (its QUIT is answered, the server's
  // close not seen yet). That send is over: its connection goes, so the new one can start.
  if (client.Connected()) client.Abort();
  try {
    client.Open();
  } catch (const std::exception& e) {
    // The client refused to start (it is still busy with an earlier session): nothing went
    // out, so the window goes back to idle and the user is told why.
    SendSucceeded = false;
    SetStatus(*this, "Status: Message not sent due to an error.");
    RestoreControls();
    ErrorBox(std::string("Error occured while sending mail:\r") + e.what());
  }
}

namespace {

constexpr int kPhases = 6;
constexpr int kTransferPhase = 4;  // the bar's position while the message goes out
constexpr int kPerMille = 1000;

// A byte count as people read it: "812 bytes", "12.3 kB", "100 MB" (powers of 1000).
std::string ReadableSize(std::uint64_t bytes) {
  if (bytes < 1000) return std::to_string(bytes) + " bytes";
  const char* units[] = {"kB", "MB", "GB", "TB"};
  double value = static_cast<double>(bytes) / 1000;
  std::size_t unit = 0;
  while (value >= 999.95 && unit + 1 < std::size(units)) {
    value /= 1000;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, value < 99.95 ? "%.1f %s" : "%.0f %s", value, units[unit]);
  std::string shown = text;
  if (const std::size_t zero = shown.find(".0 "); zero != std::string::npos) shown.erase(zero, 2);
  return shown;
}

// The transfer is over (done, failed or aborted): the bar is back on its phases.
void EndTransferProgress(TForm1& form) {
  if (!form.ProgressTimer.Enabled() && form.ProgressBar1.Max == kPhases) return;
  form.ProgressTimer.SetEnabled(false);
  if (form.ProgressBar1.Max != kPhases) form.ProgressBar1.SetRange(0, kPhases, kTransferPhase);
}

}  // namespace

void TForm1::ProgressTimerTimer(TTimer*) {
  if (TransferTotal == 0 || !Sending()) return;
  const std::uint64_t sent = std::min(SmtpCli1->DataBytesSent(), TransferTotal);
  const auto perMille = static_cast<int>(sent * kPerMille / TransferTotal);
  ProgressBar1.SetRange(0, kPerMille, perMille);
  SetStatus(*this, "Status: Sending email message... " + ReadableSize(sent) + " of " +
                       ReadableSize(TransferTotal) + " (" + std::to_string(perMille / 10) + "%)");
}

void TForm1::RestoreControls() {
  EndTransferProgress(*this);
  PageControl1.Enabled = true;
  MessageText.Enabled = true;
  ClearBtn.Enabled = true;
  SendBtn.Caption = kSendCaption;
  ProgressBar1.SetPosition(0);
  if (FocusBeforeSend && ActiveControl() == &SendBtn) FocusBeforeSend->SetFocus();
  FocusBeforeSend = nullptr;
}

namespace {

// The server has accepted the message: it is sent, whatever QUIT brings. The files go now, so
// that a caller who stops waiting during QUIT neither finds them nor sends them again.
void AcceptedByServer(TForm1& form) {
  form.MessageAccepted = true;
  form.SentMessageImage = form.MessageImage();
  form.KeptFilesNotice.clear();
  if (form.DeleteMessageFile) DeleteSentFile(form, form.MessageFileName, form.MessageFileIdentity);
  if (form.AutoDeleteAttached.Checked)
    for (const auto& file : form.SmtpCli1->SentAttachments())
      DeleteSentFile(form, file.Name, file.Identity);
  if (!form.KeptFilesNotice.empty() && form.Scripting) WriteNotice(form.KeptFilesNotice);
  form.KeepDraft = false;
}

// Starts the request that follows a finished one; false when the finished one ends the chain.
// Throws what the client throws when it cannot start the request.
bool StartNextRequest(TForm1& form, TSmtpRequest finished) {
  TSmtpCli& client = *form.SmtpCli1;
  switch (finished) {
    case TSmtpRequest::smtpOpen:
      client.MailFrom();
      SetStatus(form, "Status: Connected, waiting for reply...");
      break;
    case TSmtpRequest::smtpHelo:
    case TSmtpRequest::smtpAuth:
      client.MailFrom();
      SetStatus(form, "Status: Sending sender information...");
      break;
    case TSmtpRequest::smtpMailFrom:
      client.RcptTo();
      SetStatus(form, "Status: Sending reciptient information...");
      break;
    case TSmtpRequest::smtpRcptTo:
      form.TransferTotal = client.DeclaredSize() ? client.DeclaredSize() : client.MessageSize();
      client.Data();
      SetStatus(form, "Status: Sending email message...");
      form.ProgressTimer.SetEnabled(true);
      break;
    case TSmtpRequest::smtpData:
      AcceptedByServer(form);
      client.Quit();
      SetStatus(form, "Status: Sending completed, closing connection...");
      break;
    default:
      return false;
  }
  form.ProgressBar1.SetPosition(form.ProgressBar1.Position() + 1);
  return true;
}

// The end of a send whose message the server accepted: QUIT is done, or only the farewell
// failed.
void FinishSend(TForm1& form, std::uint16_t quitError) {
  form.MessageAccepted = false;
  form.AbortRequested = false;  // an Abort pressed after the server took the message came late
  form.RetryCount = 0;
  if (quitError != 0) form.SmtpCli1->Abort();
  SetStatus(form, form.SendSucceeded ? "Status: Message sent successfully."
                                     : "Status: Message not sent due to an error.");
  if (form.SendSucceeded && !form.KeptFilesNotice.empty())
    SetStatus(form, form.StatusBar1.SimpleText.Get() + " " + form.KeptFilesNotice);
  form.ProgressBar1.SetPosition(0);
  form.RestoreControls();
  if (!form.SendSucceeded) return;
  if (form.ReportSuccess) StartNotifier("soundchime:100 /noresult");
  if (form.CloseWhenSent.Checked || form.CloseWhenDone) form.Close();
}

// The wait before the next try: shown in the status line, and on standard error in scripting
// mode, one line per try. The controls stay in the sending state, so Abort ends the wait.
void WaitBeforeRetry(TForm1& form, const std::string& reason) {
  ++form.RetryCount;
  const std::uint32_t delayMs = form.RetryPacing.DelayMs(form.RetryCount);
  const std::string wait = std::to_string((delayMs + 999) / 1000) + " seconds";
  SetStatus(form, "Status: Message not sent due to an error, trying again in " + wait + "...");
  // The hint after the failure's line is for the final report: a try names only what failed.
  if (form.Scripting)
    WriteNotice("Try " + std::to_string(form.RetryCount) + " failed: " +
                reason.substr(0, reason.find('\r')) + "\rTrying again in " + wait + ".");
  form.RetryTimer.SetInterval(delayMs);
  form.RetryTimer.SetEnabled(true);
}

// A failure after which nothing was sent is reported (unless retry is in force) and retried
// when asked, after a wait. A permanent one (see TCustomSmtpClient::ErrorIsPermanent) ends the
// retrying with its report: the same request cannot succeed (RFC 5321 4.2.1). Nothing is
// deleted.
void ReportFailure(TForm1& form, const std::string& reason, bool permanent) {
  TSmtpCli& client = *form.SmtpCli1;
  const bool retry = form.DoRetry && !permanent;
  if (!retry && form.ReportFailure) StartNotifier("say:tarvik reports: sendmail failed /noresult");
  if (!retry) form.ErrorBox("Error occured while sending mail:\r" + reason);
  form.SendSucceeded = false;
  client.Abort();
  form.ProgressBar1.SetPosition(0);
  if (!retry) {
    form.RetryCount = 0;
    SetStatus(form, "Status: Message not sent due to an error.");
    form.RestoreControls();
    return;
  }
  if (form.DoRetryOnce) form.DoRetry = false;
  WaitBeforeRetry(form, reason);
}

// A send that ended before the server accepted the message: an abort, or a failure. When the
// server refused a step of a sound session, the session first ends as the protocol asks (RSET,
// then QUIT, then the close), so that the server sees no broken connection.
void FailSend(TForm1& form, const std::string& reason) {
  TSmtpCli& client = *form.SmtpCli1;
  form.MessageAccepted = false;
  if (form.AbortRequested) {
    form.AbortRequested = false;
    form.EndingPolitely = false;
    form.RetryCount = 0;
    client.Abort();
    SetStatus(form, "Status: Sending aborted.");
    form.RestoreControls();
    return;
  }
  // Whether the failure may be retried is the failed request's to say, not RSET's or QUIT's.
  const bool permanent = client.ErrorIsPermanent();
  if (!form.EndingPolitely && client.Connected() && client.State() == TSmtpState::smtpReady) {
    try {
      client.Rset();
      form.EndingPolitely = true;
      form.PendingFailure = reason;
      form.PendingFailurePermanent = permanent;
      return;
    } catch (const std::exception&) {
      // The session cannot take a command any more: it is closed below.
    }
  }
  ReportFailure(form, reason, permanent);
}

// RSET answered (whatever the answer): QUIT. QUIT answered, or the session gone: the failure is
// reported.
void ContinuePoliteEnd(TForm1& form, TSmtpRequest finished) {
  TSmtpCli& client = *form.SmtpCli1;
  if (finished == TSmtpRequest::smtpRset && client.Connected() && !form.AbortRequested) {
    try {
      client.Quit();
      return;
    } catch (const std::exception&) {
    }
  }
  form.EndingPolitely = false;
  const std::string reason = std::move(form.PendingFailure);
  form.PendingFailure.clear();
  if (form.AbortRequested) return FailSend(form, reason);
  ReportFailure(form, reason, form.PendingFailurePermanent);
}

// What the user is told of a failed request: the server's line, and for a refused recipient
// its address when the server's line does not name it.
std::string FailureText(const TSmtpCli& client) {
  std::string text = client.ErrorMessage().empty() ? client.LastResponse() : client.ErrorMessage();
  const std::string& refused = client.RefusedRcptName();
  if (!refused.empty() && text.find(refused) == std::string::npos)
    text += " (recipient " + refused + ")";
  return text;
}

}  // namespace

namespace {

// The login is done (or failed, or never came): the password is not kept longer than it is
// needed, and one to remember goes to the keyring now that the server took it. In the window a
// refused password is asked for again, on the same connection: a keyring password once, through
// the prompt; a typed one until kTypedPasswordTries of them were refused (as login and sudo
// count), the last refusal then reported. Cancel at the prompt reports the refusal at once.
// Passwords from passwordcmd or netrc are not asked again: typing one would not mend the
// setting. True when AUTH runs again.
bool LoginDone(TForm1& form, std::uint16_t error) {
  constexpr int kTypedPasswordTries = 3;
  TSmtpCli& client = *form.SmtpCli1;
  const TPasswordSource source = form.PasswordRequest.Source();
  form.PasswordRequest.Cancel();
  client.SetPassword(TSecret());
  constexpr std::uint16_t kCredentialsInvalid = 535;  // RFC 4954 6
  if (error == kCredentialsInvalid && source == TPasswordSource::Prompt)
    ++form.RefusedTypedPasswords;
  const bool askAgain =
      source == TPasswordSource::Keyring ||
      (source == TPasswordSource::Prompt && form.RefusedTypedPasswords < kTypedPasswordTries);
  if (error == kCredentialsInvalid && !form.Scripting && askAgain && client.Connected() &&
      client.State() == TSmtpState::smtpReady) {
    form.RefusedPassword = source;
    // The box starts as the person left it for the refused password (ticked for the keyring's,
    // which the new one is to replace); the refused one is never stored.
    form.PasswordQuestion.RememberTicked =
        source == TPasswordSource::Keyring || !form.PasswordToRemember.Empty();
    form.PasswordToRemember.Clear();
    form.RefusedLogin = FailureText(client);
    try {
      client.Auth();
      return true;
    } catch (const std::exception&) {
      // The session cannot take AUTH again: the refusal is reported as it is.
    }
  }
  if (error == 0 && !form.PasswordToRemember.Empty())
    form.KeyringStore.Start(
        form.PasswordQuestion, form.PasswordToRemember,
        [](bool stored, const std::string& problem) {
          if (!stored) WriteNotice("The password was not stored in the keyring: " + problem);
        });
  form.PasswordToRemember.Clear();
  return false;
}

}  // namespace

void TForm1::SmtpCli1CredentialsNeeded(TCustomSmtpClient*, const std::string&) {
  // A password asked for again keeps the box as LoginDone left it.
  const bool rememberTicked =
      RefusedPassword != TPasswordSource::None && PasswordQuestion.RememberTicked;
  PasswordQuestion = TPasswordQuestion{};
  PasswordQuestion.RememberTicked = rememberTicked;
  PasswordQuestion.Host = SmtpCli1->Host();
  PasswordQuestion.Port = SmtpCli1->Port();
  PasswordQuestion.User = SmtpCli1->Username();
  PasswordQuestion.Command = passwordcmd.Text;
  PasswordQuestion.CommandTimeoutSeconds = PasswordTimeoutSeconds;
  PasswordQuestion.Interactive = !Scripting;
  PasswordQuestion.Refused = RefusedPassword;
  SetStatus(*this, "Status: Getting the password...");
  PasswordRequest.Start(PasswordQuestion,
                        [this](bool found, const TSecret& password, const std::string& problem) {
                          if (!found) {
                            LoginCancelled = RefusedPassword != TPasswordSource::None;
                            SmtpCli1->RefuseCredentials(problem);
                            return;
                          }
                          if (PasswordRequest.RememberWanted()) PasswordToRemember = password;
                          SetStatus(*this, "Status: Logging in...");
                          SmtpCli1->ProvideCredentials(password);
                        });
}

std::uint32_t TForm1::TRetryPacing::DelayMs(int failures) const {
  std::uint64_t delay = FirstMs;
  for (int i = 1; i < failures && delay < CapMs; ++i) delay *= 2;
  return static_cast<std::uint32_t>(std::min<std::uint64_t>(delay, CapMs));
}

void TForm1::RetryTimerTimer(TTimer*) {
  RetryTimer.SetEnabled(false);
  RestoreControls();
  SendBtn.Click();
}

void TForm1::SmtpCli1RequestDone(TCustomSmtpClient*, TSmtpRequest RqType, std::uint16_t Error) {
  using enum TSmtpRequest;
  if (EndingPolitely && (RqType == smtpRset || RqType == smtpQuit))
    return ContinuePoliteEnd(*this, RqType);
  if (RqType != smtpOpen && RqType != smtpHelo && RqType != smtpMailFrom && RqType != smtpRcptTo &&
      RqType != smtpData && RqType != smtpQuit && RqType != smtpAuth)
    return;
  TSmtpCli& client = *SmtpCli1;
  if (RqType == smtpData) EndTransferProgress(*this);
  if ((RqType == smtpOpen || RqType == smtpAuth) && LoginDone(*this, Error)) return;
  if (MessageAccepted && (RqType == smtpQuit || Error != 0)) return FinishSend(*this, Error);
  if (Error != 0) {
    const std::string reason =
        RqType == smtpAuth && LoginCancelled ? RefusedLogin : FailureText(client);
    return FailSend(*this, reason + FailureHint(client, reason, Error));
  }
  if (RqType == smtpRcptTo && !client.ErrorMessage().empty())
    // A recipient was refused while a later one was accepted: the client reports success, but
    // going on would lose the message for that recipient without a word.
    return FailSend(*this, FailureText(client));
  if (RqType == smtpQuit) return;  // not part of a send of ours
  try {
    StartNextRequest(*this, RqType);
  } catch (const std::exception& e) {
    // The client could not start the next step (the server went away in between).
    if (MessageAccepted) return FinishSend(*this, 1);
    FailSend(*this, e.what());
  }
}

void TForm1::SmtpCli1GetData(TCustomSmtpClient*, int LineNum, char* MsgLine, int MaxLen,
                             bool& More) {
  const bool quotedPrintable = SmtpCli1->TextTransferEncoding() == "quoted-printable";
  if (MaxLen < static_cast<int>(kMaxWireLine) + 1) {  // no room for a whole line: end the body
    More = false;
    return;
  }
  // Any line but the one the cursor expects is found by walking from the start, so the cursor
  // never decides the result.
  TBodyCursor& cursor = BodyCursor;
  if (cursor.NextLineNum != LineNum) {
    cursor = {1, 0, 0};
    while (cursor.NextLineNum < LineNum && NextBodyLine(*this, cursor, quotedPrintable, MsgLine)) {
    }
  }
  if (cursor.NextLineNum != LineNum || !NextBodyLine(*this, cursor, quotedPrintable, MsgLine))
    More = false;
}

void TForm1::SmtpCli1ProcessHeader(TCustomSmtpClient*, TStringList& HdrLines) {
  HdrLines.Add(kMailerLine);
}

void TForm1::SmtpCli1SessionConnected(TCustomSmtpClient*, std::uint16_t) {}

std::string_view TextBoundaryStart() {
  return kBoundaryStart;
}

TServerField ServerFieldOf(const std::string& field) {
  const ServerAddress server = ServerAddressOf(field);
  return {server.Host, server.Port, server.Problem};
}

std::string EnvelopeSenderOf(const std::string& fromText) {
  return EnvelopeSender(fromText);
}

std::string ConfigureClientSecurity(const TForm1& form, TCustomSmtpClient& client) {
  return ConfigureSecurity(form, client);
}
