// Sending a message: the checks of the Send button, filling the SMTP client from the form, the
// request chain Open, MailFrom, RcptTo, Data, Quit driven from the client's completion event,
// the body lines handed to the client, retry, abort and what follows a successful send.
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "app/Credentials.h"
#include "app/Tarvik2_unit1.h"
#include "platform/FrontEnd.h"
#include "platform/Shell.h"
#include "util/KeyUtils.h"
#include "util/Tokenutils.h"

namespace {

constexpr const char* kSendCaption = "&Send";
constexpr const char* kAbortCaption = "&Abort";
constexpr const char* kMailerLine =
    "X-Mailer: Tarvik v2.0 - a small plain-text mail sender for Linux";
constexpr const char* kNotifier = "vorelclient";

// RFC 5321 4.5.3.1.6: at most 998 characters on a line, CR LF not counted.
constexpr std::size_t kMaxWireLine = 998;

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
  if (entries.empty()) list.Problem = "Reciptient not specified (to-field), can't send mail.";
  return list;
}

// The envelope sender: the address in angle brackets, or the whole from-field.
std::string EnvelopeSender(const std::string& fromText) {
  return fromText.find('<') != std::string::npos ? BetweenAngleBrackets(fromText) : fromText;
}

// The first reason why the fields cannot be sent as they stand, or "".
std::string FieldProblem(const TForm1& form, const RecipientList& recipients) {
  struct Field {
    const char* Name;
    const std::string& Text;
  };
  for (const Field& field : {Field{"from", form.from.Text}, Field{"to", form.sendto.Text},
                             Field{"subject", form.subject.Text}})
    if (HoldsLineBreak(field.Text))
      return std::string("The ") + field.Name +
             "-field holds a line break, which would end the command or header early, can't "
             "send mail.";
  for (const std::string& file : form.AttachedFiles.Items)
    if (HoldsLineBreak(file))
      return "The name of an attached file holds a line break, can't send mail.";
  if (form.from.Text.find('<') != std::string::npos && IsBlankOnly(EnvelopeSender(form.from.Text)))
    return "The sender \"" + form.from.Text +
           "\" holds no address (nothing between \"<\" and \">\"), can't send mail.";
  return recipients.Problem;
}

// Notes in beyondAscii whether the text holds bytes beyond ASCII, and clears valid when it is
// not well-formed UTF-8 (overlong forms and surrogates included).
void ScanUtf8(std::string_view text, bool& beyondAscii, bool& valid) {
  std::size_t i = 0;
  while (i < text.size()) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    beyondAscii = true;
    std::size_t length = 0;
    unsigned char secondMin = 0x80, secondMax = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3;
      if (c == 0xE0) secondMin = 0xA0;
      if (c == 0xED) secondMax = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4;
      if (c == 0xF0) secondMin = 0x90;
      if (c == 0xF4) secondMax = 0x8F;
    } else {
      valid = false;
      return;
    }
    if (i + length > text.size()) {
      valid = false;
      return;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const unsigned char d = static_cast<unsigned char>(text[i + k]);
      const unsigned char lo = k == 1 ? secondMin : 0x80, hi = k == 1 ? secondMax : 0xBF;
      if (d < lo || d > hi) {
        valid = false;
        return;
      }
    }
    i += length;
  }
}

// "utf-8" when the text the user wrote holds valid UTF-8 beyond ASCII, else "iso-8859-1", so
// that the label always matches the bytes sent.
std::string CharSetOf(const TForm1& form) {
  bool beyondAscii = false, valid = true;
  ScanUtf8(form.subject.Text, beyondAscii, valid);
  for (const std::string& line : form.MessageText.Lines) ScanUtf8(line, beyondAscii, valid);
  for (const std::string& line : form.SignLines) ScanUtf8(line, beyondAscii, valid);
  return beyondAscii && valid ? "utf-8" : "iso-8859-1";
}

// "8bit" when a body line (message or signature) holds a byte beyond ASCII, else "7bit".
std::string TransferEncodingOf(const TForm1& form) {
  auto eightBit = [](const std::string& line) {
    return std::any_of(line.begin(), line.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  };
  const bool any =
      std::any_of(form.MessageText.Lines.begin(), form.MessageText.Lines.end(), eightBit) ||
      std::any_of(form.SignLines.begin(), form.SignLines.end(), eightBit);
  return any ? "8bit" : "7bit";
}

const std::string* SourceLine(const TForm1& form, int index) {
  const int messageLines = form.MessageText.Lines.Count();
  if (index < messageLines) return &form.MessageText.Lines[index];
  if (index - messageLines < form.SignLines.Count()) return &form.SignLines[index - messageLines];
  return nullptr;
}

bool IsUtf8Continuation(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The length of the next piece of line from offset: the rest when it fits within limit, else up
// to and including the last blank before the limit, else the limit moved back to the start of
// a UTF-8 character (so that no character is split across two lines).
std::size_t PieceLength(const std::string& line, std::size_t offset, std::size_t limit) {
  if (line[offset] == '.') --limit;  // the client doubles a leading dot
  const std::size_t rest = line.size() - offset;
  if (rest <= limit) return rest;
  // Only this piece is searched: a search back to the start of the line would make a long line
  // without blanks (a Base64 blob) cost time in the square of its length.
  const std::size_t blank = std::string_view(line).substr(offset, limit).find_last_of(" \t");
  if (blank != std::string_view::npos && blank > 0) return blank + 1;
  std::size_t back = 0;
  while (back < 3 && back + 1 < limit && IsUtf8Continuation(line[offset + limit - back])) ++back;
  return IsUtf8Continuation(line[offset + limit - back]) ? limit : limit - back;
}

// Advances the body cursor past one wire line.
void AdvanceCursor(const TForm1& form, TForm1::TBodyCursor& cursor, std::size_t limit) {
  const std::string* line = SourceLine(form, cursor.SourceLine);
  if (!line) return;
  if (line->size() > cursor.Offset) cursor.Offset += PieceLength(*line, cursor.Offset, limit);
  if (cursor.Offset >= line->size()) {
    ++cursor.SourceLine;
    cursor.Offset = 0;
  }
  ++cursor.NextLineNum;
}

void SetStatus(TForm1& form, const std::string& text) {
  form.StatusBar1.SimpleText = text;
}

void StartNotifier(const char* parameter) {
  StartProgram(kNotifier, parameter);
}

void DeleteFileQuietly(const std::string& fileName) {
  if (!fileName.empty()) ::unlink(fileName.c_str());  // a file that cannot go is skipped
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
void FillClient(const TForm1& form, TSmtpCli& client, const RecipientList& recipients) {
  client.RcptName().Clear();
  client.SetHdrFrom(form.from.Text);
  client.SetFromName(EnvelopeSender(form.from.Text));
  for (const std::string& address : recipients.Addresses) client.RcptName().Add(address);
  client.SetHdrTo(recipients.HeaderTo);
  if (form.SendForward) {
    std::string self = form.from.Text;
    if (const std::size_t open = self.find('<'); open != std::string::npos) {
      self = self.substr(open + 1);
      if (!self.empty()) self.pop_back();  // the closing ">"
    }
    client.RcptName().Add(self);
  }
  client.SetHdrSubject(form.subject.Text);
  const std::string& server = form.SMTPServer.Text;
  const bool hasPort = server.find(':') != std::string::npos;
  client.SetHost(hasPort ? GetToken(server, ":", 1) : server);
  client.SetPort(hasPort ? GetToken(server, ":", 2) : "25");
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
// out as asked, or "". Asks for the password (Credentials.h) when a user is set.
std::string ConfigureSecurity(const TForm1& form, TSmtpCli& client) {
  const std::optional<TSmtpTlsMode> mode = TlsModeOf(form.tls.Text, client.Port());
  if (!mode)
    return "The setting tls (option -tls:) is \"" + form.tls.Text +
           "\", not one of auto, starttls, smtps or off, can't send mail.";
  client.SetTlsMode(*mode);
  client.SetCaFile(form.CaFile);
  client.SetTlsFingerprint(form.TlsFingerprint);
  client.SetUsername(form.user.Text);
  client.SetAuthType(LowerAscii(form.AuthMethod) == "oauth2" ? TSmtpAuthType::smtpAuthOAuth2
                                                             : TSmtpAuthType::smtpAuthAuto);
  client.SetPassword(TSecret());
  if (form.user.Text.empty()) return "";
  if (*mode == TSmtpTlsMode::smtpTlsNone)
    return "A login (user " + form.user.Text +
           ") is never sent over an unencrypted connection: set tls=starttls or tls=smtps in the "
           "settings, or use the option -tls:starttls or -tls:smtps, can't send mail.";
  TSecret password;
  std::string problem;
  if (!ObtainPassword(client.Host(), form.user.Text, form.passwordcmd.Text, password, problem))
    return problem + ", can't send mail.";
  client.SetPassword(password);
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

void EnterSendingState(TForm1& form) {
  SetStatus(form, "Status: Connecting to server...");
  form.ProgressBar1.SetPosition(1);
  form.PageControl1.Enabled = false;
  form.MessageText.Enabled = false;
  form.SendBtn.Caption = kAbortCaption;
  form.ClearBtn.Enabled = false;
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
    SmtpCli1->Abort();
    return;
  }
  if (SMTPServer.Text.empty()) return ErrorBox("No SMTP Server specified, can't send mail.");
  if (from.Text.empty()) return ErrorBox("Sender not specified (from-field), can't send mail.");
  if (sendto.Text.empty()) return ErrorBox("Reciptient not specified (to-field), can't send mail.");
  if (MessageText.Text().empty()) return ErrorBox("No message text written, can't send mail.");
  // A nick the book does not know must not reach the server as a local user's name.
  if (const std::string unknown = ResolveNicks(); !unknown.empty())
    return ErrorBox(NickNotFoundText(unknown));
  const RecipientList recipients = RecipientsOf(sendto.Text);
  if (const std::string problem = FieldProblem(*this, recipients); !problem.empty())
    return ErrorBox(problem);

  if (IsKeyDown(VK_SHIFT)) DoRetry = true;

  TSmtpCli& client = *SmtpCli1;
  FillClient(*this, client, recipients);
  try {
    client.SetEmailFiles(AttachedFiles.Items);
  } catch (const SmtpException& e) {
    return ErrorBox(std::string("Cannot attach the file, can't send mail:\r") + e.what());
  }
  if (!LoadSignature(*this)) return;
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

void TForm1::RestoreControls() {
  PageControl1.Enabled = true;
  MessageText.Enabled = true;
  ClearBtn.Enabled = true;
  SendBtn.Caption = kSendCaption;
  ProgressBar1.SetPosition(0);
}

namespace {

// The server has accepted the message: it is sent, whatever QUIT brings. The files go now, so
// that a caller who stops waiting during QUIT neither finds them nor sends them again.
void AcceptedByServer(TForm1& form) {
  form.MessageAccepted = true;
  if (form.DeleteMessageFile) DeleteFileQuietly(form.MessageFileName);
  if (form.AutoDeleteAttached.Checked)
    for (const std::string& file : form.AttachedFiles.Items) DeleteFileQuietly(file);
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
      client.MailFrom();
      SetStatus(form, "Status: Sending sender information...");
      break;
    case TSmtpRequest::smtpMailFrom:
      client.RcptTo();
      SetStatus(form, "Status: Sending reciptient information...");
      break;
    case TSmtpRequest::smtpRcptTo:
      client.Data();
      SetStatus(form, "Status: Sending email message...");
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
  if (form.Scripting)
    WriteNotice("Try " + std::to_string(form.RetryCount) + " failed: " + reason +
                "\rTrying again in " + wait + ".");
  form.RetryTimer.SetInterval(delayMs);
  form.RetryTimer.SetEnabled(true);
}

// A send that ended before the server accepted the message: an abort, or a failure that is
// reported (unless retry is in force) and retried when asked. Nothing is deleted.
void FailSend(TForm1& form, const std::string& reason) {
  TSmtpCli& client = *form.SmtpCli1;
  form.MessageAccepted = false;
  if (form.AbortRequested) {
    form.AbortRequested = false;
    form.RetryCount = 0;
    client.Abort();
    SetStatus(form, "Status: Sending aborted.");
    form.RestoreControls();
    return;
  }
  // A permanent refusal, or a server or port that cannot even be tried, ends the retrying
  // with its report: the same request cannot succeed (RFC 5321 4.2.1).
  const bool retry = form.DoRetry && !client.ErrorIsPermanent();
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

}  // namespace

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
  if (RqType != smtpOpen && RqType != smtpHelo && RqType != smtpMailFrom && RqType != smtpRcptTo &&
      RqType != smtpData && RqType != smtpQuit)
    return;
  TSmtpCli& client = *SmtpCli1;
  // The login is done (or failed): the password is not kept longer than it is needed.
  if (RqType == smtpOpen) client.SetPassword(TSecret());
  if (MessageAccepted && (RqType == smtpQuit || Error != 0)) return FinishSend(*this, Error);
  if (Error != 0) {
    const std::string& reason =
        client.ErrorMessage().empty() ? client.LastResponse() : client.ErrorMessage();
    return FailSend(*this, reason + RefusalHint(client, reason));
  }
  if (RqType == smtpRcptTo && !client.ErrorMessage().empty())
    // A recipient was refused while a later one was accepted: the client reports success, but
    // going on would lose the message for that recipient without a word.
    return FailSend(*this, client.ErrorMessage());
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
  if (MaxLen < 3) {  // no room for a piece and a doubled dot: end the body
    More = false;
    return;
  }
  const std::size_t limit = std::min(kMaxWireLine, static_cast<std::size_t>(MaxLen - 1));
  // Any line but the one the cursor expects is found by walking from the start, so the cursor
  // never decides the result.
  TBodyCursor& cursor = BodyCursor;
  if (cursor.NextLineNum != LineNum) {
    cursor = {1, 0, 0};
    while (cursor.NextLineNum < LineNum && SourceLine(*this, cursor.SourceLine))
      AdvanceCursor(*this, cursor, limit);
  }
  const std::string* line = SourceLine(*this, cursor.SourceLine);
  if (!line || cursor.NextLineNum != LineNum) {
    More = false;
    return;
  }
  const std::size_t length =
      line->size() > cursor.Offset ? PieceLength(*line, cursor.Offset, limit) : 0;
  line->copy(MsgLine, length, cursor.Offset);
  MsgLine[length] = '\0';
  AdvanceCursor(*this, cursor, limit);
}

void TForm1::SmtpCli1ProcessHeader(TCustomSmtpClient*, TStringList& HdrLines) {
  HdrLines.Add(kMailerLine);
}

void TForm1::SmtpCli1SessionConnected(TCustomSmtpClient*, std::uint16_t) {}
