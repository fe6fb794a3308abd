// The drawer pulse on a driver-port box, judged on the driver's log: KasseOpen returns while
// its release is held back in the driver, so it never waits for the release; every pulse is
// released, 60 ms or more after it began, while the caller dispatches messages; a close right
// after the kick waits out the rest of the pulse before it releases. How fast each of these
// was is printed, never judged: a loaded machine may take any time.
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "dll_checks.h"
#include "support/boxes.h"
#include "support/check_support.h"

using namespace drelvansim;

namespace e2e {
namespace {

constexpr int kKicks = 36;
constexpr uint64_t kPulseUs = 60000;
constexpr DWORD kTimerLimitMs = 2000;
// How long a KasseOpen that waited for its own (held) release would be left blocked before
// the hold is let go, so that the check ends and says so.
constexpr DWORD kHeldReturnLimitMs = 5000;
constexpr uint32_t kStart = 10;
constexpr int kWriteBackSamples = 3;
constexpr uint8_t kPinWriteRequest = 0x15;

uint8_t DrawerLine(const DllContext& context) {
  BoxInfo info;
  return ControlQuery(context.control, 0, info) ? info.drawerLine : 0xFF;
}

struct Spread {
  double min;
  double median;
  double max;
};

Spread SpreadOf(std::vector<double> values) {
  if (values.empty()) return Spread{0, 0, 0};
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  const double median = n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
  return Spread{values.front(), median, values.back()};
}

void TimedKicks(const DllContext& context, const Tevro& t) {
  const uint32_t mark = PortLogMark(context.control);
  std::vector<double> returnMs;
  std::vector<uint64_t> returnedAtUs;
  int returnedOne = 0;
  int released = 0;
  for (int i = 0; i < kKicks; ++i) {
    const uint64_t calledUs = NowUs();
    const uint8_t result = t.KasseOpen();
    const uint64_t returnedUs = NowUs();
    returnMs.push_back(static_cast<double>(returnedUs - calledUs) / 1000.0);
    returnedAtUs.push_back(returnedUs);
    if (result == 1) ++returnedOne;
    if (PumpUntilReleased(0, kTimerLimitMs)) ++released;
  }
  const std::vector<Pulse> pulses = PulsesIn(PortEventsSince(context.control, mark), 0);

  const Spread returned = SpreadOf(returnMs);
  printf("  KasseOpen returned in %.2f / %.2f / %.2f ms (min / median / max over %d kicks)\n",
         returned.min, returned.median, returned.max, kKicks);
  Check(returnedOne == kKicks, "pulse: KasseOpen on a driver-port box returns 1 for every kick",
        "%d of %d", returnedOne, kKicks);
  std::vector<double> afterWriteMs;
  for (size_t i = 0; i < pulses.size() && i < returnedAtUs.size(); ++i) {
    if (returnedAtUs[i] >= pulses[i].lowUs) {
      afterWriteMs.push_back(static_cast<double>(returnedAtUs[i] - pulses[i].lowUs) / 1000.0);
    }
  }
  const Spread afterWrite = SpreadOf(afterWriteMs);
  printf("  KasseOpen returned %.2f / %.2f / %.2f ms after its pulse write (min / median / max)\n",
         afterWrite.min, afterWrite.median, afterWrite.max);
  Check(afterWriteMs.size() == static_cast<size_t>(kKicks),
        "pulse: every KasseOpen returned after its own pulse write (driver log)",
        "%zu of %d kicks matched to pulses", afterWriteMs.size(), kKicks);
  Check(released == kKicks, "pulse: each pulse is released while the caller dispatches messages",
        "released for %d of %d kicks", released, kKicks);

  std::vector<double> widthMs;
  bool complete = pulses.size() == static_cast<size_t>(kKicks);
  bool patterns = complete;
  uint64_t shortestUs = ~0ull;
  for (const Pulse& p : pulses) {
    if (p.highUs == 0) {
      complete = false;
      continue;
    }
    widthMs.push_back(static_cast<double>(p.highUs - p.lowUs) / 1000.0);
    shortestUs = std::min(shortestUs, p.highUs - p.lowUs);
    // Pulse: bit 0 cleared, bit 2 set; release: bits 0 and 2 set.
    if ((p.pulsePattern & 0x05) != 0x04 || (p.releasePattern & 0x05) != 0x05) patterns = false;
  }
  printf("  drawer pulse widths in ms, kick by kick:");
  for (size_t i = 0; i < widthMs.size(); ++i)
    printf("%s%.2f", i % 12 == 0 ? "\n   " : " ", widthMs[i]);
  printf("\n");
  const Spread width = SpreadOf(widthMs);
  printf(
      "  drawer pulse widths %.2f / %.2f / %.2f ms (min / median / max over %zu pulses, "
      "driver log)\n",
      width.min, width.median, width.max, widthMs.size());
  Check(complete, "pulse: the driver logged one complete pulse (line 1 -> 0 -> 1) per kick",
        "%zu pulses logged for %d kicks", pulses.size(), kKicks);
  Check(!widthMs.empty() && shortestUs >= kPulseUs, "pulse: every pulse lasts at least 60 ms",
        "shortest %.3f ms", width.min);
  Check(patterns, "pulse: pulse writes clear bit 0 and set bit 2; releases set bits 0 and 2");
  Check(t.GetLocalOpenCnt() == static_cast<uint32_t>(kKicks),
        "pulse: GetLocalOpenCnt counts every kick", "%u", t.GetLocalOpenCnt());
}

struct HeldKick {
  const DllContext* context;
  HANDLE returned;  // set once KasseOpen has returned
};

// Lets a held release go if KasseOpen has not returned in time: a KasseOpen that waited for
// its release would otherwise wait for ever.
DWORD WINAPI LetGoIfStuck(LPVOID parameter) {
  HeldKick& k = *static_cast<HeldKick*>(parameter);
  if (WaitForSingleObject(k.returned, kHeldReturnLimitMs) != WAIT_OBJECT_0) {
    ControlLetGo(k.context->control, true);
  }
  return 0;
}

// KasseOpen does not wait for its release: the driver holds this process's first request after
// the pulse (the release's first, whoever makes it and whenever), and KasseOpen returns all the
// same, the line still energised. Decided on the hold, not on how fast the call was.
void KickReturnsBeforeRelease(const DllContext& context, const Tevro& t) {
  const uint32_t mark = PortLogMark(context.control);
  HeldKick k = {&context, CreateEventA(nullptr, TRUE, FALSE, nullptr)};
  const bool armed = PortHold(context.control, 0, GetCurrentProcessId(), 1, kHoldAfterPulse);
  HANDLE watchdog = CreateThread(nullptr, 0, LetGoIfStuck, &k, 0, nullptr);
  const uint8_t kicked = t.KasseOpen();
  HoldState state;
  const bool read = ControlHoldState(context.control, state);
  const uint8_t line = DrawerLine(context);
  SetEvent(k.returned);
  WaitForSingleObject(watchdog, INFINITE);
  CloseHandle(watchdog);
  CloseHandle(k.returned);
  ControlLetGo(context.control, true);
  const bool ended = PumpUntilReleased(0, kTimerLimitMs);
  const std::vector<Pulse> pulses = PulsesIn(PortEventsSince(context.control, mark), 0);
  Check(armed && read && kicked == 1 && state.phase != kHoldCarriedOut && line == 0,
        "pulse: KasseOpen returns while its release is held back in the driver, the line still "
        "energised (it never waits for the release)",
        "kick %u, hold phase %u at the return, line %u", kicked, state.phase, line);
  Check(ended && pulses.size() == 1 && pulses[0].highUs >= pulses[0].lowUs + kPulseUs,
        "pulse: once let go, that release ends the pulse, 60 ms or more after it began",
        "released %d, %zu pulses", ended, pulses.size());
}

double Ms(uint64_t us) { return static_cast<double>(us) / 1000.0; }

// KasseOpen then ClosePosInterface at once: the close waits for the rest of the pulse,
// releases, then writes the opening back. The write-back's own cost is measured first: the
// longest of a few closes after a kick whose pulse the caller's dispatch had already ended.
void CloseRightAfterKick(const DllContext& context) {
  ResetBoxes(context);
  const Identity identity = {kStart, 3, 4};
  if (!Check(PortPlugIn(context.control, 0) && PortWriteIdentity(context.control, 0, identity),
             "close after a kick: driver-port box 0 set up")) {
    return;
  }
  Tevro t;
  if (!LoadQuietly(context, t, "driver-port box")) return;
  bool firstOpened = true;
  int firstKicks = 0;
  uint64_t writeBackUs = 0;
  for (int i = 0; i < kWriteBackSamples; ++i) {
    firstOpened = firstOpened && t.OpenPosInterface(0) != -1;
    firstKicks += t.KasseOpen();
    PumpUntilReleased(0, kTimerLimitMs);
    const uint64_t startUs = NowUs();
    t.ClosePosInterface();
    writeBackUs = std::max(writeBackUs, NowUs() - startUs);
  }

  const bool opened = t.OpenPosInterface(0) != -1;
  const uint32_t mark = PortLogMark(context.control);
  const uint8_t kicked = t.KasseOpen();
  const uint64_t calledUs = NowUs();
  t.ClosePosInterface();
  const uint64_t returnedUs = NowUs();
  const std::vector<Event> events = PortEventsSince(context.control, mark);
  const std::vector<Pulse> pulses = PulsesIn(events, 0);
  TevroUnload(t);
  if (!Check(firstOpened && firstKicks == kWriteBackSamples && opened && kicked == 1 &&
                 pulses.size() == 1 && pulses[0].highUs != 0,
             "close after a kick: KasseOpen then ClosePosInterface gives one complete pulse",
             "opens %d %d, kicks %d %u, %zu pulses", firstOpened, opened, firstKicks, kicked,
             pulses.size())) {
    return;
  }
  const Pulse& p = pulses[0];
  const uint64_t endsUs = p.lowUs + kPulseUs;
  const uint64_t remainingUs = endsUs > calledUs ? endsUs - calledUs : 0;
  const uint64_t waitedUs = p.highUs > calledUs ? p.highUs - calledUs : 0;
  const uint64_t afterReleaseUs = returnedUs > p.highUs ? returnedUs - p.highUs : 0;
  uint32_t pinRequestsBeforeRelease = 0;
  for (const Event& e : events) {
    if (e.box == 0 && e.kind == kEventRequest && e.timeUs < p.highUs &&
        e.command[0] == kPinWriteRequest) {
      ++pinRequestsBeforeRelease;
    }
  }
  printf(
      "  close right after a kick: %.2f ms in all; the release %.2f ms after the call (%.2f ms "
      "of the pulse were left), then %.2f ms; a close after an ended pulse took up to %.2f ms; "
      "pulse %.2f ms\n",
      Ms(returnedUs - calledUs), Ms(waitedUs), Ms(remainingUs), Ms(afterReleaseUs), Ms(writeBackUs),
      Ms(p.highUs - p.lowUs));
  Check(p.highUs - p.lowUs >= kPulseUs,
        "close after a kick: the pulse lasts at least 60 ms (driver log)", "%.3f ms",
        Ms(p.highUs - p.lowUs));
  Check(pinRequestsBeforeRelease == 0,
        "close after a kick: the close releases the drawer before it writes the opening back",
        "%u EEPROM transfers before the release", pinRequestsBeforeRelease);
  // The close waited for the pulse: the release reached the box while it ran (how long after
  // the pulse's 60 ms is printed above: on a loaded machine it may be any time).
  // A close called once the 60 ms were already up (a stalled machine) finds nothing to wait
  // out; then the release must still come before it returns.
  const bool running = calledUs < p.lowUs + kPulseUs;
  Check(p.highUs <= returnedUs && (p.highUs >= calledUs || !running),
        "close after a kick: the release reaches the box while ClosePosInterface runs",
        "release %.2f ms after the call, which returned after %.2f ms", Ms(waitedUs),
        Ms(returnedUs - calledUs));
  Identity after = {0, 0, 0};
  PortReadIdentity(context.control, 0, &after);
  BoxInfo info;
  Check(after.count == kStart + kWriteBackSamples + 1 && PortSettled(context.control, 0, &info) &&
            info.drawerLine == 1,
        "close after a kick: every opening written back, the drawer line released", "counter %u",
        after.count);
}

}  // namespace

void PulseChecks(const DllContext& context) {
  ResetBoxes(context);
  const Identity identity = {kStart, 1, 2};
  if (!Check(PortPlugIn(context.control, 0) && PortWriteIdentity(context.control, 0, identity),
             "pulse: driver-port box 0 set up")) {
    return;
  }
  Tevro t;
  if (!LoadQuietly(context, t, "driver-port box")) return;
  if (Check(t.OpenPosInterface(0) != -1, "pulse: device 0 opens")) {
    TimedKicks(context, t);
    KickReturnsBeforeRelease(context, t);
    const uint32_t kicks = t.GetLocalOpenCnt();
    t.ClosePosInterface();
    Identity after = {0, 0, 0};
    PortReadIdentity(context.control, 0, &after);
    Check(after.count == kStart + kicks && kicks >= static_cast<uint32_t>(kKicks),
          "pulse: the close writes every opening back", "counter %u, openings %u", after.count,
          kicks);
    BoxInfo info;
    Check(PortSettled(context.control, 0, &info) && info.drawerLine == 1,
          "pulse: the drawer line is released after the session");
  }
  TevroUnload(t);
  CloseRightAfterKick(context);
}

}  // namespace e2e
