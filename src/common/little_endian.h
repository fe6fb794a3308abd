// Unsigned 32-bit values as both boxes store them: least significant byte first.
#ifndef TEVRO_COMMON_LITTLE_ENDIAN_H
#define TEVRO_COMMON_LITTLE_ENDIAN_H

#include <stdint.h>

inline uint32_t GetLe32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

inline void PutLe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

#endif  // TEVRO_COMMON_LITTLE_ENDIAN_H
