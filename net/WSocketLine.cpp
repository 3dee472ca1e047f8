#include "net/WSocketLine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace {

constexpr char Backspace = 8;
constexpr char Tab = 9;
constexpr std::size_t TabStop = 8;

}  // namespace

// Sets a flag of the socket object for a scope and restores it on every way out, unless a
// handler destroyed the object meanwhile.
class TCustomLineWSocket::ScopedFlag {
 public:
  ScopedFlag(const TCustomLineWSocket& Owner, bool& Flag, bool Value)
      : alive_(Owner.AliveToken()), flag_(Flag), saved_(Flag) {
    flag_ = Value;
  }
  ~ScopedFlag() {
    if (!Gone(alive_)) flag_ = saved_;
  }
  ScopedFlag(const ScopedFlag&) = delete;
  ScopedFlag& operator=(const ScopedFlag&) = delete;

 private:
  decltype(std::declval<const TCustomLineWSocket&>().AliveToken()) alive_;
  bool& flag_;
  bool saved_;
};

LineEditResult EditLineBytes(std::string& Buf, std::size_t Start, std::size_t Floor,
                             std::string_view LineEnd, bool WantEcho) {
  LineEditResult result;
  result.FirstChanged = Start;
  const std::size_t end = Buf.size();
  // Until the first backspace or tab the bytes stay where they are (the output is Buf[0, w));
  // from then on the edited bytes are written to a copy.
  std::string copy;
  bool copying = false;
  std::size_t w = Start;
  auto output = [&]() -> std::string_view {
    return copying ? std::string_view(copy) : std::string_view(Buf.data(), w);
  };
  // Tab stops count from the start of the line, wherever the line starts in the buffer.
  auto lineStartBefore = [&](std::size_t pos) -> std::size_t {
    if (LineEnd.empty()) return 0;
    auto found = output().substr(0, pos).rfind(LineEnd);
    return found == std::string_view::npos ? 0 : found + LineEnd.size();
  };
  std::size_t lineStart = lineStartBefore(w);
  auto startCopy = [&](std::size_t r) {
    if (copying) return;
    copy.assign(Buf, 0, r);
    copying = true;
  };
  for (std::size_t r = Start; r < end; ++r) {
    const char c = Buf[r];
    if (c == Backspace) {
      startCopy(r);
      if (w > Floor) {
        if (WantEcho) result.Echo.emplace_back("\b \b");
        --w;
        copy.resize(w);
        result.FirstChanged = std::min(result.FirstChanged, w);
        if (w < lineStart) lineStart = lineStartBefore(w);
      }
    } else if (c == Tab) {
      startCopy(r);
      do {
        if (WantEcho) result.Echo.emplace_back(" ");
        copy.push_back(' ');
        ++w;
      } while ((w - lineStart) % TabStop != 0);
    } else {
      if (WantEcho) result.Echo.emplace_back(1, c);
      if (copying) copy.push_back(c);
      ++w;
      if (!LineEnd.empty() && output().ends_with(LineEnd)) lineStart = w;
    }
  }
  if (copying) Buf = std::move(copy);
  return result;
}

TCustomLineWSocket::TCustomLineWSocket() = default;

TCustomLineWSocket::~TCustomLineWSocket() = default;

void TCustomLineWSocket::SetLineLimit(int Value) {
  if (Value < 1) return ReportError("Line limit must be at least 1");
  FLineLimit = Value;
}

void TCustomLineWSocket::SetLineMode(bool Value) {
  if (Value == FLineMode) return;
  FLineMode = Value;
  ++LineModeChanges;
  // The bytes held so far are framed (or not) anew once the current handler has returned.
  if (LineBufferCount() > 0 || FPendingLineLength > 0) {
    DeliveryWanted = true;
    PostReadNotification();
  }
}

int TCustomLineWSocket::HeldByteCount() const {
  return LineBufferCount() + LowerLayer::HeldByteCount();
}

// --- reading ---

int TCustomLineWSocket::RcvdCount() {
  if (Framing()) return FPendingLineLength;
  // Bytes left over from line mode are what the next read returns.
  if (LineBufferCount() > 0) return LineBufferCount();
  return LowerLayer::RcvdCount();
}

int TCustomLineWSocket::RecvRaw(void* Buffer, int Size, int Flags) {
  if (Size <= 0) return LowerLayer::RecvRaw(Buffer, Size, Flags);
  int available = 0;
  if (Framing() && FPendingLineLength > 0)
    available = FPendingLineLength;
  else if (!Framing())
    available = LineBufferCount();
  if (available <= 0) return LowerLayer::RecvRaw(Buffer, Size, Flags);
  const int n = std::min(Size, available);
  std::memcpy(Buffer, LineBuffer.data() + LineHead, static_cast<std::size_t>(n));
  LineHead += static_cast<std::size_t>(n);
  if (FPendingLineLength > 0) FPendingLineLength = std::max(0, FPendingLineLength - n);
  if (!Framing() && LineBufferCount() == 0) RenewReadNotification();
  return n;
}

// --- receiving ---

void TCustomLineWSocket::Compact() {
  if (LineHead == 0) return;
  LineBuffer.erase(0, LineHead);
  LineHead = 0;
}

long TCustomLineWSocket::ReceiveIntoBuffer() {
  int available = LowerLayer::RcvdCount();
  if (available <= 0) return -1;
  // Read no more than the limit leaves room for; the rest stays in the socket for later.
  const int room = FLineLimit - LineBufferCount();
  available = std::max(1, std::min(available, room));
  Compact();
  const std::size_t start = LineBuffer.size();
  LineBuffer.resize(start + static_cast<std::size_t>(available));
  // Straight from the layer below: the layers above see lines, not the network's bytes.
  const int n = AccountReceived(LowerLayer::RecvRaw(LineBuffer.data() + start, available, 0));
  if (n <= 0) {
    LineBuffer.resize(start);
    return -1;
  }
  LineBuffer.resize(start + static_cast<std::size_t>(n));
  std::size_t firstNew = start;
  if (FLineEdit) {
    int count = n;
    ApplyLineEditing(count);
    firstNew = LineBuffer.size() - static_cast<std::size_t>(count);
  } else if (FLineEcho) {
    Send(LineBuffer.data() + start, n);
  }
  // A line end may straddle the earlier bytes and the new ones.
  return static_cast<long>(firstNew - std::min(firstNew, FLineEnd.size()));
}

void TCustomLineWSocket::ApplyLineEditing(int& NewCount) {
  const std::size_t start = LineBuffer.size() - static_cast<std::size_t>(NewCount);
  // The unread part of a line being delivered (a handler pumped messages) is out of reach.
  const std::size_t floor = LineHead + static_cast<std::size_t>(FPendingLineLength);
  auto edit = EditLineBytes(LineBuffer, start, floor, FLineEnd, FLineEcho);
  NewCount = static_cast<int>(LineBuffer.size() - edit.FirstChanged);
  for (const auto& piece : edit.Echo) Send(piece.data(), static_cast<int>(piece.size()));
}

bool TCustomLineWSocket::FireDataAvailable(std::uint16_t Error) {
  // Without framing, bytes left over from line mode are read first (RecvRaw) through the usual
  // event.
  if (PassesThrough()) return LowerLayer::FireDataAvailable(Error);
  if (!Framing()) {
    // Bytes left over from line mode come first, whatever the layers below hold.
    if (LineBufferCount() > 0) return FireApplicationDataAvailable(Error);
    return LowerLayer::FireDataAvailable(Error);
  }
  auto alive = AliveToken();
  const auto session = LineSession;
  long searchFrom = ReceiveIntoBuffer();
  if (Gone(alive) || session != LineSession) return true;
  // Inside a delivery the running loop looks at the new bytes once the handler returns.
  if (Delivering) return true;
  // Line mode was switched: frame everything held, not only the new bytes.
  if (std::exchange(DeliveryWanted, false)) searchFrom = 0;
  if (searchFrom >= 0) DeliverLines(static_cast<std::size_t>(searchFrom));
  return true;
}

bool TCustomLineWSocket::FireApplicationDataAvailable(std::uint16_t Error) {
  // The bytes are this layer's: the layers below have nothing to add or to check.
  return NotifyDataAvailable(Error);
}

void TCustomLineWSocket::FireLineTooLong() {
  if (OnLineTooLong && !IsDestroying()) CallHandler(OnLineTooLong, this);
}

bool TCustomLineWSocket::DeliverPending() {
  auto alive = AliveToken();
  const auto session = LineSession;
  while (Framing() && FPendingLineLength > 0) {
    const int before = FPendingLineLength;
    const auto modeChanges = LineModeChanges;
    const bool assigned = FireApplicationDataAvailable();
    if (Gone(alive) || session != LineSession) return false;
    // No handler, or one that took nothing of the line and left the mode alone: the line is
    // not wanted (calling again would never end).
    const bool idle = FPendingLineLength == before && modeChanges == LineModeChanges;
    if (!assigned || (Framing() && idle)) {
      LineHead += static_cast<std::size_t>(FPendingLineLength);
      FPendingLineLength = 0;
    }
  }
  // Line mode switched off mid-line: the unread rest stays at the head, directly followed by
  // the bytes received after the line, and is delivered unframed.
  FPendingLineLength = 0;
  return true;
}

void TCustomLineWSocket::DeliverLines(std::size_t SearchFrom) {
  ScopedFlag delivering(*this, Delivering, true);
  auto alive = AliveToken();
  while (Framing()) {
    std::string_view held(LineBuffer.data() + LineHead, LineBuffer.size() - LineHead);
    std::size_t lineLength = 0;
    const auto found =
        SearchFrom <= held.size() ? held.find(FLineEnd, SearchFrom) : std::string_view::npos;
    if (found != std::string_view::npos) {
      lineLength = found + FLineEnd.size();
    } else if (held.size() >= static_cast<std::size_t>(FLineLimit)) {
      const auto session = LineSession;
      FireLineTooLong();
      if (Gone(alive) || session != LineSession) return;
      if (!Framing()) break;
      lineLength = LineBufferCount();
    } else {
      break;
    }
    FPendingLineLength = static_cast<int>(lineLength);
    if (!DeliverPending()) return;
    SearchFrom = 0;
  }
  Compact();
  // Bytes that line mode no longer frames (switched off, or LineEnd emptied), or a switch made
  // while this delivery ran: handed over from the event loop once the current handler has
  // returned.
  if (!LineBuffer.empty() && (!Framing() || DeliveryWanted)) PostReadNotification();
}

// --- closing ---

void TCustomLineWSocket::DeliverAtClose() {
  auto alive = AliveToken();
  const auto session = LineSession;
  while (LineBufferCount() > 0) {
    if (Framing()) {
      DeliverLines(0);  // complete lines not handed over yet
      if (Gone(alive) || session != LineSession || LineBufferCount() == 0) return;
    }
    // The rest has no line end (or line mode is off): it goes as it is, as the last line.
    const int before = LineBufferCount();
    const auto modeChanges = LineModeChanges;
    bool assigned = false;
    {
      ScopedFlag delivering(*this, Delivering, true);
      if (FLineMode) FPendingLineLength = before;
      assigned = FireApplicationDataAvailable();
    }
    if (Gone(alive) || session != LineSession) return;
    FPendingLineLength = 0;
    if (!assigned || (LineBufferCount() == before && modeChanges == LineModeChanges)) return;
  }
}

void TCustomLineWSocket::ReleaseLineBuffer() {
  LineBuffer.clear();
  LineBuffer.shrink_to_fit();
  LineHead = 0;
  FPendingLineLength = 0;
  DeliveryWanted = false;
  ++LineSession;
}

void TCustomLineWSocket::Connect() {
  if (State() == wsClosed) ReleaseLineBuffer();
  LowerLayer::Connect();
}

void TCustomLineWSocket::Dup(TSocket NewHandle) {
  ReleaseLineBuffer();
  LowerLayer::Dup(NewHandle);
}

void TCustomLineWSocket::FireSessionClosed(std::uint16_t Error) {
  auto alive = AliveToken();
  if (LineBufferCount() > 0) {
    DeliverAtClose();
    if (Gone(alive)) return;
  }
  ReleaseLineBuffer();
  LowerLayer::FireSessionClosed(Error);
}
