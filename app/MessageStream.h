// TMessageStream: a text read from a descriptor (standard input) to its end and kept in an
// unlinked temporary file, read back one line at a time: a text of any size costs memory for
// its longest line only. What the send needs to know in advance (8-bit bytes, valid UTF-8,
// the longest line) is learnt while it is stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>

// Why a text cannot be taken. BadText: the text itself (a NUL byte); otherwise the system
// (no temporary file, a read error).
class EMessageStream : public std::runtime_error {
 public:
  EMessageStream(const std::string& Text, bool BadText)
      : std::runtime_error(Text), FBadText(BadText) {}
  bool BadText() const { return FBadText; }

 private:
  bool FBadText;
};

class TMessageStream {
 public:
  // Reads Fd to its end; with DotEnds, a line holding a single "." ends the text (not part of
  // it), as sendmail reads its input. Name says where the text came from in error texts.
  // Lines end with LF or CR LF; a last line without one is a line too. Throws EMessageStream.
  // WatchPrefix: PrefixSeen tells whether some line begins with it.
  static std::unique_ptr<TMessageStream> Read(int Fd, const std::string& Name, bool DotEnds,
                                              std::string_view WatchPrefix = {});
  ~TMessageStream();
  TMessageStream(const TMessageStream&) = delete;
  TMessageStream& operator=(const TMessageStream&) = delete;

  int LineCount() const { return FLineCount; }
  std::uint64_t ByteCount() const { return FByteCount; }
  bool EightBit() const { return FEightBit; }
  // Every line with bytes beyond ASCII is valid UTF-8.
  bool ValidUtf8() const { return FValidUtf8; }
  std::size_t LongestLine() const { return FLongestLine; }
  bool PrefixSeen() const { return FPrefixSeen; }

  // Line Index (from 0), without its line end; nullptr past the last. Reading on from the line
  // before is cheap; an earlier line is found again from the start. The pointer stays valid
  // until the next call.
  const std::string* Line(int Index) const;

 private:
  TMessageStream() = default;
  void Rewind() const;
  bool ReadLine(std::string& Out) const;

  int FFd = -1;
  int FLineCount = 0;
  std::uint64_t FByteCount = 0;
  bool FEightBit = false;
  bool FValidUtf8 = true;
  std::size_t FLongestLine = 0;
  bool FPrefixSeen = false;
  // Reading back.
  mutable std::string FLine;
  mutable int FNext = 0;  // index of the line the next ReadLine returns
  mutable std::uint64_t FOffset = 0;
  mutable std::string FBuffer;
  mutable std::size_t FBufferPos = 0;
};
