// Finding the driver-port boxes: the kernel devices are numbered 0 to 9, and the count
// ends at the first index that does not answer.
#include "common/open_result.h"
#include "driverport/driverport.h"
#include "driverport/link.h"

uint8_t PortScan(ScanMode mode) {
  PortCompletePulse("the scan");
  // Each probe is a session open and close without the session: the box is probed and its
  // stored counter read, as an open does; with no openings, a close writes nothing. A box
  // another caller keeps is there: it counts, so the numbering does not shift.
  uint8_t index = 0;
  for (;; ++index) {
    BoxReach reach = BoxReach::kNoAnswer;
    if (PortProbe(index, &reach) != kNotOpen) {
      uint32_t counter = 0;
      PortReadCounterOf(index, &counter);
    } else if (reach != BoxReach::kBusy) {
      break;
    }
  }
  if (mode == ScanMode::kNoSession) {
    // Addressing the first index that did not answer, as the last probe left it.
    gPortLink.deviceIndex = index;
    gPortLink.storedOpenCnt = 0;
    gPortLink.storedValid = false;
  }
  return index;
}
