// Openings owed to boxes, and the one way they are written: read the counter, add, write,
// in one hold of the box.
//
// A write that failed may have landed in part (the driver port programs the counter's
// bytes one by one, most significant first). The next try tells by what the box holds:
// the value that write meant, and it landed; only bytes of the value it replaced and of
// the value it meant, and it is finished with the value it meant; anything else, and
// another caller has written the counter since, so the openings are added to that.
#include "front/openings.h"

#include "common/box_lock.h"
#include "common/gone_box.h"
#include "common/trace.h"

namespace {

constexpr uint8_t kBoxes = 10;

struct OwedOpenings {
  uint32_t count;       // openings not yet in the box's counter; 0 when nothing is owed
  bool inDoubt;         // a write of 'meant' over 'replaced' failed and may have landed
  uint32_t replaced;    // what the box held before that write
  uint32_t meant;       // what that write meant to store
  uint32_t doubtCount;  // the openings that write carried (the rest came later)
  MissedOpens missed;   // tries that found no device (common/gone_box.h)
};

struct OwedWork {
  OwedOpenings owed[2][kBoxes];  // by backend (bridge, driver port) and box index
  bool any;                      // some entry has a count
};

OwedWork gOwed;

int Which(const Backend& backend) { return &backend == &kPortBackend ? 1 : 0; }

bool SameBytesAsOneOf(uint32_t value, uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 32; shift += 8) {
    uint32_t byte = (value >> shift) & 0xFF;
    if (byte != ((a >> shift) & 0xFF) && byte != ((b >> shift) & 0xFF)) return false;
  }
  return true;
}

// What the counter must become, given what the box holds now.
uint32_t Target(const OwedOpenings& owed, uint32_t holds) {
  if (!owed.inDoubt) return holds + owed.count;
  uint32_t later = owed.count - owed.doubtCount;
  if (holds == owed.meant) return holds + later;
  if (SameBytesAsOneOf(holds, owed.replaced, owed.meant)) return owed.meant + later;
  return holds + owed.count;
}

enum class Outcome : uint8_t { kWritten, kOwed, kDropped };

// One try to write 'owed' into box 'index': the box held for waitMs at most; when its
// counter cannot be read, the session's copy is used if 'useCopy'. *total receives the
// counter written.
Outcome TryToWrite(const Backend& backend, uint8_t index, OwedOpenings& owed, DWORD waitMs,
                   bool useCopy, uint32_t* total) {
  BoxReach reach = backend.holdBox(index, waitMs);
  if (CountTry(owed.missed, reach)) {
    TraceEvent("owed openings", "%s %u: its device cannot be opened; %u openings are lost",
               backend.name, index, owed.count);
    return Outcome::kDropped;
  }
  if (reach == BoxReach::kNoRecord) return Outcome::kDropped;
  if (reach == BoxReach::kWithoutLock) {
    TraceEvent("owed openings", "%s %u: not written without the box's turn; still owed",
               backend.name, index);
  }
  if (reach != BoxReach::kReached) return Outcome::kOwed;
  uint32_t holds = 0;
  const bool read = backend.readField(IdentityField::kLastOpenCnt, &holds);
  const bool known = read || (useCopy && backend.storedCounter(&holds));
  Outcome outcome = Outcome::kOwed;
  if (known) {
    uint32_t target = Target(owed, holds);
    // What the box holds is passed on only when it was read from the box now.
    if (target == holds ||
        backend.writeField(IdentityField::kLastOpenCnt, target, read ? &holds : nullptr)) {
      *total = target;
      outcome = Outcome::kWritten;
    } else {
      owed = OwedOpenings{owed.count, true, holds, target, owed.count, owed.missed};
    }
  }
  backend.letGo(index);
  return outcome;
}

}  // namespace

uint32_t WriteBackOpenings(const Backend& backend, uint8_t index, uint32_t local,
                           uint32_t sessionTotal) {
  if (index >= kBoxes) return sessionTotal;
  OwedOpenings& owed = gOwed.owed[Which(backend)][index];
  owed.count += local;
  uint32_t total = sessionTotal;
  switch (TryToWrite(backend, index, owed, kBoxCloseWaitMs, true, &total)) {
    case Outcome::kOwed:
      gOwed.any = true;
      TraceEvent("owed openings", "%s %u: %u openings not written yet; owed to the box",
                 backend.name, index, owed.count);
      return sessionTotal;
    case Outcome::kWritten:
    case Outcome::kDropped:
      owed = OwedOpenings{};
      break;
  }
  return total;
}

void SettleOwedOpenings(DWORD waitMs) {
  if (!gOwed.any) return;
  gOwed.any = false;
  for (int which = 0; which < 2; ++which) {
    const Backend& backend = which == 1 ? kPortBackend : kBridgeBackend;
    for (uint8_t index = 0; index < kBoxes; ++index) {
      OwedOpenings& owed = gOwed.owed[which][index];
      if (owed.count == 0) continue;
      uint32_t total = 0;
      Outcome outcome = TryToWrite(backend, index, owed, waitMs, false, &total);
      if (outcome == Outcome::kOwed) {
        gOwed.any = true;
        continue;
      }
      if (outcome == Outcome::kWritten) {
        TraceEvent("owed openings", "%s %u: %u written; the counter holds %u", backend.name, index,
                   owed.count, total);
      }
      owed = OwedOpenings{};
    }
  }
}

void GiveUpOwedOpenings() {
  if (!gOwed.any) return;
  for (int which = 0; which < 2; ++which) {
    const Backend& backend = which == 1 ? kPortBackend : kBridgeBackend;
    for (uint8_t index = 0; index < kBoxes; ++index) {
      OwedOpenings& owed = gOwed.owed[which][index];
      if (owed.count == 0) continue;
      TraceEvent("owed openings", "%s %u: %u openings not written before the unload; lost",
                 backend.name, index, owed.count);
      owed = OwedOpenings{};
    }
  }
  gOwed.any = false;
}
