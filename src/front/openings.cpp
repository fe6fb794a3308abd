// Openings owed to their box (not yet written into its counter), and the one way they are
// written: read the counter, add, write, in one hold of the box.
//
// A write that failed may have landed in part (the driver port programs the counter's
// bytes one by one, most significant first). While no other caller has begun a write of
// the counter since (the driver-port box's count of counter writes says so), the next try
// tells by what the box holds: the value that write meant, and it landed; only bytes of the
// value it replaced and of the value it meant, and it is finished with the value it meant.
// Once another caller has written it, or the box holds anything else, the openings are
// added to what it holds: an opening is never lost, and is counted twice only where the
// failed write had landed before the other caller read the counter.
#include "front/openings.h"

#include "common/box_lock.h"
#include "common/gone_box.h"
#include "common/trace.h"
#include "front/counter_copy.h"

namespace {

struct OwedOpenings {
  uint32_t count;         // openings not yet in the box's counter; 0 when there are none
  bool inDoubt;           // a write of 'meant' over 'replaced' failed and may have landed
  uint32_t replaced;      // what the box held before that write
  uint32_t meant;         // what that write meant to store
  uint32_t doubtCount;    // the openings that write carried (the rest came later)
  bool doubtWritesKnown;  // the box's count of counter writes, that write's included
  uint32_t doubtWrites;
  MissedOpens missed;  // tries that found no device (common/gone_box.h)
};

// Written by WriteBackOpenings and the retries only.
struct OwedOpeningsByBox {
  OwedOpenings boxes[2][kBoxes];  // by backend (bridge, driver port) and box index
  bool any;                       // some entry has a count
};

OwedOpeningsByBox gOwedOpenings;

int Which(const Backend& backend) { return static_cast<uint8_t>(backend.kind); }

bool SameBytesAsOneOf(uint32_t value, uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 32; shift += 8) {
    uint32_t byte = (value >> shift) & 0xFF;
    if (byte != ((a >> shift) & 0xFF) && byte != ((b >> shift) & 0xFF)) return false;
  }
  return true;
}

// What the counter must become, given what the box holds now ('seen': as the read now saw it).
uint32_t Target(const OwedOpenings& openings, uint32_t holds, const CounterSeen& seen) {
  if (!openings.inDoubt) return holds + openings.count;
  const bool writtenSince =
      openings.doubtWritesKnown && seen.writesKnown && seen.writes != openings.doubtWrites;
  if (writtenSince) return holds + openings.count;
  uint32_t later = openings.count - openings.doubtCount;
  if (holds == openings.meant) return holds + later;
  if (SameBytesAsOneOf(holds, openings.replaced, openings.meant)) return openings.meant + later;
  return holds + openings.count;
}

// Where the counter's old value may come from when the box cannot be read: only the box,
// or the session's copy of it too (at the session's own close).
enum class CounterSource : uint8_t { kBox, kBoxOrSessionCopy };

enum class Outcome : uint8_t { kWritten, kStillOwed, kDropped };

// One try to write 'openings' into box 'index', the box held for waitMs at most. *total
// receives the counter written.
Outcome TryToWrite(const Backend& backend, uint8_t index, OwedOpenings& openings, DWORD waitMs,
                   CounterSource source, uint32_t* total) {
  BoxReach reach = backend.holdBox(index, waitMs);
  if (GoneAfterTry(openings.missed, reach)) {
    TraceEvent("owed openings", "%s %u: its device cannot be opened; %u openings are lost",
               backend.name, index, openings.count);
    return Outcome::kDropped;
  }
  if (reach == BoxReach::kNoRecord) return Outcome::kDropped;
  if (reach == BoxReach::kWithoutLock) {
    TraceEvent("owed openings", "%s %u: not written without the box's lock; still owed",
               backend.name, index);
  }
  if (reach != BoxReach::kReached) return Outcome::kStillOwed;
  // The session's copy of the counter, when the close may rely on it: as long as no
  // process began a write of the counter since the copy was seen, the box need only show
  // that the low byte is still the copy's, and adding the openings must not carry out of it
  // (only the low byte is written then).
  CounterSeen copy = {};
  const bool haveCopy =
      source == CounterSource::kBoxOrSessionCopy && CounterCopySeen(backend, &copy);
  const bool lowByteEnough =
      haveCopy && !openings.inDoubt && (copy.value & 0xFF) + uint64_t{openings.count} <= 0xFF;
  uint32_t holds = 0;
  CounterSeen seen = {};
  const bool read = backend.readField(IdentityField::kLastOpenCnt, &holds,
                                      lowByteEnough ? &copy : nullptr, &seen);
  NoteCounterSeen(backend, index, seen);
  // A copy the box shows stale (a counter write begun since) is not fallen back on.
  const bool copyStale = copy.writesKnown && seen.writesKnown && seen.writes != copy.writes;
  const bool fromCopy = !read && haveCopy && !copyStale;
  if (fromCopy) holds = copy.value;
  const bool known = read || fromCopy;
  Outcome outcome = Outcome::kStillOwed;
  if (known) {
    uint32_t target = Target(openings, holds, seen);
    // What the box holds is passed on only when it was read from the box now.
    CounterSeen written = {};
    const bool done = target == holds || backend.writeField(IdentityField::kLastOpenCnt, target,
                                                            read ? &holds : nullptr, &written);
    NoteCounterSeen(backend, index, written);
    if (done) {
      *total = target;
      outcome = Outcome::kWritten;
    } else {
      openings.inDoubt = true;
      openings.replaced = holds;
      openings.meant = target;
      openings.doubtCount = openings.count;
      openings.doubtWritesKnown = written.writesKnown;
      openings.doubtWrites = written.writes;
    }
  }
  backend.letGo(index);
  return outcome;
}

}  // namespace

uint32_t WriteBackOpenings(const Backend& backend, uint8_t index, uint32_t local,
                           uint32_t sessionTotal) {
  if (index >= kBoxes) return sessionTotal;
  OwedOpenings& openings = gOwedOpenings.boxes[Which(backend)][index];
  openings.count += local;
  uint32_t total = sessionTotal;
  switch (TryToWrite(backend, index, openings, kBoxCloseWaitMs, CounterSource::kBoxOrSessionCopy,
                     &total)) {
    case Outcome::kStillOwed:
      gOwedOpenings.any = true;
      TraceEvent("owed openings", "%s %u: %u openings not written yet; owed to the box",
                 backend.name, index, openings.count);
      return sessionTotal;
    case Outcome::kWritten:
    case Outcome::kDropped:
      openings = OwedOpenings{};
      break;
  }
  return total;
}

void RetryOwedOpenings(DWORD waitMs) {
  if (!gOwedOpenings.any) return;
  gOwedOpenings.any = false;
  for (const Backend* backend : kBackends) {
    for (uint8_t index = 0; index < kBoxes; ++index) {
      OwedOpenings& openings = gOwedOpenings.boxes[Which(*backend)][index];
      if (openings.count == 0) continue;
      uint32_t total = 0;
      Outcome outcome = TryToWrite(*backend, index, openings, waitMs, CounterSource::kBox, &total);
      if (outcome == Outcome::kStillOwed) {
        gOwedOpenings.any = true;
        continue;
      }
      if (outcome == Outcome::kWritten) {
        TraceEvent("owed openings", "%s %u: %u written; the counter holds %u", backend->name, index,
                   openings.count, total);
      }
      openings = OwedOpenings{};
    }
  }
}

void DropOwedOpenings() {
  if (!gOwedOpenings.any) return;
  for (const Backend* backend : kBackends) {
    for (uint8_t index = 0; index < kBoxes; ++index) {
      OwedOpenings& openings = gOwedOpenings.boxes[Which(*backend)][index];
      if (openings.count == 0) continue;
      TraceEvent("owed openings", "%s %u: %u openings not written before the unload; lost",
                 backend->name, index, openings.count);
      openings = OwedOpenings{};
    }
  }
  gOwedOpenings.any = false;
}
