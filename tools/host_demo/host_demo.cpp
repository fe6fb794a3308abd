// A session against a simulated bridge box on the host: what an application sees when it
// scans, opens the box, kicks the drawer, reads the switch and the identity record, and
// closes the box again. Prints a transcript; exits 0 when everything behaved.
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "tevro.h"
#include "world.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  printf("  %-46s %s\n", what, ok ? "ok" : "FAILED");
  if (!ok) ++failures;
}

}  // namespace

int main() {
  hostwin::Reset();
  hostwin::SetD2xxFile(hostwin::D2xxFile::kPresent);
  sim::BridgeBox& box = hostwin::AddBridgeBox(0);
  const uint8_t record[16] = {41, 0, 0, 0, 0x39, 0x30, 0, 0, 0x07, 0x0C, 0, 0, 0xE8, 0x07, 0, 0};
  memcpy(box.userArea, record, sizeof record);
  box.switchReply = 0x7D;

  printf("Simulated world: one bridge box at D2XX device 0, no driver-port box.\n");
  DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
  TEVRO_U32 counts = GetNumPos();
  printf("GetNumPos        -> 0x%04X (%u bridge, %u driver-port)\n", counts, counts >> 8,
         counts & 0xFF);
  Check(counts == 0x0100, "one bridge box counted at load");

  TEVRO_S32 opened = OpenPosInterface(0);
  printf("OpenPosInterface -> %d\n", opened);
  Check(opened != -1, "box 0 opens");

  char firmware[10] = "";
  GetFirmWareVersion(firmware);
  printf("Firmware         -> %s\n", firmware);
  Check(strcmp(firmware, "FTDI>=1.6") == 0, "firmware text read");

  char readFlag = 0;
  TEVRO_BOOL state = GetSwitch(&readFlag);
  printf("GetSwitch        -> %u (read from box: %u)\n", state, static_cast<unsigned>(readFlag));
  Check(readFlag == 1 && state == 0, "switch reports the closed drawer");

  printf("Identity         -> counter %u, serial %u, date 0x%08X\n", GetLastOpenCnt(),
         GetSerialNumber(), GetMfgDate());
  Check(GetSerialNumber() == 12345, "serial number read");

  Check(KasseOpen() == 1, "first kick taken");
  Check(KasseOpen() == 1, "second kick taken");
  printf("Counts           -> local %u, total %u\n", GetLocalOpenCnt(), GetTotalOpenCnt());
  Check(GetTotalOpenCnt() == 43, "total = stored 41 + 2 kicks");

  Check(SetSerialNumber(54321) == 1, "serial number written");
  Check(ClosePosInterface() == 1, "session closed");
  Check(box.userArea[0] == 43, "openings written back into the box");
  Check(box.userArea[4] == (54321 & 0xFF) && box.userArea[5] == (54321 >> 8), "new serial stored");

  DllMain(nullptr, DLL_PROCESS_DETACH, nullptr);
  printf("%s\n", failures == 0 ? "Demo finished: everything behaved." : "Demo FAILED.");
  return failures == 0 ? 0 : 1;
}
