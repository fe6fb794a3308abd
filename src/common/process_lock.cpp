#include "common/process_lock.h"

#include <windows.h>

namespace {

CRITICAL_SECTION gProcessLock;

}  // namespace

void InitProcessLock() { InitializeCriticalSection(&gProcessLock); }
void DeleteProcessLock() { DeleteCriticalSection(&gProcessLock); }
void LockProcess() { EnterCriticalSection(&gProcessLock); }
void UnlockProcess(ProcessLockScope::LeaveKey) { LeaveCriticalSection(&gProcessLock); }
