// Load and unload: the scan at process attach, the check for a forgotten close at
// process detach.
#include <windows.h>

#include "common/box_lock.h"
#include "common/library_timer.h"
#include "common/process_lock.h"
#include "common/process_lock_scope.h"
#include "common/trace.h"
#include "front/openings.h"
#include "front/session.h"
#include "version.h"

namespace {

const char kStillOpenText[] = "call ClosePosInterface before!";
const char kStillOpenCaption[] = "Warnung aus DLL";

void Attach() {
  InitProcessLock();
  uint32_t counts = 0;
  {
    ProcessLockScope lock;
    TraceAtLoad();
    TraceEvent("load", "TEVRO.DLL %s, %s", TEVRO_FILE_VERSION_TEXT,
               sizeof(void*) == 8 ? "x64" : "x86");
    counts = ScanBoxes();
  }
  if (counts == 0) ShowNoBoxFound();
}

// A process that ends is not only unloading this library: then no lock is taken (a thread
// that held it may be gone) and nothing is given back that the system frees anyway. A
// running pulse is completed first, before the warning waits for the user: the solenoid is
// not kept energised meanwhile. No lock is held while the warning waits, nor while the
// library's timer is stopped (its work takes the process lock).
void Detach(UnloadKind kind) {
  {
    ProcessLockScope lock(kind == UnloadKind::kLibrary ? ProcessLockScope::Take::kLock
                                                       : ProcessLockScope::Take::kNone);
    for (const Backend* backend : kBackends) CompletePulse(*backend, "the unload");
    const bool selected = gSession.selected != kNoBox;
    if (selected) {
      TraceEvent("message box", "%s", kStillOpenText);
      TraceFlush();
      lock.Unlock();
      MessageBoxA(nullptr, kStillOpenText, kStillOpenCaption, MB_ICONINFORMATION);
      lock.Relock();
      CloseSession();
    }
    RetryOwedOpenings(kBoxWaitMs);
    DropOwedOpenings();
    for (const Backend* backend : kBackends) backend->detach(kind);
    if (kind == UnloadKind::kProcessExit) return;
    TraceFlush();
    lock.Unlock();
    LibraryTimerClose();
    lock.Relock();
    CloseBoxes();
    TraceAtUnload();
  }
  DeleteProcessLock();
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      Attach();
      break;
    case DLL_PROCESS_DETACH:
      Detach(reserved != nullptr ? UnloadKind::kProcessExit : UnloadKind::kLibrary);
      break;
    default:
      break;
  }
  return TRUE;
}
