#include "common/gone_box.h"

#include <windows.h>

namespace {

constexpr uint8_t kMissesToGone = 3;
constexpr int64_t kMissSpacingUs = 500000;

int64_t NowUs() {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return now.QuadPart / frequency.QuadPart * 1000000 +
         now.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

}  // namespace

bool GoneAfterTry(MissedOpens& missed, BoxReach reach) {
  if (reach == BoxReach::kBusy) return false;
  if (reach != BoxReach::kNoDevice) {
    missed = MissedOpens{};
    return false;
  }
  const int64_t now = NowUs();
  if (missed.count == 0 || now - missed.lastMissUs >= kMissSpacingUs) {
    ++missed.count;
    missed.lastMissUs = now;
  }
  return missed.count >= kMissesToGone;
}
