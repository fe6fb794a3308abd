// one_box_many_callers_check's killed-write run: processes killed inside a serial number
// write, each at a chosen request that the stand-in driver holds pending until the kill
// cancels it, each followed by another process's operations on the box. Asserted: every byte
// outside the field unchanged; each byte of the field the old or the new value's, the new ones
// from the most significant byte down (a byte is programmed only when its write instruction is
// complete, and the library programs the most significant first); the next process reads the
// field as the box holds it, has turned the EEPROM's write enable off (its library found the
// box's mutex abandoned and started the EEPROM cleanly), and writes the field and reads it
// back, the rest of the record unchanged. Ends with one "shared killed write: ..." line.
#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "sharing/one_box_many_callers.h"
#include "support/boxes.h"
#include "support/check_support.h"
#include "support/tevro_library.h"

using namespace drelvansim;

namespace e2e {
namespace {

constexpr DWORD kReadyWaitMs = 60000;
constexpr DWORD kChildMs = 60000;
constexpr uint32_t kSerialAddress = 4;
// A field write on a part ready at the first look: the open's status read, write enable
// (23), four bytes each with its wait for ready (40, then 39 each), write disable (21). The
// stand-in's part takes 4 ms to program a byte, so the looks at it add some requests more.
constexpr uint32_t kWriteRequests = 202;
// Where the kills land, in requests into the write: the write enable, then through the four
// bytes (programmed most significant first) towards the write disable.
constexpr uint32_t kKillAt[] = {15, 45, 85, 120, 160, 185, 200};
constexpr uint32_t kKills = sizeof kKillAt / sizeof kKillAt[0];

uint32_t Field(const std::string& output, const std::string& key) {
  return static_cast<uint32_t>(strtoul(ValueOf(output, key.c_str()).c_str(), nullptr, 10));
}

uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Counts failed checks, which the run adds to its violations.
struct Tally {
  uint32_t failed = 0;
  bool operator()(bool ok) {
    if (!ok) ++failed;
    return ok;
  }
};

// What the kill left in the serial number's bytes: each the old or the new value's, the new
// ones from the most significant byte down (the order they are programmed in), since a byte
// is programmed only when its write instruction is complete. *fresh: how many are new.
bool OldOrNewFromTheTop(const uint8_t* field, uint32_t before, uint32_t after, uint32_t* fresh) {
  *fresh = 0;
  for (int i = 3; i >= 0; --i) {
    const uint8_t b = field[i];
    if (b == static_cast<uint8_t>(after >> (8 * i)) && *fresh == static_cast<uint32_t>(3 - i)) {
      ++*fresh;
    } else if (b != static_cast<uint8_t>(before >> (8 * i))) {
      return false;
    }
  }
  return true;
}

bool OutsideUnchanged(const uint8_t (&a)[kEepromBytes], const uint8_t (&b)[kEepromBytes]) {
  for (uint32_t i = 0; i < kEepromBytes; ++i) {
    if ((i < kSerialAddress || i >= kSerialAddress + 4) && a[i] != b[i]) return false;
  }
  return true;
}

}  // namespace

void KilledWriteRun(const SharingContext& c) {
  Tevro t;
  unsigned char device = 0;
  if (!Check(SetUpSharedBox(c, false), "killed write: one driver-port box set up") ||
      !Check(LoadSharedTevro(c.dll, t, &device) && t.OpenPosInterface(device) != -1,
             "killed write: this process loads the library and opens the box")) {
    TevroUnload(t);
    return;
  }
  Tally tally;
  std::string points, freshBytes;
  uint32_t inside = 0, writable = 0, nextOk = 0;
  for (uint32_t i = 0; i < kKills; ++i) {
    uint8_t before[kEepromBytes], after[kEepromBytes], end[kEepromBytes];
    ControlEepromRead(c.control, 0, before);
    const uint32_t old = Le32(before + kSerialAddress);
    const uint32_t value = ~old;  // differs from the old value in every byte
    const std::string prefix = c.prefix + "-victim-" + std::to_string(i);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-ready").c_str());
    HANDLE go = CreateEventA(nullptr, TRUE, FALSE, (prefix + "-go").c_str());
    PROCESS_INFORMATION victim;
    const bool started = StartChild(SelfCommand() + " --role victim " + Quote(c.dll) + " " +
                                        std::to_string(value) + " " + prefix,
                                    &victim);
    // The driver holds the victim's request kKillAt[i] + 1 (its first is the open's status
    // read), so the victim has made exactly kKillAt[i] requests when it is killed, however
    // fast or slow the machine. The kill cancels the held request: it is never carried out.
    bool killed = false, reached = false, cancelled = false;
    uint32_t mark = 0;
    HoldState hold;
    memset(&hold, 0, sizeof hold);
    if (started) {
      HANDLE either[2] = {ready, victim.hProcess};
      if (WaitForMultipleObjects(2, either, FALSE, kReadyWaitMs) == WAIT_OBJECT_0 &&
          PortHold(c.control, 0, victim.dwProcessId, kKillAt[i] + 1, kHoldFromArming)) {
        mark = PortLogMark(c.control);
        SetEvent(go);
        reached = WaitForHold(c.control, kHoldHeld, victim.hProcess, kChildMs, &hold);
      }
      killed = KillChild(victim) && reached;
      cancelled = WaitForHold(c.control, kHoldCancelled, nullptr, kChildMs, &hold);
      if (!cancelled) ControlLetGo(c.control, false);
    }
    CloseHandle(ready);
    CloseHandle(go);
    const std::vector<Event> events =
        killed ? PortEventsSince(c.control, mark) : std::vector<Event>();
    uint32_t requests = 0, victimAfter = 0;
    bool holdSeen = false;
    for (const Event& e : events) {
      if (e.box != 0) continue;
      if (e.kind == kEventHold && e.level == 1) holdSeen = true;
      if (e.kind == kEventRequest && !holdSeen) ++requests;
      if (e.kind == kEventRequest && holdSeen && e.pid == victim.dwProcessId) ++victimAfter;
    }
    BoxInfo box;
    memset(&box, 0, sizeof box);
    const bool settled = PortSettled(c.control, 0, &box);
    ControlEepromRead(c.control, 0, after);
    uint32_t fresh = 0;
    const bool field = OldOrNewFromTheTop(after + kSerialAddress, old, value, &fresh);
    // The log shows the victim's kKillAt[i] requests, then its held one, cancelled; nothing of
    // it after that (the requests after the hold are the next process's, once it is gone).
    const bool landed =
        killed && cancelled && holdSeen && requests == kKillAt[i] && victimAfter == 0;
    inside += landed ? 1 : 0;
    writable += box.eepromWritable;
    points += i ? ", " : "";
    points += std::to_string(requests);
    freshBytes += i ? ", " : "";
    freshBytes += std::to_string(fresh);
    char name[256];
    snprintf(name, sizeof name,
             "killed write %u: killed while the driver held its request %u of %u, the held one "
             "cancelled; the field holds old bytes under new ones, every other byte unchanged",
             i + 1, kKillAt[i] + 1, kWriteRequests);
    tally(Check(landed && settled && field && OutsideUnchanged(before, after), name,
                "held %d, killed %d, cancelled %d, %u requests before the hold, settled %d, field "
                "0x%08x (old 0x%08x, new 0x%08x)",
                reached, killed, cancelled, requests, settled, Le32(after + kSerialAddress), old,
                value));

    // The next process on the box: on even kills this one, whose library then takes the
    // box's mutex abandoned; on odd kills a new one, whose load's scan takes it.
    const uint32_t next = 0x4E000000u + (i + 1) * 0x00010101u;
    const uint32_t held = Le32(after + kSerialAddress);
    uint32_t read = 0, written = 0, back = 0, date = 0, count = 0, writableAfter = 0;
    if (i % 2 == 0) {
      read = t.GetSerialNumber();
      BoxInfo now;
      writableAfter = ControlQuery(c.control, 0, now) ? now.eepromWritable : 1;
      written = t.SetSerialNumber(next);
      back = t.GetSerialNumber();
      date = t.GetMfgDate();
      count = t.GetLastOpenCnt();
    } else {
      DWORD code = 1;
      std::string out;
      RunProcess(SelfCommand() + " --role next " + Quote(c.dll) + " " + std::to_string(next),
                 kChildMs, &code, &out);
      read = Field(out, "before");
      written = Field(out, "written");
      back = Field(out, "after");
      date = Field(out, "date");
      count = Field(out, "count");
      if (code != 0 || !HasLine(out, "done")) written = 0;
    }
    ControlEepromRead(c.control, 0, end);
    const bool ok = read == held && writableAfter == 0 && written == 1 && back == next &&
                    date == kStartDate && count == kStartCount && OutsideUnchanged(before, end) &&
                    Le32(end + kSerialAddress) == next;
    nextOk += ok ? 1 : 0;
    snprintf(name, sizeof name,
             "killed write %u: the next process (%s) reads the field as the box holds it, writes "
             "and reads it back, and finds the rest of the record unchanged",
             i + 1, i % 2 == 0 ? "this one, waiting with the library loaded" : "a new one");
    tally(Check(ok, name,
                "read 0x%08x (box 0x%08x), write enable left %u, written %u, read back 0x%08x, "
                "date 0x%08x, counter %u",
                read, held, writableAfter, written, back, date, count));
  }
  tally(Check(writable > 0,
              "killed write: some kills left the EEPROM write-enabled, so the next process's "
              "clean start was needed",
              "none of %u", kKills));
  t.ClosePosInterface();
  TevroUnload(t);
  printf(
      "shared killed write: %u processes killed inside a serial number write, at requests %s of "
      "at least %u, leaving %s new bytes, %u of them write-enabled; the next process's operations "
      "succeeded %u of %u times; %u invariant violations\n",
      inside, points.c_str(), kWriteRequests, freshBytes.c_str(), writable, nextOk, kKills,
      tally.failed);
}

}  // namespace e2e
