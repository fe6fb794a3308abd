#include "common/gone_box.h"

#include "common/fine_clock.h"

namespace {

constexpr uint8_t kMissesToGone = 3;
constexpr int64_t kMissSpacingUs = 500000;

}  // namespace

bool GoneAfterTry(MissedOpens& missed, const Status& status) {
  if (status.is(Cause::kBusy)) return false;
  if (!status.is(Cause::kNoDevice)) {
    missed = MissedOpens{};
    return false;
  }
  const int64_t now = MicrosecondsSince(0);
  if (missed.count == 0 || now - missed.lastMissUs >= kMissSpacingUs) {
    ++missed.count;
    missed.lastMissUs = now;
  }
  return missed.count >= kMissesToGone;
}
