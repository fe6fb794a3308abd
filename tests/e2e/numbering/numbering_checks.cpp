// Numbering across both variants, bridge boxes first, and every export on every variant:
// two bridge boxes and two driver-port boxes, each with its own identity record, switch
// state and firmware, so that every answer names the box it came from.
#include <stdio.h>
#include <string.h>

#include "dll_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

using namespace drelvansim;

namespace e2e {
namespace {

constexpr DWORD kTimerLimitMs = 2000;
constexpr uint32_t kPortPaddingFrom = 12;  // EEPROM bytes after the identity record

struct BoxPlan {
  bool bridge;
  uint32_t index;        // D2XX device number or driver index
  Identity initial;      // record in the box before the library opens it
  Identity written;      // what the service writes put there
  bool switchState;      // what GetSwitch must report
  const char* firmware;  // what GetFirmWareVersion must report
};

const BoxPlan kPlans[] = {
    {true, 0, {1000, 0xB0000001, 0x20230115}, {1100, 0xB0A0A0A1, 0x20240601}, false, "FTDI>=1.6"},
    {true, 1, {2000, 0xB1000002, 0x20220220}, {2200, 0xB1A1A1A2, 0x20240602}, true, "FTDI<1.6"},
    {false, 0, {3000, 0xC0000003, 0x20210301}, {3300, 0xC0C0C0C3, 0x20240603}, true, "Cy"},
    {false, 1, {4000, 0xC1000004, 0x20200404}, {4400, 0xC1C1C1C4, 0x20240604}, false, "Cy"},
};
constexpr uint32_t kPlanCount = sizeof kPlans / sizeof kPlans[0];
const uint8_t kBridgeSpare[2][2] = {{0xAA, 0xBB}, {0xCC, 0xDD}};  // user-area bytes 10-11

uint8_t PortPadding(uint32_t box, uint32_t address) {
  return static_cast<uint8_t>(address * 7 + 3 + box * 50);
}

bool SetUp(const DllContext& context) {
  if (!ResetBoxes(context)) return false;
  bool ok = true;
  for (const BoxPlan& p : kPlans) {
    if (p.bridge) {
      const uint8_t reply =
          p.switchState ? sim::kBridgeSwitchState1Reply : sim::kBridgeSwitchState0Reply;
      const uint8_t version =
          strcmp(p.firmware, "FTDI>=1.6") == 0 ? sim::kBridgeVersionNew : sim::kBridgeVersionOld;
      ok = ok && BridgePlugIn(p.index, reply, version) &&
           BridgeWriteIdentity(p.index, p.initial, kBridgeSpare[p.index][0],
                               kBridgeSpare[p.index][1]);
    } else {
      uint8_t padding[kEepromBytes - kPortPaddingFrom];
      for (uint32_t a = kPortPaddingFrom; a < kEepromBytes; ++a) {
        padding[a - kPortPaddingFrom] = PortPadding(p.index, a);
      }
      // A closed switch pulls the switch line low: GetSwitch reports 1.
      ok = ok && PortPlugIn(context.control, p.index, 0xF3, p.switchState) &&
           PortWriteIdentity(context.control, p.index, p.initial) &&
           ControlEepromWrite(context.control, p.index, kPortPaddingFrom, padding, sizeof padding);
    }
  }
  return ok;
}

// What each box shows of itself: its record, and how often its drawer was fired.
struct BoxState {
  Identity identity;
  uint32_t kicks;
  bool paddingIntact;  // driver port: EEPROM bytes 12-127 as set up
  uint8_t spare[2];    // bridge: user-area bytes 10-11
  uint8_t drawerLine;  // driver port: the line now (1 released)
  uint32_t drawerWrites;
};

BoxState Observe(const DllContext& context, const BoxPlan& p) {
  BoxState s;
  memset(&s, 0, sizeof s);
  if (p.bridge) {
    uint8_t bytes[16];
    sim::BridgeBox box;
    BridgeReadIdentity(p.index, &s.identity, &bytes);
    BridgeSnapshot(p.index, &box);
    s.kicks = box.kicks;
    s.spare[0] = bytes[10];
    s.spare[1] = bytes[11];
    s.paddingIntact = bytes[14] == 0 && bytes[15] == 0;
  } else {
    BoxInfo info;
    PortSettled(context.control, p.index, &info);
    PortReadIdentity(context.control, p.index, &s.identity);
    s.kicks = info.drawerPulses;
    s.drawerLine = info.drawerLine;
    s.drawerWrites = info.served[kDrawerWrite];
    uint8_t memory[kEepromBytes];
    s.paddingIntact = ControlEepromRead(context.control, p.index, memory);
    for (uint32_t a = kPortPaddingFrom; a < kEepromBytes && s.paddingIntact; ++a) {
      s.paddingIntact = memory[a] == PortPadding(p.index, a);
    }
  }
  return s;
}

bool SameState(const BoxState& a, const BoxState& b) {
  return a.identity == b.identity && a.kicks == b.kicks && a.paddingIntact == b.paddingIntact &&
         a.spare[0] == b.spare[0] && a.spare[1] == b.spare[1];
}

// Every export on device number n, which must reach the box of plan `me`.
void ExerciseDevice(const DllContext& context, const Tevro& t, uint8_t n, uint32_t me) {
  const BoxPlan& p = kPlans[me];
  char prefix[64];
  snprintf(prefix, sizeof prefix, "device %u (%s box %u)", n, p.bridge ? "bridge" : "driver-port",
           p.index);
  char name[256];
  BoxState others[kPlanCount];
  for (uint32_t i = 0; i < kPlanCount; ++i) others[i] = Observe(context, kPlans[i]);
  const BoxState before = others[me];

  const int32_t opened = t.OpenPosInterface(n);
  snprintf(name, sizeof name, "%s: OpenPosInterface(%u) opens it", prefix, n);
  if (!Check(opened != -1, name, "result %d", opened)) return;

  char text[16];
  memset(text, 'x', sizeof text);
  t.GetFirmWareVersion(text);
  snprintf(name, sizeof name, "%s: GetFirmWareVersion gives \"%s\"", prefix, p.firmware);
  Check(memcmp(text, p.firmware, strlen(p.firmware) + 1) == 0, name, "got \"%.10s\"", text);

  char flag = 7;
  char flagP = 7;
  const uint8_t state = t.GetSwitch(&flag);
  const uint8_t stateP = t.GetSwitchP(nullptr, &flagP);
  snprintf(name, sizeof name, "%s: GetSwitch and GetSwitchP read the box's switch state %d", prefix,
           p.switchState ? 1 : 0);
  Check(state == (p.switchState ? 1 : 0) && stateP == state && flag == 1 && flagP == 1, name,
        "GetSwitch %u flag %d, GetSwitchP %u flag %d", state, flag, stateP, flagP);

  const Identity got = {t.GetLastOpenCnt(), t.GetSerialNumber(), t.GetMfgDate()};
  const Identity gotP = {t.GetLastOpenCntP(nullptr), t.GetSerialNumberP(nullptr),
                         t.GetMfgDateP(nullptr)};
  snprintf(name, sizeof name,
           "%s: GetLastOpenCnt, GetSerialNumber, GetMfgDate (and their P forms) read its record",
           prefix);
  Check(got == p.initial && gotP == p.initial, name, "got %u/%08x/%08x, P forms %u/%08x/%08x",
        got.count, got.serial, got.date, gotP.count, gotP.serial, gotP.date);

  const uint8_t kick = t.KasseOpen();
  if (!p.bridge) PumpUntilReleased(p.index, kTimerLimitMs);
  const uint8_t kickP = t.KasseOpenP(nullptr);
  if (!p.bridge) PumpUntilReleased(p.index, kTimerLimitMs);
  const BoxState kicked = Observe(context, p);
  snprintf(name, sizeof name,
           "%s: KasseOpen and KasseOpenP return 1 and fire this box's drawer "
           "twice",
           prefix);
  Check(kick == 1 && kickP == 1 && kicked.kicks == before.kicks + 2, name,
        "results %u %u, drawer fired %u times", kick, kickP, kicked.kicks - before.kicks);
  const uint32_t local = t.GetLocalOpenCnt();
  const uint32_t localP = t.GetLocalOpenCntP(nullptr);
  const uint32_t total = t.GetTotalOpenCnt();
  const uint32_t totalP = t.GetTotalOpenCntP(nullptr);
  snprintf(name, sizeof name, "%s: GetLocalOpenCnt(P) 2, GetTotalOpenCnt(P) stored + 2 = %u",
           prefix, p.initial.count + 2);
  Check(local == 2 && localP == 2 && total == p.initial.count + 2 && totalP == total, name,
        "local %u/%u total %u/%u", local, localP, total, totalP);

  uint32_t callsBefore = 0;
  uint32_t callsAfter = 0;
  sim::BridgeBox unused;
  BridgeSnapshot(0, &unused, &callsBefore);
  const uint8_t closed = t.KasseClose();
  const uint8_t closedP = t.KasseCloseP(nullptr);
  BridgeSnapshot(0, &unused, &callsAfter);
  const BoxState released = Observe(context, p);
  if (p.bridge) {
    snprintf(name, sizeof name, "%s: KasseClose and KasseCloseP return 1 and make no D2XX call",
             prefix);
    Check(closed == 1 && closedP == 1 && callsAfter == callsBefore, name,
          "results %u %u, D2XX calls %u", closed, closedP, callsAfter - callsBefore);
  } else {
    snprintf(name, sizeof name,
             "%s: KasseClose and KasseCloseP return 1 and each write the release", prefix);
    Check(closed == 1 && closedP == 1 && released.drawerWrites == kicked.drawerWrites + 2 &&
              released.drawerLine == 1,
          name, "results %u %u, drawer writes %u, line %u", closed, closedP,
          released.drawerWrites - kicked.drawerWrites, released.drawerLine);
  }

  const uint8_t setSerial = t.SetSerialNumber(p.written.serial);
  const uint8_t setDate = t.SetMfgDate(p.written.date);
  const uint8_t setCount = t.SetLastOpenCnt(p.written.count);
  const BoxState set = Observe(context, p);
  snprintf(name, sizeof name,
           "%s: SetSerialNumber, SetMfgDate, SetLastOpenCnt return 1 and store the record in the "
           "box",
           prefix);
  Check(setSerial == 1 && setDate == 1 && setCount == 1 && set.identity == p.written, name,
        "results %u %u %u, box holds %u/%08x/%08x", setSerial, setDate, setCount,
        set.identity.count, set.identity.serial, set.identity.date);
  snprintf(name, sizeof name, "%s: the writes leave the box's other bytes alone", prefix);
  Check(set.paddingIntact && set.spare[0] == before.spare[0] && set.spare[1] == before.spare[1],
        name, "spare %02x %02x", set.spare[0], set.spare[1]);
  const Identity reread = {t.GetLastOpenCnt(), t.GetSerialNumber(), t.GetMfgDate()};
  snprintf(name, sizeof name, "%s: the getters read the written values back", prefix);
  Check(reread == p.written, name, "got %u/%08x/%08x", reread.count, reread.serial, reread.date);

  // Close by the plain form on one box of each variant, by the P form on the other.
  const uint8_t closeResult = p.index == 0 ? t.ClosePosInterface() : t.ClosePosInterfaceP(nullptr);
  const BoxState after = Observe(context, p);
  snprintf(name, sizeof name,
           "%s: %s returns 1 and writes the session's 2 openings back (counter %u)", prefix,
           p.index == 0 ? "ClosePosInterface" : "ClosePosInterfaceP", p.written.count + 2);
  Check(closeResult == 1 && after.identity.count == p.written.count + 2, name,
        "result %u, counter %u", closeResult, after.identity.count);
  snprintf(name, sizeof name, "%s: after the close KasseOpen returns 0 and the getters 0", prefix);
  Check(t.KasseOpen() == 0 && t.GetSerialNumber() == 0 && t.GetLastOpenCnt() == 0, name);

  bool othersUntouched = true;
  for (uint32_t i = 0; i < kPlanCount; ++i) {
    if (i != me && !SameState(others[i], Observe(context, kPlans[i]))) othersUntouched = false;
  }
  snprintf(name, sizeof name, "%s: no other box was touched", prefix);
  Check(othersUntouched, name);
}

}  // namespace

void NumberingChecks(const DllContext& context) {
  if (!Check(SetUp(context), "numbering: two bridge boxes and two driver-port boxes set up")) {
    return;
  }
  Tevro t;
  if (!LoadQuietly(context, t, "two boxes of each variant")) return;
  Check(true, "numbering: the load with boxes of both variants shows no message box");
  const uint32_t counts = t.GetNumPos();
  const uint32_t scanned = t.ScanForPos();
  Check(counts == 0x0202 && scanned == 0x0202,
        "numbering: GetNumPos and ScanForPos return 0x0202 (2 bridge boxes, 2 driver-port boxes)",
        "GetNumPos 0x%x ScanForPos 0x%x", counts, scanned);
  for (uint32_t me = 0; me < kPlanCount; ++me) {
    ExerciseDevice(context, t, static_cast<uint8_t>(me), me);
  }
  Check(t.OpenPosInterface(4) == -1,
        "numbering: device 4 (driver-port index 2, no box there) does not open");

  const int32_t openedV = t.OpenPosInterfaceV();
  const uint32_t serialV = t.GetSerialNumber();
  t.ClosePosInterface();
  Check(openedV != -1 && serialV == kPlans[0].written.serial,
        "numbering: OpenPosInterfaceV opens device 0, the first bridge box",
        "result %d serial %08x", openedV, serialV);

  // With the bridge boxes gone, a rescan numbers the driver-port boxes from 0.
  BridgePullOut(0);
  BridgePullOut(1);
  const uint32_t rescanned = t.ScanForPos();
  const int32_t openedPort = t.OpenPosInterfaceV();
  char text[16];
  memset(text, 'x', sizeof text);
  t.GetFirmWareVersion(text);
  const uint32_t serialPort = t.GetSerialNumberP(nullptr);
  t.ClosePosInterfaceP(nullptr);
  Check(rescanned == 0x0002 && openedPort != -1 && strcmp(text, "Cy") == 0 &&
            serialPort == kPlans[2].written.serial,
        "numbering: without bridge boxes ScanForPos returns 2 and OpenPosInterfaceV opens "
        "driver-port box 0",
        "scan 0x%x open %d firmware \"%.10s\" serial %08x", rescanned, openedPort, text,
        serialPort);
  TevroUnload(t);
}

}  // namespace e2e
