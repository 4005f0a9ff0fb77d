#include "data/text/text_case.h"

#include "data/util/error.h"

namespace fox {
namespace {

constexpr char32_t kNone = 0xFFFFFFFF;    // the character has no other case
constexpr char32_t kUnsure = 0xFFFFFFFE;  // the mapping depends on language rules

// The simple upper-case partner of a lower-case letter.
char32_t UpperOf(char32_t c) {
  if (c >= U'a' && c <= U'z') return c - 32;
  if (c == 0xB5 || c == 0x131 || c == 0x17F || c == 0x3C2) return kUnsure;  // µ ı ſ ς
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 32;
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17F) {
    const bool odd_lower = (c <= 0x137 && c != 0x130) || (c >= 0x14A && c <= 0x177);
    const bool even_lower = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (odd_lower && (c & 1)) return c - 1;
    if (even_lower && !(c & 1)) return c - 1;
    return kNone;
  }
  if (c == 0x192) return 0x191;
  if (c >= 0x3B1 && c <= 0x3CB) return c - 32;
  if (c == 0x3AC) return 0x386;
  if (c >= 0x3AD && c <= 0x3AF) return c - 37;
  if (c == 0x3CC) return 0x38C;
  if (c == 0x3CD || c == 0x3CE) return c - 63;
  if (c >= 0x430 && c <= 0x44F) return c - 32;
  if (c >= 0x450 && c <= 0x45F) return c - 80;
  if (c == 0x491) return 0x490;
  return kNone;
}

// The simple lower-case partner of an upper-case letter.
char32_t LowerOf(char32_t c) {
  if (c >= U'A' && c <= U'Z') return c + 32;
  if (c == 0x130) return kUnsure;  // İ
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
  if (c == 0x178) return 0xFF;
  if (c >= 0x100 && c <= 0x17F) {
    const bool even_upper = (c <= 0x137 && c != 0x131) || (c >= 0x14A && c <= 0x177);
    const bool odd_upper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    if (even_upper && !(c & 1)) return c + 1;
    if (odd_upper && (c & 1)) return c + 1;
    return kNone;
  }
  if (c == 0x191) return 0x192;
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return c + 32;
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return c + 37;
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return c + 63;
  if (c >= 0x410 && c <= 0x42F) return c + 32;
  if (c >= 0x400 && c <= 0x40F) return c + 80;
  if (c == 0x490) return 0x491;
  return kNone;
}

// The one character of a UTF-8 string, or kNone.
char32_t SingleCharacter(const std::string& utf8) {
  if (utf8.empty()) return kNone;
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t length;
  char32_t c;
  if (s[0] < 0x80) {
    length = 1;
    c = s[0];
  } else if ((s[0] & 0xE0) == 0xC0) {
    length = 2;
    c = s[0] & 0x1F;
  } else if ((s[0] & 0xF0) == 0xE0) {
    length = 3;
    c = s[0] & 0x0F;
  } else {
    length = 4;
    c = s[0] & 0x07;
  }
  if (utf8.size() != length) return kNone;
  for (size_t i = 1; i < length; ++i) c = (c << 6) | (s[i] & 0x3F);
  return c;
}

std::string Utf8(char32_t c) {
  std::string out;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace

TextCase::TextCase(const CodePage& code_page) {
  if (!code_page.single_byte()) {
    throw Error(ErrorKind::kUnsupported,
                "upper and lower case are not converted in the multi-byte code page " +
                    std::to_string(code_page.number()));
  }
  for (int b = 0; b < 256; ++b) {
    upper_[b] = lower_[b] = b;
    if (b < 0x80) {
      if (b >= 'a' && b <= 'z') upper_[b] = b - 32;
      if (b >= 'A' && b <= 'Z') lower_[b] = b + 32;
      continue;
    }
    const char32_t c = SingleCharacter(code_page.Decode(std::string(1, static_cast<char>(b))));
    if (c == kNone) continue;
    auto partner = [&](char32_t other) -> int {
      if (other == kNone) return b;
      if (other == kUnsure) return kUncertain;
      try {
        std::string encoded = code_page.Encode(Utf8(other));
        if (encoded.size() == 1) return static_cast<unsigned char>(encoded[0]);
      } catch (const Error&) {
      }
      return kUncertain;  // the partner is not in this code page
    };
    upper_[b] = partner(UpperOf(c));
    lower_[b] = partner(LowerOf(c));
  }
}

std::optional<std::string> TextCase::Convert(const Table& table, const std::string& bytes) {
  std::string out = bytes;
  for (char& ch : out) {
    const int mapped = table[static_cast<unsigned char>(ch)];
    if (mapped == kUncertain) return std::nullopt;
    ch = static_cast<char>(mapped);
  }
  return out;
}

}  // namespace fox
