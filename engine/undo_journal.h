// The undo journal: the entries of the run's log (fox::RunLog) that hold,
// for each saved field, the stored bytes before and after the change, so
// that the run can be taken back exactly (see UndoRun).
//
// Version 3, the run log (data/file/run_log.h gives its header and framing),
// and the earlier versions 1 and 2, a file of the journal's own (header as
// the run log's, version 2 or 1, flags zero), share these entries:
//   1 table:  table number (4), kind of catalogue (1: folder of free
//             tables, 2: database container), catalogue path, table
//             name, table file path (texts and byte strings as a 4-byte
//             size and the bytes)
//   2 change: table number (4), record (4), column (4), the record's
//             identity as saved (4, RecordIdentity; not in version 1),
//             column name, stored form before, stored form after
//             (fox::Table::StoredForm)
//   3 not saved (versions 1 and 2): table number (4), record (4): the
//             changes of the record written before this entry were not saved
//   4 end:    the run ended here (not in version 1): a journal without it
//             was cut off, and its run may have changed more
// In version 3 the entries of a batch of saved records go into the log with
// the batch, and a change counts only when a commit entry of the log
// follows it: those after the last commit belong to records that were not
// written, or whose writing the log's recovery took back. A log that is not
// kept as a journal (the run was told to keep none) is not read here.
// A journal cut short by a crash is read up to its last whole entry: an
// entry whose size runs past the end of the file or whose checksum does not
// match ends the reading.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/held_by_record.h"

namespace fox {
class DiskFile;
class RunLog;
class Table;
}  // namespace fox

namespace quillon {

inline constexpr char kUndoJournalPrefix[] = "quillon-undo-";
inline constexpr char kUndoJournalExtension[] = ".jnl";

// A table a journal's changes were made to.
struct JournalTable {
  bool container = false;  // the catalogue is a database container, not a folder of free tables
  std::string catalogue;   // the folder or the container, as the run opened it
  std::string name;        // the table's name in the catalogue
  std::string path;        // the table file
};

// What tells a record a run saved from another that took its number (after
// a PACK, say): the CRC-32 of its bytes with the deletion flag, the memo
// pointers and the columns the run `changed` in it left out (another
// program may delete or change the record since, a saved memo value gets a
// new block, and the changed fields are compared one by one by value).
uint32_t RecordIdentity(const fox::Table& table, std::string_view record, const std::vector<size_t>& changed);

// One saved field.
struct JournalChange {
  uint32_t table = 0;  // index into the journal's tables
  uint32_t recno = 0;
  uint32_t column = 0;
  std::optional<uint32_t> record;  // RecordIdentity of the record as saved (none in version 1)
  std::string column_name;
  std::string before, after;  // stored forms
  // A long form after the change is kept as its Hash64 and length only
  // (`after` then empty).
  struct Hashed {
    uint64_t hash = 0;
    uint32_t length = 0;
  };
  std::optional<Hashed> after_hash;
  // Whether `stored` is the form after the change.
  bool IsAfter(std::string_view stored) const;
};

// A journal read through once for its tables and where each change lies;
// the changes themselves are read back one at a time (Read), so that memory
// stays small whatever the size of the run.
class UndoJournalReader {
 public:
  // Throws quillon::Error naming the file when it cannot be read or is
  // no undo journal.
  explicit UndoJournalReader(const std::string& path);
  ~UndoJournalReader();
  UndoJournalReader(const UndoJournalReader&) = delete;
  UndoJournalReader& operator=(const UndoJournalReader&) = delete;

  struct Entry {
    uint64_t offset;  // of the change's entry in the file
    uint32_t table, recno, column;
  };
  std::time_t started() const { return started_; }
  const std::vector<JournalTable>& tables() const { return tables_; }
  // In the order they were saved, the changes of records marked not saved
  // (versions 1 and 2) or that no commit entry covers (version 3) left out.
  const std::vector<Entry>& changes() const { return changes_; }
  const std::string& cut_short() const { return cut_short_; }
  bool torn_tail() const { return torn_tail_; }
  bool ended() const { return ended_; }
  // A change read back. Throws quillon::Error when the file no longer
  // holds it as it did.
  JournalChange Read(const Entry& entry) const;

 private:
  // The bytes [at, at + n) of the file, read ahead a megabyte at a time;
  // nullptr when the file does not hold them.
  const char* Fetch(uint64_t at, size_t n) const;
  // Reads a journal of version 3 (a run log) for its tables and changes.
  void ReadRunLog();
  // The reading stopped at byte `at` for `why`.
  void CutShort(uint64_t at, const std::string& why);

  std::string path_;
  std::unique_ptr<fox::DiskFile> file_;
  uint64_t size_ = 0;
  mutable std::string buffer_;
  mutable uint64_t buffer_at_ = 0;
  std::time_t started_ = 0;
  std::vector<JournalTable> tables_;
  std::vector<Entry> changes_;
  std::string cut_short_;
  bool torn_tail_ = false;
  bool ended_ = false;
  uint32_t version_ = 0;
};

// The path of the journal a run started at `started` would get in `folder`
// when no file has that name yet: quillon-undo-YYYYMMDD-HHMMSS.jnl in local
// time, with -2, -3 ... before the extension for the next ones.
std::string UndoJournalName(std::time_t started, int serial);

// The journal one run writes, into the run's log. Until Open (and after
// Close) every call does nothing: a run told to write no journal calls them
// all the same. Every member may be called from any thread.
//
// A change is held with its record until the record's batch is written
// (Hand, from the tables' before-write hook): the log then never holds the
// entry of a change that was not saved, and a record that is not saved
// loses its entries (Drop). A table's entry goes into the log before the
// first change of it handed over.
class UndoJournal {
 public:
  UndoJournal();
  ~UndoJournal();
  UndoJournal(const UndoJournal&) = delete;
  UndoJournal& operator=(const UndoJournal&) = delete;

  // Journals into `log` (made; borrowed until Close).
  void Open(fox::RunLog& log);
  bool is_open() const;

  // Declares a table; returns its number for the changes. The changes of
  // the tables declared may come in any order (a cascade's children between
  // their parents).
  uint32_t AddTable(const JournalTable& table);
  // A saved field's change (see JournalChange), held until its record is
  // handed over. `record` is the record's RecordIdentity as it will be saved.
  void Append(uint32_t table, uint32_t recno, uint32_t record, uint32_t column, std::string_view column_name,
              std::string_view before, std::string_view after);
  // Gives the log the held changes of `records` (ascending) of `table`, to
  // be committed with their batch; returns how many. Throws fox::Error when
  // the log cannot take them (none of them is then given).
  size_t Hand(uint32_t table, const std::vector<uint32_t>& records);
  // Counts `handed` changes committed.
  void Committed(size_t handed);
  // Drops the held changes of `records` of `table`: they were not saved.
  void Drop(uint32_t table, const std::vector<uint32_t>& records);
  // How many changes were committed.
  uint64_t changes() const;
  // Ends the journal with the entry that says the run ended, committed
  // (nothing when it holds no change). Throws quillon::Error when the log
  // cannot take it.
  void Close();

 private:
  mutable std::mutex mutex_;
  fox::RunLog* log_ = nullptr;
  std::vector<std::string> tables_;  // the tables' entries
  size_t declared_ = 0;              // how many of them are in the log
  // The entries held, by table, each with its size before it.
  std::map<uint32_t, HeldByRecord> held_;
  uint64_t changes_ = 0;
};

}  // namespace quillon
