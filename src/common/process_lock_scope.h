// The process lock (common/process_lock.h) held for a scope. Leaving gives it back through
// the trace, which then writes the lines gathered meanwhile (common/trace.h): every way out
// of the lock, early returns included, is this one.
#ifndef TEVRO_COMMON_PROCESS_LOCK_SCOPE_H
#define TEVRO_COMMON_PROCESS_LOCK_SCOPE_H

class ProcessLockScope {
 public:
  // Made only here: what leaving the process lock takes (common/process_lock.h,
  // TraceUnlockProcess), so that no other code can leave it.
  class LeaveKey {
    friend class ProcessLockScope;
    LeaveKey() = default;
  };

  // kNone: the process is ending and a thread that held the lock may be gone: nothing is
  // taken or given back.
  enum class Take { kLock, kNone };
  explicit ProcessLockScope(Take take = Take::kLock);
  ~ProcessLockScope();
  ProcessLockScope(const ProcessLockScope&) = delete;
  ProcessLockScope& operator=(const ProcessLockScope&) = delete;

  // Gives the lock back early (a message box is about to wait for the user, the library's
  // timer is about to be waited for), and takes it again.
  void Unlock();
  void Relock();

 private:
  bool taking_;
  bool held_;
};

#endif  // TEVRO_COMMON_PROCESS_LOCK_SCOPE_H
