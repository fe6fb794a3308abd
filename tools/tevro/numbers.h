// Strict parsing of the numbers the tool accepts on its command line.
#ifndef TOOLS_TEVRO_NUMBERS_H
#define TOOLS_TEVRO_NUMBERS_H

#include <stdint.h>

#include <string>

namespace tevro_tool {

// Parses an unsigned 32-bit number written in decimal ("123", no leading zero) or in hex
// with a 0x or 0X prefix ("0x7B"). Nothing else is accepted: no sign, no space, no empty
// text, no digits past 0xFFFFFFFF, nothing after the digits. True with *value set; false
// with a one-line reason in *why (and *value untouched).
bool ParseU32(const std::string& text, uint32_t* value, std::string* why);

}  // namespace tevro_tool

#endif  // TOOLS_TEVRO_NUMBERS_H
