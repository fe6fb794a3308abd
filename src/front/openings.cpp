// Openings owed to their box (not yet written into its counter), and the one way they are
// written: the backend adds them to what the box holds, in one turn on the box
// (common/counter_addition.h says how a write left in doubt is finished).
#include "front/openings.h"

#include "common/box_lock.h"
#include "common/gone_box.h"
#include "common/trace.h"
#include "front/counter_copy.h"
#include "front/results.h"

namespace {

struct OwedOpenings {
  CounterAddition addition;  // the openings, and what a failed write of them left in doubt
  MissedOpens missed;        // tries that found no device (common/gone_box.h)
};

// Written by WriteBackOpenings and the retries only.
struct OwedOpeningsByBox {
  OwedOpenings boxes[2][kBoxes];  // by backend (bridge, driver port) and box number
  bool any;                       // some entry has a count
};

OwedOpeningsByBox gOwedOpenings;

int Which(const Backend& backend) { return static_cast<uint8_t>(backend.kind); }

// Where the counter's old value may come from when the box cannot be read: only the box,
// or the session's copy of it too (at the session's own close).
enum class CounterSource : uint8_t { kBox, kBoxOrSessionCopy };

// What came of one try.
enum class Try : uint8_t { kWritten, kStillOwed, kDropped };

// One try to write 'openings' into box 'box', the box held for waitMs at most. *total
// receives the counter written. A box that cannot keep the record, or counts as gone, drops
// them.
Try TryToWrite(const Backend& backend, uint8_t box, OwedOpenings& openings, DWORD waitMs,
               CounterSource source, uint32_t* total) {
  CounterAddition& addition = openings.addition;
  addition.copy = CounterSeen{};
  if (source == CounterSource::kBoxOrSessionCopy) CounterCopySeen(backend, &addition.copy);
  CounterSeen seen = {};
  const Status status =
      Reported(backend, box, backend.addToCounter(box, addition, waitMs, total, &seen));
  NoteCounterSeen(backend, box, seen);
  if (GoneAfterTry(openings.missed, status)) {
    TraceEvent("owed openings", "%s %u: its device cannot be opened; %u openings are lost",
               backend.name, box, addition.count);
    return Try::kDropped;
  }
  if (status.is(Cause::kWithoutLock)) {
    TraceEvent("owed openings", "%s %u: not written without the box's lock; still owed",
               backend.name, box);
  }
  if (status.ok()) return Try::kWritten;
  return status.is(Cause::kNoRecord) ? Try::kDropped : Try::kStillOwed;
}

}  // namespace

uint32_t WriteBackOpenings(const Backend& backend, uint8_t box, uint32_t local,
                           uint32_t sessionTotal) {
  if (box >= kBoxes) return sessionTotal;
  OwedOpenings& openings = gOwedOpenings.boxes[Which(backend)][box];
  openings.addition.count += local;
  uint32_t total = sessionTotal;
  if (TryToWrite(backend, box, openings, kBoxCloseWaitMs, CounterSource::kBoxOrSessionCopy,
                 &total) == Try::kStillOwed) {
    gOwedOpenings.any = true;
    TraceEvent("owed openings", "%s %u: %u openings not written yet; owed to the box", backend.name,
               box, openings.addition.count);
    return sessionTotal;
  }
  openings = OwedOpenings{};
  return total;
}

void RetryOwedOpenings(DWORD waitMs) {
  if (!gOwedOpenings.any) return;
  gOwedOpenings.any = false;
  for (const Backend* backend : kBackends) {
    for (uint8_t box = 0; box < kBoxes; ++box) {
      OwedOpenings& openings = gOwedOpenings.boxes[Which(*backend)][box];
      if (openings.addition.count == 0) continue;
      uint32_t total = 0;
      const Try outcome = TryToWrite(*backend, box, openings, waitMs, CounterSource::kBox, &total);
      if (outcome == Try::kStillOwed) {
        gOwedOpenings.any = true;
        continue;
      }
      if (outcome == Try::kWritten) {
        TraceEvent("owed openings", "%s %u: %u written; the counter holds %u", backend->name, box,
                   openings.addition.count, total);
      }
      openings = OwedOpenings{};
    }
  }
}

void DropOwedOpenings() {
  if (!gOwedOpenings.any) return;
  for (const Backend* backend : kBackends) {
    for (uint8_t box = 0; box < kBoxes; ++box) {
      OwedOpenings& openings = gOwedOpenings.boxes[Which(*backend)][box];
      if (openings.addition.count == 0) continue;
      TraceEvent("owed openings", "%s %u: %u openings not written before the unload; lost",
                 backend->name, box, openings.addition.count);
      openings = OwedOpenings{};
    }
  }
  gOwedOpenings.any = false;
}
