#include "base/text_encoding.h"

#include "data/text/utf8.h"

namespace quillon {

bool IsValidUtf8(std::string_view bytes) {
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    if (!fox::NextCodePoint(bytes, i, cp)) return false;
  }
  return true;
}

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  char32_t cp;
  for (size_t i = 0; i < bytes.size();) {
    const size_t at = i;
    if (fox::NextCodePoint(bytes, i, cp)) {
      out.append(bytes.substr(at, i - at));
    } else {
      fox::AppendUtf8(0xFFFD, out);
      ++i;
    }
  }
  return out;
}

}  // namespace quillon
