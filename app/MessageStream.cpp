// The text kept in an unlinked temporary file: stored line by line with LF line ends, read
// back through one block buffer.
#include "app/MessageStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "smtp/SmtpEncoding.h"
#include "util/FileUtils.h"

namespace {

// Reads and writes go in blocks of this size: few system calls, little memory.
constexpr std::size_t kBlock = 1 << 16;

// A file nobody else can open, gone from the folder at once, so nothing is left behind.
int AnonymousFile() {
  const std::string folder = GetTempDir();
  int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  std::string pattern = folder + "/tarvik-text-XXXXXX";
  fd = ::mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) ::unlink(pattern.c_str());
  return fd;
}

[[noreturn]] void SystemFailure(const std::string& what) {
  throw EMessageStream(what + ": " + std::strerror(errno), false);
}

void WriteAll(int fd, std::string& pending) {
  std::size_t done = 0;
  while (done < pending.size()) {
    const ssize_t n = ::write(fd, pending.data() + done, pending.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) SystemFailure("Cannot store the text in " + GetTempDir());
    done += static_cast<std::size_t>(n);
  }
  pending.clear();
}

}  // namespace

std::unique_ptr<TMessageStream> TMessageStream::Read(int Fd, const std::string& Name, bool DotEnds,
                                                     std::string_view WatchPrefix) {
  std::unique_ptr<TMessageStream> stream(new TMessageStream());
  stream->FFd = AnonymousFile();
  if (stream->FFd < 0) SystemFailure("Cannot make a temporary file in " + GetTempDir());
  std::string pending, line;
  std::uint64_t position = 0;  // bytes read so far, for the NUL byte's place
  auto takeLine = [&](bool lineEnd) {
    if (lineEnd && !line.empty() && line.back() == '\r') line.pop_back();
    if (DotEnds && line == ".") return false;
    TMessageStream& s = *stream;
    ++s.FLineCount;
    s.FByteCount += line.size() + 1;
    s.FLongestLine = std::max(s.FLongestLine, line.size());
    if (!WatchPrefix.empty() && line.starts_with(WatchPrefix)) s.FPrefixSeen = true;
    if (HoldsEightBit(line)) {
      s.FEightBit = true;
      s.FValidUtf8 = s.FValidUtf8 && IsValidUtf8(line);
    }
    pending += line;
    pending += '\n';
    line.clear();
    if (pending.size() >= kBlock) WriteAll(s.FFd, pending);
    return true;
  };
  char block[kBlock];
  bool ended = false;
  while (!ended) {
    const ssize_t n = ::read(Fd, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) SystemFailure("Cannot read " + Name);
    if (n == 0) {
      if (!line.empty()) takeLine(false);
      break;
    }
    const char* data = block;
    std::size_t left = static_cast<std::size_t>(n);
    if (const void* nul = std::memchr(data, '\0', left))
      throw EMessageStream(
          Name + " holds a NUL byte (byte " +
              std::to_string(position +
                             static_cast<std::size_t>(static_cast<const char*>(nul) - data) + 1) +
              "), which a mail text cannot carry. Attach it as a file instead.",
          true);
    position += left;
    while (left > 0) {
      const char* end = static_cast<const char*>(std::memchr(data, '\n', left));
      if (!end) {
        line.append(data, left);
        break;
      }
      line.append(data, static_cast<std::size_t>(end - data));
      left -= static_cast<std::size_t>(end - data) + 1;
      data = end + 1;
      if (!takeLine(true)) {
        ended = true;
        break;
      }
    }
  }
  WriteAll(stream->FFd, pending);
  return stream;
}

TMessageStream::~TMessageStream() {
  if (FFd >= 0) ::close(FFd);
}

void TMessageStream::Rewind() const {
  FNext = 0;
  FOffset = 0;
  FBuffer.clear();
  FBufferPos = 0;
}

bool TMessageStream::ReadLine(std::string& Out) const {
  Out.clear();
  for (;;) {
    if (FBufferPos < FBuffer.size()) {
      const char* start = FBuffer.data() + FBufferPos;
      const std::size_t left = FBuffer.size() - FBufferPos;
      if (const void* end = std::memchr(start, '\n', left)) {
        const std::size_t length = static_cast<std::size_t>(static_cast<const char*>(end) - start);
        Out.append(start, length);
        FBufferPos += length + 1;
        return true;
      }
      Out.append(start, left);
    }
    FBuffer.resize(kBlock);
    ssize_t n;
    do n = ::pread(FFd, FBuffer.data(), kBlock, static_cast<off_t>(FOffset));
    while (n < 0 && errno == EINTR);
    if (n < 0) SystemFailure("Cannot read the stored text back");
    FBuffer.resize(static_cast<std::size_t>(n));
    FBufferPos = 0;
    FOffset += static_cast<std::uint64_t>(n);
    if (n == 0) return false;  // every stored line ends with LF: nothing is left half
  }
}

const std::string* TMessageStream::Line(int Index) const {
  if (Index < 0 || Index >= FLineCount) return nullptr;
  if (Index == FNext - 1) return &FLine;
  if (Index < FNext) Rewind();
  while (FNext <= Index) {
    if (!ReadLine(FLine)) return nullptr;
    ++FNext;
  }
  return &FLine;
}
