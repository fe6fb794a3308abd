// A drawer pulse on a driver-port box judged from the stand-in driver's event log alone, for
// the rule that whoever holds the box releases a due pulse before its next request: at most
// kMostLateRequests requests on the box are served late, before the release: more than 61 ms
// after the line fell (the pulse's 60 ms and a millisecond for the clocks of the driver and
// the library), and after the library surely counted the pulse due (it counts from the end
// of the pulse write, which lies between the line's fall and the kick's return). Also the EEPROM
// instructions the log shows (chip select rise to fall) and their longest.
//
// Header-only, plain data over drelvansim::Event, so that one_box_many_callers_check and
// wine_bench judge alike. Times are the driver's (the performance counter in µs).
#ifndef TESTS_E2E_PULSE_HOLDER_RELEASE_LOG_H
#define TESTS_E2E_PULSE_HOLDER_RELEASE_LOG_H

#include <stdint.h>

#include <vector>

#include "driver/control_interface.h"

namespace holderlog {

constexpr uint32_t kPortRequestCode = 4;
constexpr uint8_t kPinWrite = 0x15;
constexpr uint8_t kSample = 0x14;
constexpr uint8_t kSamplePins = 0x00;  // second byte of a pin sample (0x14: a status read)
constexpr uint8_t kChipSelect = 0x08;

inline bool IsPinWrite(const drelvansim::Event& e) {
  return e.kind == drelvansim::kEventRequest && e.code == kPortRequestCode &&
         e.command[0] == kPinWrite;
}

inline bool IsEepromRequest(const drelvansim::Event& e) {
  return IsPinWrite(e) || (e.kind == drelvansim::kEventRequest && e.code == kPortRequestCode &&
                           e.command[0] == kSample && e.command[1] == kSamplePins);
}

// One EEPROM instruction: the pin write that raised chip select to the one that dropped it.
struct Instruction {
  uint32_t pid;
  uint32_t endSeq;  // the chip-select fall
  uint64_t startUs;
  uint64_t endUs;
};

// The instructions on `box` completed in `events` (in log order; the pin latch is the box's,
// so whoever held the box wrote them).
inline std::vector<Instruction> InstructionsIn(const std::vector<drelvansim::Event>& events,
                                               uint32_t box) {
  std::vector<Instruction> out;
  // Until a deselect is seen the log may have begun inside an instruction: no rise counts.
  bool deselectSeen = false, selected = false, rose = false;
  uint64_t startUs = 0;
  for (const drelvansim::Event& e : events) {
    if (e.box != box || !IsPinWrite(e) || e.ok == 0) continue;
    const bool select = (e.command[2] & kChipSelect) != 0;
    if (select && !selected && deselectSeen) {
      rose = true;
      startUs = e.timeUs;
    }
    if (!select && selected && rose) out.push_back(Instruction{e.pid, e.seq, startUs, e.timeUs});
    if (!select) {
      deselectSeen = true;
      rose = false;
    }
    selected = select;
  }
  return out;
}

inline uint64_t LongestInstructionUs(const std::vector<Instruction>& instructions) {
  uint64_t longest = 0;
  for (const Instruction& i : instructions) {
    if (i.endUs - i.startUs > longest) longest = i.endUs - i.startUs;
  }
  return longest;
}

enum class Verdict {
  kNotReleased,  // no release in the events
  kShort,        // released less than the pulse time after it began
  kOnTime,       // released with at most kMostLateRequests requests served late before it
  kLate,         // more requests than that were served late before the release
};

constexpr uint64_t kClockSlackUs = 1000;
constexpr uint32_t kMostLateRequests = 4;

struct Judged {
  Verdict verdict = Verdict::kNotReleased;
  uint64_t lowUs = 0;
  uint64_t highUs = 0;
  uint32_t releasedBy = 0;    // the process whose request raised the line
  uint32_t lateRequests = 0;  // served after the pulse time and the slack, before the release
};

inline bool Whole(const Judged& j) { return j.verdict == Verdict::kOnTime; }

// The first pulse on `box` in `events`; dueUs: a time by which the pulse's time is surely up
// for the library (the kick's return plus the pulse time). The release's own request (the
// drawer write that raised the line, logged just before its drawer event) is not counted.
inline Judged JudgePulse(const std::vector<drelvansim::Event>& events, uint32_t box,
                         uint64_t pulseUs, uint64_t dueUs) {
  Judged j;
  bool low = false;
  uint32_t lateBefore = 0;  // late requests before the latest one
  bool latestLate = false;  // the latest request was served late
  for (const drelvansim::Event& e : events) {
    if (e.box != box) continue;
    if (e.kind == drelvansim::kEventDrawer) {
      if (!low && e.level == 0) {
        low = true;
        j.lowUs = e.timeUs;
      } else if (low && e.level == 1) {
        j.highUs = e.timeUs;
        j.releasedBy = e.pid;
        j.lateRequests = lateBefore;
        if (e.timeUs < j.lowUs + pulseUs) {
          j.verdict = Verdict::kShort;
        } else {
          j.verdict = lateBefore <= kMostLateRequests ? Verdict::kOnTime : Verdict::kLate;
        }
        return j;
      }
      continue;
    }
    if (!low || e.kind != drelvansim::kEventRequest) continue;
    // Counted one request behind, so that the release's own drawer write is left out.
    if (latestLate) ++lateBefore;
    latestLate = e.timeUs > j.lowUs + pulseUs + kClockSlackUs && e.timeUs > dueUs;
  }
  j.verdict = Verdict::kNotReleased;
  return j;
}

inline const char* VerdictText(Verdict v) {
  switch (v) {
    case Verdict::kNotReleased:
      return "not released";
    case Verdict::kShort:
      return "shorter than the pulse time";
    case Verdict::kOnTime:
      return "released with at most 4 requests served after 61 ms";
    case Verdict::kLate:
      return "released after more than 4 requests served after 61 ms";
  }
  return "?";
}

}  // namespace holderlog

#endif  // TESTS_E2E_PULSE_HOLDER_RELEASE_LOG_H
