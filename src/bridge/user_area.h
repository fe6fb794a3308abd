// The identity record as the bridge box keeps it in the first 16 bytes of its EEPROM
// user area. Multi-byte values are little-endian:
//   0-3   stored opening count
//   4-7   serial number
//   8-9   manufacturing date bits 0-15
//   10-11 not interpreted; written back as they are
//   12-15 a 32-bit word whose low half holds date bits 16-31 (bytes 14, 15 written as 0)
#ifndef TEVRO_BRIDGE_USER_AREA_H
#define TEVRO_BRIDGE_USER_AREA_H

#include <stdint.h>

#include "common/contract.h"

constexpr uint32_t kUserAreaImageSize = 16;

struct UserAreaImage {
  uint8_t bytes[kUserAreaImageSize];
};

// The field's value as the image holds it.
uint32_t UserAreaGet(const UserAreaImage& image, IdentityField field);
// Stores value into the field's bytes; no other byte changes.
void UserAreaPut(UserAreaImage& image, IdentityField field, uint32_t value);

#endif  // TEVRO_BRIDGE_USER_AREA_H
