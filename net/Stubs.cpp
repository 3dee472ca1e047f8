// Temporary definitions so that users can link while the implementation lands.
#include <cstdarg>

#include "net/NameService.h"
#include "net/SocketErrors.h"
#include "net/WSocket.h"

std::string SocketErrorText(int) {
  return "Not a WinSock error";
}
std::string_view SocketErrorName(int) {
  return "";
}
std::string SocketErrorMessage(int code, std::string_view op) {
  return "Error " + std::to_string(code) + " in function " + std::string(op) + "\r\n" +
         SocketErrorText(code);
}
const char* SocketStateName(TSocketState) {
  return "";
}
int SocketObjectCount() {
  return 0;
}
in_addr_t WSocketResolveHost(const std::string&) {
  return 0;
}
int WSocketResolvePort(const std::string&, const std::string&) {
  return 0;
}
int WSocketResolveProto(const std::string&) {
  return 0;
}
bool IsDottedQuad(std::string_view) {
  return false;
}
int LeadingNumber(std::string_view) {
  return 0;
}
std::string GetLocalHostName() {
  return "";
}

TBuffer::TBuffer(int) {}
void TBuffer::SetCapacity(int) {}
int TBuffer::AppendData(const void*, int) {
  return 0;
}
const std::uint8_t* TBuffer::PeekData(int& len) const {
  len = 0;
  return nullptr;
}
int TBuffer::ConsumeData(int) {
  return 0;
}

TCustomWSocket::TCustomWSocket() {}
TCustomWSocket::~TCustomWSocket() {}
void TCustomWSocket::SetAddr(const std::string&) {}
void TCustomWSocket::SetPort(const std::string&) {}
void TCustomWSocket::SetProto(const std::string&) {}
void TCustomWSocket::SetLocalAddr(const std::string&) {}
void TCustomWSocket::SetLocalPort(const std::string&) {}
std::string TCustomWSocket::PeerAddr() {
  return "error";
}
std::string TCustomWSocket::PeerPort() {
  return "error";
}
std::string TCustomWSocket::BoundPort() {
  return "error";
}
int TCustomWSocket::ReadPeerName(sockaddr_in&, int) {
  return -1;
}
int TCustomWSocket::ReadSockName(sockaddr_in&, int&) {
  return -1;
}
int TCustomWSocket::RcvdCount() {
  return 0;
}
TSocketSendFlags TCustomWSocket::SendFlags() {
  return wsSendNormal;
}
void TCustomWSocket::SetSendFlags(TSocketSendFlags) {}
int TCustomWSocket::BufferedByteCount() const {
  return 0;
}
void TCustomWSocket::Connect() {}
void TCustomWSocket::Close() {}
void TCustomWSocket::DoClose(bool, std::uint16_t) {}
void TCustomWSocket::AbortSession() {}
void TCustomWSocket::ShutdownSocket(int) {}
void TCustomWSocket::CloseLater() {}
void TCustomWSocket::FreeLater(std::unique_ptr<TCustomWSocket>) {}
void TCustomWSocket::WaitUntilClosed() {}
void TCustomWSocket::Dup(TSocket) {}
void TCustomWSocket::Listen() {}
TSocket TCustomWSocket::Accept() {
  return -1;
}
int TCustomWSocket::Receive(void*, int) {
  return -1;
}
std::string TCustomWSocket::ReceiveText() {
  return "";
}
int TCustomWSocket::ReceiveDatagram(void*, int, sockaddr_in&, int&) {
  return -1;
}
int TCustomWSocket::RecvRaw(void*, int, int) {
  return -1;
}
int TCustomWSocket::RecvFromRaw(TSocket, void*, int, int, sockaddr_in&, int&) {
  return -1;
}
int TCustomWSocket::Send(const void*, int) {
  return -1;
}
int TCustomWSocket::SendText(std::string_view) {
  return -1;
}
int TCustomWSocket::SendDatagram(const sockaddr_in&, int, const void*, int) {
  return -1;
}
void TCustomWSocket::QueueSendData(const void*, int) {}
void TCustomWSocket::TryToSend() {}
int TCustomWSocket::RawSend(const void*, int) {
  return -1;
}
void TCustomWSocket::Flush() {}
void TCustomWSocket::DiscardSendBuffer() {}
void TCustomWSocket::LookupHost(const std::string&) {}
void TCustomWSocket::LookupAddr(const std::string&) {}
void TCustomWSocket::CancelLookup() {}
int TCustomWSocket::SuspendEvents() {
  return 0;
}
int TCustomWSocket::ResumeEvents() {
  return 0;
}
void TCustomWSocket::PumpMessages() {}
void TCustomWSocket::ApplyLinger() {}
bool TCustomWSocket::TimeValueIsSet(const timeval&) const {
  return false;
}
void TCustomWSocket::ClearTimeValue(timeval&) const {}
bool TCustomWSocket::CompareTimeValues(const timeval&, const timeval&, bool) const {
  return false;
}
void TCustomWSocket::ReportError(const std::string&) {}
void TCustomWSocket::ReportErrorFmt(const char*, ...) {}
void TCustomWSocket::ReportSocketError(const std::string&) {}
void TCustomWSocket::HandleBgException(const std::exception&) {}
void TCustomWSocket::HandleWindowMessage(TMessage&) {}
void TCustomWSocket::ResetDefaults() {}
void TCustomWSocket::BindLocal() {}
void TCustomWSocket::EnterState(TSocketState) {}
void TCustomWSocket::HandleSocketEvent(const TMessage&) {}
void TCustomWSocket::DrainReceived(std::uint16_t) {}
void TCustomWSocket::HandleLookupDone(const TMessage&, bool) {}
bool TCustomWSocket::PumpOneMessage() {
  return false;
}
bool TCustomWSocket::FireDataAvailable(std::uint16_t) {
  return false;
}
void TCustomWSocket::FireSessionAvailable(std::uint16_t) {}
void TCustomWSocket::FireSessionConnected(std::uint16_t) {}
void TCustomWSocket::FireSessionClosed(std::uint16_t) {}
void TCustomWSocket::FireDataSent(std::uint16_t) {}
void TCustomWSocket::FireChangeState(TSocketState, TSocketState) {}
void TCustomWSocket::FireDnsLookupDone(std::uint16_t) {}
void TCustomWSocket::FireError() {}
void TCustomWSocket::FireSendData(int) {}
bool TCustomWSocket::ResolveForOpen(const char*, bool) {
  return false;
}
void TCustomWSocket::CloseFailedSession(int) {}
