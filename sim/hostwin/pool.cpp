// Thread-pool timers on the virtual clock.
//
// An expiry queues the timer's callback; a queued callback runs on the pool thread
// (kPoolThreadId) at the next point where no library call is in progress: while the test
// lets time pass, or when the harness runs due callbacks after a call. A callback that fell
// due inside a call runs right after it, as on Windows it would wait for the library's
// process lock. The one exception is a wait for the callbacks (without cancelling them),
// which runs a queued one there, on the pool thread, as Windows would have it end first.
//
// Simplified: all callbacks share one pool thread and never overlap; a periodic timer has
// at most one callback queued; the window a callback may come late in is not used, each
// runs at its due time.
#include "state.h"

using namespace hostwin;

namespace {

// FILETIME (100 ns since 1601) of the virtual clock's 0: 2026-12-08 10:00:00, the local
// date GetLocalTime gives then (the stand-in's time zone is UTC).
constexpr uint64_t kClockZeroFileTime = 0x1dd86fae309d000ull;
// Callbacks run without time passing before the stand-in calls it a loop.
constexpr int kMaxRunsAtOnce = 10000;
PTP_CALLBACK_INSTANCE const kInstance = reinterpret_cast<PTP_CALLBACK_INSTANCE>(0x9100);

PoolTimer* Find(PTP_TIMER timer) {
  auto it = S().poolTimers.find(reinterpret_cast<uintptr_t>(timer));
  return it == S().poolTimers.end() || it->second.closed ? nullptr : &it->second;
}

PoolTimer* FindOrComplain(PTP_TIMER timer, const char* call) {
  PoolTimer* t = Find(timer);
  if (t == nullptr) Violation(std::string(call) + " on a pool timer that is not open");
  return t;
}

// Every expiry that has come queues its callback.
void Collect() {
  for (auto& entry : S().poolTimers) {
    PoolTimer& t = entry.second;
    if (t.closed || !t.armed || t.dueUs > S().nowUs) continue;
    if (!t.queued) t.queuedAtUs = t.dueUs;
    t.queued = true;
    if (t.periodMs == 0) {
      t.armed = false;
    } else {
      while (t.dueUs <= S().nowUs) t.dueUs += 1000 * static_cast<uint64_t>(t.periodMs);
    }
  }
}

bool MayRun() { return !S().poolHeld && S().callouts == 0; }

void Run(uintptr_t id) {
  PoolTimer& t = S().poolTimers[id];
  t.queued = false;
  t.running = true;
  PTP_TIMER_CALLBACK callback = t.callback;
  void* context = t.context;
  const uint32_t caller = S().thread;
  S().thread = kPoolThreadId;
  {
    Callout inLibrary;
    callback(kInstance, context, reinterpret_cast<PTP_TIMER>(id));
  }
  // A pool thread that keeps a lock keeps it for every later callback, and a mutex it
  // owns is never abandoned: the thread lives on.
  CheckNoLockHeld("a pool timer callback returned");
  S().thread = caller;
  auto it = S().poolTimers.find(id);
  if (it == S().poolTimers.end()) return;
  it->second.running = false;
  if (it->second.closed) S().poolTimers.erase(it);
}

// The queued callback that came first; 0 for none.
uintptr_t FirstQueued() {
  uintptr_t first = 0;
  uint64_t at = UINT64_MAX;
  for (const auto& entry : S().poolTimers) {
    const PoolTimer& t = entry.second;
    if (!t.closed && t.queued && !t.running && t.queuedAtUs < at) {
      first = entry.first;
      at = t.queuedAtUs;
    }
  }
  return first;
}

uint64_t NextDueUs() {
  uint64_t next = UINT64_MAX;
  for (const auto& entry : S().poolTimers) {
    const PoolTimer& t = entry.second;
    if (!t.closed && t.armed && t.dueUs < next) next = t.dueUs;
  }
  return next;
}

// When a due time given as a FILETIME comes: negative, relative in 100 ns units; 0, now;
// positive, an absolute system time.
uint64_t DueUsOf(const FILETIME& due) {
  int64_t value =
      static_cast<int64_t>(static_cast<uint64_t>(due.dwHighDateTime) << 32 | due.dwLowDateTime);
  if (value < 0) return DueAfterUs((static_cast<uint64_t>(-value) + 9) / 10);
  uint64_t nowFileTime = kClockZeroFileTime + 10 * S().nowUs;
  if (static_cast<uint64_t>(value) <= nowFileTime) return S().nowUs;
  return DueAfterUs((static_cast<uint64_t>(value) - nowFileTime + 9) / 10);
}

}  // namespace

namespace hostwin {

int RunDuePoolTimers() {
  if (!MayRun()) return 0;
  int ran = 0;
  for (;;) {
    Collect();
    uintptr_t id = FirstQueued();
    if (id == 0) break;
    if (ran == kMaxRunsAtOnce) {
      Violation("pool timer callbacks keep falling due without time passing");
      break;
    }
    Run(id);
    ++ran;
  }
  return ran;
}

void AdvanceToUs(uint64_t targetUs) {
  while (MayRun()) {
    RunDuePoolTimers();
    uint64_t next = NextDueUs();
    if (next > targetUs) break;
    if (next > S().nowUs) S().nowUs = next;
  }
  if (S().nowUs < targetUs) S().nowUs = targetUs;
}

void HoldPoolTimers(bool held) { S().poolHeld = held; }

size_t PoolTimersOpen() {
  size_t open = 0;
  for (const auto& entry : S().poolTimers) open += entry.second.closed ? 0 : 1;
  return open;
}

size_t PoolTimersArmed() {
  Collect();
  size_t armed = 0;
  for (const auto& entry : S().poolTimers) {
    const PoolTimer& t = entry.second;
    armed += !t.closed && (t.armed || t.queued) ? 1 : 0;
  }
  return armed;
}

void DiscardPoolTimers() { S().poolTimers.clear(); }

}  // namespace hostwin

extern "C" {

PTP_TIMER CreateThreadpoolTimer(PTP_TIMER_CALLBACK callback, PVOID context, PTP_CALLBACK_ENVIRON) {
  COUNT_CALL("CreateThreadpoolTimer");
  if (S().failSetTimer > 0) {
    --S().failSetTimer;
    SetError(ERROR_GEN_FAILURE);
    return nullptr;
  }
  if (callback == nullptr) {
    SetError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  uintptr_t id = S().nextPoolTimer;
  S().nextPoolTimer += 0x10;
  PoolTimer& t = S().poolTimers[id];
  t.callback = callback;
  t.context = context;
  return reinterpret_cast<PTP_TIMER>(id);
}

// Setting the timer replaces a pending expiry; a callback already queued still runs.
void SetThreadpoolTimer(PTP_TIMER timer, PFILETIME dueTime, DWORD msPeriod, DWORD) {
  COUNT_CALL("SetThreadpoolTimer");
  PoolTimer* t = FindOrComplain(timer, "SetThreadpoolTimer");
  if (t == nullptr) return;
  Collect();
  t->armed = dueTime != nullptr;
  if (dueTime == nullptr) return;
  t->dueUs = DueUsOf(*dueTime);
  t->periodMs = msPeriod;
}

void WaitForThreadpoolTimerCallbacks(PTP_TIMER timer, BOOL cancelPending) {
  COUNT_CALL("WaitForThreadpoolTimerCallbacks");
  PoolTimer* t = FindOrComplain(timer, "WaitForThreadpoolTimerCallbacks");
  if (t == nullptr) return;
  if (t->running) {
    Violation("WaitForThreadpoolTimerCallbacks in the timer's own callback: it waits for itself");
    return;
  }
  Collect();
  if (!t->queued) return;
  // A queued callback may have begun on Windows, waiting for a lock (see above): a wait,
  // cancelling or not, does not stop it, and it would never end while the caller holds that
  // lock.
  CheckNoLockHeld("WaitForThreadpoolTimerCallbacks waits for a queued callback");
  if (cancelPending) {
    t->queued = false;
    return;
  }
  if (S().poolHeld || S().callouts > 0) {
    Violation("WaitForThreadpoolTimerCallbacks waits for a callback the pool cannot start now");
    return;
  }
  Run(reinterpret_cast<uintptr_t>(timer));
}

// A timer closed with an expiry pending or a callback queued would still call back, into
// whatever replaced the code once the library is unloaded: a violation, and the timer is
// dropped. One closed inside its own callback goes when the callback returns.
void CloseThreadpoolTimer(PTP_TIMER timer) {
  COUNT_CALL("CloseThreadpoolTimer");
  PoolTimer* t = FindOrComplain(timer, "CloseThreadpoolTimer");
  if (t == nullptr) return;
  Collect();
  if (t->armed || t->queued) {
    Violation("a pool timer closed while armed: its callback could run into unloaded code");
  }
  if (t->running) {
    t->closed = true;
  } else {
    S().poolTimers.erase(reinterpret_cast<uintptr_t>(timer));
  }
}

}  // extern "C"
