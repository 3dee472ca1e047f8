#include "net/WSocketSync.h"

#include <sched.h>

#include <chrono>

#include "platform/Application.h"

std::uint32_t GetTickCount() {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
  return static_cast<std::uint32_t>(ms);
}

TCustomSyncWSocket::TCustomSyncWSocket() = default;
TCustomSyncWSocket::~TCustomSyncWSocket() = default;

int TCustomSyncWSocket::RunAndWait(const std::function<void()>& Proc, bool& Done) {
  Done = false;
  if (Proc) Proc();
  return WaitForFlag(Done);
}

int TCustomSyncWSocket::WaitForFlag(bool& Done) {
  // Kept locally: a wait started by a handler inside this one must not move this one's limit.
  const std::uint32_t stop = GetTickCount() + static_cast<std::uint32_t>(FSyncTimeout);
  SyncTimeStop = stop;
  auto alive = AliveToken();
  for (;;) {
    if (Done) return 0;
    // The signed difference stays right when the tick count wraps during the wait.
    if (FSyncTimeout > 0 && static_cast<std::int32_t>(GetTickCount() - stop) > 0)
      return SYNC_WAIT_TIMEOUT;
    if (Application().Terminated() || QuitSeen()) return SYNC_WAIT_TIMEOUT;
    PumpMessages();
    // A handler may have destroyed this object; Done lives with the caller and is still valid.
    if (Gone(alive)) return Done ? 0 : SYNC_WAIT_TIMEOUT;
    sched_yield();
  }
}
