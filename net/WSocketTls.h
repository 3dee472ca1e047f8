// TCustomTlsWSocket: the TLS layer of the socket class chain (OpenSSL 3), between SOCKS and line
// mode, so that a session through a SOCKS proxy can be encrypted end to end and line mode sees
// plain text.
//
// Off by default: every event and every read passes through. Two ways to switch it on:
//  - TlsImplicit set before Connect: the handshake starts as soon as the TCP connection (or the
//    SOCKS negotiation) is done, and OnSessionConnected fires only after it, with 0 or the TLS
//    error code;
//  - StartTls on a connected session (from any handler or outside one), e.g. after a server has
//    agreed to switch to TLS. StartTls refuses to start when any received byte is still unread
//    (waiting in the kernel or held by a layer below the caller): such bytes were sent before
//    the handshake and are not protected by it (the handshake then fails with UnreadData).
// Either way OnTlsDone(Sender, Error) fires from the event loop, never inside the call that
// started it: 0 when the handshake is done, else a TlsError code with TlsErrorText saying what
// failed and for which host, e.g. "TLS: certificate verify failed: self-signed certificate (host
// mail.example.org)". After a failure the session closes: with TlsImplicit OnSessionConnected
// fires with the code first, then OnSessionClosed(code). An application that closes the socket
// itself during the handshake gets OnSessionClosed(TlsError::Closed) alone. Nothing queued with
// Send goes out after a failed handshake: bytes sent during the handshake wait in the send buffer
// and leave encrypted once it is done (their OnDataSent follows as usual).
//
// After the handshake Receive, ReceiveText, RcvdCount and OnDataAvailable carry plain text, Send
// and SendText take plain text (OnSendData counts the plain text the layer took), and Close sends
// close_notify before the connection ends. The layer speaks the client side of TLS only. A fatal
// error after the handshake (a forged record, an unexpected alert) closes the session with
// OnSessionClosed(TlsError::Protocol) and the text in TlsErrorText.
//
// Verification: the server's certificate must chain to the system's CA store (OpenSSL's hashed
// certificate directory, read one certificate at a time as a chain needs it; SSL_CERT_DIR names
// another, SSL_CERT_FILE adds a bundle) or to TlsCaFile (PEM, trusted in addition), and be valid
// now and for TlsHostName (sent as SNI too). TlsHostName is the name the user typed, not the
// address it resolved to; when empty, Addr is checked (as an IP address when it is one).
// TlsFingerprint (SHA-256 of the certificate in DER form, hex, ':' and case ignored) pins one
// certificate instead: a certificate with that fingerprint is accepted without chain or name checks
// (a self-signed relay), any other fails. TLS 1.2 and 1.3 only, renegotiation refused.
//
// OpenSSL never touches the descriptor: its reads and writes go through RecvRaw and the network
// write of the layers below (see WSocketCore.h). Decrypted bytes not read yet are held here and
// count in HeldByteCount. Sends are encrypted in full records (16 KB of plain text each) from the
// whole send buffer, not one record per Send.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/WSocketSocks.h"

// Error codes of the TLS layer, as passed to OnTlsDone, OnSessionConnected (TlsImplicit) and
// OnSessionClosed.
namespace TlsError {
constexpr int Setup = 20100;       // no TLS context: unreadable TlsCaFile, bad fingerprint text
constexpr int Handshake = 20101;   // the peer does not speak TLS, or refused ours
constexpr int Verify = 20102;      // certificate chain, validity, host name or fingerprint
constexpr int Closed = 20103;      // the peer closed the connection during the handshake
constexpr int UnreadData = 20104;  // StartTls with received bytes not read yet
constexpr int Protocol = 20105;    // fatal error after the handshake
}  // namespace TlsError

enum class TTlsPhase : std::uint8_t { tlsOff, tlsHandshaking, tlsActive, tlsFailed };
const char* TlsPhaseName(TTlsPhase Phase);

using TTlsDone = std::function<void(TCustomWSocket* Sender, std::uint16_t Error)>;

// Private message: the next step of a handshake, run from the event loop.
constexpr std::uint32_t WM_TLS_STEP = WM_USER + 21;  // 0x415

// The 32 bytes of a SHA-256 fingerprint written in hex (either case) with optional ':' or
// blanks between the digits; empty when the text is anything else.
std::string ParseTlsFingerprint(const std::string& Text);

class TCustomTlsWSocket : public TCustomSocksWSocket {
  using LowerLayer = TCustomSocksWSocket;

 public:
  // Plain text per record: the most TLS allows.
  static constexpr int MaxRecordPlainText = 16384;

  TCustomTlsWSocket();
  ~TCustomTlsWSocket() override;

  // --- settings; kept across sessions ---
  const std::string& TlsHostName() const { return FTlsHostName; }
  void SetTlsHostName(const std::string& Value) { FTlsHostName = Value; }
  const std::string& TlsCaFile() const { return FTlsCaFile; }
  void SetTlsCaFile(const std::string& Value) { FTlsCaFile = Value; }
  const std::string& TlsFingerprint() const { return FTlsFingerprint; }
  void SetTlsFingerprint(const std::string& Value) { FTlsFingerprint = Value; }
  bool TlsImplicit() const { return FTlsImplicit; }
  void SetTlsImplicit(bool Value) { FTlsImplicit = Value; }

  // --- state ---
  TTlsPhase TlsPhase() const { return FTlsPhase; }
  bool TlsActive() const { return FTlsPhase == TTlsPhase::tlsActive; }
  // The text of the last failure; kept until the next Connect or StartTls.
  const std::string& TlsErrorText() const { return FTlsErrorText; }
  // After a failed verification: the SHA-256 fingerprint of the server's own certificate (hex
  // pairs with colons, as tlsfingerprint takes it), "" when it was not seen.
  const std::string& TlsPeerFingerprint() const { return FTlsPeerFingerprint; }
  std::string TlsVersion() const;  // "TLSv1.3"; empty without a session
  std::string TlsCipher() const;
  // Records written after the handshake and the plain text they carried (this session).
  std::uint64_t TlsRecordsSent() const { return FRecordsSent; }
  std::uint64_t TlsPlainBytesSent() const { return FPlainBytesSent; }

  // Builds the TLS context and session for the current settings ahead of the handshake, so that
  // the work is done while the connection or the server's reply is still on its way. Connect
  // calls it itself with TlsImplicit; a client that will send STARTTLS calls it after Connect.
  // A session prepared for other settings than those at the handshake is built again there;
  // a failure here is reported by the handshake, as it would be without preparing.
  void PrepareTls();

  // Starts the handshake on the connected session. Usage errors (not connected, TLS already on)
  // go through ReportError; everything else ends in OnTlsDone.
  virtual void StartTls();

  int RcvdCount() override;
  int RecvRaw(void* Buffer, int Size, int Flags) override;
  int HeldByteCount() const override;
  int RawSend(const void* Data, int Len) override;
  int RawSendv(const TSendPart* Parts, int Count) override;
  void Connect() override;
  void DoClose(bool Shut, std::uint16_t Error) override;
  void Dup(TSocket NewHandle) override;
  void HandleWindowMessage(TMessage& Message) override;

  TTlsDone OnTlsDone;

 protected:
  void ResetDefaults() override;
  bool FireDataAvailable(std::uint16_t Error) override;
  void FireSessionConnected(std::uint16_t Error) override;
  void FireSessionClosed(std::uint16_t Error) override;
  void FireDataSent(std::uint16_t Error) override;
  virtual void FireTlsDone(std::uint16_t Error);

 private:
  struct Session;
  friend struct TlsBio;

  // No TLS in this session (or not yet: a proxy is still being negotiated): every operation
  // is the layer below's.
  bool PassesThrough() const {
    return SocksPhase() != TSocksPhase::socksPhaseNone || FTlsPhase == TTlsPhase::tlsOff;
  }
  // The name checked and sent as SNI, and shown in error texts.
  std::string PeerName() const;
  bool SendsInPlain() const;
  void EnterTlsPhase(TTlsPhase Phase);
  // A new TLS session for the current settings; null with the reason in Failure.
  std::unique_ptr<Session> NewSession(std::string& Failure);
  // What a prepared session depends on: the name checked, the CA file, the pin.
  std::string SessionSettings() const;
  void BeginHandshake();
  void HandshakeStep();
  void HandshakeDone();
  // Ends the session with Error and Text; the handshake's failure events first when it ran.
  void Fail(int Error, const std::string& Text);
  // The same for a failure found inside a call of the application (Receive, Send): reported
  // from the event loop once that call has returned.
  void FailLater(int Error, const std::string& Text);
  // Decrypts what the network has into the plain-text buffer (up to a bound).
  void Pull();
  int HeldPlain() const { return static_cast<int>(Plain.size() - PlainHead); }
  void ForgetTls();

  std::string FTlsHostName;
  std::string FTlsCaFile;
  std::string FTlsFingerprint;
  bool FTlsImplicit = false;
  TTlsPhase FTlsPhase = TTlsPhase::tlsOff;
  std::string FTlsErrorText;
  std::string FTlsPeerFingerprint;
  std::unique_ptr<Session> Tls;
  // Built by PrepareTls before the handshake, for the settings in PreparedFor.
  std::unique_ptr<Session> Prepared;
  std::string PreparedFor;
  // Decrypted bytes not read yet: Plain[PlainHead..].
  std::string Plain;
  std::size_t PlainHead = 0;
  bool PeerClosedTls = false;    // close_notify received
  bool ImplicitPending = false;  // OnSessionConnected waits for the handshake
  std::uint64_t FRecordsSent = 0;
  std::uint64_t FPlainBytesSent = 0;
};
