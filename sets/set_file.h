// Set files: plain text with one find-and-replace set per line, the find text
// and the replace text separated by a separator ("::" when the program writes
// them).
#pragma once

#include <cstddef>
#include <functional>
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
// in the system's code page (the ANSI code page on Windows). A byte-order mark at the start is dropped: it
// would otherwise stand at the front of the first find text and never match. A missing or empty file gives
// "". Throws quillon::Error naming the file when it exists but cannot be read.
std::string ReadTextFile(const std::string& path);

// A line of a set file that holds no set: its number (from 1) and its text
// as read, CRs deleted.
struct BadSetLine {
  size_t number = 0;
  std::string text;
  bool operator==(const BadSetLine&) const = default;
};

// What a set file's text holds: its sets in file order, and the lines that
// are neither a set nor blank, which the user must hear about before the
// sets are used.
struct ParsedSets {
  std::vector<ReplaceSet> sets;
  std::vector<BadSetLine> bad_lines;
};

// The sets of a set file's text. Every CR is deleted and the text cut at LF;
// a Ctrl+Z ending the text (the end mark of DOS text files, FoxPro's among
// them) is dropped. A line holding `separator` (plain, case-sensitive) is
// split at every occurrence of it, the first piece being the find text and
// the second the replace text, further pieces dropped, nothing trimmed.
// Lines that are empty or hold only spaces and tabs are passed over. Every
// other line is a bad line: one without the separator, and one that is not
// text (see IsSetText), separator or not, so that a binary file does not
// pass for a set file. `separator` must not be empty.
ParsedSets ParseSets(const std::string& text, const std::string& separator);

// ParseSets without the list: each set goes to `take` in file order, its
// texts as views valid during the call (a set file may hold a million sets,
// which the caller keeps as it likes); returns the bad lines. Throws what
// ParseSets throws and what `take` throws.
std::vector<BadSetLine> ForEachSet(const std::string& text, const std::string& separator,
                                   const std::function<void(std::string_view, std::string_view)>& take);

// How many sets `text` holds at most: one a line.
size_t SetLinesAtMost(const std::string& text);

// False for a line no text file holds: one with a NUL character, with bytes
// that are not UTF-8, or with U+FFFD, which ReadTextFile puts for bytes that
// are no character of the file's encoding.
bool IsSetText(std::string_view line);

// How many bad lines a message names with their text; the others are only
// counted.
inline constexpr size_t kBadSetLinesNamed = 5;

// What a message tells of the bad lines of the set file `file`, read with
// `separator`; the lines of the message are joined by `line_break`:
//
//   3 lines of sets.txt are not sets (a find text, "::", a replace text):
//   line 2: "Monday:Tuesday"
//   line 7: "PK\x03\x04..." (not text)
//   and 1 more
//
// The first kBadSetLinesNamed lines are named, control characters and bytes
// that are no character shown as \xNN, U+FFFD as '?', and their text cut
// after 60 characters as shown. `lines` must not be empty.
std::string BadSetLinesText(const std::string& file, const std::vector<BadSetLine>& lines,
                            const std::string& separator, const std::string& line_break);

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
// was. Throws quillon::Error naming the file when it cannot be written.
void SaveSetFile(Toolkit& toolkit, const std::string& path, const std::vector<ReplaceSet>& sets);

}  // namespace quillon
