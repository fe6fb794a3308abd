// One call of an export, from entry to return: the process lock taken, the trace looked at
// and its call line begun, and what is overdue on the boxes ended first; on leaving, the
// call line gathered with its result and the lock given back (the trace's lines are written
// after it). Every export is one such object.
#ifndef TEVRO_FRONT_EXPORT_CALL_H
#define TEVRO_FRONT_EXPORT_CALL_H

#include <stdio.h>

#include "common/process_lock_scope.h"

class ExportCall {
 public:
  // 'name' is the export's name in tevro.h; 'format' and what follows give its arguments as
  // the trace shows them.
  explicit ExportCall(const char* name);
  ExportCall(const char* name, const char* format, ...) __attribute__((format(printf, 3, 4)));
  ~ExportCall();
  ExportCall(const ExportCall&) = delete;
  ExportCall& operator=(const ExportCall&) = delete;

  // The call's result, shown in the trace with 'format'; returned as it is.
  template <typename T>
  T Result(T value, const char* format) {
    if (tracing_) snprintf(result_, sizeof result_, format, value);
    return value;
  }

 private:
  // After the trace was looked at (TraceRefresh): the call line begun, what is overdue ended.
  void Begin(const char* name, const char* args);

  ProcessLockScope lock_;
  bool tracing_;
  char result_[24];
};

#endif  // TEVRO_FRONT_EXPORT_CALL_H
