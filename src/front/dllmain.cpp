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

// A non-null reserved argument: the whole process is ending, not only this library. Then
// no lock is taken (a thread that held it may be gone) and nothing is released that the
// system releases anyway. A running pulse is completed first, before the warning waits for
// the user: the solenoid is not kept energised meanwhile. No lock is held while the warning
// waits, nor while the library's timer is stopped (its work takes the process lock).
void Detach(bool processExit) {
  if (!processExit) LockProcess();
  for (const Backend* backend : kBackends) {
    if (backend->completePulse != nullptr) backend->completePulse("the unload");
  }
  const bool selected = gSession.currentDevice != kNoDevice;
  if (selected) TraceEvent("message box", "%s", kStillOpenText);
  TraceFlush();
  if (!processExit) UnlockProcess();
  if (selected) MessageBoxA(nullptr, kStillOpenText, kStillOpenCaption, MB_ICONINFORMATION);
  if (!processExit) LockProcess();
  if (selected) CloseSession();
  SettleOwedOpenings(kBoxWaitMs);
  kPortBackend.detach(processExit);
  kBridgeBackend.detach(processExit);
  TraceFlush();
  if (processExit) return;
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
      Detach(reserved != nullptr);
      break;
    default:
      break;
  }
  return TRUE;
}
