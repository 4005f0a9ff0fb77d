// How the table's save path tells what it could not save: the record lists
// and messages of its SaveErrors, and two failures told as one. Shared by
// the table's files (table.cpp, table_save.cpp, batch_writer.cpp,
// batch_write.cpp); not part of the library's interface.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <vector>

namespace fox {

// "17", "17 and 18", "17, 18 and 20", or for a long list its ends and size:
// "17 ... 2480 (2000 records)".
std::string RecordList(const std::vector<uint32_t>& records);

// Why a save is refused when another program changed its record since it
// was read.
inline constexpr char kChangedMeanwhile[] =
    "another program changed the record after Quillon read it, and its change was kept";

// "The change to record 17 of table 'x' was not saved: <why>", or "The
// changes to records ... were".
std::string NotSaved(const std::vector<uint32_t>& records, const std::string& table, const std::string& why);

// The reason in a message that says what was not saved and why ("... was
// not saved: another program has locked the record."): the part after
// "not saved: ", without its full stop; the whole message otherwise.
std::string ShortCause(const std::string& message);

// Two failures told as one, so that neither is lost: the records of both,
// the message of each. Either may be null.
std::exception_ptr Combine(std::exception_ptr first, std::exception_ptr second);

}  // namespace fox
