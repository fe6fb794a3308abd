// Load and unload: the scan at process attach, the check for a forgotten close at
// process detach.
#include <windows.h>

#include "common/box_lock.h"
#include "common/library_timer.h"
#include "common/process_lock.h"
#include "common/trace.h"
#include "front/openings.h"
#include "front/session.h"
#include "version.h"

namespace {

const char kStillOpenText[] = "call ClosePosInterface before!";
const char kStillOpenCaption[] = "Warnung aus DLL";

void Attach() {
  InitProcessLock();
  LockProcess();
  TraceAtLoad();
  TraceEvent("load", "TEVRO.DLL %s, %s", TEVRO_FILE_VERSION_TEXT,
             sizeof(void*) == 8 ? "x64" : "x86");
  uint32_t counts = ScanBoxes();
  TraceUnlockProcess();
  if (counts == 0) ShowNoBoxFound();
}

// A process that ends (a non-null reserved argument) is not only unloading this library:
// then no lock is taken (a thread that held it may be gone) and nothing is released that
// the system releases anyway. A running pulse is completed first, before the warning waits
// for the user: the solenoid is not kept energised meanwhile. No lock is held while the
// warning waits, nor while the library's timer is stopped (its work takes the process lock).
void Detach(UnloadKind kind) {
  const bool locks = kind == UnloadKind::kLibrary;
  if (locks) LockProcess();
  for (const Backend* backend : kBackends) {
    if (backend->completePulse != nullptr) backend->completePulse("the unload");
  }
  const bool selected = gSession.currentDevice != kNoDevice;
  if (selected) TraceEvent("message box", "%s", kStillOpenText);
  TraceFlush();
  if (locks) UnlockProcess();
  if (selected) MessageBoxA(nullptr, kStillOpenText, kStillOpenCaption, MB_ICONINFORMATION);
  if (locks) LockProcess();
  if (selected) CloseSession();
  SettleOwedOpenings(kBoxWaitMs);
  GiveUpOwedOpenings();
  for (const Backend* backend : kBackends) backend->detach(kind);
  TraceFlush();
  if (!locks) return;
  UnlockProcess();
  LibraryTimerClose();
  LockProcess();
  CloseBoxes();
  TraceAtUnload();
  UnlockProcess();
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
