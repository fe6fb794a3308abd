#include "numbers.h"

namespace tevro_tool {

namespace {

int DigitValue(char c, unsigned base) {
  int v = -1;
  if (c >= '0' && c <= '9') v = c - '0';
  if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
  if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
  return v >= 0 && static_cast<unsigned>(v) < base ? v : -1;
}

}  // namespace

bool ParseU32(const std::string& text, uint32_t* value, std::string* why) {
  if (text.empty()) {
    *why = "empty value";
    return false;
  }
  unsigned base = 10;
  size_t start = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
    if (text.size() == 2) {
      *why = "'" + text + "' has no hex digits after 0x";
      return false;
    }
  } else if (text[0] == '+' || text[0] == '-') {
    *why = "'" + text + "' has a sign; write an unsigned number";
    return false;
  } else if (text.size() > 1 && text[0] == '0') {
    *why = "'" + text + "' has a leading zero; write it in decimal without one, or as 0x hex";
    return false;
  }
  uint64_t result = 0;
  for (size_t i = start; i < text.size(); ++i) {
    int digit = DigitValue(text[i], base);
    if (digit < 0) {
      *why = "'" + text + "' is not a " + (base == 16 ? "hex" : "decimal") +
             " number (unexpected character at position " + std::to_string(i + 1) + ")";
      return false;
    }
    result = result * base + static_cast<unsigned>(digit);
    if (result > 0xFFFFFFFFull) {
      *why = "'" + text + "' does not fit in 32 bits (largest: 4294967295 or 0xFFFFFFFF)";
      return false;
    }
  }
  *value = static_cast<uint32_t>(result);
  return true;
}

}  // namespace tevro_tool
