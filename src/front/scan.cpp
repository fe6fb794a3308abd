// The scan: counts the boxes of both variants and so fixes the device numbering.
#include <windows.h>

#include "common/process_lock.h"
#include "common/trace.h"
#include "front/session.h"

namespace {

const char kNoBoxText[] = "DLL_PROCESS_ATTACH: No PosInterface found!";
const char kNoBoxCaption[] = "Info from TEVRO.DLL";

}  // namespace

uint32_t ScanBoxes() {
  // The probes leave the backends' sessions alone, so an open box stays open. A backend
  // without an open box is left addressing the first index its probes found empty.
  const bool open = gSession.openResult != kNotOpen;
  const Backend& selected = SelectedBackend();
  gSession.bridgeCount = kBridgeBackend.scan(open && &selected == &kBridgeBackend);
  gSession.portCount = kPortBackend.scan(open && &selected == &kPortBackend);
  TraceEvent("scan", "%u bridge boxes, %u driver-port boxes", gSession.bridgeCount,
             gSession.portCount);
  return PackedCounts();
}

void ShowNoBoxFound() {
  LockProcess();
  TraceEvent("message box", "%s", kNoBoxText);
  TraceUnlockProcess();
  MessageBoxA(nullptr, kNoBoxText, kNoBoxCaption, MB_ICONINFORMATION);
}
