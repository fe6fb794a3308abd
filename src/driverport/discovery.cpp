// Finding the driver-port boxes: the kernel devices are numbered 0 to 9, and the count
// ends at the first box that does not answer.
#include "driverport/driverport.h"
#include "driverport/link.h"

namespace {

// The count ends where no box is: past the last number, or no device of that name.
bool NoBoxThere(const Status& status) {
  return status.is(Cause::kNoSuchBox) ||
         (status.is(Cause::kNoDevice) &&
          (status.code == ERROR_FILE_NOT_FOUND || status.code == ERROR_PATH_NOT_FOUND));
}

}  // namespace

uint8_t PortScan(ScanMode mode, Status* ended) {
  // Each box is probed: its status read and written back (the release, where its line is
  // energised by no living process). Its counter is not read: the scan needs none, and the
  // session open reads it. A box another caller keeps is there: it counts, so the
  // numbering does not shift.
  uint8_t box = 0;
  for (;; ++box) {
    int32_t opened = 0;
    const Status status = PortProbe(box, &opened);
    if (!status.ok() && !status.is(Cause::kBusy)) {
      *ended = NoBoxThere(status) ? kDone : status;
      break;
    }
  }
  if (mode == ScanMode::kNoSessionOnThisBackend) {
    // Addressing the first box that did not answer, as the last probe left it.
    gPortBackend.sessionBox = box;
  }
  return box;
}
