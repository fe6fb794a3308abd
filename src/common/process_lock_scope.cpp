#include "common/process_lock_scope.h"

#include "common/process_lock.h"
#include "common/trace.h"

ProcessLockScope::ProcessLockScope(Take take) : taking_(take == Take::kLock), held_(false) {
  Relock();
}

ProcessLockScope::~ProcessLockScope() {
  if (held_) {
    TraceUnlockProcess(LeaveKey());
  } else if (!taking_) {
    TraceFlush();
  }
}

void ProcessLockScope::Unlock() {
  if (!held_) return;
  held_ = false;
  TraceUnlockProcess(LeaveKey());
}

void ProcessLockScope::Relock() {
  if (!taking_ || held_) return;
  LockProcess();
  held_ = true;
}
