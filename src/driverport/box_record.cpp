// The driver-port boxes' shared records, one per box, opened at first use where the box's
// mutex lies and kept until the library is unloaded, when they are closed with the mutexes
// (common/library_objects.h says whose they are and how they are made).
#include "driverport/box_record.h"

#include <windows.h>

#include "common/box_lock.h"
#include "common/contract.h"
#include "common/library_objects.h"

#ifndef PROCESS_QUERY_LIMITED_INFORMATION
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000
#endif

namespace {

constexpr DWORD kStillActive = 259;

struct BoxRecords {
  RecordView record[kBoxes];
  uint64_t processStart;  // this process's creation time, once read
};

BoxRecords gRecords;

void CloseRecords() {
  for (RecordView& record : gRecords.record) CloseRecord(&record);
}

uint64_t CreationTime(HANDLE process) {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(process, &created, &exited, &kernel, &user)) return 0;
  return static_cast<uint64_t>(created.dwHighDateTime) << 32 | created.dwLowDateTime;
}

uint64_t ThisProcessStart() {
  if (gRecords.processStart == 0) gRecords.processStart = CreationTime(GetCurrentProcess());
  return gRecords.processStart;
}

}  // namespace

SharedBoxRecord* PortSharedRecord(uint8_t box) {
  if (box >= kBoxes) return nullptr;
  // The record lies where the box's mutex does: beside the machine's, the machine's file
  // (or, when that cannot be had, the session's memory); beside the session's standing in,
  // the session's.
  const BoxLockPlace place = WhereBoxLockIs(BoxKind::kPort, box);
  if (place == BoxLockPlace::kSquatted || place == BoxLockPlace::kNone) return nullptr;
  RecordView& view = gRecords.record[box];
  if (view.record == nullptr) {
    RecordOpen opened = RecordOpen::kCannotBeHad;
    if (place == BoxLockPlace::kMachine) {
      opened = OpenRecord(box, ObjectScope::kMachine, sizeof(SharedBoxRecord), &view);
    }
    if (opened == RecordOpen::kSquatted) {
      MarkBoxSquatted(BoxKind::kPort, box, "record");
      return nullptr;
    }
    if (opened == RecordOpen::kCannotBeHad &&
        OpenRecord(box, ObjectScope::kSession, sizeof(SharedBoxRecord), &view) !=
            RecordOpen::kMapped) {
      return nullptr;
    }
    CloseWithBoxes(CloseRecords);
  }
  return static_cast<SharedBoxRecord*>(view.record);
}

SharedBoxRecord* PortSharedRecordIfOpen(uint8_t box) {
  return box < kBoxes ? static_cast<SharedBoxRecord*>(gRecords.record[box].record) : nullptr;
}

void ClaimPulse(SharedBoxRecord* record, int64_t writtenAt) {
  if (record == nullptr) return;
  record->ownerPid = GetCurrentProcessId();
  record->ownerStart = ThisProcessStart();
  record->writtenAt = writtenAt;
}

void ClearPulse(SharedBoxRecord* record) {
  if (record == nullptr) return;
  record->ownerPid = 0;
  record->ownerStart = 0;
  record->writtenAt = 0;
}

PulseOwner OwnerOf(const SharedBoxRecord* record) {
  if (record == nullptr) return PulseOwner::kUnknown;
  if (record->ownerPid == 0) return PulseOwner::kNone;
  if (record->ownerPid == GetCurrentProcessId()) {
    // An earlier process that had this id left it.
    return record->ownerStart == ThisProcessStart() ? PulseOwner::kThisProcess
                                                    : PulseOwner::kGoneProcess;
  }
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, record->ownerPid);
  if (process == nullptr) {
    // Only "no such process" tells that it is gone; one this process may not look at (access
    // denied), or that cannot be opened for any other reason, counts as alive.
    return GetLastError() == ERROR_INVALID_PARAMETER ? PulseOwner::kGoneProcess
                                                     : PulseOwner::kOtherProcess;
  }
  DWORD code = 0;
  bool alive = GetExitCodeProcess(process, &code) && code == kStillActive &&
               CreationTime(process) == record->ownerStart;
  CloseHandle(process);
  return alive ? PulseOwner::kOtherProcess : PulseOwner::kGoneProcess;
}
