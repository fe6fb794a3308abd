// A thread-pool timer (Windows Vista and later) rather than a timer queue: at unload it can
// cancel an expiry whose callback has not started yet, so the unload never waits for a
// pool thread that would first need the loader lock the unloading thread holds. It is not
// bound to the library's module (SetThreadpoolCallbackLibrary would keep the library
// loaded for the timer's whole life); the unload stops it instead.
#include "common/library_timer.h"

#include "common/process_lock_scope.h"
#include "common/trace.h"

namespace {

struct LibraryTimer {
  PTP_TIMER timer;  // made at the first setting, freed at unload
  void (*work)();   // what the next expiry runs
  bool closing;     // the unload has begun: the work is not run, the timer not set again
};

LibraryTimer gTimer;

void CALLBACK Expired(PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {
  ProcessLockScope lock;
  void (*work)() = gTimer.closing ? nullptr : gTimer.work;
  gTimer.work = nullptr;
  if (work != nullptr) work();
}

}  // namespace

bool LibraryTimerSet(void (*work)(), int64_t dueUs) {
  if (gTimer.closing) return false;
  if (gTimer.timer == nullptr) {
    gTimer.timer = CreateThreadpoolTimer(Expired, nullptr, nullptr);
    if (gTimer.timer == nullptr) return false;
  }
  gTimer.work = work;
  // Negative: relative to now, in 100-ns units.
  int64_t due = -(dueUs > 0 ? dueUs : 0) * 10;
  FILETIME when;
  when.dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(due));
  when.dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(due) >> 32);
  SetThreadpoolTimer(gTimer.timer, &when, 0, 0);
  return true;
}

void LibraryTimerCancel() {
  gTimer.work = nullptr;
  if (gTimer.timer != nullptr) SetThreadpoolTimer(gTimer.timer, nullptr, 0, 0);
}

void LibraryTimerClose() {
  PTP_TIMER timer = nullptr;
  {
    ProcessLockScope lock;
    gTimer.closing = true;
    timer = gTimer.timer;
    gTimer.timer = nullptr;
    gTimer.work = nullptr;
  }
  if (timer == nullptr) return;
  SetThreadpoolTimer(timer, nullptr, 0, 0);
  WaitForThreadpoolTimerCallbacks(timer, TRUE);
  CloseThreadpoolTimer(timer);
}
