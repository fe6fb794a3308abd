// Named mutexes, one per box, made at first use and kept until the library is unloaded
// (common/library_objects.h says whose they are and how they are made).
#include "common/box_lock.h"

#include "common/fine_clock.h"
#include "common/library_objects.h"
#include "common/trace.h"

namespace {

struct BoxObjects {
  LibraryMutexes mutexes[2][kBoxes];
  bool refusalTraced[2][kBoxes];    // the trace has said why box N's mutex cannot be had
  bool squatted[2][kBoxes];         // box N's mutex or record is a squatter's: not used
  uint32_t deadHolders[2][kBoxes];  // operations that found box N's last holder dead
  void (*closeBeside)();            // closes what lies beside the mutexes (CloseWithBoxes)
};

BoxObjects gBoxes;

const char* KindName(BoxKind kind) { return kind == BoxKind::kPort ? "port" : "bridge"; }

void TraceSquatter(BoxKind kind, uint8_t box, const char* what) {
  bool& said = gBoxes.refusalTraced[kind == BoxKind::kPort][box];
  if (said) return;
  said = true;
  TraceEvent("wait",
             "%s %u: its %s was made by another program and lets others change its security, "
             "or is not what it should be; the box is not used",
             KindName(kind), box, what);
}

const char* WhyNotHad(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
      return "another program made it with rights that refuse this one";
    case ERROR_INVALID_HANDLE:
      return "its name belongs to another kind of object";
    case ERROR_SUCCESS:
      return "no security descriptor could be made for it";
    default:
      return "the system refused it";
  }
}

// The mutex that stands for box (kind, box): the machine's, or where that cannot be had
// at all, the session's. Opened at first use; tried again at every operation while neither
// can be had.
LibraryMutexes& MutexesOf(BoxKind kind, uint8_t box) {
  LibraryMutexes& m = gBoxes.mutexes[kind == BoxKind::kPort][box];
  bool& squatted = gBoxes.squatted[kind == BoxKind::kPort][box];
  if (m.machine == nullptr && m.session == nullptr && !squatted) {
    char suffix[12];  // "port.3", "bridge.3"
    DWORD at = 0;
    for (const char* p = KindName(kind); *p != '\0'; ++p) suffix[at++] = *p;
    suffix[at++] = '.';
    suffix[at++] = static_cast<char>('0' + box);
    suffix[at] = '\0';
    m = OpenLibraryMutexes(suffix);
    if (m.squatted) {
      squatted = true;
      TraceSquatter(kind, box, "mutex");
      return m;
    }
    bool& said = gBoxes.refusalTraced[kind == BoxKind::kPort][box];
    if (m.machine == nullptr && m.session == nullptr && !said) {
      said = true;
      TraceEvent("wait", "%s %u: its mutex cannot be had (%s); the box is not written",
                 KindName(kind), box, WhyNotHad(m.error));
    }
  }
  return m;
}

// What a wait's result makes of the lock.
BoxTurn LockOf(DWORD result) {
  switch (result) {
    case WAIT_OBJECT_0:
      return BoxTurn{.status = kDone, .lastHolderDied = false};
    case WAIT_ABANDONED:
      return BoxTurn{.status = kDone, .lastHolderDied = true};
    case WAIT_TIMEOUT:
      return BoxTurn{.status = Failure(Cause::kBusy), .lastHolderDied = false};
    default:
      return BoxTurn{.status = Failure(Cause::kWithoutLock, "WaitForSingleObject", GetLastError()),
                     .lastHolderDied = false};
  }
}

// Waits for 'mutex' at most waitMs, tracing a wait on a holder; *waitedMs: how long.
DWORD WaitForBox(BoxKind kind, uint8_t box, HANDLE mutex, DWORD waitMs, DWORD* waitedMs) {
  *waitedMs = 0;
  DWORD result = WaitForSingleObject(mutex, 0);
  if (result != WAIT_TIMEOUT || waitMs == 0) return result;
  // Held by another caller: wait for it, and say how long.
  const int64_t start = FineNow();
  result = WaitForSingleObject(mutex, waitMs);
  const double ms = MillisecondsSince(start);
  *waitedMs = ms >= waitMs ? waitMs : static_cast<DWORD>(ms);
  TraceEvent("wait", "%s %u was held by another caller; waited %.1f ms, %s", KindName(kind), box,
             ms, result == WAIT_TIMEOUT ? "gave up" : "then took it");
  return result;
}

}  // namespace

BoxTurn LockBox(BoxKind kind, uint8_t box, DWORD waitMs) {
  if (box >= kBoxes) return BoxTurn{.status = kDone, .lastHolderDied = false};
  TraceBox(kind, box);
  LibraryMutexes& m = MutexesOf(kind, box);
  HANDLE first = m.machine != nullptr ? m.machine : m.session;
  if (first == nullptr) {
    return BoxTurn{.status = Failure(Cause::kWithoutLock), .lastHolderDied = false};
  }
  DWORD waited = 0;
  const BoxTurn lock = LockOf(WaitForBox(kind, box, first, waitMs, &waited));
  if (first != m.machine || m.session == nullptr || !lock.status.ok()) {
    return lock;  // kWithoutLock: not held, so UnlockBox's release fails harmlessly
  }
  // The session's twin, for earlier copies of the library, which take it alone, within what is left
  // of the wait. Not had: the machine's is given back, so the box is wholly taken or not at all.
  BoxTurn twin = LockOf(WaitForBox(kind, box, m.session, waitMs - waited, &waited));
  if (twin.status.ok()) {
    twin.lastHolderDied = twin.lastHolderDied || lock.lastHolderDied;
    return twin;
  }
  ReleaseMutex(m.machine);
  return twin;
}

void UnlockBox(BoxKind kind, uint8_t box) {
  if (box >= kBoxes) return;
  const LibraryMutexes& m = gBoxes.mutexes[kind == BoxKind::kPort][box];
  if (m.session != nullptr) ReleaseMutex(m.session);
  if (m.machine != nullptr) ReleaseMutex(m.machine);
}

BoxTurn TakeBoxForOperation(BoxKind kind, uint8_t box, DWORD waitMs) {
  if (BoxSquatted(kind, box)) {
    TraceBox(kind, box);
    return BoxTurn{.status = Failure(Cause::kSquatted), .lastHolderDied = false};
  }
  const BoxTurn turn = LockBox(kind, box, waitMs);
  if (turn.lastHolderDied) {
    TraceEvent("wait", "%s %u: its last holder died inside an operation", KindName(kind), box);
    ++gBoxes.deadHolders[kind == BoxKind::kPort][box];
  }
  return turn;
}

bool MayWriteBox(BoxKind kind, uint8_t box, const BoxTurn& turn) {
  if (turn.status.ok()) return true;
  TraceEvent("wait", "%s %u: not written without the box's lock", KindName(kind), box);
  return false;
}

uint32_t DeadHoldersFound(BoxKind kind, uint8_t box) {
  return box < kBoxes ? gBoxes.deadHolders[kind == BoxKind::kPort][box] : 0;
}

void CloseBoxes() {
  for (auto& kinds : gBoxes.mutexes) {
    for (LibraryMutexes& m : kinds) {
      if (m.machine != nullptr) CloseHandle(m.machine);
      if (m.session != nullptr) CloseHandle(m.session);
      m = LibraryMutexes{};
    }
  }
  if (gBoxes.closeBeside != nullptr) gBoxes.closeBeside();
  FreeObjectSecurity();
}

BoxLockPlace WhereBoxLockIs(BoxKind kind, uint8_t box) {
  if (box >= kBoxes) return BoxLockPlace::kNone;
  const bool& squatted = gBoxes.squatted[kind == BoxKind::kPort][box];
  if (squatted) return BoxLockPlace::kSquatted;
  const LibraryMutexes& m = MutexesOf(kind, box);
  if (squatted) return BoxLockPlace::kSquatted;
  if (m.machine != nullptr) return BoxLockPlace::kMachine;
  return m.session != nullptr ? BoxLockPlace::kSession : BoxLockPlace::kNone;
}

void MarkBoxSquatted(BoxKind kind, uint8_t box, const char* what) {
  if (box >= kBoxes) return;
  gBoxes.squatted[kind == BoxKind::kPort][box] = true;
  TraceSquatter(kind, box, what);
}

void CloseWithBoxes(void (*close)()) { gBoxes.closeBeside = close; }

bool BoxSquatted(BoxKind kind, uint8_t box) {
  if (box >= kBoxes) return false;
  MutexesOf(kind, box);
  return gBoxes.squatted[kind == BoxKind::kPort][box];
}
