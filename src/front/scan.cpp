// The scan: counts the boxes of both variants and so fixes the device numbering.
#include <windows.h>

#include "common/process_lock_scope.h"
#include "common/trace.h"
#include "front/session.h"

namespace {

const char kNoBoxText[] = "DLL_PROCESS_ATTACH: No PosInterface found!";
const char kNoBoxCaption[] = "Info from TEVRO.DLL";

}  // namespace

uint32_t ScanBoxes() {
  // The probes leave an open session alone, with its counts. With no box open, each backend
  // is left addressing the first index its probes found empty, and the local count starts
  // again.
  const bool open = gSession.openResult != kNotOpen;
  const Backend* const inOrder[] = {&kBridgeBackend, &kPortBackend};
  for (const Backend* backend : inOrder) {
    const bool sessionHere = open && backend == gSession.backend;
    uint8_t count = backend->scan(sessionHere ? ScanMode::kSessionOpen : ScanMode::kNoSession);
    (backend == &kBridgeBackend ? gSession.bridgeCount : gSession.portCount) = count;
  }
  if (!open) gSession.counts.local = 0;
  TraceEvent("scan", "%u bridge boxes, %u driver-port boxes", gSession.bridgeCount,
             gSession.portCount);
  return PackedCounts();
}

void ShowNoBoxFound() {
  {
    ProcessLockScope lock;
    TraceEvent("message box", "%s", kNoBoxText);
  }
  MessageBoxA(nullptr, kNoBoxText, kNoBoxCaption, MB_ICONINFORMATION);
}
