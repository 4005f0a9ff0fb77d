// The text rules of a replacement: every occurrence, left to right, and the
// spaces trimmed at both ends of the result.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Writes into `out` the text `value` with every occurrence of `find` replaced
// by `replace`, scanning from the left: occurrences do not overlap and text
// inserted by `replace` is not scanned again ("aa" in "aaa" is replaced once).
// `find` must not be empty. `out` keeps its capacity between calls.
inline void ReplaceAll(std::string_view value, std::string_view find, std::string_view replace,
                       std::string* out) {
  out->clear();
  size_t from = 0;
  for (size_t at = value.find(find); at != std::string_view::npos; at = value.find(find, from)) {
    out->append(value.data() + from, at - from);
    out->append(replace);
    from = at + find.size();
  }
  out->append(value.data() + from, value.size() - from);
}

// Removes every space (U+0020) from both ends of `text`; tabs, line breaks and
// other blanks stay.
inline void TrimSpaces(std::string* text) {
  const size_t last = text->find_last_not_of(' ');
  if (last == std::string::npos) {
    text->clear();
    return;
  }
  text->erase(last + 1);
  text->erase(0, text->find_first_not_of(' '));
}

}  // namespace quillon
