// The open result: what a backend's session open hands the front, and the front hands the
// application from OpenPosInterface (-1 when nothing was opened: front/results.h).
#ifndef TEVRO_COMMON_OPEN_RESULT_H
#define TEVRO_COMMON_OPEN_RESULT_H

#include <stdint.h>

// The handle a box was opened with, as a 32-bit number, moved off -1 where truncation
// would give it: an open that succeeded never reads as a failure.
inline int32_t OpenResultFromHandle(const void* handle) {
  uint32_t value = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(handle));
  if (value == 0xFFFFFFFFu) value = 0x7FFFFFFFu;
  return static_cast<int32_t>(value);
}

#endif  // TEVRO_COMMON_OPEN_RESULT_H
