// TBuffer: one chunk of the socket send buffer. Bytes are appended at WritePos and sent from
// ReadPos; a chunk never moves its contents and returns both positions to 0 once drained.
// A chunk marked as holding a secret (an AUTH line) wipes its memory when it drains and when it
// goes; the others cost nothing extra.
#pragma once

#include <cstdint>
#include <memory>

class TBuffer {
 public:
  static constexpr int DefaultCapacity = 1514;

  explicit TBuffer(int size);
  ~TBuffer();
  TBuffer(const TBuffer&) = delete;
  TBuffer& operator=(const TBuffer&) = delete;

  // A size of 0 or less means DefaultCapacity. Keeps the unsent bytes.
  void SetCapacity(int newSize);
  // Copies as much of data as fits; returns the number of bytes taken.
  int AppendData(const void* data, int len);
  // The first unsent byte and the count of unsent bytes (nullptr and 0 when none).
  const std::uint8_t* PeekData(int& len) const;
  // Marks up to len bytes sent; returns the number marked.
  int ConsumeData(int len);
  // The bytes appended since the last drain include a secret.
  void MarkSecret() { HoldsSecret_ = true; }
  bool HoldsSecret() const { return HoldsSecret_; }

  int Capacity() const { return Capacity_; }
  int WritePos() const { return WritePos_; }
  int ReadPos() const { return ReadPos_; }

 private:
  std::unique_ptr<std::uint8_t[]> Memory;
  int Capacity_ = 0;
  int WritePos_ = 0;
  int ReadPos_ = 0;
  bool HoldsSecret_ = false;

  void WipeIfSecret();
};
