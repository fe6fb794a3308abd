// One lock for the whole process: every export and the pulse-timer callback run under it,
// so calls from several threads each see a consistent session and never mix their
// transfers. It is recursive, and never held while a message box waits for the user.
#ifndef TEVRO_COMMON_PROCESS_LOCK_H
#define TEVRO_COMMON_PROCESS_LOCK_H

#include "common/process_lock_scope.h"

// Made when the library is loaded, before anything else runs; deleted when it is unloaded
// on its own (at process exit a thread that held it may be gone).
void InitProcessLock();
void DeleteProcessLock();

// Taken by a ProcessLockScope; left only with the key a ProcessLockScope makes, through the
// trace (TraceUnlockProcess), which writes the lines gathered meanwhile.
void LockProcess();
void UnlockProcess(ProcessLockScope::LeaveKey key);

#endif  // TEVRO_COMMON_PROCESS_LOCK_H
