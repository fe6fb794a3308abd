/*
 * kernel_headers.h - the kernel headers, as C++ can include them.
 *
 * MinGW-w64's wdm.h defines two interlocked bit-test helpers that its intrin.h already
 * defines; C++ rejects the second definition. The intrinsics are taken first and the
 * header's copies are compiled under other names.
 */
#ifndef SIM_DRIVER_KERNEL_HEADERS_H
#define SIM_DRIVER_KERNEL_HEADERS_H

#include <intrin.h>

#define InterlockedBitTestAndSet WdmInterlockedBitTestAndSet
#define InterlockedBitTestAndReset WdmInterlockedBitTestAndReset
#include <ntddk.h>
#undef InterlockedBitTestAndSet
#undef InterlockedBitTestAndReset

#endif  // SIM_DRIVER_KERNEL_HEADERS_H
