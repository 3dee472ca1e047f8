// The request operations of TCustomSmtpClient, one per SMTP command, and the two command
// sequences Open and Mail.
#include <algorithm>

#include "smtp/SmtpProt.h"

#include "smtp/SmtpAddress.h"

namespace {

std::string Trim(const std::string& S) {
  std::size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

// MAIL FROM / RCPT TO: a value that holds both brackets is sent as it is (trimmed), anything
// else gets a pair around it.
std::string AddressLine(const char* Prefix, const std::string& Value) {
  const bool bracketed =
      Value.find('<') != std::string::npos && Value.find('>') != std::string::npos;
  return bracketed ? Prefix + Trim(Value) : Prefix + ("<" + Trim(Value) + ">");
}

// The envelope value as it goes out: an address whose domain is beyond ASCII gets its A-label
// unless SMTPUTF8 carries it as it is; everything else is left to the address rule.
std::string WireValue(const std::string& Value, bool SmtpUtf8) {
  if (SmtpUtf8) return Value;
  const std::string address = EnvelopeAddress(Value);
  const std::string ascii = AsciiDomainAddress(address);
  return ascii == address ? Value : "<" + ascii + ">";
}

std::string Refusal(const std::string& What, std::string_view Value, const std::string& Problem) {
  return "The " + What + " \"" + VisibleText(Value) + "\" " + Problem + ", message not sent";
}

// A line end inside a command argument would let the value issue commands of its own.
void CheckOneLine(const std::string& Value, const char* What) {
  if (Value.find_first_of("\r\n") != std::string::npos)
    throw SmtpException(std::string(What) + " holds a line break");
}

}  // namespace

void TCustomSmtpClient::Connect() {
  CheckReady();
  if (FConnected) throw SmtpException("SMTP component already connected");
  if (!FHighLevelFlag) FRequestType = TSmtpRequest::smtpConnect;
  FRequestDoneFlag = false;
  FRcvdCount = 0;
  FReceiveBuffer[0] = '\0';
  FRequestResult = 0;
  // Nothing a server announced outlives its session.
  FCapabilities = {};
  FServer8BitMime = false;
  FSmtpUtf8InUse = false;
  FSasl.reset();
  FQuitSent = false;
  FQuitReply = 0;
  FRcptsPipelined = false;
  FDataPipelined = false;
  StateChange(TSmtpState::smtpDnsLookup);
  StartWait(TWaitFor::Connection, GreetingWait);
  FWSocket->OnDataSent = nullptr;
  FWSocket->OnDnsLookupDone = [this](TCustomWSocket* S, std::uint16_t E) {
    WSocketDnsLookupDone(S, E);
  };
  // The proxy resolves the name itself: nothing is looked up here.
  if (!FProxy.Host.empty() && FProxy.RemoteResolve) return ConnectSocket(FHost);
  try {
    FWSocket->LookupHost(FHost);
  } catch (const std::exception& E) {
    // The lookup could not even start (an empty host name, for one): the request has started,
    // so it ends like any failed lookup, with a report. No later try can do better.
    FailOnException(E, true);
  }
}

std::string TCustomSmtpClient::HeloName() {
  CheckOneLine(FSignOn, "SignOn");
  if (!FSignOn.empty()) return AsciiDomain(FSignOn);
  if (std::string fqdn = LocalFqdn(); !fqdn.empty()) return fqdn;
  const std::string local = FWSocket->State() == wsConnected ? FWSocket->BoundAddr() : "error";
  if (local == "error") return GetLocalHostName();
  return local.find(':') != std::string::npos ? "[IPv6:" + local + "]" : "[" + local + "]";
}

void TCustomSmtpClient::Helo() {
  ExecAsync(TSmtpRequest::smtpHelo, "HELO " + HeloName(), {250}, nullptr);
}

void TCustomSmtpClient::Vrfy() {
  CheckOneLine(FHdrTo, "HdrTo");
  ExecAsync(TSmtpRequest::smtpVrfy, "VRFY " + FHdrTo, {250}, nullptr);
}

void TCustomSmtpClient::MailFrom() {
  CheckOneLine(FFromName, "FromName");
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  const std::string utf8Address = Utf8EnvelopeAddress();
  if (!utf8Address.empty() && !FCapabilities.SmtpUtf8)
    return FailRequest(TSmtpRequest::smtpMailFrom,
                       "500 The server does not offer SMTPUTF8, which the address \"" +
                           utf8Address +
                           "\" needs (its local part is beyond ASCII); message not sent",
                       /*Permanent=*/true);
  FSmtpUtf8InUse = !utf8Address.empty();
  std::string line = AddressLine("MAIL FROM:", WireValue(FFromName, FSmtpUtf8InUse));
  // RFC 1870: a server that announced SIZE refuses an oversized message here, before any of
  // it is sent.
  FDeclaredSize = FCapabilities.Size ? MessageSize() : 0;
  if (FCapabilities.Size) line += " SIZE=" + std::to_string(FDeclaredSize);
  if (FServer8BitMime && TextWireEncoding() == "8bit") line += " BODY=8BITMIME";
  if (FSmtpUtf8InUse) line += " SMTPUTF8";
  FRcptsPipelined = false;
  FDataPipelined = false;
  bool recipientsFit = FRcptName.Count() > 0;
  for (const auto& name : FRcptName)
    recipientsFit = recipientsFit && name.find_first_of("\r\n") == std::string::npos;
  // A list RcptTo would refuse is left to RcptTo, unsent, as without pipelining.
  if (!Pipelining() || !recipientsFit)
    return ExecAsync(TSmtpRequest::smtpMailFrom, line, {250}, nullptr);
  FPipeline.clear();
  FPipeline.reserve(static_cast<std::size_t>(FRcptName.Count()) + 1);
  FPipeline.push_back(std::move(line));
  for (const auto& name : FRcptName)
    FPipeline.push_back(AddressLine("RCPT TO:", WireValue(name, FSmtpUtf8InUse)));
  FDataPipelined = FPipelineData && FRcptName.Count() == 1;
  if (FDataPipelined) FPipeline.push_back("DATA");
  FPipelineDataCode = 0;
  FPipelineDataLine.clear();
  FPipelineSent = FPipelineAnswered = 0;
  FPipelineMailResult = FPipelineRcptResult = 0;
  FPipelineMailLine.clear();
  FPipelineRcptLine.clear();
  FPipelineRcptRefusal.clear();
  FPipelineRcptPermanent = false;
  FRefusedRcptName.clear();
  StartCommand(TSmtpRequest::smtpMailFrom, {}, nullptr, &TCustomSmtpClient::PipelinedReply);
  SendPipelinedCommands();
}

void TCustomSmtpClient::SendCommandGroup(const std::vector<std::string>& Lines) {
  std::string bytes;
  for (const std::string& line : Lines) {
    TriggerCommand(line);
    TriggerDisplay("> " + line);
    bytes += line;
    bytes += "\r\n";
  }
  if (FWSocket->State() == wsConnected) FWSocket->SendText(bytes);
}

// Tops the commands in flight up to PipelineWindow once a tenth of them is answered: few writes,
// and the next commands on their way long before the replies to the first run out.
void TCustomSmtpClient::SendPipelinedCommands() {
  const std::size_t inFlight = FPipelineSent - FPipelineAnswered;
  if (FPipelineSent >= FPipeline.size() || inFlight > PipelineWindow - PipelineWindow / 10) return;
  const std::size_t end = std::min(FPipeline.size(), FPipelineAnswered + PipelineWindow);
  SendCommandGroup({FPipeline.begin() + static_cast<std::ptrdiff_t>(FPipelineSent),
                    FPipeline.begin() + static_cast<std::ptrdiff_t>(end)});
  FPipelineSent = end;
}

// One reply of the pipelined envelope, in the order of the commands. A refusal is a reply like
// any other; a reply that cannot answer its command (a success code no MAIL or RCPT gets, a line
// without a code, a reply to nothing) means the server is out of step, and nothing it says can
// be matched any more.
void TCustomSmtpClient::PipelinedReply() {
  DisplayLastResponse();
  if (FReplyContinues) return;
  const std::size_t index = FPipelineAnswered;
  const bool isMail = index == 0;
  const bool isData = FDataPipelined && index + 1 == FPipeline.size();
  const bool accepted =
      isData ? FReplyCode == 354 : FReplyCode == 250 || (!isMail && FReplyCode == 251);
  if (index >= FPipelineSent || FReplyCode == 0 || (!accepted && FReplyCode < 400))
    return FailAndDisconnect(
        "500 The server's reply \"" + FLastResponse + "\" does not answer " +
        (index < FPipelineSent ? "\"" + FPipeline[index] + "\"" : std::string("any command sent")) +
        ": its replies are out of step with the commands; connection closed");
  ++FPipelineAnswered;
  const int result = accepted ? 0 : FReplyCode;
  if (isData) {
    FPipelineDataCode = FReplyCode;
    FPipelineDataLine = FLastResponse;
  } else if (isMail) {
    FPipelineMailResult = result;
    FPipelineMailLine = FLastResponse;
    if (!accepted) SetErrorMessage(true);
  } else {
    FPipelineRcptResult = result;
    FPipelineRcptLine = FLastResponse;
    if (!accepted && FPipelineRcptRefusal.empty()) {
      FPipelineRcptRefusal = FLastResponse;
      FPipelineRcptPermanent = FReplyCode >= 500;
      FRefusedRcptName = Trim(FRcptName[static_cast<int>(index) - 1]);
    }
  }
  if (FPipelineAnswered == FPipeline.size()) return EndPipelinedEnvelope();
  StartWait(TWaitFor::Reply, RcptWait);
  SendPipelinedCommands();
}

void TCustomSmtpClient::EndPipelinedEnvelope() {
  // Every command has its reply: anything more is a reply to nothing.
  if (FRcvdCount > 0)
    return FailAndDisconnect(
        "500 The server sent more replies than there were commands: its replies are out of "
        "step with the commands; connection closed");
  // A server that refused the envelope and took DATA all the same waits for a message that must
  // not reach it: nothing of it is sent.
  if (ServerTookPipelinedData() && (FPipelineMailResult != 0 || FPipelineRcptResult != 0)) {
    const std::string& refusal =
        FPipelineMailResult != 0 ? FPipelineMailLine : FPipelineRcptRefusal;
    return FailAndDisconnect(refusal +
                                 " (the server then took DATA all the same; connection "
                                 "closed before any of the message was sent)",
                             refusal.starts_with('5'));
  }
  FRcptsPipelined = FPipelineMailResult == 0;
  FLastResponse = FPipelineMailLine;
  FRequestResult = FPipelineMailResult;
  TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
}

void TCustomSmtpClient::ReportPipelinedRecipients() {
  FRcptsPipelined = false;
  if (!FHighLevelFlag) FRequestType = TSmtpRequest::smtpRcptTo;
  FRequestDoneFlag = false;
  FLastResponse = FPipelineRcptLine;
  FRequestResult = FPipelineRcptResult;
  if (!FPipelineRcptRefusal.empty() && FErrorMessage.empty()) {
    FErrorMessage = FPipelineRcptRefusal;
    FErrorPermanent = FPipelineRcptPermanent;
  }
  TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
}

void TCustomSmtpClient::RcptTo() {
  if (FRcptName.Count() == 0) throw SmtpException("RcptName list is empty");
  for (const auto& name : FRcptName) CheckOneLine(name, "RcptName");
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  if (FRcptsPipelined) {
    if (FPipeline.size() != static_cast<std::size_t>(FRcptName.Count()) + 1 + FDataPipelined)
      throw SmtpException("RcptName changed after MailFrom sent the recipients");
    return ReportPipelinedRecipients();
  }
  FItemCount = -1;
  FRefusedRcptName.clear();
  RcptToNext();
}

void TCustomSmtpClient::RcptToNext() {
  ++FItemCount;
  ExecAsync(TSmtpRequest::smtpRcptTo,
            AddressLine("RCPT TO:", WireValue(FRcptName[FItemCount], FSmtpUtf8InUse)), {250, 251},
            &TCustomSmtpClient::RcptToDone);
}

// After each recipient's reply, whatever it is: the next recipient, or the end of the request
// with the last reply's result.
void TCustomSmtpClient::RcptToDone() {
  if (FRequestResult != 0 && FRefusedRcptName.empty())
    FRefusedRcptName = Trim(FRcptName[FItemCount]);
  if (FItemCount >= FRcptName.Count() - 1)
    return TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
  StateChange(TSmtpState::smtpInternalReady, TStateNotice::Quiet);
  RcptToNext();
}

// A server that took the pipelined DATA reads whatever comes next as the message: an owner that
// goes elsewhere instead of Data can only close the connection, which discards the message.
void TCustomSmtpClient::LeaveDataUnsent(TSmtpRequest RqType, const std::string& Command) {
  FDataPipelined = false;
  FailRequest(RqType, "500 " + Command + " cannot follow an accepted DATA; connection closed");
  FWSocket->AbortSession();
}

void TCustomSmtpClient::Quit() {
  CheckReady();
  FRcptsPipelined = false;
  if (ServerTookPipelinedData()) return LeaveDataUnsent(TSmtpRequest::smtpQuit, "QUIT");
  FDataPipelined = false;
  if (!FConnected || (FQuitSent && FQuitReply != 0)) {
    FRequestType = TSmtpRequest::smtpQuit;
    FRequestDoneFlag = false;
    FRequestResult = !FConnected || FQuitReply == 221 ? 0 : FQuitReply;
    TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
    return;
  }
  if (FQuitSent) return StartCommand(TSmtpRequest::smtpQuit, {221}, nullptr);
  ExecAsync(TSmtpRequest::smtpQuit, "QUIT", {221}, nullptr);
}

void TCustomSmtpClient::Rset() {
  if (FQuitSent) throw SmtpException("The session is ending: QUIT was sent");
  FRcptsPipelined = false;
  if (ServerTookPipelinedData()) return LeaveDataUnsent(TSmtpRequest::smtpRset, "RSET");
  FDataPipelined = false;
  ExecAsync(TSmtpRequest::smtpRset, "RSET", {250}, nullptr);
}

std::string TCustomSmtpClient::AddressesProblem() const {
  if (const std::string sender = EnvelopeAddress(FFromName); !sender.empty())
    if (const std::string problem = AddressProblem(sender); !problem.empty())
      return Refusal("sender address (MAIL FROM)", sender, problem);
  for (const std::string& entry : FRcptName)
    if (const std::string problem = AddressProblem(EnvelopeAddress(entry)); !problem.empty())
      return Refusal("recipient address (RCPT TO)", EnvelopeAddress(entry), problem);
  if (!FSignOn.empty())
    if (const std::string problem = DomainProblem(FSignOn); !problem.empty())
      return Refusal("HELO name", FSignOn, problem);
  const std::pair<const char*, const std::string*> headers[] = {{"From", &FHdrFrom},
                                                                {"To", &FHdrTo},
                                                                {"Reply-To", &FHdrReplyTo},
                                                                {"Sender", &FHdrSender},
                                                                {"Return-Path", &FHdrReturnPath}};
  for (const auto& [name, value] : headers)
    if (const std::string problem = TextProblem(*value); !problem.empty())
      return Refusal(std::string(name) + " header", *value, problem);
  return "";
}

std::string TCustomSmtpClient::Utf8EnvelopeAddress() const {
  if (const std::string sender = EnvelopeAddress(FFromName); NeedsSmtpUtf8(sender)) return sender;
  for (const std::string& entry : FRcptName)
    if (const std::string address = EnvelopeAddress(entry); NeedsSmtpUtf8(address)) return address;
  return "";
}

void TCustomSmtpClient::Open() {
  // Nothing that cannot be sent as asked may cause a connection at all.
  if (const std::string problem = AddressesProblem(); !problem.empty())
    throw SmtpException(problem);
  TSmtpFctSet steps = SmtpFctBit(TSmtpFct::smtpFctConnect);
  if (!NeedsEhlo()) {
    steps |= SmtpFctBit(TSmtpFct::smtpFctHelo);
  } else {
    steps |= SmtpFctBit(TSmtpFct::smtpFctEhlo);
    if (FTlsMode == TSmtpTlsMode::smtpTlsStartTls) steps |= SmtpFctBit(TSmtpFct::smtpFctStartTls);
    if (!FUsername.empty()) steps |= SmtpFctBit(TSmtpFct::smtpFctAuth);
  }
  HighLevelAsync(TSmtpRequest::smtpOpen, steps);
}

void TCustomSmtpClient::Mail() {
  HighLevelAsync(TSmtpRequest::smtpMail, SmtpFctBit(TSmtpFct::smtpFctMailFrom) |
                                             SmtpFctBit(TSmtpFct::smtpFctRcptTo) |
                                             SmtpFctBit(TSmtpFct::smtpFctData));
}

void TCustomSmtpClient::HighLevelAsync(TSmtpRequest RqType, TSmtpFctSet Fcts) {
  if (FConnected && (Fcts & SmtpFctBit(TSmtpFct::smtpFctConnect)))
    throw SmtpException("SMTP component already connected");
  CheckReady();
  FRequestType = RqType;
  FRequestResult = 0;
  FFctSet = Fcts;
  FHighLevelResult = 0;
  FHighLevelFlag = true;
  FLastResponse.clear();
  FErrorMessage.clear();
  FErrorPermanent = false;
  try {
    NextHighLevelAsync();
  } catch (...) {
    // The first step refused to start: nothing was sent and no completion will follow.
    FHighLevelFlag = false;
    FNextRequest = nullptr;
    FFctSet = 0;
    throw;
  }
}

void TCustomSmtpClient::NextHighLevelAsync() {
  if (FState == TSmtpState::smtpAbort) {
    FFctSet = 0;
    FHighLevelResult = 426;
    FErrorMessage = "426 Operation aborted.";
  }
  FNextRequest = &TCustomSmtpClient::NextHighLevelAsync;
  struct Step {
    TSmtpFct Fct;
    void (TCustomSmtpClient::*Run)();
  };
  static constexpr Step Order[] = {
      {TSmtpFct::smtpFctConnect, &TCustomSmtpClient::Connect},
      {TSmtpFct::smtpFctHelo, &TCustomSmtpClient::Helo},
      {TSmtpFct::smtpFctEhlo, &TCustomSmtpClient::Ehlo},
      {TSmtpFct::smtpFctStartTls, &TCustomSmtpClient::StartTls},
      {TSmtpFct::smtpFctAuth, &TCustomSmtpClient::Auth},
      {TSmtpFct::smtpFctVrfy, &TCustomSmtpClient::Vrfy},
      {TSmtpFct::smtpFctMailFrom, &TCustomSmtpClient::MailFrom},
      {TSmtpFct::smtpFctRcptTo, &TCustomSmtpClient::RcptTo},
      {TSmtpFct::smtpFctData, &TCustomSmtpClient::Data},
      {TSmtpFct::smtpFctQuit, &TCustomSmtpClient::Quit},
  };
  for (const Step& step : Order) {
    if (FFctSet & SmtpFctBit(step.Fct)) {
      FFctSet &= static_cast<TSmtpFctSet>(~SmtpFctBit(step.Fct));
      (this->*step.Run)();
      return;
    }
  }
  FFctSet = 0;
  FNextRequest = nullptr;
  FRequestDoneFlag = false;
  TriggerRequestDone(static_cast<std::uint16_t>(FHighLevelResult));
}
