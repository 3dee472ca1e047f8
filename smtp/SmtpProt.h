// SmtpProt: a non-blocking SMTP client over one TWSocket connection.
//
// TCustomSmtpClient runs one command at a time. Every request operation (Connect, Helo, Vrfy,
// MailFrom, RcptTo, Data, Quit, Rset, and the sequences Open and Mail) either throws
// SmtpException before anything is sent, or starts a request that ends with exactly one
// OnRequestDone(Sender, RqType, Error), delivered from the event loop after the socket handler
// that finished it has returned. Error is 0 on success, otherwise the refused reply code, a
// Winsock code (10000 and up), 500 (a failure detected by the client itself; ErrorMessage says
// which), WSAEINTR (the session closed while the request was open) or 426 (a sequence aborted).
//
// ESMTP: Open greets with EHLO instead of HELO when the session needs an extension (TlsMode is
// not smtpTlsNone, or Username is set), then runs STARTTLS (smtpTlsStartTls, after which EHLO is
// sent again) and AUTH (Username set) as further steps of the same request. With neither, Open
// is the plain HELO session, byte for byte. What the server announced is in Capabilities();
// MAIL FROM then declares the message size (SIZE) and BODY=8BITMIME where they apply.
// Credentials are never sent over an unencrypted connection, and never shown: the trace
// (OnCommand, OnDisplay) reads "AUTH PLAIN ****".
//
// TSmtpCli adds MIME attachments: with EmailFiles set, Data sends a multipart/mixed message
// whose parts are produced line by line, so that no file is ever held in memory whole.
//
// Limits on what a server or a caller can make the client hold (all constant per connection):
//  - a reply line is assembled in a fixed 4096-byte buffer; a longer line ends the open request
//    with 500 and closes the connection (there is no way to resynchronise with such a server);
//  - one reply keeps at most MaxReplyLines lines and MaxReplyBytes bytes (ReplyLines); more
//    ends the open request with 500 and closes the connection;
//  - every reply is awaited for a bounded time as a whole (ReplyWaitSeconds), however the
//    server spreads its bytes: a server cannot hold the client by trickling lines;
//  - message lines are prepared one at a time in a 1024-byte line buffer and leave in batches of
//    SendBatchBytes, one batch in flight at a time;
//  - header lines longer than 998 characters (RFC 5322 2.1.1) are folded at blanks, so nothing
//    is cut; text lines that do not fit the wire go out quoted-printable (TSmtpCli).
//
// What a reader gets: header text beyond ASCII as RFC 2047 encoded-words in CharSet, display
// names with specials quoted, a Message-ID on every message, attachment names beyond ASCII as
// RFC 2231 parameters, and the text exactly as written (7bit, 8bit where the server announced
// 8BITMIME, else quoted-printable).
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/WSocket.h"
#include "platform/EventLoop.h"
#include "platform/Secret.h"
#include "platform/StringList.h"
#include "platform/Timer.h"
#include "smtp/SmtpAuth.h"
#include "smtp/SmtpEhlo.h"
#include "smtp/SmtpEncoding.h"
#include "util/FileUtils.h"

// Misuse of the client (a request started at the wrong time or without what it needs).
class SmtpException : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// An attachment could not be opened, read or closed. Unlike an exception from the owner's
// OnGetData handler, this does not end the body with "."; the message is abandoned (the
// connection is dropped before the server sees the end of the data) and Data fails.
class EInOutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class TSmtpState : std::uint8_t {
  smtpReady,
  smtpDnsLookup,
  smtpConnecting,
  smtpConnected,
  smtpInternalReady,
  smtpWaitingBanner,
  smtpWaitingResponse,
  smtpAbort,
  // AUTH is next and the owner was asked for the password (OnCredentialsNeeded); no reply is
  // awaited, so no reply bound runs.
  smtpWaitingCredentials
};
inline constexpr const char* SmtpStateNames[] = {
    "smtpReady",           "smtpDnsLookup",     "smtpConnecting",
    "smtpConnected",       "smtpInternalReady", "smtpWaitingBanner",
    "smtpWaitingResponse", "smtpAbort",         "smtpWaitingCredentials"};
static_assert(std::size(SmtpStateNames) ==
                  static_cast<std::size_t>(TSmtpState::smtpWaitingCredentials) + 1,
              "one name per TSmtpState");
const char* SmtpStateName(TSmtpState State);

enum class TSmtpRequest : std::uint8_t {
  smtpConnect,
  smtpHelo,
  smtpMailFrom,
  smtpVrfy,
  smtpRcptTo,
  smtpData,
  smtpQuit,
  smtpRset,
  smtpOpen,
  smtpMail,
  smtpEhlo,
  smtpStartTls,
  smtpAuth
};
inline constexpr const char* SmtpRequestNames[] = {
    "smtpConnect", "smtpHelo", "smtpMailFrom", "smtpVrfy", "smtpRcptTo",   "smtpData", "smtpQuit",
    "smtpRset",    "smtpOpen", "smtpMail",     "smtpEhlo", "smtpStartTls", "smtpAuth"};
static_assert(std::size(SmtpRequestNames) == static_cast<std::size_t>(TSmtpRequest::smtpAuth) + 1,
              "one name per TSmtpRequest");
const char* SmtpRequestName(TSmtpRequest Request);

enum class TSmtpContentType : std::uint8_t { smtpHTML, smtpPlainText };

// How the session is protected: not at all (the plain HELO session), by STARTTLS after the
// greeting (required: a server that does not offer it ends the session), or by TLS from the
// first byte (implicit TLS, "smtps").
enum class TSmtpTlsMode : std::uint8_t { smtpTlsNone, smtpTlsStartTls, smtpTlsImplicit };

// Steps of a command sequence; a TSmtpFctSet has bit n set when step n is present.
enum class TSmtpFct : std::uint8_t {
  smtpFctNone,
  smtpFctHelo,
  smtpFctConnect,
  smtpFctMailFrom,
  smtpFctRcptTo,
  smtpFctData,
  smtpFctVrfy,
  smtpFctQuit,
  smtpFctRset,
  smtpFctEhlo,
  smtpFctStartTls,
  smtpFctAuth
};
using TSmtpFctSet = std::uint16_t;
constexpr TSmtpFctSet SmtpFctBit(TSmtpFct Fct) {
  return static_cast<TSmtpFctSet>(1u << static_cast<unsigned>(Fct));
}

// The completion message the client posts to its own hidden window.
constexpr std::uint32_t WM_SMTP_REQUEST_DONE = WM_USER + 1;
// The request for credentials, fired from the loop rather than from inside a socket handler.
constexpr std::uint32_t WM_SMTP_CREDENTIALS = WM_USER + 2;

class TCustomSmtpClient;

using TSmtpDisplay = std::function<void(TCustomSmtpClient* Sender, const std::string& Msg)>;
using TSmtpRequestDone =
    std::function<void(TCustomSmtpClient* Sender, TSmtpRequest RqType, std::uint16_t Error)>;
using TSmtpSessionConnected = std::function<void(TCustomSmtpClient* Sender, std::uint16_t Error)>;
using TSmtpSessionClosed = std::function<void(TCustomSmtpClient* Sender, std::uint16_t Error)>;
using TSmtpStateChange = std::function<void(TCustomSmtpClient* Sender)>;
// Mechanism is the SASL mechanism AUTH is about to use ("PLAIN", "XOAUTH2", ...).
using TSmtpCredentialsNeeded =
    std::function<void(TCustomSmtpClient* Sender, const std::string& Mechanism)>;
// MsgLine holds room for MaxLen characters and a terminating NUL.
using TSmtpGetDataEvent = std::function<void(TCustomSmtpClient* Sender, int LineNum, char* MsgLine,
                                             int MaxLen, bool& More)>;
// Msg holds the NUL-terminated header line; the handler may rewrite it within Size bytes.
using TSmtpHeaderLineEvent = std::function<void(TCustomSmtpClient* Sender, char* Msg, int Size)>;
using TSmtpProcessHeaderEvent =
    std::function<void(TCustomSmtpClient* Sender, TStringList& HdrLines)>;
using TSmtpAttachmentContentType = std::function<void(
    TCustomSmtpClient* Sender, int FileNumber, std::string& FileName, std::string& ContentType)>;
using TSmtpAttachHeader = std::function<void(TCustomSmtpClient* Sender, int FileNumber,
                                             const std::string& FileName, TStringList& HdrLines)>;

// The Date header value: "ddd, d mmm yyyy hh:mm:ss" with English names, a blank and the zone
// offset of that moment, e.g. "Sun, 6 Dec 2026 14:05:09 +0100". Locale-independent.
std::string Rfc822DateTime(std::time_t When);
// The zone offset text of the local zone at When ("+0100", "-0500", "+0530", "+0000" for UTC
// as a known zone); "-0000" (RFC 5322 3.3: zone unknown) only when the zone in force is one the
// system could not find. Honours a TZ change made since the last call.
std::string TimeZoneBias(std::time_t When);
std::string TimeZoneBias();

// 64 bits from the system's random source (getrandom); throws SmtpException when there are none.
std::uint64_t RandomNumber();
// A Message-ID value: "<" + the UTC time When as yyyymmddhhnnss + "." + 96 random bits in hex +
// "@" + Domain + ">"; unique across processes and hosts, also within one second.
std::string NewMessageId(const std::string& Domain, std::time_t When);

// Standard Base64 (RFC 2045), "=" padded: 45 bytes give one 60-character line. Base64Encode
// writes (Len + 2) / 3 * 4 characters and a NUL to Out and returns the character count.
std::size_t Base64Encode(const unsigned char* Data, std::size_t Len, char* Out);
std::string Base64EncodeLine(const unsigned char* Data, std::size_t Len);

// The pieces a header line is sent as so that no physical line exceeds MaxLine characters:
// folded before a blank (RFC 5322 2.2.3), each continuation starting with its blank. A run of
// more than MaxLine characters without a blank is broken at MaxLine and the continuation gets a
// blank of its own (the only fold that loses no character). Embedded line ends (CR, LF, CR LF)
// end a piece; a piece after one that does not start with a blank gets one, so that a header
// value can never end the header or the data early. A MaxLine below 2 folds nothing.
std::vector<std::string> FoldHeaderLine(std::string_view Line, std::size_t MaxLine);

class TCustomSmtpClient {
 public:
  // RFC 5321 4.5.3.1.6: 1000 octets per line including CR LF.
  static constexpr std::size_t MaxWireLine = 998;
  static constexpr int ReceiveBufferSize = 4096;
  // The line buffer handed to OnHeaderLine (Size) and OnGetData (MaxLen + 1), plus one spare
  // byte so that a 1023-character line whose leading dot is doubled still fits.
  static constexpr int LineBufferSize = 1024;
  static constexpr int MaxOkResponses = 16;
  // The message leaves in batches of about this many bytes: one write to the kernel each, and
  // under TLS four full records (16 KB of text each) less one line's room.
  static constexpr int SendBatchBytes = 4 * 16384 - 1024;
  // RFC 5321 4.5.3.1.5 allows a reply line 512 octets; a reply of 100 such lines (an EHLO
  // lists one extension per line, and far fewer than 100 are registered) is the most any
  // server needs. Beyond either limit the server is not speaking SMTP.
  static constexpr int MaxReplyLines = 100;
  static constexpr std::size_t MaxReplyBytes = 100 * 512;

  // RFC 5321 4.5.3.2: how long a client should wait for each reply, in seconds.
  static constexpr std::uint32_t GreetingWait = 300;   // 4.5.3.2.1, the 220 greeting
  static constexpr std::uint32_t MailWait = 300;       // 4.5.3.2.2
  static constexpr std::uint32_t RcptWait = 300;       // 4.5.3.2.3
  static constexpr std::uint32_t DataWait = 120;       // 4.5.3.2.4, the 354 to DATA
  static constexpr std::uint32_t DataBlockWait = 180;  // 4.5.3.2.5, each batch taken
  static constexpr std::uint32_t DataEndWait = 600;    // 4.5.3.2.6, the reply to "."
  static constexpr std::uint32_t CommandWait = 300;    // HELO, VRFY, RSET: not named; as MAIL
  // After the transaction nothing is at stake: QUIT is only a courtesy to the server.
  static constexpr std::uint32_t QuitWait = 5;
  // The bound of a command's reply, before the Timeout cap.
  static std::uint32_t ReplyWaitSeconds(TSmtpRequest Command);

  TCustomSmtpClient();
  virtual ~TCustomSmtpClient();
  TCustomSmtpClient(const TCustomSmtpClient&) = delete;
  TCustomSmtpClient& operator=(const TCustomSmtpClient&) = delete;

  // --- properties ---
  const std::string& Host() const { return FHost; }
  void SetHost(const std::string& Value) { FHost = Value; }
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& Value) { FPort = Value; }
  // The name to greet the server with; empty for the automatic one (HeloName).
  const std::string& SignOn() const { return FSignOn; }
  void SetSignOn(const std::string& Value) { FSignOn = Value; }
  // The name the client greets the server with, in HELO and in EHLO: SignOn when it is set;
  // otherwise the host's fully-qualified name (LocalFqdn); otherwise the address literal of the
  // connection's local end, "[127.0.0.1]" or "[IPv6:::1]" (RFC 5321 4.1.4); without a
  // connection, the bare host name.
  std::string HeloName();
  const std::string& FromName() const { return FFromName; }
  void SetFromName(const std::string& Value) { FFromName = Value; }
  const TStringList& RcptName() const { return FRcptName; }
  TStringList& RcptName() { return FRcptName; }
  void SetRcptName(const TStringList& Value) { FRcptName.Assign(Value); }
  const TStringList& MailMessage() const { return FMailMessage; }
  TStringList& MailMessage() { return FMailMessage; }
  void SetMailMessage(const TStringList& Value) { FMailMessage.Assign(Value); }
  const std::string& HdrFrom() const { return FHdrFrom; }
  void SetHdrFrom(const std::string& Value) { FHdrFrom = Value; }
  const std::string& HdrTo() const { return FHdrTo; }
  void SetHdrTo(const std::string& Value) { FHdrTo = Value; }
  // The Cc line's recipients, encoded like To; no line when blank. Blind copies have no
  // property: they are RcptName entries that no header names.
  const std::string& HdrCc() const { return FHdrCc; }
  void SetHdrCc(const std::string& Value) { FHdrCc = Value; }
  const std::string& HdrReplyTo() const { return FHdrReplyTo; }
  void SetHdrReplyTo(const std::string& Value) { FHdrReplyTo = Value; }
  const std::string& HdrReturnPath() const { return FHdrReturnPath; }
  void SetHdrReturnPath(const std::string& Value) { FHdrReturnPath = Value; }
  const std::string& HdrSubject() const { return FHdrSubject; }
  void SetHdrSubject(const std::string& Value) { FHdrSubject = Value; }
  const std::string& HdrSender() const { return FHdrSender; }
  void SetHdrSender(const std::string& Value) { FHdrSender = Value; }
  TSmtpState State() const { return FState; }
  const std::string& CharSet() const { return FCharSet; }
  void SetCharSet(const std::string& Value) { FCharSet = Value; }
  // The transfer encoding of the text lines the owner hands over through OnGetData, which are
  // pulled one at a time, so that only the owner can know: "7bit" (the default: ASCII lines of
  // at most 998 characters), "8bit" (such lines with bytes beyond ASCII) or "quoted-printable"
  // (the owner's lines are already quoted-printable wire lines; a text with longer lines must
  // be given so).
  const std::string& TextTransferEncoding() const { return FTextTransferEncoding; }
  void SetTextTransferEncoding(const std::string& Value) { FTextTransferEncoding = Value; }
  // The transfer encoding the text goes out with in the next Data, known once the session is
  // up: the base client sends the owner's lines under TextTransferEncoding. TSmtpCli makes 8-bit
  // text without Server8BitMime, and MailMessage lines that 7bit cannot carry, quoted-printable
  // (encoded by the client); "8bit" only with Server8BitMime. Anything but "7bit" adds a
  // Content-Transfer-Encoding line to the header; with attachments the text part carries it.
  virtual std::string TextWireEncoding() const { return FTextTransferEncoding; }
  TSmtpContentType ContentType() const { return FContentType; }
  void SetContentType(TSmtpContentType Value);
  // The owner hands over the whole message, its header included, through OnGetData: the
  // client adds no header line of its own (no hooks run for one), only the dot-stuffing and
  // CR LF. TextTransferEncoding says whether it is "8bit" (declared with BODY=8BITMIME where
  // the server announced it). Such a session always greets with EHLO, so that 8BITMIME and
  // SIZE are known.
  bool RawMessage() const { return FRawMessage; }
  void SetRawMessage(bool Value) { FRawMessage = Value; }
  // A SOCKS proxy the connection goes through (read when Connect starts; Host empty: none).
  // Level "4", "4A" or "5". With RemoteResolve the proxy gets the server's name as typed
  // (SOCKS 4A, SOCKS 5 with the name), else the IPv4 address it resolved to here. TLS runs
  // over the proxy, the certificate checked against the server's name. A failed negotiation
  // ends the request with the SOCKS code (20001 to 20017) and the proxy's reason in
  // ErrorMessage; the password never appears there.
  struct TSmtpProxy {
    std::string Level = "5";
    std::string Host;
    std::string Port;
    std::string User;
    TSecret Password;
    bool RemoteResolve = false;
  };
  const TSmtpProxy& Proxy() const { return FProxy; }
  void SetProxy(const TSmtpProxy& Value) { FProxy = Value; }
  // --- ESMTP, TLS and AUTH (read when Open starts) ---
  TSmtpTlsMode TlsMode() const { return FTlsMode; }
  void SetTlsMode(TSmtpTlsMode Value) { FTlsMode = Value; }
  // Greets with EHLO also in a plain session (falling back to HELO when the server refuses EHLO
  // with 5yz), so that a server's PIPELINING can be used. Off: the plain HELO session.
  bool UseEhlo() const { return FUseEhlo; }
  void SetUseEhlo(bool Value) { FUseEhlo = Value; }
  // Data sends QUIT right after the final ".", in the same write, where the server pipelines;
  // the reply to "." still ends Data, and the only request that may follow is Quit (which then
  // waits for the 221 without sending anything). For an owner that ends the session after the
  // message anyway.
  bool QuitAfterData() const { return FQuitAfterData; }
  void SetQuitAfterData(bool Value) { FQuitAfterData = Value; }
  // The session pipelines (RFC 2920): the server answered EHLO and announced PIPELINING. MailFrom
  // then sends MAIL FROM and every RcptName's RCPT TO in one write and ends once every reply is
  // in, each matched to its command; RcptTo that follows reports the recipients' replies without
  // sending anything. Replies are read while commands go out, so no buffer can fill on either
  // side; at most PipelineWindow commands are unanswered at a time, topped up each time a tenth
  // of them is answered. DATA waits until every recipient was accepted, unless PipelineData.
  bool Pipelining() const { return FCapabilities.Ehlo && FCapabilities.Pipelining; }
  static constexpr std::size_t PipelineWindow = 1000;
  // MailFrom also sends DATA behind the envelope where the session pipelines and there is
  // exactly one recipient: a refused recipient then makes the server refuse DATA as well, so the
  // message can never reach part of its recipients. RcptTo and Data follow as always; Data then
  // goes on from the reply already in. For an owner whose chain is MailFrom, RcptTo, Data.
  bool PipelineData() const { return FPipelineData; }
  void SetPipelineData(bool Value) { FPipelineData = Value; }
  // A PEM file of CA certificates trusted besides the system's; empty: the system's only.
  const std::string& CaFile() const { return FCaFile; }
  void SetCaFile(const std::string& Value) { FCaFile = Value; }
  // The SHA-256 fingerprint of the one server certificate to accept (hex, colons allowed).
  const std::string& TlsFingerprint() const { return FTlsFingerprint; }
  void SetTlsFingerprint(const std::string& Value) { FTlsFingerprint = Value; }
  // The user to authenticate as; empty: no AUTH.
  const std::string& Username() const { return FUsername; }
  void SetUsername(const std::string& Value) { FUsername = Value; }
  // The password, or the bearer token for smtpAuthOAuth2. Write-only: it never leaves the
  // client except inside an AUTH exchange over an encrypted connection.
  void SetPassword(const TSecret& Value) { FPassword = Value; }
  TSmtpAuthType AuthType() const { return FAuthType; }
  void SetAuthType(TSmtpAuthType Value) { FAuthType = Value; }
  // What the server announced in its latest reply to EHLO in this session (nothing before the
  // first, and nothing right after STARTTLS until EHLO is answered again).
  const TSmtpCapabilities& Capabilities() const { return FCapabilities; }
  // The server takes 8-bit text (it announced 8BITMIME). Set by EHLO, cleared when a session
  // starts and by STARTTLS; the owner may set it for a session it knows. Only with it does
  // TSmtpCli send 8-bit text as such (otherwise quoted-printable), declared with BODY=8BITMIME
  // on MAIL FROM.
  bool Server8BitMime() const { return FServer8BitMime; }
  void SetServer8BitMime(bool Value) { FServer8BitMime = Value; }
  // The size of the message Data would send now, as RFC 1870 counts it (CR LF included, the
  // neither the dots doubled for transparency nor the final "."), without reading any
  // attachment: its part is counted from the file size. It
  // runs the header hooks (OnProcessHeader, OnHeaderLine) and pulls the owner's body lines
  // (OnGetData) once each, as Data will again. An upper bound, exact but for one byte: the Date
  // line is counted with a two-digit day. Not while Data runs.
  virtual std::uint64_t MessageSize();
  // The size MAIL FROM declared for the message in this session (SIZE=), 0 when it declared none.
  std::uint64_t DeclaredSize() const { return FDeclaredSize; }
  // During Data: the bytes of the message the socket has taken so far (as they go on the wire,
  // dots doubled). Counted per batch, so reading it costs nothing and it lags by one batch.
  std::uint64_t DataBytesSent() const { return FDataBytesSent; }

  // The last reply line (without CR LF, control characters shown as '?'), or a line the client
  // made up for a local failure. At most ReceiveBufferSize bytes.
  const std::string& LastResponse() const { return FLastResponse; }
  // After a certificate that failed verification: its SHA-256 fingerprint, else "".
  const std::string& TlsPeerFingerprint() const;
  // Every line of the latest reply, first to last, each as LastResponse shows it: the reply
  // being assembled, or the last complete one until the next reply begins (so it is whole when
  // its final line is handled and when OnRequestDone reports it). At most MaxReplyLines lines.
  const TStringList& ReplyLines() const { return FReplyLines; }
  // The first failing line since the last sequence start.
  const std::string& ErrorMessage() const { return FErrorMessage; }
  // True when what ErrorMessage reports cannot be cured by trying again: the server refused
  // with a permanent reply (5yz, RFC 5321 4.2.1 says the same request must not be repeated),
  // or the connection could not even be attempted (the socket refused the address or port).
  bool ErrorIsPermanent() const { return FErrorPermanent; }
  // The first RcptName entry the server refused in the last RcptTo; "" when it took them all.
  const std::string& RefusedRcptName() const { return FRefusedRcptName; }
  int Tag() const { return FTag; }
  void SetTag(int Value) { FTag = Value; }
  bool Connected() const { return FConnected; }
  // Every wait of an open request is bounded as a whole: the connection and the greeting, each
  // reply from the command to its final line, each line of the message taken by the server.
  // The bounds are RFC 5321 4.5.3.2's (ReplyWaitSeconds); Timeout, when not 0, caps them all
  // (seconds). When a bound passes, the request ends with 500 and the connection is dropped,
  // so a server that stops answering, or answers a line at a time for ever, cannot hang the
  // client.
  std::uint32_t Timeout() const { return FTimeout; }
  void SetTimeout(std::uint32_t Seconds) { FTimeout = Seconds; }
  // The clock the bounds are measured with (a test stands in a fake one). Default: steady.
  using TClock = std::function<std::chrono::steady_clock::time_point()>;
  void SetClock(TClock Clock) { FClock = std::move(Clock); }

  // --- files the message carries ---
  // Files whose content the owner put into the message (the text read from a file), each with
  // the identity it had when it was read; kept until set again. Before the final "." each of
  // them, and each attachment TSmtpCli read, must still be the file that was read, unchanged:
  // otherwise the message is abandoned without its "." (the connection is dropped, so the
  // server discards it) and Data ends with 500 naming the file.
  struct TSourceFile {
    std::string Name;
    TFileIdentity Identity;
  };
  const std::vector<TSourceFile>& SourceFiles() const { return FSourceFiles; }
  void SetSourceFiles(std::vector<TSourceFile> Files) { FSourceFiles = std::move(Files); }
  // The first file of the message that is no longer as it was read, or "".
  virtual std::string ChangedSourceFile() const;

  // --- addresses ---
  // Why the envelope (FromName, every RcptName entry), the address fields of the header or the
  // HELO name (SignOn) cannot go to a server, naming the field and the value; "" when they can.
  // Open raises it as SmtpException before anything is sent: control characters, bytes that
  // are not UTF-8, RFC 5321's length limits, domains that are no IDNA 2008 names.
  std::string AddressesProblem() const;
  // The first envelope address whose local part is beyond ASCII ("" when none): it needs
  // SMTPUTF8 (RFC 6531), so Open greets with EHLO, and MailFrom ends with 500 before MAIL FROM
  // is sent when the server did not announce it. Without SMTPUTF8 in use, domains beyond ASCII
  // go out as their A-labels.
  std::string Utf8EnvelopeAddress() const;
  // SMTPUTF8 is declared on the MAIL FROM of this session's transaction.
  bool SmtpUtf8InUse() const { return FSmtpUtf8InUse; }

  // --- requests ---
  virtual void Connect();
  virtual void Helo();
  virtual void Vrfy();
  virtual void MailFrom();
  virtual void RcptTo();
  virtual void Data();
  virtual void Quit();
  virtual void Rset();
  // Drops the connection at once; an open request ends with an error (WSAEINTR).
  virtual void Abort();
  // EHLO: the server's extensions go to Capabilities().
  virtual void Ehlo();
  // STARTTLS, the TLS handshake, then EHLO again, as one request. A server that did not
  // announce STARTTLS ends it with 500 before anything is sent.
  virtual void StartTls();
  // AUTH with the strongest mechanism both sides have (AuthType). Throws SmtpException when
  // Username is empty; ends with 500 before anything is sent when the connection is not
  // encrypted or there is no mechanism in common; otherwise with the server's code.
  // With OnCredentialsNeeded assigned and no Password set, the client then enters
  // smtpWaitingCredentials and fires the event from the loop; the owner answers, at once or
  // later, with ProvideCredentials or RefuseCredentials. So the password is asked for only when
  // a server over TLS has offered a mechanism the client will use.
  virtual void Auth();
  // The answer to OnCredentialsNeeded: AUTH goes on with Password (copied into the exchange
  // only, and wiped with it when the server has answered; the owner may wipe its own). False,
  // and nothing done, when the client no longer waits (the request ended meanwhile: an abort,
  // a lost connection).
  bool ProvideCredentials(const TSecret& Password);
  // The other answer: the request ends with the client's 500 and "500 " + Problem; the session
  // stays open (RSET and QUIT can still follow). False when the client no longer waits.
  bool RefuseCredentials(const std::string& Problem);
  // Connect, then Helo (or Ehlo, StartTls, Auth as the ESMTP settings ask), as one request
  // (smtpOpen).
  virtual void Open();
  virtual void Mail();  // MailFrom, RcptTo, Data as one request (smtpMail)

  // --- events ---
  TSmtpDisplay OnDisplay;
  TSmtpDisplay OnCommand;
  TSmtpDisplay OnResponse;
  TSmtpGetDataEvent OnGetData;
  TSmtpHeaderLineEvent OnHeaderLine;
  TSmtpProcessHeaderEvent OnProcessHeader;
  TSmtpRequestDone OnRequestDone;
  TSmtpStateChange OnStateChange;
  TSmtpCredentialsNeeded OnCredentialsNeeded;
  TSmtpSessionConnected OnSessionConnected;
  TSmtpSessionClosed OnSessionClosed;

 protected:
  using TNextProc = void (TCustomSmtpClient::*)();
  using TLineHandler = void (TCustomSmtpClient::*)();

  virtual void TriggerDisplay(const std::string& Msg);
  virtual void TriggerCommand(const std::string& Msg);
  virtual void TriggerResponse(const std::string& Msg);
  virtual void TriggerRequestDone(std::uint16_t Error);
  virtual void TriggerStateChange();
  virtual void TriggerGetData(int LineNum, char* MsgLine, int MaxLen, bool& More);
  virtual void TriggerHeaderLine(char* Line, int Size);
  virtual void TriggerProcessHeader(TStringList& HdrLines);
  virtual void TriggerSessionConnected(std::uint16_t Error);
  virtual void TriggerSessionClosed(std::uint16_t Error);
  // The Content-Transfer-Encoding of the message as a whole.
  virtual std::string HeaderTransferEncoding() const { return TextWireEncoding(); }
  virtual void SendCommand(const std::string& Cmd);
  virtual void OpenAttachment(const std::string& FileName);
  // Writes the next Base64 line (at most 60 characters and a NUL) into Line; More is false
  // when the file has no data left after it.
  virtual void EncodeAttachmentLine(char* Line, bool& More);
  virtual void CloseAttachment();
  virtual void WndProc(TMessage& Msg);

  // --- engine ---
  void CheckReady();
  // How a change of state is made known: to OnStateChange, or not at all for the client's own
  // step between two commands of one request (the next command follows at once, and the owner
  // never sees the client ready in between). Either way the trace shows it.
  enum class TStateNotice : std::uint8_t { Notify, Quiet };
  // The only writer of State.
  void StateChange(TSmtpState NewState, TStateNotice Notice = TStateNotice::Notify);
  void ExecAsync(TSmtpRequest RqType, const std::string& Cmd,
                 std::initializer_list<int> OkResponses, TNextProc DoneAsync,
                 TLineHandler Next = &TCustomSmtpClient::NextExecAsync);
  // ExecAsync without the sending: the request waits for the reply to a command sent next.
  void StartCommand(TSmtpRequest RqType, std::initializer_list<int> OkResponses,
                    TNextProc DoneAsync, TLineHandler Next = &TCustomSmtpClient::NextExecAsync);
  // Sends a line that holds a secret; the trace shows Shown instead.
  void SendSecretCommand(const TSecret& Cmd, const std::string& Shown);
  // Starts RqType only to end it at once with the client's own 500 and Text (nothing is sent).
  void FailRequest(TSmtpRequest RqType, const std::string& Text, bool Permanent = false);
  void NextExecAsync();
  void DisplayOnly();
  void DisplayLastResponse();
  // Sets ErrorMessage from LastResponse unless it already holds a failure. FromServer: the
  // line is the server's refusal, so a 5yz code makes the failure permanent.
  void SetErrorMessage(bool FromServer = false);
  // Takes n bytes just stored after the FRcvdCount held ones and handles every complete line.
  void ReceivedBytes(int Count, std::uint16_t Error);
  void HandleReplyLine(std::uint16_t Error);
  // End the open request with the client's own 500: Text as its reply line, or a line naming
  // the exception; FailAndDisconnect drops the session too.
  void EndWithLocalError(const std::string& Text, bool Permanent = false);
  void FailOnException(const std::exception& E, bool Permanent = false);
  void FailAndDisconnect(const std::string& Text, bool Permanent = false);
  void HighLevelAsync(TSmtpRequest RqType, TSmtpFctSet Fcts);
  void NextHighLevelAsync();
  void RcptToNext();
  void RcptToDone();
  // The pipelined envelope (see Pipelining): sends what the window allows, and takes each reply.
  void SendPipelinedCommands();
  void PipelinedReply();
  void EndPipelinedEnvelope();
  // RcptTo after a pipelined MailFrom: ends with what the recipients' replies said.
  void ReportPipelinedRecipients();
  // Sends Lines in one write, each traced as SendCommand does.
  void SendCommandGroup(const std::vector<std::string>& Lines);
  // The end of the message: "." (and QUIT where it goes along), unless a file the message was
  // read from changed meanwhile (ChangedSourceFile): then the session is dropped instead.
  void SendFinalDot();
  bool NeedsEhlo() const;
  void SendEhlo(TSmtpRequest RqType);
  void EhloDone();
  void StartTlsReply();
  // Starts the TLS handshake after the server's 220 to STARTTLS; TlsDone follows. (Implicit
  // TLS is the socket's own: OnSessionConnected comes after its handshake.)
  void BeginTls();
  void TlsDone(std::uint16_t Error);
  // True when the session runs over TLS, so that credentials may be sent.
  virtual bool SessionEncrypted() const;
  // Sends the AUTH line for FSaslName with Password.
  void SendAuth(const TSecret& Password);
  void AuthReply();
  // The header as Data builds it (hooks run), one entry per physical line, with the empty
  // separator at the end.
  void BuildHeaderLines(TStringList& Hdr);
  std::uint64_t HeaderSize();
  // The owner's body lines, pulled through the base TriggerGetData from line 1 on.
  // The owner's lines as sent: as they are, or encoded by the client (QuotedPrintable).
  std::uint64_t OwnerBodySize(bool QuotedPrintable = false);
  // The bytes one line takes on the wire (RFC 1870 count) once sent as Header or body line.
  static std::uint64_t WireLineSize(std::string_view Line, bool Header);
  void DataAfterDataCommand();
  void DataAfterPipelinedCommand();
  // The pipelined DATA got its 354 and Data has not taken it up: the server reads what comes.
  bool ServerTookPipelinedData() const { return FDataPipelined && FPipelineDataCode == 354; }
  void LeaveDataUnsent(TSmtpRequest RqType, const std::string& Command);
  void DataNext();
  bool QueueNextLine();
  void BuildHeader();
  void SendHeaderLine();
  void SendLineBuffer(bool Header);
  void AbandonMessage(const std::exception& E);
  void SetCorked(bool Corked);

  // --- socket events ---
  void WSocketDnsLookupDone(TCustomWSocket* Sender, std::uint16_t Error);
  // Connects the socket to Addr (an address, or under a remote-resolving proxy the name).
  void ConnectSocket(const std::string& Addr);
  // The connection's failure line for a socket error code.
  std::string ConnectFailureLine(int Code) const;
  void WSocketSessionConnected(TCustomWSocket* Sender, std::uint16_t Error);
  void WSocketDataAvailable(TCustomWSocket* Sender, std::uint16_t Error);
  void WSocketSessionClosed(TCustomWSocket* Sender, std::uint16_t Error);
  void WSocketDataSent(TCustomWSocket* Sender, std::uint16_t Error);

  // True once the object has been destroyed by whatever ran since the token was taken.
  std::shared_ptr<bool> AliveToken() const { return FAlive; }
  static bool Gone(const std::shared_ptr<bool>& Token) { return !*Token; }

  std::unique_ptr<TWSocket> FWSocket;
  std::string FHost;
  std::string FPort = "smtp";
  std::string FSignOn;
  std::string FFromName;
  TStringList FRcptName;
  TStringList FMailMessage;
  std::string FHdrFrom, FHdrTo, FHdrReplyTo, FHdrReturnPath, FHdrSubject, FHdrSender;
  std::string FHdrCc;
  TSmtpState FState = TSmtpState::smtpReady;
  std::string FCharSet = "iso-8859-1";
  std::string FTextTransferEncoding = "7bit";
  TSmtpContentType FContentType = TSmtpContentType::smtpPlainText;
  std::string FContentTypeText = "text/plain";
  std::string FLastResponse;
  std::string FErrorMessage;
  std::string FRefusedRcptName;
  int FTag = 0;
  bool FConnected = false;
  TSmtpRequest FRequestType = TSmtpRequest::smtpConnect;
  // No request is open until the first one starts.
  bool FRequestDoneFlag = true;
  int FRcvdCount = 0;
  int FRequestResult = 0;
  // The code of the reply line being handled: 0 when the line is not a well-formed reply line
  // (three digits, then the end, a blank or "-") or its code differs from its reply's first.
  int FReplyCode = 0;
  // The line being handled is not its reply's last ("-" after the code).
  bool FReplyContinues = false;
  TStringList FReplyLines;
  std::size_t FReplyBytes = 0;
  bool FReplyComplete = true;
  bool FErrorPermanent = false;
  char FReceiveBuffer[ReceiveBufferSize] = {};
  TLineHandler FNext = nullptr;
  TSmtpFctSet FFctSet = 0;
  int FHighLevelResult = 0;
  bool FHighLevelFlag = false;
  TNextProc FNextRequest = nullptr;
  int FOkResponses[MaxOkResponses] = {};
  TNextProc FDoneAsync = nullptr;
  HWND FWindowHandle = 0;
  int FItemCount = -1;
  std::unique_ptr<TStringList> FHdrLines;
  int FLineNum = 0;
  bool FMoreLines = true;
  char FLineBuffer[LineBufferSize + 1] = {};

  bool FRawMessage = false;
  TSmtpProxy FProxy;
  std::string FSocksErrorText;  // the proxy's reason for the failure being reported

  // ESMTP.
  TSmtpTlsMode FTlsMode = TSmtpTlsMode::smtpTlsNone;
  bool FUseEhlo = false;
  bool FQuitAfterData = false;
  std::uint64_t FDeclaredSize = 0;
  std::uint64_t FDataBytesSent = 0, FDataBatchBytes = 0;
  // QUIT went out with the final "."; the code of its reply once that has come (0: not yet).
  bool FQuitSent = false;
  int FQuitReply = 0;
  // The pipelined envelope: its commands (MAIL FROM first), how many went out and how many got
  // their reply; what MAIL's reply was; and for the recipients, the last reply's result and line
  // and the first refusal (line, whether permanent).
  std::vector<std::string> FPipeline;
  std::size_t FPipelineSent = 0, FPipelineAnswered = 0;
  int FPipelineMailResult = 0;
  std::string FPipelineMailLine;
  bool FRcptsPipelined = false;
  int FPipelineRcptResult = 0;
  std::string FPipelineRcptLine, FPipelineRcptRefusal;
  bool FPipelineRcptPermanent = false;
  bool FPipelineData = false;
  // DATA went out with the envelope and its reply waits for Data.
  bool FDataPipelined = false;
  int FPipelineDataCode = 0;
  std::string FPipelineDataLine;
  std::string FCaFile;
  std::string FTlsFingerprint;
  std::string FUsername;
  TSecret FPassword;
  TSmtpAuthType FAuthType = TSmtpAuthType::smtpAuthAuto;
  TSmtpCapabilities FCapabilities;
  bool FServer8BitMime = false;
  std::unique_ptr<TSaslMechanism> FSasl;
  std::string FSaslName;  // the mechanism chosen for the AUTH being prepared
  std::vector<TSourceFile> FSourceFiles;
  bool FSmtpUtf8InUse = false;
  // The SCRAM client nonce; empty: a random one per exchange (only tests fix it).
  std::string FScramNonce;

  // What the open request waits for, which names the failure when the bound passes.
  enum class TWaitFor : std::uint8_t { Connection, Reply, DataTaken };
  // The open request waits from now for at most Seconds (capped by Timeout). Cheap enough for
  // every line of a message: the timer is only switched on, never restarted.
  void StartWait(TWaitFor What, std::uint32_t Seconds);
  bool WaitOverdue() const;

 private:
  void DeadlineTimerTimer();
  void FailOnDeadline();
  // Adds LastResponse to ReplyLines and reads its code; false when the reply grew beyond its
  // limits (the request has then failed).
  bool TakeReplyLine();

  std::uint32_t FTimeout = 0;
  TClock FClock = [] { return std::chrono::steady_clock::now(); };
  TWaitFor FWaitFor = TWaitFor::Reply;
  std::uint32_t FWaitSeconds = 0;
  std::chrono::steady_clock::time_point FDeadline;
  // Ticks once a second while a request is open; the hot paths only move the deadline.
  TTimer FDeadlineTimer{"SmtpDeadline", 1000, false};
  std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
};

class TSmtpCli : public TCustomSmtpClient {
 public:
  TSmtpCli();
  ~TSmtpCli() override;

  const TStringList& EmailFiles() const { return FEmailFiles; }
  // Takes the trimmed, non-empty names of List in order; throws SmtpException
  // "File not found '<name>'" at the first name that is not an existing file (the names before
  // it stay in the list).
  void SetEmailFiles(const TStringList& List);

  void Data() override;
  // Adds the MIME structure and each attachment's Base64 part (from the file's size) to the
  // header and text; exact as long as the files keep their size until they are sent.
  std::uint64_t MessageSize() override;
  // The wire size of a Base64 part for a file of FileSize bytes: 60-character lines of 45
  // bytes each, the last one shorter, each with CR LF; one empty line for an empty file.
  static std::uint64_t Base64PartSize(std::uint64_t FileSize);
  std::string TextWireEncoding() const override;
  // The attachments the last Data read, in EmailFiles order as far as it got, each with the
  // identity it had when it was opened: what a caller may delete after the message was taken
  // (DeleteFileIfUnchanged), and nothing else.
  const std::vector<TSourceFile>& SentAttachments() const { return FSentAttachments; }
  std::string ChangedSourceFile() const override;

  TSmtpAttachmentContentType OnAttachContentType;
  TSmtpAttachHeader OnAttachHeader;

 protected:
  virtual void TriggerAttachContentType(int FileNumber, std::string& FileName,
                                        std::string& ContentType);
  virtual void TriggerAttachHeader(int FileNumber, const std::string& FileName,
                                   TStringList& HdrLines);
  void TriggerGetData(int LineNum, char* MsgLine, int MaxLen, bool& More) override;
  void TriggerHeaderLine(char* Line, int Size) override;
  void OpenAttachment(const std::string& FileName) override;
  void EncodeAttachmentLine(char* Line, bool& More) override;
  void CloseAttachment() override;

  std::string HeaderTransferEncoding() const override;

  void PrepareEMail();
  void EncodeOwnerLine(char* MsgLine, int MaxLen);
  // Moves the next queued line into MsgLine, folding a line too long for the wire.
  void TakeQueuedLine(char* MsgLine, int MaxLen);
  void StartNextAttachment(char* MsgLine);
  // Appends the part header of attachment FileNumber (the hooks run) and its empty line.
  void AddPartHeader(int FileNumber, TStringList& Lines);
  static void AddNameParameter(const std::string& Name, TStringList& Lines);
  static std::uint64_t QueuedLinesSize(const TStringList& Lines, int From);

  // Reads the open attachment through FReadBuffer; false at the end of the file.
  bool FillReadBuffer();

  // Lines to send before anything else is asked for; FMimeHead is the next one to send (the
  // queue is emptied once it has all gone, so taking a line never moves the others).
  TStringList FMimeLines;
  int FMimeHead = 0;
  TStringList FEmailFiles;
  int FCurrentFile = 0;
  std::string FBoundary;
  // The text part's transfer encoding as sent; whether the client encodes the text lines
  // (quoted-printable), and whether that includes the owner's lines.
  std::string FTextEncoding = "7bit";
  bool FEncodeText = false;
  bool FEncodeOwnerLines = false;
  int FAttachFile = -1;  // open attachment, read-only
  std::string FAttachFileName;
  std::uint64_t FAttachSize = 0;  // its size when it was opened
  std::uint64_t FAttachRead = 0;
  std::vector<TSourceFile> FSentAttachments;
  // The attachment is read in large blocks; the block is the only buffer a file ever gets.
  std::vector<unsigned char> FReadBuffer;
  std::size_t FReadPos = 0, FReadEnd = 0;
  bool FFileStarted = false;
  bool FBodyFlag = true;
  int FBodyLine = 0;
};
