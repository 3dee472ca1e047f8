// TSecret: a byte string for passwords, tokens and the protocol lines built from them. Its
// memory is zeroed whenever it is given back (on destruction, on growth, on Clear), so a secret
// never lingers in freed heap memory. There is no small-string buffer: every byte lives in
// memory the allocator below wipes.
//
// Keep secrets in TSecret from where they are read to where they are written to the socket;
// a std::string copy (even a temporary) escapes the wiping.
#pragma once

#include <string.h>

#include <cstddef>
#include <new>
#include <string_view>
#include <vector>

template <typename T>
struct TWipingAllocator {
  using value_type = T;
  TWipingAllocator() = default;
  template <typename U>
  TWipingAllocator(const TWipingAllocator<U>&) {}
  T* allocate(std::size_t n) { return static_cast<T*>(::operator new(n * sizeof(T))); }
  void deallocate(T* p, std::size_t n) {
    explicit_bzero(p, n * sizeof(T));  // not optimised away, unlike memset before a free
    ::operator delete(p);
  }
  template <typename U>
  bool operator==(const TWipingAllocator<U>&) const {
    return true;
  }
};

class TSecret {
 public:
  TSecret() = default;
  explicit TSecret(std::string_view Text) { Append(Text); }
  TSecret(const TSecret&) = default;
  TSecret& operator=(const TSecret&) = default;
  TSecret(TSecret&& Other) noexcept : Bytes(std::move(Other.Bytes)) { Other.Bytes.clear(); }
  TSecret& operator=(TSecret&& Other) noexcept {
    Bytes.swap(Other.Bytes);
    Other.Clear();
    return *this;
  }
  ~TSecret() { Clear(); }

  std::string_view View() const { return {Bytes.data(), Bytes.size()}; }
  const char* Data() const { return Bytes.data(); }
  std::size_t Size() const { return Bytes.size(); }
  bool Empty() const { return Bytes.empty(); }

  void Append(std::string_view Text) { Bytes.insert(Bytes.end(), Text.begin(), Text.end()); }
  void Append(char C) { Bytes.push_back(C); }
  // Room for exactly Count bytes, to be written through MutableData (new bytes are zero).
  void Resize(std::size_t Count) { Bytes.resize(Count); }
  char* MutableData() { return Bytes.data(); }
  void Assign(std::string_view Text) {
    Clear();
    Append(Text);
  }
  // Zeroes the bytes and gives the memory back.
  void Clear() {
    // Tested as a pointer too: GCC's -Wnonnull cannot tell from empty() that data() is set.
    if (char* bytes = Bytes.data(); bytes != nullptr && !Bytes.empty())
      explicit_bzero(bytes, Bytes.size());
    Bytes.clear();
    Bytes.shrink_to_fit();
  }
  bool operator==(const TSecret& Other) const { return View() == Other.View(); }

 private:
  std::vector<char, TWipingAllocator<char>> Bytes;
};
