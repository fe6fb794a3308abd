// Write-back of the opening counter at the session close.
#ifndef TEVRO_DRIVERPORT_IDENTITY_H
#define TEVRO_DRIVERPORT_IDENTITY_H

#include <stdint.h>

// Reads the counter stored in the box and writes it back plus localOpenCnt, in one device
// open. When that read fails the cached storedOpenCnt is used, if it was ever read in this
// session; otherwise nothing is written. *total receives the sum written (or, when nothing
// could be written, storedOpenCnt + localOpenCnt). True when the write completed.
bool PortWriteBackOpenCnt(uint32_t* total);

#endif  // TEVRO_DRIVERPORT_IDENTITY_H
