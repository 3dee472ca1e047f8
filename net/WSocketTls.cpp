#include "net/WSocketTls.h"

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <dirent.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "net/NetTrace.h"

namespace {

// Bounds what one read notification decrypts ahead of the application: four full records.
constexpr std::size_t MaxHeldPlain = 4 * TCustomTlsWSocket::MaxRecordPlainText;
// The first bytes of the peer kept during a handshake, to tell a plain-text server by them.
constexpr std::size_t PeerStartKept = 48;
constexpr int Sha256Size = 32;

// "AB:CD:..." (upper case, colon separated) for a digest.
std::string HexFingerprint(const unsigned char* Digest, unsigned Len) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned i = 0; i < Len; ++i) {
    if (i) out += ':';
    out += digits[Digest[i] >> 4];
    out += digits[Digest[i] & 15];
  }
  return out;
}

bool IsIpAddress(const std::string& Name) {
  unsigned char address[16];
  return inet_pton(AF_INET, Name.c_str(), address) == 1 ||
         inet_pton(AF_INET6, Name.c_str(), address) == 1;
}

// A plain-text server greets with a text line ("220 ..."); a TLS record starts with a content
// type byte between 20 and 24.
bool LooksLikeText(const std::string& Bytes) {
  if (Bytes.size() < 4) return false;
  for (unsigned char c : Bytes.substr(0, 4))
    if (c < 0x20 || c > 0x7E) return false;
  return true;
}

// The peer's text as an error message may show it: one line, printable, short.
std::string QuotedPeerText(const std::string& Bytes) {
  std::string out;
  for (unsigned char c : Bytes) {
    if (c == '\r' || c == '\n') break;
    out += c >= 0x20 && c <= 0x7E ? static_cast<char>(c) : '?';
  }
  return "\"" + out + "\"";
}

// The reason OpenSSL gives for the error at the head of its queue.
std::string OpenSslReason() {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) return "protocol error";
  const char* reason = ERR_reason_error_string(code);
  return reason ? reason : "error " + std::to_string(ERR_GET_REASON(code));
}

// True when Folder holds at least one certificate under its subject-hash name ("5ad8a5d6.0"),
// as c_rehash and update-ca-certificates make them.
bool HasHashedCertificates(const char* Folder) {
  struct CloseDir {
    void operator()(DIR* Dir) const { closedir(Dir); }
  };
  std::unique_ptr<DIR, CloseDir> dir(opendir(Folder));
  if (!dir) return false;
  while (const dirent* entry = readdir(dir.get())) {
    const char* name = entry->d_name;
    if (std::strlen(name) < 10 || name[8] != '.' ||
        !std::isdigit(static_cast<unsigned char>(name[9])))
      continue;
    if (std::all_of(name, name + 8,
                    [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); }))
      return true;
  }
  return false;
}

// The system's trust store, looked up in the hashed directory on demand: parsing the whole
// bundle file, as the default paths do, costs every process some 20 ms of CPU for one chain.
// The same certificates are trusted either way (the directory and the bundle are made from the
// same set). SSL_CERT_DIR names another folder, SSL_CERT_FILE adds a bundle, and a system
// without a hashed folder gets its bundle.
void LoadSystemTrust(SSL_CTX* Context) {
  const char* fileFromEnvironment = std::getenv(X509_get_default_cert_file_env());
  const char* dirFromEnvironment = std::getenv(X509_get_default_cert_dir_env());
  if (fileFromEnvironment) SSL_CTX_load_verify_file(Context, fileFromEnvironment);
  if (dirFromEnvironment) {
    SSL_CTX_load_verify_dir(Context, dirFromEnvironment);
  } else if (HasHashedCertificates(X509_get_default_cert_dir())) {
    SSL_CTX_load_verify_dir(Context, X509_get_default_cert_dir());
  } else if (!fileFromEnvironment) {
    SSL_CTX_load_verify_file(Context, X509_get_default_cert_file());
  }
  // A missing store is not an error of its own: the chain check says what is missing.
  ERR_clear_error();
}

}  // namespace

std::string ParseTlsFingerprint(const std::string& Text) {
  std::string hex;
  for (char c : Text) {
    if (c == ':' || c == ' ') continue;
    if (!std::isxdigit(static_cast<unsigned char>(c))) return {};
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.size() != 2 * Sha256Size) return {};
  std::string bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

const char* TlsPhaseName(TTlsPhase Phase) {
  switch (Phase) {
    case TTlsPhase::tlsOff:
      return "tlsOff";
    case TTlsPhase::tlsHandshaking:
      return "tlsHandshaking";
    case TTlsPhase::tlsActive:
      return "tlsActive";
    case TTlsPhase::tlsFailed:
      return "tlsFailed";
  }
  return "?";
}

// One TLS session: the OpenSSL objects and what the layer remembers between calls.
struct TCustomTlsWSocket::Session {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> Context{nullptr, SSL_CTX_free};
  std::unique_ptr<SSL, decltype(&SSL_free)> Ssl{nullptr, SSL_free};
  std::string Pin;  // the pinned fingerprint's bytes, empty without a pin
  std::string SeenFingerprint;
  bool PinMismatch = false;
  std::string PeerStart;   // the first bytes the peer sent
  bool PeerEof = false;    // the connection ended under the handshake or the records
  int WireError = 0;       // Winsock code of the last failed network read or write
  bool WantWrite = false;  // the handshake waits for the network to take its bytes
  // Plain text of the record being written: OpenSSL must be given the same bytes again when a
  // write could not finish.
  // Wiped once written (and when the session goes): it may have carried an AUTH line.
  char Staging[MaxRecordPlainText];
  int PendingWrite = 0;
  // A failure found inside a call of the application (Receive, Send): reported from the loop.
  int DeferredError = 0;
  std::string DeferredText;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() { OPENSSL_cleanse(Staging, sizeof Staging); }
};

// The BIO through which OpenSSL reads and writes: the layers below, never the descriptor.
struct TlsBio {
  static TCustomTlsWSocket& Owner(BIO* Bio) {
    return *static_cast<TCustomTlsWSocket*>(BIO_get_data(Bio));
  }

  static int Write(BIO* Bio, const char* Data, int Len) {
    TCustomTlsWSocket& owner = Owner(Bio);
    BIO_clear_retry_flags(Bio);
    int n = owner.WireSend(Data, Len);
    if (n > 0) return n;
    owner.Tls->WireError = Winsock::WSAGetLastError();
    if (n < 0 && owner.Tls->WireError == WSAEWOULDBLOCK) BIO_set_retry_write(Bio);
    return -1;
  }

  static int Read(BIO* Bio, char* Data, int Len) {
    TCustomTlsWSocket& owner = Owner(Bio);
    BIO_clear_retry_flags(Bio);
    int n = owner.LowerLayer::RecvRaw(Data, Len, 0);
    if (n > 0) {
      std::string& start = owner.Tls->PeerStart;
      if (start.size() < PeerStartKept)
        start.append(Data, std::min<std::size_t>(PeerStartKept - start.size(), n));
      return n;
    }
    if (n == 0) {
      owner.Tls->PeerEof = true;
      return 0;
    }
    owner.Tls->WireError = Winsock::WSAGetLastError();
    if (owner.Tls->WireError == WSAEWOULDBLOCK) BIO_set_retry_read(Bio);
    return -1;
  }

  static long Control(BIO*, int Command, long, void*) { return Command == BIO_CTRL_FLUSH ? 1 : 0; }

  static int Create(BIO* Bio) {
    BIO_set_init(Bio, 1);
    return 1;
  }

  static const BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "tarvik socket");
      BIO_meth_set_write(m, Write);
      BIO_meth_set_read(m, Read);
      BIO_meth_set_ctrl(m, Control);
      BIO_meth_set_create(m, Create);
      return m;
    }();
    return method;
  }

  // The server's own certificate (depth 0) is seen: its fingerprint is kept for the report of a
  // failed verification. The session, or null when the digest cannot be made.
  static TCustomTlsWSocket::Session* NoteServerCertificate(X509_STORE_CTX* Store,
                                                           unsigned char* Digest, unsigned& Len) {
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(Store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    TCustomTlsWSocket& owner = *static_cast<TCustomTlsWSocket*>(SSL_get_app_data(ssl));
    X509* certificate = X509_STORE_CTX_get_current_cert(Store);
    if (!certificate || !X509_digest(certificate, EVP_sha256(), Digest, &Len)) return nullptr;
    owner.Tls->SeenFingerprint = HexFingerprint(Digest, Len);
    return owner.Tls.get();
  }

  // The chain and the name are verified by OpenSSL; this only notes the server's certificate.
  static int VerifyChain(int Ok, X509_STORE_CTX* Store) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    if (X509_STORE_CTX_get_error_depth(Store) == 0) NoteServerCertificate(Store, digest, len);
    return Ok;
  }

  // Checks the pinned fingerprint on the server's own certificate; chain and name do not count.
  static int VerifyPin(int, X509_STORE_CTX* Store) {
    if (X509_STORE_CTX_get_error_depth(Store) != 0) return 1;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned len = 0;
    TCustomTlsWSocket::Session* session = NoteServerCertificate(Store, digest, len);
    if (!session) return 0;
    auto& tls = *session;
    tls.PinMismatch = std::string(reinterpret_cast<char*>(digest), len) != tls.Pin;
    if (tls.PinMismatch) return 0;
    X509_STORE_CTX_set_error(Store, X509_V_OK);
    return 1;
  }

  // Counts the records written once the session is up (the record headers OpenSSL reports).
  static void Message(int WriteP, int, int ContentType, const void*, size_t Len, SSL* Ssl, void*) {
    if (!WriteP || ContentType != SSL3_RT_HEADER || Len < SSL3_RT_HEADER_LENGTH) return;
    auto& owner = *static_cast<TCustomTlsWSocket*>(SSL_get_app_data(Ssl));
    if (owner.FTlsPhase == TTlsPhase::tlsActive) ++owner.FRecordsSent;
  }
};

TCustomTlsWSocket::TCustomTlsWSocket() = default;

TCustomTlsWSocket::~TCustomTlsWSocket() {
  // The core closes the socket after this layer is gone: say goodbye while it still can.
  if (FTlsPhase == TTlsPhase::tlsActive && Tls && HSocket() != Winsock::INVALID_SOCKET) {
    ERR_clear_error();
    SSL_shutdown(Tls->Ssl.get());
  }
}

std::string TCustomTlsWSocket::TlsVersion() const {
  return Tls && Tls->Ssl ? SSL_get_version(Tls->Ssl.get()) : "";
}

std::string TCustomTlsWSocket::TlsCipher() const {
  return Tls && Tls->Ssl ? SSL_get_cipher_name(Tls->Ssl.get()) : "";
}

std::string TCustomTlsWSocket::PeerName() const {
  return FTlsHostName.empty() ? Addr() : FTlsHostName;
}

void TCustomTlsWSocket::EnterTlsPhase(TTlsPhase Phase) {
  NET_TRACE("fd %d tls %s -> %s (host %s)", HSocket(), TlsPhaseName(FTlsPhase), TlsPhaseName(Phase),
            PeerName().c_str());
  FTlsPhase = Phase;
}

void TCustomTlsWSocket::ForgetTls() {
  Tls.reset();
  Prepared.reset();
  Plain.clear();
  Plain.shrink_to_fit();
  PlainHead = 0;
  PeerClosedTls = false;
  ImplicitPending = false;
  FTlsPhase = TTlsPhase::tlsOff;
}

void TCustomTlsWSocket::ResetDefaults() {
  LowerLayer::ResetDefaults();
  ForgetTls();
}

// --- starting ---

void TCustomTlsWSocket::Connect() {
  // A session that ended through an error report was not reset: drop what it left.
  if (State() == wsClosed) {
    ForgetTls();
    FTlsErrorText.clear();
    FRecordsSent = FPlainBytesSent = 0;
  }
  auto alive = AliveToken();
  LowerLayer::Connect();
  if (Gone(alive)) return;
  if (FTlsImplicit && SocketType() == SOCK_STREAM && State() != wsClosed) PrepareTls();
}

void TCustomTlsWSocket::PrepareTls() {
  if (FTlsPhase != TTlsPhase::tlsOff) return;
  std::string failure;
  Prepared = NewSession(failure);
  PreparedFor = SessionSettings();
}

std::string TCustomTlsWSocket::SessionSettings() const {
  return PeerName() + '\n' + FTlsCaFile + '\n' + FTlsFingerprint;
}

void TCustomTlsWSocket::Dup(TSocket NewHandle) {
  ForgetTls();
  LowerLayer::Dup(NewHandle);
}

void TCustomTlsWSocket::StartTls() {
  if (State() != wsConnected || FSocksPhase != TSocksPhase::socksPhaseNone ||
      HSocket() == Winsock::INVALID_SOCKET)
    return ReportError("StartTls: Socket not connected");
  if (FTlsPhase != TTlsPhase::tlsOff) return ReportError("StartTls: TLS already started");
  FTlsErrorText.clear();
  FRecordsSent = FPlainBytesSent = 0;
  EnterTlsPhase(TTlsPhase::tlsHandshaking);
  // Bytes that came before the handshake are not covered by it: after a server's go-ahead they
  // can only be an attempt to slip commands into the protected session.
  const bool unread = BytesWaiting();
  PostMessageA(Handle(), WM_TLS_STEP, NotifyWParam(), unread ? TlsError::UnreadData : 0);
}

void TCustomTlsWSocket::FireSessionConnected(std::uint16_t Error) {
  if (!FTlsImplicit || Error != 0 || FSocksPhase != TSocksPhase::socksPhaseNone ||
      FTlsPhase != TTlsPhase::tlsOff || State() != wsConnected || SocketType() != SOCK_STREAM)
    return LowerLayer::FireSessionConnected(Error);
  // The connection (or the proxy's tunnel) is up: the application hears of it after the
  // handshake.
  FTlsErrorText.clear();
  FRecordsSent = FPlainBytesSent = 0;
  ImplicitPending = true;
  EnterTlsPhase(TTlsPhase::tlsHandshaking);
  BeginHandshake();
}

std::unique_ptr<TCustomTlsWSocket::Session> TCustomTlsWSocket::NewSession(std::string& Failure) {
  const std::string name = PeerName();
  auto failed = [&](const std::string& What) {
    Failure = What;
    return nullptr;
  };
  ERR_clear_error();
  auto tls = std::make_unique<Session>();
  tls->Context.reset(SSL_CTX_new(TLS_client_method()));
  if (!tls->Context) return failed("cannot create a context: " + OpenSslReason());
  SSL_CTX* context = tls->Context.get();
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
  if (!FTlsFingerprint.empty()) {
    tls->Pin = ParseTlsFingerprint(FTlsFingerprint);
    if (tls->Pin.empty())
      return failed("the fingerprint is not a SHA-256 value in hex: " + FTlsFingerprint);
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, TlsBio::VerifyPin);
  } else {
    LoadSystemTrust(context);
    if (!FTlsCaFile.empty() &&
        SSL_CTX_load_verify_locations(context, FTlsCaFile.c_str(), nullptr) != 1)
      return failed("cannot read the CA file " + FTlsCaFile + ": " + OpenSslReason());
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, TlsBio::VerifyChain);
  }
  tls->Ssl.reset(SSL_new(context));
  if (!tls->Ssl) return failed("cannot create a session: " + OpenSslReason());
  SSL* ssl = tls->Ssl.get();
  SSL_set_app_data(ssl, this);
  SSL_set_connect_state(ssl);
  if (!IsIpAddress(name)) SSL_set_tlsext_host_name(ssl, name.c_str());
  if (FTlsFingerprint.empty()) {
    if (IsIpAddress(name))
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str());
    else
      SSL_set1_host(ssl, name.c_str());
  }
  BIO* bio = BIO_new(TlsBio::Method());
  if (!bio) return failed("cannot create a BIO: " + OpenSslReason());
  BIO_set_data(bio, this);
  SSL_set_bio(ssl, bio, bio);
  SSL_set_msg_callback(ssl, TlsBio::Message);
  return tls;
}

void TCustomTlsWSocket::BeginHandshake() {
  FTlsPeerFingerprint.clear();
  std::unique_ptr<Session> tls = std::move(Prepared);
  if (!tls || PreparedFor != SessionSettings()) {
    std::string failure;
    tls = NewSession(failure);
    if (!tls) return Fail(TlsError::Setup, "TLS: " + failure + " (host " + PeerName() + ")");
  }
  Tls = std::move(tls);
  HandshakeStep();
}

void TCustomTlsWSocket::HandshakeStep() {
  SSL* ssl = Tls->Ssl.get();
  ERR_clear_error();
  const int r = SSL_do_handshake(ssl);
  if (r == 1) return HandshakeDone();
  const int code = SSL_get_error(ssl, r);
  Tls->WantWrite = code == SSL_ERROR_WANT_WRITE;
  if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return;

  const std::string host = " (host " + PeerName() + ")";
  FTlsPeerFingerprint = Tls->SeenFingerprint;
  if (Tls->PinMismatch)
    return Fail(TlsError::Verify, "TLS: certificate fingerprint mismatch: the server's is " +
                                      Tls->SeenFingerprint + ", not " + FTlsFingerprint + host);
  const long verdict = SSL_get_verify_result(ssl);
  if (verdict != X509_V_OK)
    return Fail(TlsError::Verify, std::string("TLS: certificate verify failed: ") +
                                      X509_verify_cert_error_string(verdict) + host);
  if (LooksLikeText(Tls->PeerStart)) {
    // OpenSSL gave up after a record header's worth; the rest of the line says more.
    char more[PeerStartKept];
    const int n =
        LowerLayer::RecvRaw(more, static_cast<int>(PeerStartKept - Tls->PeerStart.size()), 0);
    if (n > 0) Tls->PeerStart.append(more, static_cast<std::size_t>(n));
    return Fail(TlsError::Handshake,
                "TLS: handshake failed: the server answered in plain text, not TLS: " +
                    QuotedPeerText(Tls->PeerStart) + host);
  }
  if (Tls->PeerEof || Tls->WireError == WSAECONNRESET || Tls->WireError == WSAECONNABORTED)
    return Fail(TlsError::Closed, "TLS: handshake failed: connection closed by the server" + host);
  Fail(TlsError::Handshake, "TLS: handshake failed: " + OpenSslReason() + host);
}

void TCustomTlsWSocket::HandshakeDone() {
  EnterTlsPhase(TTlsPhase::tlsActive);
  NET_TRACE("fd %d tls %s %s", HSocket(), TlsVersion().c_str(), TlsCipher().c_str());
  auto alive = AliveToken();
  const TSocket handle = HSocket();
  auto sessionGone = [&] { return Gone(alive) || HSocket() != handle; };
  FireTlsDone(0);
  if (sessionGone()) return;
  if (std::exchange(ImplicitPending, false)) {
    LowerLayer::FireSessionConnected(0);
    if (sessionGone()) return;
  }
  // What the application sent during the handshake waits in the send buffer.
  if (!IsAllSent())
    PostMessageA(Handle(), WM_SOCKET_NOTIFY, NotifyWParam(), MakeSelectLParam(FD_WRITE, 0));
  // Records that came with the end of the handshake are not announced by the network again.
  RenewReadNotification();
}

void TCustomTlsWSocket::Fail(int Error, const std::string& Text) {
  auto alive = AliveToken();
  const bool handshaking = FTlsPhase == TTlsPhase::tlsHandshaking;
  FTlsErrorText = Text;
  NET_TRACE("fd %d tls error %d: %s", HSocket(), Error, Text.c_str());
  EnterTlsPhase(TTlsPhase::tlsFailed);
  // Nothing the application queued may leave after a failure.
  DiscardSendBuffer();
  const auto code = static_cast<std::uint16_t>(Error);
  if (handshaking) {
    FireTlsDone(code);
    if (Gone(alive)) return;
    if (std::exchange(ImplicitPending, false)) {
      LowerLayer::FireSessionConnected(code);
      if (Gone(alive)) return;
    }
  }
  if (State() != wsClosed) DoClose(true, code);
}

void TCustomTlsWSocket::FailLater(int Error, const std::string& Text) {
  if (!Tls || Tls->DeferredError != 0) return;
  Tls->DeferredError = Error;
  Tls->DeferredText = Text;
  PostMessageA(Handle(), WM_TLS_STEP, NotifyWParam(), 0);
}

void TCustomTlsWSocket::FireTlsDone(std::uint16_t Error) {
  if (OnTlsDone && !IsDestroying()) CallHandler(OnTlsDone, this, Error);
}

void TCustomTlsWSocket::HandleWindowMessage(TMessage& Message) {
  if (Message.Msg != WM_TLS_STEP) return LowerLayer::HandleWindowMessage(Message);
  if (Message.WParam != NotifyWParam() || HSocket() == Winsock::INVALID_SOCKET) return;
  try {
    if (Tls && Tls->DeferredError != 0)
      Fail(Tls->DeferredError, Tls->DeferredText);
    else if (FTlsPhase == TTlsPhase::tlsHandshaking && !Tls && Message.LParam != 0)
      Fail(TlsError::UnreadData,
           "TLS: the server sent data before the handshake; the session is not safe (host " +
               PeerName() + ")");
    else if (FTlsPhase == TTlsPhase::tlsHandshaking && !Tls)
      BeginHandshake();
  } catch (const std::exception& e) {
    HandleBgException(e);
  }
}

// --- receiving ---

void TCustomTlsWSocket::Pull() {
  if (!Tls || FTlsPhase != TTlsPhase::tlsActive) return;
  SSL* ssl = Tls->Ssl.get();
  char record[MaxRecordPlainText];
  while (static_cast<std::size_t>(HeldPlain()) < MaxHeldPlain && !PeerClosedTls) {
    ERR_clear_error();
    const int r = SSL_read(ssl, record, sizeof record);
    if (r > 0) {
      if (PlainHead > 0 && PlainHead == Plain.size()) {
        Plain.clear();
        PlainHead = 0;
      }
      Plain.append(record, static_cast<std::size_t>(r));
      continue;
    }
    const int code = SSL_get_error(ssl, r);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE) return;
    if (code == SSL_ERROR_ZERO_RETURN || Tls->PeerEof) {
      // close_notify, or the connection simply ended: the close notification follows.
      NET_TRACE("fd %d tls peer closed (%s)", HSocket(),
                code == SSL_ERROR_ZERO_RETURN ? "close_notify" : "no close_notify");
      PeerClosedTls = true;
      return;
    }
    return FailLater(TlsError::Protocol, "TLS: " + OpenSslReason() + " (host " + PeerName() + ")");
  }
}

bool TCustomTlsWSocket::FireDataAvailable(std::uint16_t Error) {
  if (PassesThrough()) return LowerLayer::FireDataAvailable(Error);
  switch (FTlsPhase) {
    case TTlsPhase::tlsOff:
      break;  // handled above
    case TTlsPhase::tlsHandshaking:
      if (!Tls) return true;  // StartTls's step message starts it
      if (Error != 0) {
        Fail(TlsError::Closed,
             "TLS: handshake failed: " + SocketErrorText(Error) + " (host " + PeerName() + ")");
        return true;
      }
      HandshakeStep();
      return true;
    case TTlsPhase::tlsActive: {
      if (HeldPlain() == 0) Pull();
      if (HeldPlain() == 0) return true;  // a record not complete yet, or no application data
      return LowerLayer::FireDataAvailable(Error);
    }
    case TTlsPhase::tlsFailed: {
      // The session is closing: what still arrives is not read by anyone.
      char discard[kDiscardChunk];
      LowerLayer::RecvRaw(discard, sizeof discard, 0);
      return true;
    }
  }
  return true;
}

int TCustomTlsWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  if (PassesThrough()) return LowerLayer::RecvRaw(Buffer, Size, Flags);
  if (Size <= 0) return 0;
  if (HeldPlain() == 0) Pull();
  if (HeldPlain() > 0) {
    const int n = std::min(Size, HeldPlain());
    std::memcpy(Buffer, Plain.data() + PlainHead, static_cast<std::size_t>(n));
    PlainHead += static_cast<std::size_t>(n);
    if (HeldPlain() == 0) {
      Plain.clear();
      PlainHead = 0;
      RenewReadNotification();
    }
    return n;
  }
  if (PeerClosedTls) return 0;
  Winsock::WSASetLastError(WSAEWOULDBLOCK);
  return -1;
}

int TCustomTlsWSocket::RcvdCount() {
  if (PassesThrough()) return LowerLayer::RcvdCount();
  if (HeldPlain() == 0) Pull();
  return HeldPlain();
}

int TCustomTlsWSocket::HeldByteCount() const {
  int held = HeldPlain();
  if (Tls && Tls->Ssl && FTlsPhase == TTlsPhase::tlsActive) held += SSL_pending(Tls->Ssl.get());
  return held + LowerLayer::HeldByteCount();
}

// --- sending ---

bool TCustomTlsWSocket::SendsInPlain() const {
  // With TlsImplicit nothing of the application leaves before the handshake, also what it sends
  // from OnChangeState when the connection comes up; a proxy's negotiation is plain.
  if (SocksPhase() != TSocksPhase::socksPhaseNone) return true;
  return FTlsPhase == TTlsPhase::tlsOff && !(FTlsImplicit && SocketType() == SOCK_STREAM);
}

int TCustomTlsWSocket::RawSend(const void* Data, int Len) {
  if (SendsInPlain()) return LowerLayer::RawSend(Data, Len);
  const TSendPart part{static_cast<const std::uint8_t*>(Data), Len};
  // This layer's own gathered write: a virtual call would go back up through the layers above.
  return TCustomTlsWSocket::RawSendv(&part, 1);
}

int TCustomTlsWSocket::RawSendv(const TSendPart* Parts, int Count) {
  if (SendsInPlain()) return LowerLayer::RawSendv(Parts, Count);
  if (FTlsPhase != TTlsPhase::tlsActive || !Tls) {
    // Held back until the handshake is done (or for ever, when it fails).
    if (FTlsPhase == TTlsPhase::tlsHandshaking && Tls && Tls->WantWrite) HandshakeStep();
    Winsock::WSASetLastError(WSAEWOULDBLOCK);
    return -1;
  }
  SSL* ssl = Tls->Ssl.get();
  int part = 0;
  int offset = 0;
  // Copies the next bytes of the parts into the staging record, up to a full record.
  auto fill = [&] {
    int len = 0;
    while (part < Count && len < MaxRecordPlainText) {
      const int n = std::min(Parts[part].Len - offset, MaxRecordPlainText - len);
      std::memcpy(Tls->Staging + len, Parts[part].Data + offset, static_cast<std::size_t>(n));
      len += n;
      offset += n;
      if (offset == Parts[part].Len) {
        ++part;
        offset = 0;
      }
    }
    return len;
  };
  // A record that could not be written whole last time holds the first bytes of the parts.
  auto skip = [&](int Len) {
    while (Len > 0 && part < Count) {
      const int n = std::min(Parts[part].Len - offset, Len);
      Len -= n;
      offset += n;
      if (offset == Parts[part].Len) {
        ++part;
        offset = 0;
      }
    }
  };
  int taken = 0;
  for (;;) {
    int len = Tls->PendingWrite;
    if (len > 0)
      skip(len);
    else
      len = fill();
    if (len == 0) break;
    ERR_clear_error();
    const int r = SSL_write(ssl, Tls->Staging, len);
    if (r > 0) {
      // Cheap beside the record's encryption; the plain text must not wait in memory for the
      // next record to overwrite it.
      OPENSSL_cleanse(Tls->Staging, static_cast<std::size_t>(len));
      Tls->PendingWrite = 0;
      taken += r;
      continue;
    }
    const int code = SSL_get_error(ssl, r);
    if (code == SSL_ERROR_WANT_WRITE || code == SSL_ERROR_WANT_READ) {
      Tls->PendingWrite = len;
      break;
    }
    FailLater(TlsError::Protocol, "TLS: " + OpenSslReason() + " (host " + PeerName() + ")");
    break;
  }
  if (taken > 0) {
    FPlainBytesSent += static_cast<std::uint64_t>(taken);
    FireSendData(taken);
    return taken;
  }
  Winsock::WSASetLastError(WSAEWOULDBLOCK);
  return -1;
}

void TCustomTlsWSocket::FireDataSent(std::uint16_t Error) {
  if (FTlsPhase == TTlsPhase::tlsHandshaking) {
    // The network took what it could not take before: the handshake goes on; the application
    // has nothing in flight yet.
    if (Tls && Tls->WantWrite) HandshakeStep();
    return;
  }
  LowerLayer::FireDataSent(Error);
}

// --- closing ---

void TCustomTlsWSocket::DoClose(bool Shut, std::uint16_t Error) {
  if (Shut && FTlsPhase == TTlsPhase::tlsActive && Tls && HSocket() != Winsock::INVALID_SOCKET &&
      State() != wsClosed) {
    ERR_clear_error();
    SSL_shutdown(Tls->Ssl.get());  // close_notify; the peer's answer is not waited for
    NET_TRACE("fd %d tls close_notify sent", HSocket());
  }
  LowerLayer::DoClose(Shut, Error);
}

void TCustomTlsWSocket::FireSessionClosed(std::uint16_t Error) {
  if (FTlsPhase == TTlsPhase::tlsHandshaking) {
    // Closed under the handshake by the application itself (or by a failed send): it hears of
    // it through OnSessionClosed alone, as of any close it made; failures of the handshake
    // itself went through Fail.
    FTlsErrorText = "TLS: connection closed during the handshake (host " + PeerName() + ")";
    EnterTlsPhase(TTlsPhase::tlsFailed);
    ImplicitPending = false;
    if (Error == 0) Error = TlsError::Closed;
  }
  LowerLayer::FireSessionClosed(Error);
}
