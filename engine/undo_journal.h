// The undo journal: one file per run that changes data, beside the change log,
// holding for each saved field the stored bytes before and after the change,
// so that the run can be taken back exactly (see UndoRun).
//
// File format (integers little-endian):
//
//   header, 32 bytes:
//     0  8  magic "QLNUNDO\x1a"
//     8  4  version (2; journals of version 1 are still read)
//    12  4  header size (32)
//    16  8  when the run started, seconds since 1970 (UTC)
//    24  4  zero
//    28  4  CRC-32 of bytes 0 to 27
//   entries, one after the other to the end of the file:
//     0  4  payload size n
//     4  4  CRC-32 of the payload
//     8  n  payload: one byte saying what the entry is, then its fields,
//           texts and byte strings as a 4-byte size and the bytes:
//       1 table:  table number (4), kind of catalogue (1: folder of free
//                 tables, 2: database container), catalogue path, table
//                 name, table file path
//       2 change: table number (4), record (4), column (4), the record's
//                 identity as saved (4, RecordIdentity; not in version 1),
//                 column name, stored form before, stored form after
//                 (fox::Table::StoredForm)
//       3 not saved: table number (4), record (4): the changes of the record
//                 written to the journal before this entry were not saved
//       4 end:    the run ended here (not in version 1): a journal without
//                 it was cut off, and its run may have changed more
//
// Entries are appended as the run goes and made durable before the records
// they describe are written (Flush is the tables' before-write hook, with
// the change log's). An entry may reach the disk before its record is
// saved: a record that then is not saved gets a not-saved entry, and a
// crash in between leaves entries for records that kept their old values,
// which an undo finds already as they were. A journal cut short by a crash is read up to its last
// whole entry: an entry whose size runs past the end of the file or whose
// checksum does not match ends the reading.
#pragma once

#include <cstdint>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace fox {
class DiskFile;
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
  // left out.
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

// The journal one run writes. Append and Flush may be called from
// different threads. Until Create (and after Close) every call does nothing:
// a run told to write no journal calls them all the same.
class UndoJournal {
 public:
  UndoJournal();
  ~UndoJournal();
  UndoJournal(const UndoJournal&) = delete;
  UndoJournal& operator=(const UndoJournal&) = delete;

  // Makes a new journal in `folder` (see UndoJournalName), its header
  // durable. Throws quillon::Error naming the file and the reason.
  void Create(const std::string& folder, std::time_t started);
  bool is_open() const;
  const std::string& path() const { return path_; }

  // Declares a table; returns its number for the changes. The changes of
  // the tables declared may come in any order (a cascade's children between
  // their parents).
  uint32_t AddTable(const JournalTable& table);
  // A saved field's change (see JournalChange). Entries are written as they
  // gather, before their records are saved; a record that is then not saved
  // (or is to be changed again) gets a not-saved entry (NotSaved).
  // `record` is the record's RecordIdentity as it will be saved.
  void Append(uint32_t table, uint32_t recno, uint32_t record, uint32_t column, std::string_view column_name,
              std::string_view before, std::string_view after);
  // Marks the changes of `records` journalled so far as not saved.
  void NotSaved(uint32_t table, const std::vector<uint32_t>& records);
  // Writes every entry gathered and makes the journal durable; false when it
  // could not be (the failure is thrown by Close). The tables call it
  // before they write a batch of records.
  bool Flush() noexcept;
  // Writes every entry gathered and starts it on its way to the disk, so
  // that the Flush after it has less to wait for. A failure is told by the
  // next Flush.
  void WriteAhead() noexcept;
  // How many changes the journal holds (those marked not saved left out).
  uint64_t changes() const;
  // Writes what is left with the entry that says the run ended, and closes;
  // a journal that holds no change is removed. Throws quillon::Error
  // when writing failed.
  void Close();

 private:
  // With write_mutex_ held, and mutex_ by `hold` (let go while the disk is
  // written): writes the entries gathered (`sync`: and makes everything
  // written durable); false, with failure_ set, when that fails.
  bool WritePending(std::unique_lock<std::mutex>& hold, bool sync);

  std::mutex write_mutex_;  // one writer of the file at a time, taken before mutex_
  std::string writing_;     // the entries being written (under write_mutex_)
  mutable std::mutex mutex_;
  std::string path_;
  std::unique_ptr<fox::DiskFile> file_;
  uint64_t end_ = 0;     // where the next entry goes
  uint64_t synced_ = 0;  // how much of the file is durable
  std::string pending_;  // entries not written yet
  uint32_t tables_ = 0;
  // The changes journalled per record (RecordKey: table and record, since a
  // cascade journals a child table's records between its parent's) since it
  // was last marked not saved, for the records journalled last: a save that
  // fails names records of the batch being gathered or written, far fewer
  // than kRecentRecords, so the memory stays the same whatever the table's
  // size. recent_order_ holds them oldest first, to let the oldest go.
  static constexpr size_t kRecentRecords = 1 << 14;
  static uint64_t RecordKey(uint32_t table, uint32_t recno) { return (uint64_t{table} << 32) | recno; }
  std::unordered_map<uint64_t, uint32_t> entries_by_record_;
  std::deque<uint64_t> recent_order_;
  uint64_t changes_ = 0;
  std::string failure_;
};

}  // namespace quillon
