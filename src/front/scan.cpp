// The scan: counts the boxes of both variants and so fixes the device numbering.
#include <windows.h>

#include "common/process_lock_scope.h"
#include "common/trace.h"
#include "front/counter_copy.h"
#include "front/results.h"
#include "front/session.h"

namespace {

const char kNoBoxText[] = "DLL_PROCESS_ATTACH: No PosInterface found!";
const char kNoBoxCaption[] = "Info from TEVRO.DLL";

}  // namespace

uint32_t ScanBoxes() {
  // A pulse still running is completed before any probe (the probes of the other backend
  // may take seconds, under the process lock the pulse's timer needs). The probes leave an
  // open session alone, with its counts. A backend that holds no open session is left
  // addressing the first box its probes found empty (its counter copy unknown), and with
  // no box open the local count starts again.
  const bool open = gSession.openResult != kNotOpen;
  const Backend* const inOrder[] = {&kBridgeBackend, &kPortBackend};
  for (const Backend* backend : inOrder) CompletePulse(*backend, "the scan");
  for (const Backend* backend : inOrder) {
    const bool sessionHere = open && backend == gSession.backend;
    Status ended = kDone;
    uint8_t count = backend->scan(
        sessionHere ? ScanMode::kSessionOnThisBackend : ScanMode::kNoSessionOnThisBackend, &ended);
    Reported(*backend, count, ended);
    if (!sessionHere) AddressCounterCopy(*backend, count);
    (backend->kind == BoxKind::kBridge ? gSession.bridgeCount : gSession.portCount) = count;
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
