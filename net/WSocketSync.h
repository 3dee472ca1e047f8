// TCustomSyncWSocket: the synchronous-wait layer of the socket class chain.
//
// RunAndWait starts an operation and waits, inside the call, until an event handler sets the
// caller's Done flag; messages keep being dispatched meanwhile, so the socket's events arrive
// as usual. Nothing blocks in a socket call: the wait is a loop that pumps the messages and
// yields the processor.
//
// Results: 0 when Done was set; SYNC_WAIT_TIMEOUT (12001) when the wait ended otherwise: the
// time limit SyncTimeout (milliseconds, 0 or less: none) passed, the application was told to
// terminate, or the socket's own pump took a quit message off the queue. The wait never closes
// the socket or cancels the operation. Waits may nest; each keeps its own time limit.
#pragma once

#include <cstdint>
#include <functional>

#include "net/WSocketLine.h"

constexpr int SYNC_WAIT_TIMEOUT = 12001;

// Milliseconds from a monotonic clock, wrapping at 32 bits like the Windows tick count.
std::uint32_t GetTickCount();

class TCustomSyncWSocket : public TCustomLineWSocket {
 public:
  TCustomSyncWSocket();
  ~TCustomSyncWSocket() override;

  int SyncTimeout() const { return FSyncTimeout; }
  void SetSyncTimeout(int Milliseconds) { FSyncTimeout = Milliseconds; }

  // Done := false; Proc (when given) starts the operation; then WaitForFlag(Done).
  virtual int RunAndWait(const std::function<void()>& Proc, bool& Done);
  virtual int WaitForFlag(bool& Done);

 protected:
  int FSyncTimeout = 0;
  std::uint32_t SyncTimeStop = 0;  // the stop time of the wait started last
};
