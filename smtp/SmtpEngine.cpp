// The command engine of TCustomSmtpClient: construction, states, one command at a time, reply
// assembly and evaluation, deferred completion, connecting, session close and abort.
#include <cxxabi.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <typeinfo>

#include "net/NetTrace.h"
#include "smtp/SmtpProt.h"

namespace {

// Server text ends up in message boxes and terminals: show control characters as '?'.
std::string Printable(const char* Text, std::size_t Len) {
  std::string out(Text, Len);
  for (char& c : out) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7F) c = '?';
  }
  return out;
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The code of a reply line (RFC 5321 4.2): three digits, the first 2 to 5, then the end of the
// line, a blank or "-"; 0 for anything else, which is no reply line at all.
int ReplyCodeOf(const std::string& Line) {
  if (Line.size() < 3 || Line[0] < '2' || Line[0] > '5' || !IsDigit(Line[1]) || !IsDigit(Line[2]))
    return 0;
  if (Line.size() > 3 && Line[3] != ' ' && Line[3] != '-') return 0;
  return (Line[0] - '0') * 100 + (Line[1] - '0') * 10 + (Line[2] - '0');
}

std::string ExceptionClassName(const std::exception& E) {
  if (dynamic_cast<const ESocketException*>(&E)) return "ESocketException";
  if (dynamic_cast<const SmtpException*>(&E)) return "SmtpException";
  int status = 0;
  char* name = abi::__cxa_demangle(typeid(E).name(), nullptr, nullptr, &status);
  std::string result = status == 0 && name ? name : typeid(E).name();
  std::free(name);
  return result;
}

// A locally made line stays one line and stays bounded, like a server line.
std::string OneLine(std::string Text) {
  for (char& c : Text)
    if (c == '\r' || c == '\n') c = ' ';
  if (Text.size() > TCustomSmtpClient::ReceiveBufferSize - 1)
    Text.resize(TCustomSmtpClient::ReceiveBufferSize - 1);
  return Text;
}

std::string WinsockErrorLine(int Code) {
  return "500 " + SocketErrorText(Code) + " (Winsock error #" + std::to_string(Code) + ")";
}

bool IsTlsError(int Code) {
  return Code >= TlsError::Setup && Code <= TlsError::Protocol;
}

// The line for a failure the socket reported: the TLS layer's own text says what failed and
// for which host.
std::string SocketFailureLine(const TCustomTlsWSocket& Socket, int Code) {
  if (IsTlsError(Code) && !Socket.TlsErrorText().empty()) return "500 " + Socket.TlsErrorText();
  return WinsockErrorLine(Code);
}

}  // namespace

const char* SmtpStateName(TSmtpState State) {
  const auto i = static_cast<std::size_t>(State);
  return i < std::size(SmtpStateNames) ? SmtpStateNames[i] : "?";
}

const char* SmtpRequestName(TSmtpRequest Request) {
  const auto i = static_cast<std::size_t>(Request);
  return i < std::size(SmtpRequestNames) ? SmtpRequestNames[i] : "?";
}

TCustomSmtpClient::TCustomSmtpClient() {
  FWindowHandle = AllocateHWnd([this](TMessage& Msg) { WndProc(Msg); });
  FWSocket = std::make_unique<TWSocket>();
  // A server name may have IPv6 and IPv4 addresses; each is tried in the name service's order.
  FWSocket->SetSocketFamily(sfAny);
  FWSocket->OnSessionClosed = [this](TCustomWSocket* S, std::uint16_t E) {
    WSocketSessionClosed(S, E);
  };
  FDeadlineTimer.OnTimer = [this](TTimer*) { DeadlineTimerTimer(); };
}

TCustomSmtpClient::~TCustomSmtpClient() {
  *FAlive = false;
  // Nothing the socket reports while it goes away concerns this object any more.
  FWSocket->OnSessionClosed = nullptr;
  FWSocket->OnDataAvailable = nullptr;
  FWSocket->OnDataSent = nullptr;
  FWSocket->OnSessionConnected = nullptr;
  FWSocket->OnDnsLookupDone = nullptr;
  FWSocket->OnTlsDone = nullptr;
  FWSocket.reset();
  DeallocateHWnd(FWindowHandle);
}

void TCustomSmtpClient::SetContentType(TSmtpContentType Value) {
  if (Value == FContentType) return;
  FContentType = Value;
  FContentTypeText = Value == TSmtpContentType::smtpPlainText ? "text/plain" : "text/html";
}

// --- triggers: each calls its event when one is assigned ---

void TCustomSmtpClient::TriggerDisplay(const std::string& Msg) {
  if (OnDisplay) OnDisplay(this, Msg);
}
void TCustomSmtpClient::TriggerCommand(const std::string& Msg) {
  if (OnCommand) OnCommand(this, Msg);
}
void TCustomSmtpClient::TriggerResponse(const std::string& Msg) {
  if (OnResponse) OnResponse(this, Msg);
}
void TCustomSmtpClient::TriggerStateChange() {
  if (OnStateChange) OnStateChange(this);
}
void TCustomSmtpClient::TriggerGetData(int LineNum, char* MsgLine, int MaxLen, bool& More) {
  if (OnGetData)
    OnGetData(this, LineNum, MsgLine, MaxLen, More);
  else
    More = false;
}
void TCustomSmtpClient::TriggerHeaderLine(char* Line, int Size) {
  if (OnHeaderLine) OnHeaderLine(this, Line, Size);
}
void TCustomSmtpClient::TriggerProcessHeader(TStringList& HdrLines) {
  if (OnProcessHeader) OnProcessHeader(this, HdrLines);
}
void TCustomSmtpClient::TriggerSessionConnected(std::uint16_t Error) {
  if (OnSessionConnected) OnSessionConnected(this, Error);
}
void TCustomSmtpClient::TriggerSessionClosed(std::uint16_t Error) {
  if (OnSessionClosed) OnSessionClosed(this, Error);
}

// The base client has no attachments; TSmtpCli reads them.
void TCustomSmtpClient::OpenAttachment(const std::string& FileName) {
  throw EInOutError("No attachment support for '" + FileName + "'");
}
void TCustomSmtpClient::EncodeAttachmentLine(char* Line, bool& More) {
  Line[0] = '\0';
  More = false;
}
void TCustomSmtpClient::CloseAttachment() {}

// --- engine ---

void TCustomSmtpClient::CheckReady() {
  if (FState != TSmtpState::smtpReady && FState != TSmtpState::smtpInternalReady)
    throw SmtpException("SMTP component not ready");
}

void TCustomSmtpClient::StateChange(TSmtpState NewState, TStateNotice Notice) {
  if (FState == NewState) return;
  NET_TRACE("smtp state %s -> %s", SmtpStateName(FState), SmtpStateName(NewState));
  FState = NewState;
  if (Notice == TStateNotice::Notify) TriggerStateChange();
}

void TCustomSmtpClient::SendCommand(const std::string& Cmd) {
  TriggerCommand(Cmd);
  TriggerDisplay("> " + Cmd);
  if (FWSocket->State() == wsConnected) FWSocket->SendText(Cmd + "\r\n");
}

void TCustomSmtpClient::SendSecretCommand(const TSecret& Cmd, const std::string& Shown) {
  TriggerCommand(Shown);
  TriggerDisplay("> " + Shown);
  if (FWSocket->State() != wsConnected) return;
  TSecret line(Cmd.View());
  line.Append("\r\n");
  FWSocket->SendSecretText(line.View());
}

void TCustomSmtpClient::ExecAsync(TSmtpRequest RqType, const std::string& Cmd,
                                  std::initializer_list<int> OkResponses, TNextProc DoneAsync,
                                  TLineHandler Next) {
  StartCommand(RqType, OkResponses, DoneAsync, Next);
  SendCommand(Cmd);
}

void TCustomSmtpClient::StartCommand(TSmtpRequest RqType, std::initializer_list<int> OkResponses,
                                     TNextProc DoneAsync, TLineHandler Next) {
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  if (!FHighLevelFlag) FRequestType = RqType;
  int i = 0;
  for (int code : OkResponses)
    if (i < MaxOkResponses - 1) FOkResponses[i++] = code;
  FOkResponses[i] = 0;
  FRequestDoneFlag = false;
  FNext = Next;
  FDoneAsync = DoneAsync;
  StateChange(TSmtpState::smtpWaitingResponse);
  StartWait(TWaitFor::Reply, ReplyWaitSeconds(RqType));
}

void TCustomSmtpClient::FailRequest(TSmtpRequest RqType, const std::string& Text, bool Permanent) {
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  if (!FHighLevelFlag) FRequestType = RqType;
  FRequestDoneFlag = false;
  EndWithLocalError(Text, Permanent);
}

std::uint32_t TCustomSmtpClient::ReplyWaitSeconds(TSmtpRequest Command) {
  switch (Command) {
    case TSmtpRequest::smtpConnect:
    case TSmtpRequest::smtpOpen:
      return GreetingWait;
    case TSmtpRequest::smtpMailFrom:
    case TSmtpRequest::smtpMail:
      return MailWait;
    case TSmtpRequest::smtpRcptTo:
      return RcptWait;
    case TSmtpRequest::smtpData:
      return DataWait;
    case TSmtpRequest::smtpQuit:
      return QuitWait;
    case TSmtpRequest::smtpHelo:
    case TSmtpRequest::smtpVrfy:
    case TSmtpRequest::smtpRset:
    case TSmtpRequest::smtpEhlo:
    case TSmtpRequest::smtpStartTls:
    case TSmtpRequest::smtpAuth:
      return CommandWait;
  }
  return CommandWait;
}

void TCustomSmtpClient::DisplayLastResponse() {
  TriggerDisplay("< " + FLastResponse);
}

void TCustomSmtpClient::SetErrorMessage(bool FromServer) {
  if (!FErrorMessage.empty()) return;
  FErrorMessage = FLastResponse;
  FErrorPermanent = FromServer && FReplyCode >= 500 && FReplyCode <= 599;
}

void TCustomSmtpClient::NextExecAsync() {
  DisplayLastResponse();
  if (FReplyContinues) return;
  // A line that is no reply line (code 0) is never accepted.
  bool accepted = false;
  if (FReplyCode == 0) {
  } else if (FOkResponses[0] == 0) {
    accepted = FReplyCode < 500;
  } else {
    for (int i = 0; i < MaxOkResponses && FOkResponses[i] != 0; ++i)
      if (FOkResponses[i] == FReplyCode) accepted = true;
  }
  // A refusal must never read as success: a line without a code (code 0), or with one that
  // does not fit the 16-bit result, is reported as the client's own 500.
  FRequestResult = accepted ? 0 : (FReplyCode > 0 && FReplyCode <= 0xFFFF ? FReplyCode : 500);
  if (!accepted) SetErrorMessage(true);
  if (FDoneAsync) {
    (this->*FDoneAsync)();
  } else {
    TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
  }
}

// Lines the server sends while the message body is going out are shown, nothing more: they
// must not start a second line chain.
void TCustomSmtpClient::DisplayOnly() {
  DisplayLastResponse();
}

void TCustomSmtpClient::TriggerRequestDone(std::uint16_t Error) {
  if (FRequestDoneFlag) return;
  FRequestDoneFlag = true;
  if (Error == 0 && FNextRequest) {
    if (FState != TSmtpState::smtpAbort) StateChange(TSmtpState::smtpInternalReady);
    try {
      (this->*FNextRequest)();
    } catch (const std::exception& E) {
      // A step that cannot even start (say, no local host name for HELO) ends the sequence
      // here, with a report, instead of leaving it open inside a socket event.
      FNextRequest = nullptr;
      FRequestDoneFlag = false;
      FailOnException(E);
    }
    return;
  }
  FNextRequest = nullptr;
  StateChange(TSmtpState::smtpReady);
  FHighLevelFlag = false;
  FDeadlineTimer.SetEnabled(false);
  PostMessageA(FWindowHandle, WM_SMTP_REQUEST_DONE, 0, Error);
}

void TCustomSmtpClient::StartWait(TWaitFor What, std::uint32_t Seconds) {
  if (FTimeout != 0) Seconds = std::min(Seconds, FTimeout);
  FWaitFor = What;
  FWaitSeconds = Seconds;
  FDeadline = FClock() + std::chrono::seconds(Seconds);
  if (!FDeadlineTimer.Enabled()) FDeadlineTimer.SetEnabled(true);
}

bool TCustomSmtpClient::WaitOverdue() const {
  // The password sources bound their own waits (a prompt may rightly take its time).
  if (FState == TSmtpState::smtpWaitingCredentials) return false;
  return !FRequestDoneFlag && FClock() >= FDeadline;
}

void TCustomSmtpClient::DeadlineTimerTimer() {
  if (FRequestDoneFlag) {
    FDeadlineTimer.SetEnabled(false);
    return;
  }
  if (WaitOverdue()) FailOnDeadline();
}

void TCustomSmtpClient::FailOnDeadline() {
  const std::string seconds = std::to_string(FWaitSeconds) + " seconds";
  std::string text;
  switch (FWaitFor) {
    case TWaitFor::Connection:
      text = "500 No connection to the server within " + seconds;
      // A lookup still running would go on to connect.
      FWSocket->CancelLookup();
      break;
    case TWaitFor::Reply:
      text = "500 No complete reply from the server within " + seconds + "; connection closed";
      break;
    case TWaitFor::DataTaken:
      text = "500 The server took no message data for " + seconds + "; connection closed";
      break;
  }
  FailAndDisconnect(text);
}

void TCustomSmtpClient::WndProc(TMessage& Msg) {
  if (Msg.Msg == WM_SMTP_CREDENTIALS) {
    if (FState == TSmtpState::smtpWaitingCredentials && OnCredentialsNeeded)
      OnCredentialsNeeded(this, FSaslName);
    return;
  }
  if (Msg.Msg != WM_SMTP_REQUEST_DONE) return;
  if (OnRequestDone)
    OnRequestDone(this, FRequestType, static_cast<std::uint16_t>(Msg.LParam & 0xFFFF));
}

// --- reply assembly ---

void TCustomSmtpClient::WSocketDataAvailable(TCustomWSocket*, std::uint16_t Error) {
  const int room = ReceiveBufferSize - FRcvdCount - 1;
  const int count = FWSocket->Receive(FReceiveBuffer + FRcvdCount, room);
  if (count <= 0) return;
  ReceivedBytes(count, Error);
}

void TCustomSmtpClient::ReceivedBytes(int Count, std::uint16_t Error) {
  FRcvdCount += Count;
  FReceiveBuffer[FRcvdCount] = '\0';
  const auto alive = AliveToken();
  while (FRcvdCount > 0) {
    // Checked per line, not only by the timer: a server that sends line after line is bound
    // by the same deadline as one that sends nothing.
    if (WaitOverdue()) return FailOnDeadline();
    // A line ends at LF, with or without the CR before it (RFC 5321 4.1.1.4 asks CR LF of the
    // server, but a server that sends bare LF must not leave the client waiting). Searched by
    // count, not up to a NUL: a NUL byte from the server must not hide a line end.
    const void* lf = std::memchr(FReceiveBuffer, '\n', static_cast<std::size_t>(FRcvdCount));
    if (!lf) {
      if (FRcvdCount >= ReceiveBufferSize - 1) {
        FailAndDisconnect("500 Reply line from the server longer than " +
                          std::to_string(ReceiveBufferSize - 3) + " bytes; connection closed");
      }
      return;
    }
    const auto end = static_cast<std::size_t>(static_cast<const char*>(lf) - FReceiveBuffer);
    const std::size_t len = end > 0 && FReceiveBuffer[end - 1] == '\r' ? end - 1 : end;
    FLastResponse = Printable(FReceiveBuffer, len);
    FRcvdCount -= static_cast<int>(end + 1);
    std::memmove(FReceiveBuffer, FReceiveBuffer + end + 1,
                 static_cast<std::size_t>(FRcvdCount) + 1);
    if (!TakeReplyLine()) return;
    TriggerResponse(FLastResponse);
    if (Gone(alive)) return;
    HandleReplyLine(Error);
    if (Gone(alive)) return;
  }
}

bool TCustomSmtpClient::TakeReplyLine() {
  if (FReplyComplete) {
    FReplyLines.Clear();
    FReplyBytes = 0;
    FReplyComplete = false;
  }
  if (FReplyLines.Count() >= MaxReplyLines || FReplyBytes + FLastResponse.size() > MaxReplyBytes) {
    FReplyComplete = true;
    FailAndDisconnect("500 Reply from the server longer than " + std::to_string(MaxReplyLines) +
                      " lines or " + std::to_string(MaxReplyBytes) + " bytes; connection closed");
    return false;
  }
  FReplyCode = ReplyCodeOf(FLastResponse);
  // Every line of a reply carries the code of its first (RFC 5321 4.2.1); a line that does not
  // is no part of it, and ends it as a line without a code.
  if (FReplyLines.Count() > 0 && FReplyCode != ReplyCodeOf(FReplyLines[0])) FReplyCode = 0;
  FReplyContinues = FReplyCode != 0 && FLastResponse.size() > 3 && FLastResponse[3] == '-';
  FReplyLines.Add(FLastResponse);
  FReplyBytes += FLastResponse.size();
  if (!FReplyContinues) FReplyComplete = true;
  return true;
}

void TCustomSmtpClient::HandleReplyLine(std::uint16_t Error) {
  switch (FState) {
    case TSmtpState::smtpWaitingBanner: {
      DisplayLastResponse();
      if (FReplyContinues) return;
      if (FReplyCode != 220) {
        SetErrorMessage(true);
        FRequestResult = FReplyCode;
        FRcvdCount = 0;  // the rest is not read: the session ends here
        FWSocket->Close();
        return;
      }
      StateChange(TSmtpState::smtpConnected);
      TriggerSessionConnected(Error);
      TriggerRequestDone(0);
      return;
    }
    case TSmtpState::smtpWaitingResponse:
      if (!FNext) throw SmtpException("Program error: FNext is nil");
      (this->*FNext)();
      return;
    case TSmtpState::smtpReady:
    case TSmtpState::smtpDnsLookup:
    case TSmtpState::smtpConnecting:
    case TSmtpState::smtpConnected:
    case TSmtpState::smtpInternalReady:
    case TSmtpState::smtpAbort:
    case TSmtpState::smtpWaitingCredentials:
      DisplayLastResponse();
      // The reply to a QUIT that went with the final ".": kept for Quit, which may come later.
      if (FQuitSent && FQuitReply == 0 && !FReplyContinues)
        FQuitReply = FReplyCode ? FReplyCode : 500;
      return;
  }
}

// A failure the client detects itself: the open request ends with 500 and Text as its reply
// line.
void TCustomSmtpClient::EndWithLocalError(const std::string& Text, bool Permanent) {
  FLastResponse = OneLine(Text);
  FReplyCode = 500;
  FRequestResult = 500;
  if (FErrorMessage.empty()) {
    SetErrorMessage();
    FErrorPermanent = Permanent;
  }
  TriggerRequestDone(500);
}

void TCustomSmtpClient::FailOnException(const std::exception& E, bool Permanent) {
  EndWithLocalError("500 " + ExceptionClassName(E) + ": " + E.what(), Permanent);
}

// A failure that leaves no way to go on with this server.
void TCustomSmtpClient::FailAndDisconnect(const std::string& Text, bool Permanent) {
  FRcvdCount = 0;
  FReceiveBuffer[0] = '\0';
  FWSocket->OnDataSent = nullptr;
  EndWithLocalError(Text, Permanent);
  FWSocket->AbortSession();
}

// --- connecting ---

void TCustomSmtpClient::WSocketDnsLookupDone(TCustomWSocket*, std::uint16_t Error) {
  if (Error != 0) {
    FLastResponse = WinsockErrorLine(Error);
    FReplyCode = 500;
    SetErrorMessage();
    TriggerRequestDone(Error);
    return;
  }
  if (FProxy.Host.empty()) return ConnectSocket("");
  // The proxy is given one address, and SOCKS 4 can only carry IPv4.
  std::string address = FWSocket->DnsResult();
  for (const std::string& candidate : FWSocket->DnsResultList())
    if (candidate.find(':') == std::string::npos) {
      address = candidate;
      break;
    }
  ConnectSocket(address);
}

void TCustomSmtpClient::ConnectSocket(const std::string& Addr) {
  try {
    // Direct, every address the lookup found is tried; through a proxy, the one it was given.
    if (Addr.empty())
      FWSocket->UseLookupResult();
    else
      FWSocket->SetAddr(Addr);
    FWSocket->SetProto("tcp");
    // A close after QUIT, or after anything else, is an orderly one: a reset makes the server
    // log an aborted session and may discard what it still had to say.
    FWSocket->SetLingerOnOff(wsLingerOff);
    FWSocket->SetPort(FPort);
    // Certificate checks and SNI need the name as typed, not the address it resolved to.
    FWSocket->SetTlsHostName(FHost);
    FWSocket->SetTlsCaFile(FCaFile);
    FWSocket->SetTlsFingerprint(FTlsFingerprint);
    FWSocket->SetTlsImplicit(FTlsMode == TSmtpTlsMode::smtpTlsImplicit);
    FSocksErrorText.clear();
    if (!FProxy.Host.empty()) {
      // The socket forgets its proxy at every close: it is set for each connection.
      FWSocket->SetSocksServer(FProxy.Host);
      FWSocket->SetSocksPort(FProxy.Port);
      FWSocket->SetSocksLevel(FProxy.Level);
      FWSocket->SetSocksUsercode(FProxy.User);
      FWSocket->SetSocksPassword(std::string(FProxy.Password.View()));
      FWSocket->SetSocksAuthentication(FProxy.User.empty() ? socksNoAuthentication
                                                           : socksAuthenticateUsercode);
      FWSocket->OnSocksError = [this](TCustomWSocket*, int, const std::string& Msg) {
        FSocksErrorText = Msg;
      };
    }
    FWSocket->OnSessionConnected = [this](TCustomWSocket* S, std::uint16_t E) {
      WSocketSessionConnected(S, E);
    };
    FWSocket->OnDataAvailable = [this](TCustomWSocket* S, std::uint16_t E) {
      WSocketDataAvailable(S, E);
    };
    StateChange(TSmtpState::smtpConnecting);
    FWSocket->Connect();
    // The TLS context is built while the connection and the greeting are on their way, not
    // after the server's go-ahead. (With implicit TLS the socket does this itself.)
    if (FTlsMode == TSmtpTlsMode::smtpTlsStartTls && FWSocket->State() != wsClosed)
      FWSocket->PrepareTls();
  } catch (const std::exception& E) {
    // The socket refused the address or the port: no later try can do better.
    FailOnException(E, true);
    // A socket created before the failure must not linger half-open.
    if (FWSocket->State() != wsClosed) FWSocket->Close();
  }
}

std::string TCustomSmtpClient::ConnectFailureLine(int Code) const {
  if (!FProxy.Host.empty() && Code >= SocksError::LogicError && Code <= SocksError::ResolveFailed)
    return "500 The SOCKS proxy " + FProxy.Host + ":" + FProxy.Port + " did not connect to " +
           FHost + ": " + (FSocksErrorText.empty() ? SocketErrorText(Code) : FSocksErrorText) +
           " (SOCKS error #" + std::to_string(Code) + ")";
  if (!FProxy.Host.empty() && FState == TSmtpState::smtpConnecting &&
      FWSocket->SocksPhase() == TSocksPhase::socksPhaseConnecting)
    return WinsockErrorLine(Code).insert(
        4, "The SOCKS proxy " + FProxy.Host + ":" + FProxy.Port + ": ");
  return SocketFailureLine(*FWSocket, Code);
}

void TCustomSmtpClient::WSocketSessionConnected(TCustomWSocket*, std::uint16_t Error) {
  if (Error != 0) {
    // With implicit TLS this comes after the handshake: a failed one ends the request here.
    FLastResponse = ConnectFailureLine(Error);
    FReplyCode = 500;
    FConnected = false;
    SetErrorMessage();
    TriggerRequestDone(Error);
    FWSocket->Close();
    StateChange(TSmtpState::smtpReady);
    return;
  }
  FConnected = true;
  // Each command and each message line is sent whole and the next one waits for it, so there
  // is nothing for Nagle's algorithm to gather; it would only hold the last line of a message
  // (the final ".") until the server's delayed acknowledgement.
  int one = 1;
  Winsock::setsockopt(FWSocket->HSocket(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  StateChange(TSmtpState::smtpWaitingBanner);
  StartWait(TWaitFor::Reply, GreetingWait);
}

void TCustomSmtpClient::WSocketSessionClosed(TCustomWSocket*, std::uint16_t Error) {
  FConnected = false;
  // An AUTH exchange cut short (an abort, a lost connection) holds the password: wiped now,
  // not at the next session.
  FSasl.reset();
  if (!FRequestDoneFlag && FErrorMessage.empty()) {
    // The open request ends with WSAEINTR; say why, so that the report is never empty.
    if (FState == TSmtpState::smtpAbort)
      FLastResponse = "426 Operation aborted.";
    else if (IsTlsError(Error) && !FWSocket->TlsErrorText().empty())
      FLastResponse = "500 Connection closed: " + FWSocket->TlsErrorText();
    else if (Error != 0)
      FLastResponse = "500 Connection closed: " + SocketErrorText(Error) + " (Winsock error #" +
                      std::to_string(Error) + ")";
    else
      FLastResponse = "500 Connection closed by the server before the request completed";
    SetErrorMessage();
  }
  const auto alive = AliveToken();
  TriggerSessionClosed(Error);
  if (Gone(alive)) return;
  TriggerRequestDone(WSAEINTR);
}

void TCustomSmtpClient::Abort() {
  StateChange(TSmtpState::smtpAbort);
  FWSocket->CancelLookup();
  FWSocket->AbortSession();
  StateChange(TSmtpState::smtpReady);
}
