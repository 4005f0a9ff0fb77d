// Bytes shown as text: lower-case hexadecimal digits, two per byte, as the
// index check shows keys in its problems.
#pragma once

#include <string>
#include <string_view>

namespace fox {

inline std::string Hex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(2 * bytes.size());
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

}  // namespace fox
