// What the exports give the application for what came of an operation, in one place, and
// the trace's one line for each failure a caller sees: its box, its cause, and the system's
// code where there was one.
#ifndef TEVRO_FRONT_RESULTS_H
#define TEVRO_FRONT_RESULTS_H

#include <stdint.h>

#include "common/status.h"
#include "front/backends.h"

// What OpenPosInterface returns when no box was opened.
constexpr int32_t kNotOpen = -1;

// The documented results: an open's result or -1; 1 or 0; a field's value or 0.
inline int32_t OpenResult(const Status& status, int32_t opened) {
  return status.ok() ? opened : kNotOpen;
}
inline bool Succeeded(const Status& status) { return status.ok(); }
inline uint32_t FieldResult(const Status& status, uint32_t value) {
  return status.ok() ? value : 0;
}

// What came of an operation on box 'box' of 'backend', as the caller is told it: a failure is
// written to the trace once (ReportFailure, common/status.h). Returns 'status'.
inline const Status& Reported(const Backend& backend, uint8_t box, const Status& status) {
  return ReportFailure(backend.kind, box, status);
}

#endif  // TEVRO_FRONT_RESULTS_H
