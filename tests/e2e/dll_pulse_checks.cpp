// The drawer pulse on a driver-port box, timed on the driver's log: KasseOpen returns with
// the line still energised, and the caller's message dispatch releases it 60 ms or more later;
// a close right after the kick waits out the rest of the pulse before it releases.
#include <stdio.h>

#include <algorithm>
#include <vector>

#include "boxes.h"
#include "check_support.h"
#include "dll_checks.h"

using namespace drelvansim;

namespace e2e {
namespace {

constexpr int kKicks = 36;
constexpr uint64_t kPulseUs = 60000;
constexpr DWORD kTimerLimitMs = 2000;
constexpr DWORD kNoDispatchMs = 150;
constexpr uint32_t kStart = 10;
// A close right after a kick: how late after the pulse's 60 ms its release may reach the
// driver (a device open, a status read and the drawer write, on a loaded machine), and how
// much longer than a close after an ended pulse its write-back may take.
constexpr uint64_t kReleaseLateUs = 30000;
constexpr int kWriteBackSamples = 3;
constexpr uint64_t kWriteBackFactor = 3;
constexpr uint64_t kWriteBackSlackUs = 100000;
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
  int energisedOnReturn = 0;
  int releasedByDispatch = 0;
  for (int i = 0; i < kKicks; ++i) {
    const uint64_t calledUs = NowUs();
    const uint8_t result = t.KasseOpen();
    const uint64_t returnedUs = NowUs();
    returnMs.push_back(static_cast<double>(returnedUs - calledUs) / 1000.0);
    returnedAtUs.push_back(returnedUs);
    if (result == 1) ++returnedOne;
    // No message dispatched and no library call since the kick: the line must still be 0
    // unless KasseOpen itself waited for the pulse to end.
    if (DrawerLine(context) == 0) ++energisedOnReturn;
    if (PumpUntilTimer(kTimerLimitMs) && DrawerLine(context) == 1) ++releasedByDispatch;
  }
  const std::vector<Pulse> pulses = PulsesIn(PortEventsSince(context.control, mark), 0);

  const Spread returned = SpreadOf(returnMs);
  printf("  KasseOpen returned in %.2f / %.2f / %.2f ms (min / median / max over %d kicks)\n",
         returned.min, returned.median, returned.max, kKicks);
  Check(returnedOne == kKicks, "pulse: KasseOpen on a driver-port box returns 1 for every kick",
        "%d of %d", returnedOne, kKicks);
  Check(energisedOnReturn == kKicks,
        "pulse: KasseOpen returns with the drawer line still energised (the release is left to "
        "the timer)",
        "line still 0 on return for %d of %d kicks", energisedOnReturn, kKicks);
  // Returning "at once" means well inside the pulse it started. Judged on the typical kick
  // (at least half of them), so that a machine that stalls now and then does not fail it.
  std::vector<double> afterWriteMs;
  for (size_t i = 0; i < pulses.size() && i < returnedAtUs.size(); ++i) {
    if (returnedAtUs[i] >= pulses[i].lowUs) {
      afterWriteMs.push_back(static_cast<double>(returnedAtUs[i] - pulses[i].lowUs) / 1000.0);
    }
  }
  const Spread afterWrite = SpreadOf(afterWriteMs);
  printf("  KasseOpen returned %.2f / %.2f / %.2f ms after its pulse write (min / median / max)\n",
         afterWrite.min, afterWrite.median, afterWrite.max);
  Check(afterWriteMs.size() == static_cast<size_t>(kKicks) &&
            afterWrite.median < static_cast<double>(kPulseUs) / 1000.0,
        "pulse: KasseOpen returns at once, within the pulse it started (median kick)",
        "median %.2f ms after the pulse write, %zu kicks matched to pulses", afterWrite.median,
        afterWriteMs.size());
  Check(releasedByDispatch == kKicks,
        "pulse: the caller's message dispatch (the pulse timer) releases the line",
        "released for %d of %d kicks", releasedByDispatch, kKicks);

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

// Without dispatch and without a call into the library the pulse goes on; a call 60 ms or
// more after the kick ends it.
void UndispatchedPulse(const DllContext& context, const Tevro& t) {
  const uint8_t kicked = t.KasseOpen();
  Sleep(kNoDispatchMs);
  const uint8_t lineAfterWait = DrawerLine(context);
  t.GetNumPos();  // touches no box itself; its entry ends the overdue pulse
  const uint8_t lineAfterCall = DrawerLine(context);
  PumpUntilTimer(kTimerLimitMs);
  Check(kicked == 1 && lineAfterWait == 0,
        "pulse: with no message dispatch and no library call the line stays energised",
        "kick %u, line %u after %lu ms", kicked, lineAfterWait, kNoDispatchMs);
  Check(lineAfterCall == 1,
        "pulse: a library call made after the pulse time ends the pulse without dispatch",
        "line %u after GetNumPos", lineAfterCall);
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
    PumpUntilTimer(kTimerLimitMs);
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
  const uint64_t writeBackBoundUs = kWriteBackFactor * writeBackUs + kWriteBackSlackUs;
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
  char name[200];
  snprintf(name, sizeof name,
           "close after a kick: the release reaches the box at most %llu ms after the pulse's "
           "60 ms",
           static_cast<unsigned long long>(kReleaseLateUs / 1000));
  Check(waitedUs <= remainingUs + kReleaseLateUs, name, "%.2f ms late",
        Ms(p.highUs - std::min(p.highUs, endsUs)));
  snprintf(name, sizeof name,
           "close after a kick: after the release the close takes at most %llu x the longest "
           "close after an ended pulse + %llu ms (its write-back)",
           static_cast<unsigned long long>(kWriteBackFactor),
           static_cast<unsigned long long>(kWriteBackSlackUs / 1000));
  Check(afterReleaseUs <= writeBackBoundUs, name, "%.2f ms, bound %.2f ms", Ms(afterReleaseUs),
        Ms(writeBackBoundUs));
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
    UndispatchedPulse(context, t);
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
