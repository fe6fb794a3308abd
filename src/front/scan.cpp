// The scan: counts the boxes of both variants and so fixes the device numbering.
#include <windows.h>

#include "bridge/bridge.h"
#include "driverport/driverport.h"
#include "front/session.h"

namespace {

const char kNoBoxText[] = "DLL_PROCESS_ATTACH: No PosInterface found!";
const char kNoBoxCaption[] = "Info from TEVRO.DLL";

}  // namespace

uint32_t RunScan() {
  // The probes run through the same backend state the open box uses; keep that box's
  // state (index, counts, cached record) so it stays open and usable across the scan.
  const bool open = gSession.openResult != kNotOpen;
  const bool bridge = gSession.backend == kBackendBridge;
  BridgeLink bridgeSaved = gBridgeLink;
  PortSessionSnapshot portSaved{};
  if (open && !bridge) portSaved = PortSaveSession();

  gSession.bridgeCount = BridgeScan();
  gSession.portCount = PortScan();

  if (open && bridge) gBridgeLink = bridgeSaved;
  if (open && !bridge) PortRestoreSession(portSaved);

  if (gSession.bridgeCount == 0 && gSession.portCount == 0) {
    MessageBoxA(nullptr, kNoBoxText, kNoBoxCaption, MB_ICONINFORMATION);
  }
  return PackedCounts();
}
