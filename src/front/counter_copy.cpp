#include "front/counter_copy.h"

#include "common/box_lock.h"

namespace {

struct CounterCopy {
  uint8_t box;       // the box the backend addresses; kNoBox when none
  bool known;        // 'value' was seen on that box since the backend addressed it
  uint32_t value;    // the counter last seen there
  bool writesKnown;  // the box's count of counter writes when 'value' was seen
  uint32_t writes;
  uint32_t deadHolders;  // DeadHoldersFound of the box when 'value' was seen
};

// Written by this file only; by BoxKind. Zero-filled at load: box 0, unknown, until the
// load's scan addresses the first box each backend found empty.
struct CounterCopies {
  CounterCopy of[2];
};

CounterCopies gCounterCopies;

CounterCopy& CopyOf(const Backend& backend) {
  return gCounterCopies.of[static_cast<uint8_t>(backend.kind)];
}

}  // namespace

void AddressCounterCopy(const Backend& backend, uint8_t box) {
  CopyOf(backend) = CounterCopy{
      .box = box, .known = false, .value = 0, .writesKnown = false, .writes = 0, .deadHolders = 0};
}

void NoteCounterSeen(const Backend& backend, uint8_t box, const CounterSeen& seen) {
  CounterCopy& copy = CopyOf(backend);
  if (!seen.known || box != copy.box) return;
  copy.known = true;
  copy.value = seen.value;
  copy.writesKnown = seen.writesKnown;
  copy.writes = seen.writes;
  copy.deadHolders = DeadHoldersFound(backend.kind, box);
}

bool CounterCopyOf(const Backend& backend, uint32_t* value) {
  CounterSeen seen = {};
  if (!CounterCopySeen(backend, &seen)) return false;
  *value = seen.value;
  return true;
}

bool CounterCopySeen(const Backend& backend, CounterSeen* seen) {
  const CounterCopy& copy = CopyOf(backend);
  if (!copy.known || copy.deadHolders != DeadHoldersFound(backend.kind, copy.box)) return false;
  *seen = CounterSeen{
      .known = true, .value = copy.value, .writesKnown = copy.writesKnown, .writes = copy.writes};
  return true;
}
