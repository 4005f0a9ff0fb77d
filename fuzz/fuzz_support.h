// What the fuzz harnesses share: splitting an input into files, the scratch
// folder of the process, and the walks over a table with their oracles.
//
// The walks take a table the way the program does, through a Connection and
// a Recordset, and check what the library promises:
//   - the read walk reads every record (deleted ones too) and the text form
//     of every column, and checks that the searches the replacement run
//     relies on (Contains, RecordMayContain, RecordsMayContain) never miss a
//     find text that the text form holds;
//   - the write walk replaces find texts the way a replacement run does
//     (pass over records holding none, search, replace, trim, assign, move on
//     to save) and notes what became of each record;
//   - CheckUntouched then compares the table read again with the one read
//     before: records not saved read exactly as before, saved ones read the
//     values assigned, and the table file changed nowhere else but in the
//     header's date.
// Library errors (fox::Error) are expected on damaged files; a broken promise
// is reported on stderr and ends the process with abort().
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "data/database/connection.h"

namespace fuzz {

// Reads `count` length-prefixed parts: each a u32 little-endian length and
// that many bytes. A length running past the end takes what is left; parts
// missing at the end are empty.
std::vector<std::string_view> SplitParts(std::string_view input, size_t count);
// The inverse, for building seeds and reproducers.
std::string JoinParts(const std::vector<std::string>& parts);

// A folder of this process, made empty by ClearScratch and removed when the
// process exits normally: under $QUILLON_FUZZ_SCRATCH when set, else in
// /dev/shm when there is one (saves flush), else in the temporary folder.
const std::filesystem::path& Scratch();
void ClearScratch();
// Writes `bytes` as the file `name` in the scratch folder; empty bytes write
// no file (a missing memo or index file is a case of its own).
void PutFile(const std::string& name, std::string_view bytes);
std::string ReadWholeFile(const std::filesystem::path& path);
// Whether `path` lies inside the scratch folder (tables a container names
// elsewhere are not opened).
bool InScratch(const std::filesystem::path& path);

// The find/replace pairs of the write walk. `choice` picks two of them (a set
// list of two pairs): its low three bits the first, the next three the second.
struct Pair {
  std::string find, replace;
};
std::vector<Pair> PickPairs(uint8_t choice);

// One column of one record as read: its text form, NULL (or no text form), or
// unreadable (Text threw).
struct Cell {
  enum State : char { kUnreadable = 'u', kNull = 'n', kText = 't' } state = kUnreadable;
  std::string text;
  bool operator==(const Cell&) const = default;
};
struct Record {
  bool readable = false;  // ReadRecords gave its bytes
  std::string bytes;
  std::vector<Cell> cells;
};
struct Image {
  std::string file;  // the table file's bytes
  uint16_t header_length = 0, record_length = 0;
  std::vector<bool> memo;  // by column: a memo field
  std::vector<Record> records;
};

// Where a table is: the connection string and the table's name in it.
struct Source {
  std::string connection;
  std::string table;
  bool allow_missing_index = false;
};

// Opens the table read-only and reads every record and column (the read walk,
// with its search checks for `finds`). Nothing when it cannot be opened.
std::optional<Image> ReadWalk(const Source& source, const std::vector<std::string>& finds);

// What the write walk did to each record.
struct Outcome {
  std::map<uint32_t, std::vector<Cell>> assigned;  // saved: the values of the edit
  std::set<uint32_t> refused;                      // named by a SaveError
  std::set<uint32_t> uncertain;                    // its save met another error
};
// Opens the table for writing and replaces the pairs' find texts in every
// field of every record through a Recordset, saving as a run does. `before`
// (the read walk's image, when there is one) checks the records passed over.
Outcome WriteWalk(const Source& source, const std::vector<Pair>& pairs, const std::optional<Image>& before);

// The untouched-record oracle: `after` (read again once the write walk closed
// the table) against `before` and what the walk did.
// QUILLON_FUZZ_KNOWN in the environment lets known faults through (counted
// on stderr) so that a long campaign can look past them while they are being
// fixed: "memo-past-end", a memo value unreadable before because it ran past
// the end of the memo file, readable after because values were appended
// there since; "memo-runs-on", a memo value without a stored length or end
// mark that reads on into values appended after it.
void CheckUntouched(const Source& source, const std::optional<Image>& before, const Outcome& outcome,
                    const std::optional<Image>& after);

// Prints the message and the table, then aborts.
[[noreturn]] void Fail(const std::string& what);

}  // namespace fuzz
