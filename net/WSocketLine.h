// TCustomLineWSocket: the line-mode layer of the socket class chain.
//
// With LineMode off (the default) every event and every read passes straight through. With
// LineMode on the layer collects incoming bytes, looks for LineEnd (CR LF by default) and fires
// OnDataAvailable once per complete line; during that event RcvdCount is the unread size of the
// line and Receive/ReceiveText return the line, line end included. The handler is called again
// while part of the line is unread; one that takes nothing of the line (or no handler at all)
// drops it. Switching LineMode inside a handler is allowed: the bytes not yet delivered stay
// buffered and are handed over, in order, after the handler has returned (message 0x414).
//
// Limits: a peer that never sends LineEnd cannot grow the buffer without bound. Once LineLimit
// bytes are held without a line end, OnLineTooLong fires and the held bytes are delivered as
// one line without line end, so nothing is lost.
//
// Options on the receive path: LineEcho sends every received byte back to the peer; LineEdit
// applies backspace (removes the byte before it, echoed as "\b \b") and tab (blanks up to the
// next multiple of 8) before lines are looked for. A backspace never removes bytes already
// handed to the application.
//
// At session close a last line without line end is delivered before OnSessionClosed, and bytes
// left over from line mode switched off are delivered too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "net/WSocketTls.h"

// Backspace and tab editing of the new bytes Buf[Start..]. Bytes before Floor are never removed;
// tab stops are every 8 columns from the start of the line (the byte after the last LineEnd).
// Buf is edited in place (it may shrink or grow); Echo receives, in order, the pieces to send
// back to the peer when echo is wanted.
struct LineEditResult {
  std::size_t FirstChanged = 0;  // the earliest offset whose byte changed or was appended
  std::vector<std::string> Echo;
};
LineEditResult EditLineBytes(std::string& Buf, std::size_t Start, std::size_t Floor,
                             std::string_view LineEnd, bool WantEcho);

class TCustomLineWSocket : public TCustomTlsWSocket {
  using LowerLayer = TCustomTlsWSocket;

 public:
  // Default for LineLimit: generous for any text protocol (SMTP allows 1000 bytes a line).
  static constexpr int DefaultLineLimit = 65536;

  TCustomLineWSocket();
  ~TCustomLineWSocket() override;

  bool LineMode() const { return FLineMode; }
  virtual void SetLineMode(bool Value);
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool Value) { FLineEcho = Value; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool Value) { FLineEdit = Value; }
  // The most bytes held without a line end; values below 1 are refused (ReportError).
  int LineLimit() const { return FLineLimit; }
  void SetLineLimit(int Value);

  // Bytes received and not yet handed to the application; the unread line, if any, first.
  int LineBufferCount() const { return static_cast<int>(LineBuffer.size() - LineHead); }
  int PendingLineLength() const { return FPendingLineLength; }

  int RcvdCount() override;
  int RecvRaw(void* Buffer, int Size, int Flags) override;
  // Every byte received and not yet handed to the application, a line without its end included.
  int HeldByteCount() const override;
  // A new session starts with an empty line buffer, also when the previous one ended without
  // OnSessionClosed (an error report, or a handle replaced by Dup).
  void Connect() override;
  void Dup(TSocket NewHandle) override;

 protected:
  bool FireDataAvailable(std::uint16_t Error) override;
  void FireSessionClosed(std::uint16_t Error) override;
  // Edits the NewCount bytes just appended to the buffer (see EditLineBytes) and sends the echo.
  // Afterwards NewCount counts the bytes from the earliest changed position to the end.
  virtual void ApplyLineEditing(int& NewCount);

 private:
  class ScopedFlag;
  // The proxy's replies and the TLS handshake belong to the layers below even when line mode
  // is already on.
  bool PassesThrough() const {
    return SocksPhase() != TSocksPhase::socksPhaseNone || TlsPhase() == TTlsPhase::tlsHandshaking;
  }
  // Line framing is active: line mode on with a line end to look for.
  bool Framing() const { return FLineMode && !FLineEnd.empty(); }
  // Reads what the layer below has waiting into the buffer; returns the logical offset from
  // which a line end may start, or -1 when nothing was read.
  long ReceiveIntoBuffer();
  // Delivers every complete line from logical offset SearchFrom on (and an overlong tail).
  void DeliverLines(std::size_t SearchFrom);
  // Calls the handler until the pending line is read; false when the object or the session
  // ended meanwhile.
  bool DeliverPending();
  void DeliverAtClose();
  void FireLineTooLong();
  // Fires OnDataAvailable for bytes of this layer.
  bool FireApplicationDataAvailable(std::uint16_t Error = 0);
  void Compact();
  void ReleaseLineBuffer();

  // LineBuffer[LineHead..] holds the bytes not yet handed over; a pending line starts at
  // LineHead.
  std::string LineBuffer;
  std::size_t LineHead = 0;
  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  int FPendingLineLength = 0;
  bool FLineEcho = false;
  bool FLineEdit = false;
  int FLineLimit = DefaultLineLimit;
  // Re-entrancy guards: a handler that pumps messages may bring more data or message 0x414
  // while a line is being delivered.
  bool Delivering = false;
  // LineMode was switched while bytes were held: they are framed anew at the next receive pass.
  bool DeliveryWanted = false;
  // Changes whenever the buffer is released, so that a delivery loop notices a close made by
  // the handler it called.
  std::uint64_t LineSession = 0;
  // Counts LineMode changes, so that a handler that switched modes is not taken as idle.
  std::uint64_t LineModeChanges = 0;
};
