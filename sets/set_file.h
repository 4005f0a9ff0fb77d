// Reading set files: plain text with one find-and-replace set per line, the
// find text and the replace text separated by a separator ("::" when the
// program writes them).
#pragma once

#include <string>
#include <vector>

namespace quillon {

// One find text and one replace text, kept exactly as entered (no trimming,
// no case folding); either may be empty.
struct ReplaceSet {
  std::string find;
  std::string replace;
  bool operator==(const ReplaceSet&) const = default;
};

inline constexpr char kDefaultSetSeparator[] = "::";

// The whole content of a text file as UTF-8. A file whose first byte is 0xFF
// or 0xFE is read as UTF-16 little-endian; any other file in the system's
// code page (UTF-8 on Linux). A byte-order mark at the start is dropped: it
// would otherwise stand at the front of the first find text and never match.
// A missing or empty file gives "". Throws std::runtime_error naming the file
// when it exists but cannot be read.
std::string ReadTextFile(const std::string& path);

// The sets of a set file's text. Every CR is deleted and the text cut at LF;
// empty lines and lines without `separator` (plain, case-sensitive) are
// skipped; any other line is split at every occurrence of the separator, the
// first piece being the find text and the second the replace text, further
// pieces dropped, nothing trimmed. `separator` must not be empty.
std::vector<ReplaceSet> ParseSets(const std::string& text, const std::string& separator);

}  // namespace quillon
