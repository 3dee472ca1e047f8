// The ESMTP requests of TCustomSmtpClient: EHLO and the capabilities, STARTTLS with the TLS
// handshake, and AUTH.
#include <algorithm>
#include <string>

#include "smtp/SmtpProt.h"

namespace {

std::string JoinNames(const std::vector<std::string>& Names) {
  std::string out;
  for (const std::string& name : Names) out += (out.empty() ? "" : " ") + name;
  return out;
}

}  // namespace

bool TCustomSmtpClient::NeedsEhlo() const {
  return FUseEhlo || FTlsMode != TSmtpTlsMode::smtpTlsNone || !FUsername.empty() || FRawMessage ||
         !Utf8EnvelopeAddress().empty();
}

// --- EHLO ---

void TCustomSmtpClient::Ehlo() {
  SendEhlo(TSmtpRequest::smtpEhlo);
}

void TCustomSmtpClient::SendEhlo(TSmtpRequest RqType) {
  ExecAsync(RqType, "EHLO " + HeloName(), {250}, &TCustomSmtpClient::EhloDone);
}

// The reply is whole in ReplyLines (bounded by the reply assembly) when its last line is judged.
void TCustomSmtpClient::EhloDone() {
  if (FRequestResult != 0) {
    // A server that does not know EHLO still takes HELO (RFC 5321 3.2), as long as the session
    // needs none of the extensions it cannot then announce.
    const TSmtpFctSet needed =
        SmtpFctBit(TSmtpFct::smtpFctStartTls) | SmtpFctBit(TSmtpFct::smtpFctAuth);
    if (FHighLevelFlag && (FFctSet & needed) == 0 && FReplyCode >= 500 && FReplyCode < 600) {
      FErrorMessage.clear();
      FErrorPermanent = false;
      FFctSet |= SmtpFctBit(TSmtpFct::smtpFctHelo);
      TriggerRequestDone(0);
      return;
    }
    TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
    return;
  }
  std::string problem;
  TSmtpCapabilities caps;
  if (!ParseEhloReply(FReplyLines.Lines(), caps, problem)) {
    EndWithLocalError("500 The server sent a " + problem);
    return;
  }
  FCapabilities = std::move(caps);
  FServer8BitMime = FCapabilities.EightBitMime;
  TriggerRequestDone(0);
}

// --- STARTTLS ---

void TCustomSmtpClient::StartTls() {
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  if (!FCapabilities.StartTls)
    return FailRequest(TSmtpRequest::smtpStartTls,
                       "500 The server does not offer STARTTLS, and the message is not sent "
                       "over an unencrypted connection");
  ExecAsync(TSmtpRequest::smtpStartTls, "STARTTLS", {220}, &TCustomSmtpClient::StartTlsReply);
}

void TCustomSmtpClient::StartTlsReply() {
  if (FRequestResult != 0) {
    TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
    return;
  }
  // Whatever arrived after the 220 was sent before the handshake, in plain text, yet would be
  // read as if it came over TLS: a man in the middle's way to inject commands' replies.
  if (FRcvdCount > 0) {
    FailAndDisconnect(
        "500 The server sent more after its 220 to STARTTLS, before the TLS "
        "handshake (a possible injection attack); connection closed");
    return;
  }
  // What was announced in plain text is not to be trusted: EHLO is asked again over TLS.
  FCapabilities = {};
  FServer8BitMime = false;
  FNext = &TCustomSmtpClient::DisplayOnly;
  BeginTls();
}

void TCustomSmtpClient::TlsDone(std::uint16_t Error) {
  FWSocket->OnTlsDone = nullptr;
  if (FRequestDoneFlag) return;  // the request ended meanwhile (an abort, a lost connection)
  if (Error != 0) {
    const std::string& text = FWSocket->TlsErrorText();
    FailAndDisconnect("500 " + (text.empty()
                                    ? "TLS handshake failed (error " + std::to_string(Error) + ")"
                                    : text));
    return;
  }
  StateChange(TSmtpState::smtpInternalReady, TStateNotice::Quiet);
  try {
    SendEhlo(TSmtpRequest::smtpStartTls);  // within a sequence, the sequence's kind stays
  } catch (const std::exception& E) {
    FailOnException(E);
  }
}

// --- AUTH ---

void TCustomSmtpClient::Auth() {
  if (FUsername.empty()) throw SmtpException("Username is empty");
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  if (!FHighLevelFlag) {
    // A login tried again on its own: the refusal of the one before is history.
    FErrorMessage.clear();
    FErrorPermanent = false;
  }
  if (!SessionEncrypted())
    return FailRequest(TSmtpRequest::smtpAuth,
                       "500 Not authenticating: the connection is not encrypted, and "
                       "credentials are never sent in plain text");
  const std::string name = ChooseSaslMechanism(FCapabilities, FAuthType);
  if (name.empty()) {
    return FailRequest(
        TSmtpRequest::smtpAuth,
        FCapabilities.AuthMechanisms.empty()
            ? "500 The server offers no authentication (no AUTH in its reply to EHLO)"
            : "500 The server offers authentication by " + JoinNames(FCapabilities.AuthMechanisms) +
                  ", not by " + SaslMechanismsWanted(FAuthType));
  }
  FSaslName = name;
  if (OnCredentialsNeeded && FPassword.Empty()) {
    if (!FHighLevelFlag) FRequestType = TSmtpRequest::smtpAuth;
    FRequestDoneFlag = false;
    StateChange(TSmtpState::smtpWaitingCredentials);
    PostMessageA(FWindowHandle, WM_SMTP_CREDENTIALS, 0, 0);
    return;
  }
  SendAuth(FPassword);
}

bool TCustomSmtpClient::ProvideCredentials(const TSecret& Password) {
  if (FState != TSmtpState::smtpWaitingCredentials) return false;
  StateChange(TSmtpState::smtpInternalReady);
  try {
    // Not kept in FPassword: an answered request lives only in the exchange, which is wiped
    // as soon as the server has answered it.
    SendAuth(Password);
  } catch (const std::exception& E) {
    FailOnException(E);
  }
  return true;
}

bool TCustomSmtpClient::RefuseCredentials(const std::string& Problem) {
  if (FState != TSmtpState::smtpWaitingCredentials) return false;
  StateChange(TSmtpState::smtpInternalReady);
  EndWithLocalError("500 " + Problem);
  return true;
}

void TCustomSmtpClient::SendAuth(const TSecret& Password) {
  FSasl = MakeSaslMechanism(FSaslName, FUsername, Password, FScramNonce, FHost, FPort);
  std::string shown = "AUTH " + FSaslName;
  TSecret line(shown);
  TSecret initial;
  if (FSasl->InitialResponse(initial)) {
    TSecret encoded;
    Base64EncodeSecret(initial.View(), encoded);
    line.Append(' ');
    line.Append(encoded.Empty() ? std::string_view("=") : encoded.View());  // RFC 4954 4
    shown += " ****";
  }
  StartCommand(TSmtpRequest::smtpAuth, {235, 334}, &TCustomSmtpClient::AuthReply);
  SendSecretCommand(line, shown);
}

void TCustomSmtpClient::AuthReply() {
  if (FRequestResult != 0) {
    // What the server said in its challenge (an OAuth error) tells more than its final code.
    if (FSasl && !FSasl->FailureDetail().empty())
      FErrorMessage += " (the server said: " + FSasl->FailureDetail() + ")";
    FSasl.reset();
    TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
    return;
  }
  std::string problem;
  if (FReplyCode == 235) {
    const bool trusted = FSasl && FSasl->Accept(problem);
    FSasl.reset();
    if (!trusted) return FailAndDisconnect("500 " + problem + "; connection closed");
    TriggerRequestDone(0);
    return;
  }
  // 334: a challenge, Base64 after the code.
  std::string challenge;
  const std::string_view text =
      std::string_view(FLastResponse).substr(std::min<std::size_t>(4, FLastResponse.size()));
  if (!Base64Decode(text, challenge))
    return FailAndDisconnect(
        "500 The server's authentication challenge is not Base64; "
        "connection closed");
  TSecret response;
  if (!FSasl || !FSasl->Respond(challenge, response, problem))
    return FailAndDisconnect("500 " + problem + "; connection closed");
  TSecret encoded;
  Base64EncodeSecret(response.View(), encoded);
  StateChange(TSmtpState::smtpInternalReady, TStateNotice::Quiet);
  StartCommand(TSmtpRequest::smtpAuth, {235, 334}, &TCustomSmtpClient::AuthReply);
  SendSecretCommand(encoded, "****");
}

// --- TLS on the socket ---

void TCustomSmtpClient::BeginTls() {
  FWSocket->OnTlsDone = [this](TCustomWSocket*, std::uint16_t Error) { TlsDone(Error); };
  try {
    FWSocket->StartTls();
  } catch (const std::exception& E) {
    FWSocket->OnTlsDone = nullptr;
    FailAndDisconnect("500 TLS: " + std::string(E.what()));
  }
}

bool TCustomSmtpClient::SessionEncrypted() const {
  return FWSocket->TlsActive();
}

const std::string& TCustomSmtpClient::TlsPeerFingerprint() const {
  return FWSocket->TlsPeerFingerprint();
}
