// Load and unload: the scan at process attach, the check for a forgotten close at
// process detach.
#include <windows.h>

#include "bridge/d2xx.h"
#include "driverport/driverport.h"
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
    case DLL_PROCESS_DETACH:
      if (gSession.currentDevice != kNoDevice) {
        MessageBoxA(nullptr, kStillOpenText, kStillOpenCaption, MB_ICONINFORMATION);
        CloseSession();
      }
      // No timer may fire into an unloaded library, and no solenoid stays energised.
      PortEndPulse();
      // At process exit the system unloads every module itself; releasing another
      // library from here is only safe when this one is unloaded on its own.
      if (reserved == nullptr) D2xxRelease();
      break;
    default:
      break;
  }
  return TRUE;
}
