#include "net/WSockbuf.h"

#include <string.h>

#include <algorithm>
#include <cstring>

TBuffer::TBuffer(int size) {
  SetCapacity(size);
}

TBuffer::~TBuffer() {
  WipeIfSecret();
}

void TBuffer::WipeIfSecret() {
  if (!HoldsSecret_ || !Memory) return;
  explicit_bzero(Memory.get(), static_cast<std::size_t>(Capacity_));
  HoldsSecret_ = false;
}

void TBuffer::SetCapacity(int newSize) {
  if (newSize <= 0) newSize = DefaultCapacity;
  if (newSize == Capacity_ && Memory) return;
  auto storage = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(newSize));
  if (WritePos_ != ReadPos_) {
    // Unsent bytes stay at their offsets; a chunk never moves its contents.
    int keep = std::min(WritePos_, newSize);
    std::memcpy(storage.get(), Memory.get(), static_cast<std::size_t>(keep));
    WritePos_ = keep;
    ReadPos_ = std::min(ReadPos_, keep);
  } else {
    WritePos_ = ReadPos_ = 0;
  }
  const bool secret = HoldsSecret_;
  WipeIfSecret();
  HoldsSecret_ = secret && WritePos_ > 0;
  Memory = std::move(storage);
  Capacity_ = newSize;
}

int TBuffer::AppendData(const void* data, int len) {
  int room = Capacity_ - WritePos_;
  if (room <= 0 || len <= 0) return 0;
  int n = std::min(len, room);
  std::memcpy(Memory.get() + WritePos_, data, static_cast<std::size_t>(n));
  WritePos_ += n;
  return n;
}

const std::uint8_t* TBuffer::PeekData(int& len) const {
  len = WritePos_ - ReadPos_;
  if (len <= 0) {
    len = 0;
    return nullptr;
  }
  return Memory.get() + ReadPos_;
}

int TBuffer::ConsumeData(int len) {
  int pending = WritePos_ - ReadPos_;
  if (pending <= 0 || len <= 0) return 0;
  len = std::min(len, pending);
  ReadPos_ += len;
  if (ReadPos_ == WritePos_) {
    WipeIfSecret();
    ReadPos_ = WritePos_ = 0;
  }
  return len;
}
