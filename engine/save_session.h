// The save session of a run or an undo: its change log, its run log (the
// write-ahead log of every table it changes, fox::RunLog) with the undo
// journal in it, and the tables it opens to change.
//
// A prepared session opens its change log and makes its run log only when
// the first change comes (Start), before that change is logged, journalled
// or saved: a run that changes nothing creates no file and writes nothing,
// and one whose logs cannot be made changes nothing.
//
// Every recordset the session opens (or hooks) writes its batches of saves
// through the run log: the journal entries of a batch's records go in with
// the batch and are committed with it; the change log lines of those
// records are written once the commit is durable. A save that fails is
// sorted here: the records another program's change held back, which the
// caller changes again, lose their lines and entries and count their tries
// (kSaveAttempts at most); the others are logged as not saved.
//
// Owns its ChangeLog, RunLog and UndoJournal; borrows the recordsets and
// connections given to it. Throws what the logs, the journal and the table
// library throw.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data/file/run_log.h"
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

  SaveSession();
  ChangeLog& log() { return log_; }
  UndoJournal& journal() { return journal_; }
  fox::RunLog& run_log() { return *run_log_; }

  // Makes `recordset` write its batches of saves through the run log, with
  // their journal entries, and their lines once committed (for the tables
  // it opens from now on).
  void Hook(fox::Recordset& recordset);
  // Opens `table` of `connection` in `recordset`, hooked: for writing, or
  // read-only when `read_only`.
  void Open(fox::Recordset& recordset, fox::Connection& connection, const std::string& table, bool read_only);

  // What Start is to make: the change log, and the run log in
  // `journal_folder` named after `started` (the moment the run started; see
  // UndoJournalName), kept as the run's undo journal when `journal`.
  // Nothing is opened or created here; the run log of an earlier run is
  // let go (Finish first).
  void Prepare(bool journal, std::string journal_folder, std::time_t started);
  // Before the first change is logged or journalled: opens the change log,
  // then makes the run log and declares in its journal the tables numbered
  // so far. Does nothing once it succeeded, or when the session was not
  // prepared. When the change log or the run log cannot be made, neither is
  // left (an empty log it created goes) and quillon::Error is thrown: the
  // failure's text, a space and `log_first` or `journal_first`.
  void Start(const std::string& log_first, const std::string& journal_first);
  // Whether a change may be logged: Start succeeded, or was not needed.
  bool started() const { return !unstarted_; }

  // The catalogue the tables declared by TableNumber belong to: a database
  // container's path, or else a folder of free tables.
  void SetCatalogue(bool container, std::string catalogue) {
    container_ = container;
    catalogue_ = std::move(catalogue);
  }
  // The journal's number for `table` (any case; opened as `opened`),
  // declared once; nothing is kept when declaring it throws.
  uint32_t TableNumber(const std::string& table, const fox::Table& opened);
  // The journal's number for `table`: declared in the journal at once when
  // the session has started, else kept until Start makes the journal.
  uint32_t Declare(const JournalTable& table);
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

  // Logs `records` (ascending) of `table` as not saved: their held journal
  // entries and lines go, and a line each says why (`cause(i)` for
  // records[i]). A line that cannot be written is told when the log is
  // closed.
  void LogNotSaved(const std::string& table, uint32_t journal_table, const std::vector<uint32_t>& records,
                   const std::function<std::string(size_t)>& cause);

  // The tries of the table's records that another program's change held
  // back: a record may be tried again while it has had fewer than
  // kSaveAttempts.
  bool MayTryAgain(uint32_t recno) { return tries_[recno] < kSaveAttempts; }
  void Tried(uint32_t recno) { ++tries_[recno]; }
  void ForgetTries() { tries_.clear(); }

  // Once every table of the session is closed: ends the journal, and
  // removes the run log when it is not kept as the journal or holds no
  // change. A run log that failed is left for the recovery of its tables,
  // and the failure thrown (quillon::Error). The change log is closed
  // before, by the caller.
  void Finish();

 private:
  // What the hooks of one recordset share: the journal's number of the
  // table it has open (set when its first record is journalled) and how
  // many changes its batch being written handed to the log.
  struct Hooked {
    std::atomic<uint32_t> table{UINT32_MAX};
    size_t handed = 0;
  };

  // A new one for each run (Prepare); first made, last gone: the logs below
  // use it.
  std::unique_ptr<fox::RunLog> run_log_ = std::make_unique<fox::RunLog>();
  ChangeLog log_;
  UndoJournal journal_;
  std::map<const fox::Recordset*, std::shared_ptr<Hooked>> hooked_;
  // From Prepare until Start succeeds: what to make, and the tables
  // declared meanwhile (numbered in order).
  struct Unstarted {
    bool journal = false;
    std::string folder;
    std::time_t started = 0;
    std::vector<JournalTable> tables;
  };
  std::optional<Unstarted> unstarted_;
  // Makes the run log Start is to make; throws quillon::Error.
  void MakeRunLog(const Unstarted& made);
  bool container_ = false;
  std::string catalogue_;
  std::map<std::string, uint32_t> tables_;  // by lower-case name
  std::unordered_map<uint32_t, int> tries_;
  // Reused from record to record.
  std::vector<size_t> edited_;
  std::string before_, after_;
};

}  // namespace quillon
