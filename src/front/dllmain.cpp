// Load and unload: the scan at process attach, the check for a forgotten close at
// process detach.
#include <windows.h>

#include "front/session.h"

namespace {

const char kStillOpenText[] = "call ClosePosInterface before!";
const char kStillOpenCaption[] = "Warnung aus DLL";

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      RunScan();
      break;
    case DLL_PROCESS_DETACH: {
      if (gSession.currentDevice != kNoDevice) {
        MessageBoxA(nullptr, kStillOpenText, kStillOpenCaption, MB_ICONINFORMATION);
        CloseSession();
      }
      // A non-null reserved argument: the whole process is ending, not only this library.
      const bool processExit = reserved != nullptr;
      kPortBackend.detach(processExit);
      kBridgeBackend.detach(processExit);
      break;
    }
    default:
      break;
  }
  return TRUE;
}
