// TSmtpCli: MIME multipart/mixed messages with Base64 attachments, produced line by line
// through the get-data hook; attachment files are read in 45-byte steps, never whole.
#include <strings.h>
#include <sys/stat.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>

#include "smtp/SmtpProt.h"

namespace {

constexpr char Base64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// 45 bytes give one full 60-character line.
constexpr std::size_t BytesPerLine = 45;
// Reading in large blocks keeps the number of read calls low.
constexpr std::size_t FileBufferSize = 45 * 1456;  // 65520 bytes

std::string Trim(const std::string& S) {
  std::size_t b = 0, e = S.size();
  while (b < e && static_cast<unsigned char>(S[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(S[e - 1]) <= ' ') --e;
  return S.substr(b, e - b);
}

bool IsRegularFile(const std::string& Name) {
  struct stat st {};
  return ::stat(Name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string BaseName(const std::string& Path) {
  const auto slash = Path.find_last_of('/');
  return slash == std::string::npos ? Path : Path.substr(slash + 1);
}

// The fixed start of every boundary; "= " can occur neither in Base64 nor in quoted-printable.
constexpr std::string_view BoundaryPrefix = "= Multipart Boundary ";

// The prefix and ten random digits: new for every message.
std::string NewBoundary() {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%010llu",
                static_cast<unsigned long long>(RandomNumber() % 10000000000ull));
  return std::string(BoundaryPrefix) + digits;
}

// Quoted-printable wire lines of one text line, appended to Lines.
void AddQuotedPrintable(const std::string& Line, TStringList& Lines) {
  char wire[MaxQuotedPrintableLine + 1];
  std::size_t offset = 0;
  do {
    const std::size_t n = EncodeQuotedPrintable(Line, offset, wire);
    Lines.Add(std::string(wire, n));
  } while (offset < Line.size());
}

std::string IoErrorText(const char* What, const std::string& Name, int Err) {
  return std::string(What) + " attachment '" + Name + "': " + std::strerror(Err);
}

std::string ChangedText(const std::string& Name) {
  return "The file '" + Name + "' changed while it was sent";
}

}  // namespace

std::size_t Base64Encode(const unsigned char* Data, std::size_t Len, char* Out) {
  char* o = Out;
  std::size_t i = 0;
  for (; i + 3 <= Len; i += 3) {
    const unsigned v = (unsigned{Data[i]} << 16) | (unsigned{Data[i + 1]} << 8) | Data[i + 2];
    *o++ = Base64Alphabet[(v >> 18) & 63];
    *o++ = Base64Alphabet[(v >> 12) & 63];
    *o++ = Base64Alphabet[(v >> 6) & 63];
    *o++ = Base64Alphabet[v & 63];
  }
  if (i < Len) {
    const bool two = Len - i == 2;
    const unsigned v = (unsigned{Data[i]} << 16) | (two ? unsigned{Data[i + 1]} << 8 : 0u);
    *o++ = Base64Alphabet[(v >> 18) & 63];
    *o++ = Base64Alphabet[(v >> 12) & 63];
    *o++ = two ? Base64Alphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  *o = '\0';
  return static_cast<std::size_t>(o - Out);
}

std::string Base64EncodeLine(const unsigned char* Data, std::size_t Len) {
  std::string out((Len + 2) / 3 * 4 + 1, '\0');
  out.resize(Base64Encode(Data, Len, out.data()));
  return out;
}

TSmtpCli::TSmtpCli() = default;

TSmtpCli::~TSmtpCli() {
  if (FAttachFile >= 0) ::close(FAttachFile);
}

void TSmtpCli::SetEmailFiles(const TStringList& List) {
  FEmailFiles.Clear();
  for (const std::string& line : List) {
    const std::string name = Trim(line);
    if (name.empty()) continue;
    // Only regular files: a FIFO or a device could block the sender or never end.
    if (!IsRegularFile(name)) throw SmtpException("File not found '" + name + "'");
    FEmailFiles.Add(name);
  }
}

void TSmtpCli::Data() {
  // Checked before the preparation, which must not disturb a transfer still running.
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  PrepareEMail();
  TCustomSmtpClient::Data();
}

void TSmtpCli::PrepareEMail() {
  FBodyFlag = true;
  FCurrentFile = 0;
  FBodyLine = 0;
  FFileStarted = false;
  if (FAttachFile >= 0) ::close(FAttachFile);
  FAttachFile = -1;
  FMimeLines.Clear();
  FMimeHead = 0;
  FSentAttachments.clear();
  FTextEncoding = TextWireEncoding();
  FEncodeText = FTextEncoding == "quoted-printable";
  FEncodeOwnerLines = FEncodeText && FTextTransferEncoding != "quoted-printable";
  if (FEmailFiles.Count() > 0) {
    // Text sent as it is could hold the boundary only by a line starting with it: draw again.
    auto inText = [this](const std::string& boundary) {
      if (FEncodeText) return false;
      const std::string delimiter = "--" + boundary;
      return std::any_of(FMailMessage.begin(), FMailMessage.end(),
                         [&](const std::string& line) { return line.starts_with(delimiter); });
    };
    do FBoundary = NewBoundary();
    while (inText(FBoundary));
    FMimeLines.Add("This is a multipart MIME message.");
    FMimeLines.Add("");
    FMimeLines.Add("--" + FBoundary);
    FMimeLines.Add("Content-Type: " + FContentTypeText + "; charset=\"" + FCharSet + "\"");
    FMimeLines.Add("Content-Transfer-Encoding: " + FTextEncoding);
    FMimeLines.Add("");
  } else {
    FBoundary.clear();
  }
  for (const std::string& line : FMailMessage) {
    if (FEncodeText)
      AddQuotedPrintable(line, FMimeLines);
    else
      FMimeLines.Add(line);
  }
}

std::string TSmtpCli::TextWireEncoding() const {
  if (FTextTransferEncoding == "quoted-printable") return FTextTransferEncoding;
  bool eightBit = FTextTransferEncoding == "8bit";
  for (const std::string& line : FMailMessage) {
    // Too long for the wire, or able to pass for a boundary: only quoted-printable keeps it.
    if (line.size() > MaxWireLine || line.starts_with("--" + std::string(BoundaryPrefix)))
      return "quoted-printable";
    eightBit = eightBit || HoldsEightBit(line);
  }
  // RFC 6152: 8-bit text only to a server that announced it can take it.
  if (eightBit) return FServer8BitMime ? "8bit" : "quoted-printable";
  return "7bit";
}

std::string TSmtpCli::HeaderTransferEncoding() const {
  // A multipart body may be 7bit or 8bit, never quoted-printable (RFC 2045 6.4): the text part
  // says how it is encoded.
  if (!FBoundary.empty()) return FTextEncoding == "8bit" ? "8bit" : "7bit";
  return FTextEncoding;
}

void TSmtpCli::TriggerHeaderLine(char* Line, int Size) {
  if (!FBoundary.empty() && strncasecmp(Line, "CONTENT-TYPE:", 13) == 0) {
    const std::string multipart =
        "Content-Type: multipart/mixed;\r\n\tboundary=\"" + FBoundary + "\"";
    if (static_cast<int>(multipart.size()) < Size)
      std::memcpy(Line, multipart.c_str(), multipart.size() + 1);
  }
  TCustomSmtpClient::TriggerHeaderLine(Line, Size);
}

void TSmtpCli::TakeQueuedLine(char* MsgLine, int MaxLen) {
  std::string line = std::move(FMimeLines[FMimeHead]);
  if (line.size() > MaxWireLine) {
    // Part header lines (from OnAttachHeader, say) fold like message header lines.
    std::vector<std::string> pieces = FoldHeaderLine(line, MaxWireLine);
    line = std::move(pieces.front());
    for (std::size_t i = pieces.size() - 1; i >= 1; --i)
      FMimeLines.Insert(FMimeHead + 1, std::move(pieces[i]));
  }
  ++FMimeHead;
  if (FMimeHead >= FMimeLines.Count()) {
    FMimeLines.Clear();
    FMimeHead = 0;
  }
  const std::size_t n = std::min(line.size(), static_cast<std::size_t>(MaxLen));
  std::memcpy(MsgLine, line.data(), n);
  MsgLine[n] = '\0';
}

void TSmtpCli::TriggerGetData(int, char* MsgLine, int MaxLen, bool& More) {
  if (FMimeHead < FMimeLines.Count()) {
    TakeQueuedLine(MsgLine, MaxLen);
    More = true;
    return;
  }
  if (FBodyFlag) {
    ++FBodyLine;
    TCustomSmtpClient::TriggerGetData(FBodyLine, MsgLine, MaxLen, More);
    if (More) {
      if (FEncodeOwnerLines) EncodeOwnerLine(MsgLine, MaxLen);
      return;
    }
    FBodyFlag = false;
  }
  if (!FFileStarted) {
    if (FCurrentFile >= FEmailFiles.Count()) {
      More = false;
      return;
    }
    StartNextAttachment(MsgLine);
    More = true;
    return;
  }
  bool moreData = false;
  EncodeAttachmentLine(MsgLine, moreData);
  if (!moreData) {
    // Read to its last byte: the file must still be what it was when opened, or the part
    // holds old and new content mixed.
    const std::optional<TFileIdentity> now = IdentityOfOpenFile(FAttachFile);
    if (FAttachFile >= 0 && (!now || *now != FSentAttachments.back().Identity))
      throw EInOutError(ChangedText(FAttachFileName));
    CloseAttachment();
    FFileStarted = false;
    ++FCurrentFile;
    if (FCurrentFile >= FEmailFiles.Count()) {
      FMimeLines.Add("");
      FMimeLines.Add("--" + FBoundary + "--");
    }
  }
  More = true;
}

// The owner's line becomes quoted-printable: its first wire line goes out now, the others wait in
// the queue, which is empty whenever the owner is asked.
void TSmtpCli::EncodeOwnerLine(char* MsgLine, int MaxLen) {
  const std::string line(MsgLine, strnlen(MsgLine, static_cast<std::size_t>(MaxLen)));
  AddQuotedPrintable(line, FMimeLines);
  TakeQueuedLine(MsgLine, MaxLen);
}

// This call sends the empty line before the part; the part header waits in the queue.
void TSmtpCli::StartNextAttachment(char* MsgLine) {
  MsgLine[0] = '\0';
  OpenAttachment(FEmailFiles[FCurrentFile]);
  AddPartHeader(FCurrentFile, FMimeLines);
  FFileStarted = true;
}

void TSmtpCli::AddPartHeader(int FileNumber, TStringList& Lines) {
  const std::string ownName = BaseName(FEmailFiles[FileNumber]);
  std::string name = ownName;
  std::string type = "application/octet-stream";
  TriggerAttachContentType(FileNumber, name, type);
  Lines.Add("--" + FBoundary);
  Lines.Add("Content-Type: " + type + ";");
  AddNameParameter(name, Lines);
  Lines.Add("Content-Transfer-Encoding: base64");
  Lines.Add("Content-Disposition: attachment;");
  Lines.Add(NeedsExtendedParameter(ownName) ? "\tfilename*=" + ExtendedParameterValue(ownName)
                                            : "\tfilename=\"" + ownName + "\"");
  TriggerAttachHeader(FileNumber, name, Lines);
  Lines.Add("");
}

// A name beyond ASCII (or with a quote) has its exact form in filename*= (RFC 2231); name= then
// holds it as encoded-words, as the common mail programs write it for readers that know only
// that parameter. Each folded piece is a line of its own.
void TSmtpCli::AddNameParameter(const std::string& Name, TStringList& Lines) {
  if (!NeedsExtendedParameter(Name)) {
    Lines.Add("\tname=\"" + Name + "\"");
    return;
  }
  const std::string_view prefix = "\tname=\"";
  const std::string value = EncodedParameterValue(Name, prefix.size() + 7);  // tab: 8 columns
  std::size_t begin = 0;
  for (;;) {
    const std::size_t fold = value.find("\r\n", begin);
    std::string line = begin == 0 ? std::string(prefix) : std::string();
    line += value.substr(begin, fold == std::string::npos ? std::string::npos : fold - begin);
    if (fold == std::string::npos) {
      Lines.Add(line + "\"");
      return;
    }
    Lines.Add(line);
    begin = fold + 2;
  }
}

// --- the message size ---

std::uint64_t TSmtpCli::Base64PartSize(std::uint64_t FileSize) {
  if (FileSize == 0) return 2;  // one empty line
  const std::uint64_t rest = FileSize % BytesPerLine;
  return FileSize / BytesPerLine * (4 * BytesPerLine / 3 + 2) + (rest ? (rest + 2) / 3 * 4 + 2 : 0);
}

// Queued lines go out as body lines; one too long for the wire is folded (TakeQueuedLine).
std::uint64_t TSmtpCli::QueuedLinesSize(const TStringList& Lines, int From) {
  std::uint64_t size = 0;
  for (int i = From; i < Lines.Count(); ++i) {
    if (Lines[i].size() <= MaxWireLine) {
      size += WireLineSize(Lines[i], false);
      continue;
    }
    for (const std::string& piece : FoldHeaderLine(Lines[i], MaxWireLine))
      size += WireLineSize(piece, false);
  }
  return size;
}

std::uint64_t TSmtpCli::MessageSize() {
  PrepareEMail();  // the MIME skeleton Data sends, and the boundary the header names
  std::uint64_t size =
      HeaderSize() + QueuedLinesSize(FMimeLines, FMimeHead) + OwnerBodySize(FEncodeOwnerLines);
  for (int i = 0; i < FEmailFiles.Count(); ++i) {
    const std::string& path = FEmailFiles[i];
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw EInOutError(IoErrorText("Cannot read", path, errno));
    TStringList part;
    AddPartHeader(i, part);
    size += 2 + QueuedLinesSize(part, 0) + Base64PartSize(static_cast<std::uint64_t>(st.st_size));
  }
  if (FEmailFiles.Count() > 0) size += 2 + WireLineSize("--" + FBoundary + "--", false);
  return size;
}

void TSmtpCli::TriggerAttachContentType(int FileNumber, std::string& FileName,
                                        std::string& ContentType) {
  if (OnAttachContentType) OnAttachContentType(this, FileNumber, FileName, ContentType);
}

void TSmtpCli::TriggerAttachHeader(int FileNumber, const std::string& FileName,
                                   TStringList& HdrLines) {
  if (OnAttachHeader) OnAttachHeader(this, FileNumber, FileName, HdrLines);
}

void TSmtpCli::OpenAttachment(const std::string& FileName) {
  if (FAttachFile >= 0) ::close(FAttachFile);
  FAttachFile = -1;
  FAttachFileName = FileName;
  const int fd = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw EInOutError(IoErrorText("Cannot open", FileName, errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    throw EInOutError(IoErrorText("Cannot read", FileName, EINVAL));
  }
  FSentAttachments.push_back({FileName, *IdentityOfOpenFile(fd)});
  FAttachFile = fd;
  FAttachSize = static_cast<std::uint64_t>(st.st_size);
  FAttachRead = 0;
  FReadBuffer.resize(FileBufferSize);
  FReadPos = FReadEnd = 0;
}

bool TSmtpCli::FillReadBuffer() {
  if (FReadPos < FReadEnd) return true;
  // Reads end at the size the file had when it was opened; one byte more is asked for at the
  // end, to see that nothing was added. A file that changes while it is sent would go out as
  // neither its old nor its new content: that fails the message instead.
  const std::uint64_t left = FAttachSize - std::min(FAttachRead, FAttachSize);
  const std::size_t want =
      left == 0 ? 1 : static_cast<std::size_t>(std::min<std::uint64_t>(left, FReadBuffer.size()));
  ssize_t n;
  do {
    n = ::read(FAttachFile, FReadBuffer.data(), want);
  } while (n < 0 && errno == EINTR);
  if (n < 0) throw EInOutError(IoErrorText("Cannot read", FAttachFileName, errno));
  if ((n == 0 && left > 0) || (n > 0 && left == 0))
    throw EInOutError(ChangedText(FAttachFileName) + " (" + std::to_string(FAttachSize) +
                      " bytes when opened)");
  FAttachRead += static_cast<std::uint64_t>(n);
  FReadPos = 0;
  FReadEnd = static_cast<std::size_t>(n);
  return n > 0;
}

void TSmtpCli::EncodeAttachmentLine(char* Line, bool& More) {
  Line[0] = '\0';
  More = false;
  if (FAttachFile < 0) return;
  unsigned char bytes[BytesPerLine];
  std::size_t got = 0;
  while (got < BytesPerLine && FillReadBuffer()) {
    const std::size_t n = std::min(BytesPerLine - got, FReadEnd - FReadPos);
    std::memcpy(bytes + got, FReadBuffer.data() + FReadPos, n);
    FReadPos += n;
    got += n;
  }
  Base64Encode(bytes, got, Line);
  More = got == BytesPerLine && FillReadBuffer();
}

void TSmtpCli::CloseAttachment() {
  const int fd = FAttachFile;
  FAttachFile = -1;
  if (fd >= 0 && ::close(fd) != 0)
    throw EInOutError(IoErrorText("Cannot close", FAttachFileName, errno));
}

std::string TSmtpCli::ChangedSourceFile() const {
  for (const TSourceFile& file : FSentAttachments)
    if (!FileUnchanged(file.Name, file.Identity)) return file.Name;
  return TCustomSmtpClient::ChangedSourceFile();
}
