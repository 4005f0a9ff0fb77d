// Upper- and lower-case conversion of text in a table's single-byte code
// page, byte for byte, as FoxPro's UPPER() and LOWER() do it.
//
// Each byte is taken to its Unicode character, converted with the simple
// (one-to-one) case mapping of the Latin, Greek and Cyrillic letters, and
// taken back. A byte whose converted character the code page cannot hold, or
// whose conversion depends on language rules (dotless i, final sigma, long s,
// micro sign), is marked uncertain: FoxPro's result for it is not known, so
// callers must not guess.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "data/text/code_page.h"

namespace fox {

class TextCase {
 public:
  // Throws Error(kUnsupported) for multi-byte code pages, where a byte may be
  // half of a character.
  explicit TextCase(const CodePage& code_page);

  // The converted bytes; nothing when one of them is uncertain.
  std::optional<std::string> Upper(const std::string& bytes) const { return Convert(upper_, bytes); }
  std::optional<std::string> Lower(const std::string& bytes) const { return Convert(lower_, bytes); }

 private:
  static constexpr int kUncertain = -1;
  using Table = std::array<int, 256>;  // byte -> converted byte, or kUncertain
  static std::optional<std::string> Convert(const Table& table, const std::string& bytes);

  Table upper_{};
  Table lower_{};
};

}  // namespace fox
