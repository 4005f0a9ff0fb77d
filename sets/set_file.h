// Set files: plain text with one find-and-replace set per line, the find text
// and the replace text separated by a separator ("::" when the program writes
// them).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/toolkit.h"

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
// or 0xFE is read as UTF-16: big-endian when it starts with the big-endian
// byte-order mark FE FF, little-endian otherwise; one that starts with the UTF-8
// byte-order mark, or that reads as UTF-8 throughout, as UTF-8, any other file
// in the system's code page (the ANSI code page on Windows). A byte-order mark at the start is dropped: it would otherwise
// stand at the front of the first find text and never match.
// A missing or empty file gives "". Throws std::runtime_error naming the file
// when it exists but cannot be read.
std::string ReadTextFile(const std::string& path);

// The sets of a set file's text. Every CR is deleted and the text cut at LF;
// empty lines and lines without `separator` (plain, case-sensitive) are
// skipped; any other line is split at every occurrence of the separator, the
// first piece being the find text and the second the replace text, further
// pieces dropped, nothing trimmed. `separator` must not be empty.
std::vector<ReplaceSet> ParseSets(const std::string& text, const std::string& separator);

// One line split at every occurrence of `separator` (plain, case-sensitive):
// the first piece is the find text, the second the replace text, further
// pieces are dropped, nothing is trimmed. Nothing when the line is empty or
// does not hold the separator. `separator` must not be empty. Serves the set
// file lines and the answer of the "Add Set" prompt alike.
std::optional<ReplaceSet> SplitSetLine(std::string_view line, std::string_view separator);

// The content of a set file as SaveSetFile writes it: for each set in order
// the find text, "::", the replace text and CR LF. No sets give "".
std::string SetFileText(const std::vector<ReplaceSet>& sets);

inline constexpr char kOverwriteQuestion[] = "Are you sure you wish to overwrite ";

// Writes `sets` to the set file `path` in the system's code page (UTF-8 on
// Linux), without a byte-order mark; sets that code page cannot hold (on
// Windows) are written as UTF-8 after its byte-order mark. When the file exists (FileExists), first
// asks "Are you sure you wish to overwrite <path> ?" with Yes and No; on No
// nothing is written. The text goes to a temporary file in the same folder
// that then replaces `path`, so a write that fails leaves the old file as it
// was. Throws std::runtime_error naming the file when it cannot be written.
void SaveSetFile(Toolkit& toolkit, const std::string& path, const std::vector<ReplaceSet>& sets);

}  // namespace quillon
