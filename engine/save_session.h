// The save session of a run or an undo: its change log and its undo journal,
// and the tables it opens to change.
//
// Every recordset the session opens (or hooks) writes the journal entries
// and the change log lines of a batch of saves before the batch's records,
// so that no change reaches the disk without both. A save that fails is
// sorted here: the records another program's change held back, which the
// caller changes again, lose their lines and entries and count their tries
// (kSaveAttempts at most); the others are logged as not saved.
//
// Owns its ChangeLog and UndoJournal; borrows the recordsets and
// connections given to it. Throws what the log, the journal and the table
// library throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data/util/error.h"
#include "engine/change_log.h"
#include "engine/undo_journal.h"

namespace fox {
class Connection;
class Recordset;
class Table;
}  // namespace fox

namespace quillon {

class SaveSession {
 public:
  // How many times a record another program's change holds back is tried.
  static constexpr int kSaveAttempts = 3;

  ChangeLog& log() { return log_; }
  UndoJournal& journal() { return journal_; }

  // Makes `recordset` write the journal entries and the lines of each batch
  // of saves first (for the tables it opens from now on).
  void Hook(fox::Recordset& recordset);
  // Opens `table` of `connection` in `recordset`, hooked: for writing, or
  // read-only when `read_only`.
  void Open(fox::Recordset& recordset, fox::Connection& connection, const std::string& table, bool read_only);

  // The catalogue the tables declared by TableNumber belong to: a database
  // container's path, or else a folder of free tables.
  void SetCatalogue(bool container, std::string catalogue) {
    container_ = container;
    catalogue_ = std::move(catalogue);
  }
  // The journal's number for `table` (any case; opened as `opened`),
  // declared once; nothing is kept when declaring it throws.
  uint32_t TableNumber(const std::string& table, const fox::Table& opened);
  // Puts the edited fields of `recordset`'s current record in the journal,
  // held until the record is written.
  void JournalRecord(fox::Recordset& recordset, uint32_t journal_table);

  // Withdraws the journal entries and change log lines of `records`
  // (ascending): changes not saved. Returns how many changes went.
  size_t Withdraw(uint32_t journal_table, const std::vector<uint32_t>& records);

  // The records of a failed save, sorted: those to change again and those
  // that stay not saved, each of these with its cause.
  struct Sorted {
    std::vector<uint32_t> again;
    std::vector<uint32_t> lost;
    std::vector<std::string> causes;
    size_t withdrawn = 0;  // changes of `again` whose lines and entries went
  };
  // Sorts `failure`'s records: those another program's change held back for
  // which `again_if` is true go to `again` (their lines and entries are
  // withdrawn), the others to `lost`.
  Sorted Sort(const fox::SaveError& failure, uint32_t journal_table,
              const std::function<bool(uint32_t)>& again_if);
  // Reads record `recno` afresh, to change it again; a save the move sets
  // off that fails goes to `failed`. Returns whether the record is there;
  // throws whatever else fails.
  static bool ReadAgain(fox::Recordset& recordset, uint32_t recno,
                        const std::function<void(const fox::SaveError&)>& failed);

  // Logs `records` (ascending) of `table` as not saved: their journal
  // entries are marked, their held lines written, then a line each saying
  // why (`cause(i)` for records[i]). A line that cannot be written is told
  // when the log is closed.
  void LogNotSaved(const std::string& table, uint32_t journal_table, const std::vector<uint32_t>& records,
                   const std::function<std::string(size_t)>& cause);

  // The tries of the table's records that another program's change held
  // back: a record may be tried again while it has had fewer than
  // kSaveAttempts.
  bool MayTryAgain(uint32_t recno) { return tries_[recno] < kSaveAttempts; }
  void Tried(uint32_t recno) { ++tries_[recno]; }
  void ForgetTries() { tries_.clear(); }

 private:
  ChangeLog log_;
  UndoJournal journal_;
  bool container_ = false;
  std::string catalogue_;
  std::map<std::string, uint32_t> tables_;  // by lower-case name
  std::unordered_map<uint32_t, int> tries_;
  // Reused from record to record.
  std::vector<size_t> edited_;
  std::string before_, after_;
};

}  // namespace quillon
