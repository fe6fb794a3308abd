// The library's message boxes as a user meets them: "no box" during the load and at
// ScanForPos, the warning at an unload with a box still open, and what each holds up.
#include <stdio.h>
#include <string.h>

#include "dll_checks.h"
#include "support/box_watch.h"
#include "support/boxes.h"
#include "support/check_support.h"

namespace e2e {

const char kNoBoxText[] = "DLL_PROCESS_ATTACH: No PosInterface found!";
const char kNoBoxCaption[] = "Info from TEVRO.DLL";
const char kStillOpenText[] = "call ClosePosInterface before!";
const char kStillOpenCaption[] = "Warnung aus DLL";

namespace {

constexpr DWORD kHoldMs = 300;
constexpr DWORD kTimerLimitMs = 2000;

unsigned long long Ms(uint64_t fromUs, uint64_t toUs) {
  return toUs >= fromUs ? (toUs - fromUs) / 1000u : 0;
}

// The watched call held its caller until the box was dismissed: the box appeared after the
// call began, and the call returned after the dismissal.
bool HeldUntilDismissed(const BoxWatch& watch, uint64_t calledUs, uint64_t returnedUs) {
  return watch.seen >= 1 && watch.firstShownUs >= calledUs &&
         returnedUs >= watch.firstDismissedUs && returnedUs - calledUs >= kHoldMs * 1000u;
}

void NoBoxChecks(const DllContext& context) {
  ResetBoxes(context);
  BoxWatch watch;
  WatchStart(watch, kNoBoxCaption, kHoldMs);
  Tevro t;
  int bound = 0;
  const uint64_t calledUs = NowUs();
  const bool loaded = TevroLoad(context.tevroPath, t, &bound);
  const uint64_t returnedUs = NowUs();
  WatchFinish(watch);
  Check(loaded && bound == kTevroExportCount,
        "load: LoadLibraryA loads TEVRO.DLL and all 26 decorated export names resolve",
        "loaded=%d bound=%d", loaded, bound);
  if (!loaded) return;
  Check(watch.seen == 1 && watch.text == kNoBoxText,
        "load with no box: one message box 'DLL_PROCESS_ATTACH: No PosInterface found!' "
        "captioned 'Info from TEVRO.DLL'",
        "boxes=%d text='%s'", watch.seen, watch.text.c_str());
  Check(watch.seen == 1 && watch.buttons == 1, "load with no box: the box has one button (OK)",
        "buttons=%d", watch.buttons);
  Check(HeldUntilDismissed(watch, calledUs, returnedUs),
        "load with no box: LoadLibraryA returns only after the box is dismissed",
        "shown at +%llu ms, dismissed at +%llu ms, LoadLibraryA returned at +%llu ms",
        Ms(calledUs, watch.firstShownUs), Ms(calledUs, watch.firstDismissedUs),
        Ms(calledUs, returnedUs));
  if (bound != kTevroExportCount) {
    TevroUnload(t);
    return;
  }
  Check(t.GetNumPos() == 0, "load with no box: GetNumPos returns 0");
  char flag = 7;
  Check(t.KasseOpen() == 0 && t.GetSerialNumber() == 0 && t.SetMfgDate(1) == 0 &&
            t.GetSwitch(&flag) == 1 && flag == 0,
        "load with no box: KasseOpen 0, GetSerialNumber 0, SetMfgDate 0, GetSwitch 1 with "
        "read flag 0");

  WatchStart(watch, kNoBoxCaption, kHoldMs);
  const uint64_t scanUs = NowUs();
  const uint32_t counts = t.ScanForPos();
  const uint64_t scannedUs = NowUs();
  WatchFinish(watch);
  Check(counts == 0 && watch.seen == 1 && watch.text == kNoBoxText,
        "ScanForPos with no box: returns 0 and shows the same message box, same text and caption",
        "result=0x%x boxes=%d text='%s'", counts, watch.seen, watch.text.c_str());
  Check(HeldUntilDismissed(watch, scanUs, scannedUs),
        "ScanForPos with no box: returns only after the box is dismissed",
        "shown at +%llu ms, dismissed at +%llu ms, returned at +%llu ms",
        Ms(scanUs, watch.firstShownUs), Ms(scanUs, watch.firstDismissedUs), Ms(scanUs, scannedUs));

  WatchStart(watch, kStillOpenCaption, kHoldMs);
  TevroUnload(t);
  WatchFinish(watch);
  Check(watch.seen == 0, "unload with no box selected: no warning", "boxes=%d", watch.seen);
}

// What the dismisser sees of the box's stored counter while the warning is up.
struct CounterWhileShown {
  const DllContext* context;
  bool bridge;
  uint32_t box;
  bool read;
  uint32_t count;
};

void ReadCounterWhileShown(void* parameter) {
  CounterWhileShown& c = *static_cast<CounterWhileShown*>(parameter);
  Identity identity = {0, 0, 0};
  c.read = c.bridge ? BridgeReadIdentity(c.box, &identity)
                    : PortReadIdentity(c.context->control, c.box, &identity);
  c.count = identity.count;
}

uint32_t StoredCount(const DllContext& context, bool bridge, uint32_t box) {
  Identity identity = {0, 0, 0};
  if (bridge ? !BridgeReadIdentity(box, &identity)
             : !PortReadIdentity(context.control, box, &identity)) {
    return 0xFFFFFFFFu;
  }
  return identity.count;
}

// Unload with a box still open after `kicks` kicks: the warning, then the write-back.
void UnloadOpenCheck(const DllContext& context, bool bridge) {
  const char* variant = bridge ? "bridge box" : "driver-port box";
  constexpr uint32_t kStart = 500;
  constexpr int kKicks = 3;
  ResetBoxes(context);
  const Identity identity = {kStart, 0x11223344, 0x20240101};
  const bool ready = PlugInBoxWithIdentity(context.control, bridge, identity);
  Tevro t;
  if (!ready || !LoadQuietly(context, t, variant)) return;
  int kicked = 0;
  if (t.OpenPosInterface(0) != -1) {
    for (int i = 0; i < kKicks; ++i) {
      kicked += t.KasseOpen();
      if (!bridge) PumpUntilReleased(0, kTimerLimitMs);
    }
  }
  CounterWhileShown seen = {&context, bridge, 0, false, 0};
  BoxWatch watch;
  WatchStart(watch, kStillOpenCaption, kHoldMs, ReadCounterWhileShown, &seen);
  const uint64_t calledUs = NowUs();
  TevroUnload(t);
  const uint64_t returnedUs = NowUs();
  WatchFinish(watch);
  const uint32_t after = StoredCount(context, bridge, 0);

  char name[160];
  snprintf(name, sizeof name,
           "unload with a %s open: one warning 'call ClosePosInterface before!' captioned "
           "'Warnung aus DLL'",
           variant);
  Check(watch.seen == 1 && watch.text == kStillOpenText, name, "boxes=%d text='%s'", watch.seen,
        watch.text.c_str());
  snprintf(name, sizeof name,
           "unload with a %s open: FreeLibrary returns only after the warning "
           "is dismissed",
           variant);
  Check(HeldUntilDismissed(watch, calledUs, returnedUs), name,
        "shown at +%llu ms, dismissed at +%llu ms, returned at +%llu ms",
        Ms(calledUs, watch.firstShownUs), Ms(calledUs, watch.firstDismissedUs),
        Ms(calledUs, returnedUs));
  snprintf(name, sizeof name,
           "unload with a %s open: the %d openings are written back after the warning "
           "(counter %u while shown, %u after)",
           variant, kKicks, seen.count, after);
  Check(kicked == kKicks && seen.read && seen.count == kStart && after == kStart + kKicks, name,
        "kicks returning 1: %d", kicked);
}

// Unload after ClosePosInterface: no warning, and the library lets go of ftd2xx.dll.
void UnloadClosedCheck(const DllContext& context) {
  ResetBoxes(context);
  BridgePlugIn(0, sim::kBridgeSwitchState1Reply, sim::kBridgeVersionNew);
  Tevro t;
  if (!LoadQuietly(context, t, "bridge box")) return;
  const bool d2xxLoaded = GetModuleHandleA("ftd2xx.dll") != nullptr;
  t.OpenPosInterface(0);
  t.KasseOpen();
  t.ClosePosInterface();
  BoxWatch watch;
  WatchStart(watch, kStillOpenCaption, kHoldMs);
  TevroUnload(t);
  WatchFinish(watch);
  Check(watch.seen == 0, "unload after ClosePosInterface: no warning", "boxes=%d", watch.seen);
  Check(d2xxLoaded && GetModuleHandleA("ftd2xx.dll") == nullptr,
        "unload: ftd2xx.dll, loaded by the library's scan, is released with it",
        "loaded while TEVRO.DLL was=%d", d2xxLoaded);
}

}  // namespace

bool ResetBoxes(const DllContext& context) {
  return drelvansim::ControlResetAll(context.control) && BridgeResetAll();
}

bool LoadQuietly(const DllContext& context, Tevro& t, const char* what) {
  BoxWatch watch;
  WatchStart(watch, kNoBoxCaption, kHoldMs);
  int bound = 0;
  const bool loaded = TevroLoad(context.tevroPath, t, &bound);
  WatchFinish(watch);
  if (loaded && bound == kTevroExportCount && watch.seen == 0) return true;
  char name[160];
  snprintf(name, sizeof name, "load with a %s: TEVRO.DLL loads without a message box", what);
  Check(false, name, "loaded=%d bound=%d boxes=%d", loaded, bound, watch.seen);
  if (loaded) TevroUnload(t);
  return false;
}

void LoadChecks(const DllContext& context) { NoBoxChecks(context); }

void UnloadChecks(const DllContext& context) {
  UnloadOpenCheck(context, false);
  UnloadOpenCheck(context, true);
  UnloadClosedCheck(context);
}

}  // namespace e2e
