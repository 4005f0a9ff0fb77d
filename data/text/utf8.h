// UTF-8, the form of every text inside Quillon: reading and writing code
// points, and UTF-16 (set files, the Windows API) turned into it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace fox {

// Appends the UTF-8 form of the code point `cp`.
void AppendUtf8(char32_t cp, std::string& out);

// Reads one code point of UTF-8 at text[i] and advances i. Returns false
// (leaving i) for a malformed, overlong or surrogate sequence.
bool NextCodePoint(std::string_view text, size_t& i, char32_t& cp);

// UTF-16 code units (char16_t, or wchar_t on Windows) as UTF-8; a lone
// surrogate becomes U+FFFD.
template <typename Unit>
std::string Utf8FromUtf16(const Unit* units, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const auto u = static_cast<char32_t>(units[i]);
    const auto next = i + 1 < n ? static_cast<char32_t>(units[i + 1]) : char32_t{0};
    if (u >= 0xD800 && u <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
      AppendUtf8(0x10000 + ((u - 0xD800) << 10) + (next - 0xDC00), out);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      AppendUtf8(0xFFFD, out);
    } else {
      AppendUtf8(u, out);
    }
  }
  return out;
}

}  // namespace fox
