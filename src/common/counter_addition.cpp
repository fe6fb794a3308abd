#include "common/counter_addition.h"

namespace {

bool SameBytesAsOneOf(uint32_t value, uint32_t a, uint32_t b) {
  for (int shift = 0; shift < 32; shift += 8) {
    uint32_t byte = (value >> shift) & 0xFF;
    if (byte != ((a >> shift) & 0xFF) && byte != ((b >> shift) & 0xFF)) return false;
  }
  return true;
}

// The write of 'target' over 'holds' failed: it may have landed, in part.
void NoteWriteInDoubt(CounterAddition& addition, uint32_t holds, uint32_t target,
                      const CounterSeen& written) {
  addition.inDoubt = true;
  addition.replaced = holds;
  addition.meant = target;
  addition.doubtCount = addition.count;
  addition.doubtWritesKnown = written.writesKnown;
  addition.doubtWrites = written.writes;
}

}  // namespace

uint32_t CounterTarget(const CounterAddition& addition, uint32_t holds, const CounterSeen& seen) {
  if (!addition.inDoubt) return holds + addition.count;
  const bool writtenSince =
      addition.doubtWritesKnown && seen.writesKnown && seen.writes != addition.doubtWrites;
  if (writtenSince) return holds + addition.count;
  uint32_t later = addition.count - addition.doubtCount;
  if (holds == addition.meant) return holds + later;
  if (SameBytesAsOneOf(holds, addition.replaced, addition.meant)) return addition.meant + later;
  return holds + addition.count;
}

Status SettleAddition(CounterAddition& addition, uint32_t holds, uint32_t target,
                      const Status& status, const CounterSeen& written, uint32_t* total,
                      CounterSeen* counter) {
  if (written.known) *counter = written;
  if (status.ok()) {
    *total = target;
  } else {
    NoteWriteInDoubt(addition, holds, target, written);
  }
  return status;
}
