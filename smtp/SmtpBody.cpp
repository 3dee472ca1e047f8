// The DATA command of TCustomSmtpClient and the message transfer that follows the server's
// 354: the header lines, the body lines pulled from the owner, then ".". Lines are gathered in
// the socket's send buffer up to SendBatchBytes and leave in one Send (one write to the kernel,
// full records under TLS); the next batch is prepared only when the socket reports the previous
// one gone, so a message of any size needs memory for one batch.
#include <netinet/tcp.h>

#include <cstring>

#include "smtp/SmtpProt.h"

namespace {

// Queues Text for the wire. A line end inside it becomes CR LF; after one, a header line gets a
// blank (so that it stays a folded continuation and cannot end the header), a body line gets
// its leading dot doubled (so that it cannot end the data).
void QueueWireText(TCustomWSocket& Socket, const char* Text, std::size_t Len, bool Header) {
  std::size_t start = 0;
  for (;;) {
    // Text is NUL-terminated at Len; a line without line ends goes out in one piece.
    const std::size_t i = start + std::strcspn(Text + start, "\r\n");
    if (i >= Len) break;
    Socket.QueueSendData(Text + start, static_cast<int>(i - start));
    Socket.QueueSendData("\r\n", 2);
    start = i + 1;
    if (Text[i] == '\r' && start < Len && Text[start] == '\n') ++start;
    const char next = start < Len ? Text[start] : '\0';
    if (Header && next != ' ' && next != '\t') Socket.QueueSendData(" ", 1);
    if (!Header && next == '.') Socket.QueueSendData(".", 1);
  }
  Socket.QueueSendData(Text + start, static_cast<int>(Len - start));
}

}  // namespace

void TCustomSmtpClient::Data() {
  CheckReady();
  if (!FConnected) throw SmtpException("SMTP component not connected");
  BuildHeader();
  if (FDataPipelined) return DataAfterPipelinedCommand();
  ExecAsync(TSmtpRequest::smtpData, "DATA", {354}, &TCustomSmtpClient::DataAfterDataCommand);
}

// DATA went out with the envelope: its reply, already in, is handled as if it came now.
void TCustomSmtpClient::DataAfterPipelinedCommand() {
  FDataPipelined = false;
  StartCommand(TSmtpRequest::smtpData, {354}, nullptr);
  FLastResponse = FPipelineDataLine;
  FReplyCode = FPipelineDataCode;
  FRequestResult = FReplyCode == 354 ? 0 : FReplyCode;
  if (FRequestResult != 0) SetErrorMessage(true);
  DataAfterDataCommand();
}

void TCustomSmtpClient::DataAfterDataCommand() {
  if (FRequestResult != 0 || FReplyCode != 354) {
    TriggerRequestDone(static_cast<std::uint16_t>(FRequestResult));
    return;
  }
  // Until "." is sent, server lines are only shown: a stray one must not start a second chain.
  FNext = &TCustomSmtpClient::DisplayOnly;
  FDataBytesSent = FDataBatchBytes = 0;
  StartWait(TWaitFor::DataTaken, DataBlockWait);
  SetCorked(true);
  DataNext();
}

// While the message lines go out the kernel packs them into full segments; uncorking flushes,
// so "." and the commands go out at once.
void TCustomSmtpClient::SetCorked(bool Corked) {
  if (FWSocket->State() != wsConnected) return;
  int value = Corked ? 1 : 0;
  Winsock::setsockopt(FWSocket->HSocket(), IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

void TCustomSmtpClient::WSocketDataSent(TCustomWSocket*, std::uint16_t) {
  FDataBytesSent += FDataBatchBytes;
  FDataBatchBytes = 0;
  StartWait(TWaitFor::DataTaken, DataBlockWait);
  StateChange(TSmtpState::smtpInternalReady, TStateNotice::Quiet);
  DataNext();
}

// Prepares the next lines (header lines, then body lines pulled from the owner, each hook fired
// per line as before) into the socket's send buffer until it holds SendBatchBytes, and hands
// them over in one Send; the next batch follows the socket's report that this one is gone.
void TCustomSmtpClient::DataNext() {
  const auto alive = AliveToken();
  while (FConnected && FWSocket->BufferedByteCount() < SendBatchBytes) {
    if (!QueueNextLine()) {
      if (Gone(alive) || !FConnected) break;
      // The body is complete: what is queued leaves with ".", also when it all fitted in the
      // first batch (stored directly, as between batches, so that "." passes the readiness
      // check without a state notification of its own).
      StateChange(TSmtpState::smtpInternalReady, TStateNotice::Quiet);
      FWSocket->OnDataSent = nullptr;
      FDataBytesSent += static_cast<std::uint64_t>(FWSocket->BufferedByteCount());
      SetCorked(false);
      SendFinalDot();
      return;
    }
    if (Gone(alive)) return;
  }
  if (Gone(alive)) return;
  if (!FConnected) {
    FWSocket->OnDataSent = nullptr;
    return;
  }
  FWSocket->OnDataSent = [this](TCustomWSocket* S, std::uint16_t E) { WSocketDataSent(S, E); };
  FDataBatchBytes = static_cast<std::uint64_t>(FWSocket->BufferedByteCount());
  FWSocket->Send(nullptr, 0);  // pushes the batch; OnDataSent follows once it has gone
}

void TCustomSmtpClient::SendFinalDot() {
  // The last chance to keep a message that mixes two states of a file from the server.
  if (const std::string changed = ChangedSourceFile(); !changed.empty()) {
    // Trying again would send the file as it is now, which is not what was asked for.
    return FailAndDisconnect(
        "500 The file '" + changed + "' changed while it was sent; message not sent",
        /*Permanent=*/true);
  }
  StartCommand(TSmtpRequest::smtpData, {250}, nullptr);
  StartWait(TWaitFor::Reply, DataEndWait);
  if (FQuitAfterData && Pipelining()) {
    // RFC 2920 3.1: QUIT may follow the end of the data unanswered.
    FQuitSent = true;
    SendCommandGroup({".", "QUIT"});
  } else {
    SendCommand(".");
  }
}

// Queues one more line of the message; false when there is none (the body has ended, or an
// attachment failed and the message was abandoned).
bool TCustomSmtpClient::QueueNextLine() {
  ++FItemCount;
  if (FHdrLines && FItemCount < FHdrLines->Count()) {
    SendHeaderLine();
    return true;
  }
  if (FMoreLines) {
    ++FLineNum;
    try {
      TriggerGetData(FLineNum, FLineBuffer, LineBufferSize - 1, FMoreLines);
    } catch (const EInOutError& E) {
      AbandonMessage(E);
      return false;
    } catch (...) {
      FMoreLines = false;  // the owner's handler failed: the body ends here
    }
  }
  if (!FMoreLines) return false;
  SendLineBuffer(false);
  return true;
}

void TCustomSmtpClient::SendHeaderLine() {
  const std::string& line = (*FHdrLines)[FItemCount];
  // The header build keeps every entry within the wire limit, well inside the buffer.
  const std::size_t n = std::min(line.size(), static_cast<std::size_t>(LineBufferSize - 1));
  std::memcpy(FLineBuffer, line.data(), n);
  FLineBuffer[n] = '\0';
  TriggerHeaderLine(FLineBuffer, LineBufferSize);
  SendLineBuffer(true);  // a hook that ignored Size is cut off there
}

// Sends the line in FLineBuffer, cut to LineBufferSize - 1 characters (what the get-data hook
// was told), with its leading dot doubled; transparency covers header lines too, or a header
// line "." would end the data.
void TCustomSmtpClient::SendLineBuffer(bool Header) {
  FLineBuffer[LineBufferSize - 1] = '\0';
  std::size_t len = std::strlen(FLineBuffer);
  if (FLineBuffer[0] == '.') {
    // The spare byte after the buffer makes room for the doubled dot.
    std::memmove(FLineBuffer + 1, FLineBuffer, len + 1);
    ++len;
  }
  // The trace text is built only when someone shows it: this runs once per line of the body.
  if (OnDisplay) TriggerDisplay("> " + std::string(FLineBuffer, len));
  QueueWireText(*FWSocket, FLineBuffer, len, Header);
  FWSocket->QueueSendData("\r\n", 2);
}

// An attachment failed part way: sending "." now would deliver a message that silently lacks
// the rest of the file. Drop the connection instead, so that the server discards the data, and
// end the request with the reason.
void TCustomSmtpClient::AbandonMessage(const std::exception& E) {
  FMoreLines = false;
  FailAndDisconnect("500 " + std::string(E.what()) + "; message not sent");
}

std::string TCustomSmtpClient::ChangedSourceFile() const {
  for (const TSourceFile& file : FSourceFiles)
    if (!FileUnchanged(file.Name, file.Identity)) return file.Name;
  return "";
}

// --- the message size (RFC 1870) ---

// What QueueWireText makes of Line, counted: every line end inside becomes CR LF, a header
// continuation gains its blank; the doubled dots are not counted.
std::uint64_t TCustomSmtpClient::WireLineSize(std::string_view Line, bool Header) {
  std::uint64_t size = 2;  // the CR LF that ends the line
  std::size_t start = 0;
  for (;;) {
    const std::size_t i = Line.find_first_of("\r\n", start);
    if (i == std::string_view::npos) break;
    size += i - start + 2;
    start = i + 1;
    if (Line[i] == '\r' && start < Line.size() && Line[start] == '\n') ++start;
    const char next = start < Line.size() ? Line[start] : '\0';
    if (Header && next != ' ' && next != '\t') ++size;
  }
  return size + (Line.size() - start);
}

std::uint64_t TCustomSmtpClient::HeaderSize() {
  TStringList hdr;
  BuildHeaderLines(hdr);
  // Data builds the Date line again: its day of the month may have gained a digit by then.
  std::uint64_t size = 1;
  char line[LineBufferSize + 1];
  for (const std::string& entry : hdr) {
    const std::size_t n = std::min(entry.size(), static_cast<std::size_t>(LineBufferSize - 1));
    std::memcpy(line, entry.data(), n);
    line[n] = '\0';
    TriggerHeaderLine(line, LineBufferSize);
    line[LineBufferSize - 1] = '\0';
    size += WireLineSize(std::string_view(line, std::strlen(line)), true);
  }
  return size;
}

std::uint64_t TCustomSmtpClient::OwnerBodySize(bool QuotedPrintable) {
  std::uint64_t size = 0;
  char line[LineBufferSize + 1];
  for (int lineNum = 1;; ++lineNum) {
    bool more = true;
    line[0] = '\0';
    try {
      TCustomSmtpClient::TriggerGetData(lineNum, line, LineBufferSize - 1, more);
    } catch (...) {
      return size;  // Data ends the body where the owner's handler fails
    }
    if (!more) return size;
    line[LineBufferSize - 1] = '\0';
    const std::string_view text(line, std::strlen(line));
    size += QuotedPrintable ? QuotedPrintableSize(text) : WireLineSize(text, false);
  }
}

std::uint64_t TCustomSmtpClient::MessageSize() {
  return HeaderSize() + OwnerBodySize();
}
