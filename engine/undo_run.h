// Taking a run back: every field an undo journal holds is given back its
// stored value as it was before the run, when its value is still the one the
// run saved. A field that has changed since (another program, a later run)
// is left as it is and reported as a conflict; a record or a table that is
// gone is reported.
//
// The undo goes through the same save path as a run: record locks, the check
// against another program's change (a record changed meanwhile is read and
// looked at again, up to three times), the structural index kept up to date,
// the same crash states. It writes its own change log lines and its own
// journal, so that an undo can be undone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/toolkit.h"
#include "engine/change_log.h"
#include "engine/replacement_run.h"
#include "engine/save_session.h"
#include "engine/undo_journal.h"

namespace quillon {

struct UndoTally {
  int64_t restored = 0;   // fields given back their value (dry run: that would be)
  int64_t conflicts = 0;  // fields changed since the run, left as they are
  int64_t already = 0;    // fields that already hold their old value (a record the run never saved)
  int64_t missing = 0;    // fields of records or tables that are gone, or cannot be opened
  int64_t not_saved = 0;  // fields whose record could not be saved
};

// How an undo ended, as the main window's status row says it: "12,000 fields
// restored, 3 conflicts" (conflicts, fields gone and fields not saved only
// when there are any), each count written by `toolkit` (Toolkit::FormatCount).
std::string UndoSummary(const UndoTally& tally, const Toolkit& toolkit);

class UndoRun {
 public:
  // `toolkit` is borrowed and must outlive the undo. kDryRun writes nothing.
  UndoRun(Toolkit& toolkit, RunMode mode = RunMode::kReplace) : toolkit_(toolkit), mode_(mode) {}

  // Takes back the changes of the journal at `path`, newest first. Each
  // problem (a conflict, a record or table that is gone, a save that
  // failed) is given to the OnProblem callback as one line, or, without one,
  // listed (the first ones) in the closing message. The closing message says
  // what was restored; it is a warning when something was not. Returns
  // kRefused when the journal cannot be read, or when the change log or the
  // undo's own journal cannot be made at its first change (told in a
  // warning; nothing is taken back), kStopped when `stop` turned true.
  RunEnd Run(const std::string& path);

  void OnProblem(std::function<void(const std::string&)> callback) { on_problem_ = std::move(callback); }
  // Polled between records: the undo stops when it returns true; the
  // records changed so far are saved.
  void StopWhen(std::function<bool()> stop) { stop_ = std::move(stop); }
  // Lets the undo change tables whose structural index file is missing (as
  // the run was let); each is reported, saying its index must be rebuilt.
  void AllowMissingIndex(bool allow) { allow_missing_index_ = allow; }
  // The folder the undo's own journal goes to; the change log's by default.
  void SetJournalFolder(std::string folder) { journal_folder_ = std::move(folder); }

  const UndoTally& tally() const { return tally_; }
  // The undo's own journal ("" when it saved nothing).
  const std::string& undo_journal() const { return undo_journal_; }
  // Whether anything was reported: a problem, a journal cut short, a
  // failure to write.
  bool reported() const { return reported_; }

  // How many changes the journal at `path` holds; throws what reading it
  // throws when it cannot be read.
  static size_t CountChanges(const std::string& path);

  // What the journal at `path` would take back, for the question asked
  // before an undo: how many changes, the tables they are in (in journal
  // order, each once) and the data source of the first. Throws what reading
  // the journal throws.
  struct Contents {
    size_t changes = 0;
    std::vector<std::string> tables;
    std::string catalogue;
  };
  static Contents Describe(const std::string& path);

 private:
  void UndoTable(const UndoJournalReader& journal, uint32_t table, const std::vector<size_t>& changes);
  // Gives back the fields of the current record, newest change first.
  void UndoRecord(const UndoJournalReader& journal, const std::string& name, fox::Recordset& recordset,
                  const std::vector<const UndoJournalReader::Entry*>& entries);
  void SaveFailed(const std::string& name, const fox::SaveError& failure, std::vector<uint32_t>* again);
  void Problem(const std::string& line);

  Toolkit& toolkit_;
  RunMode mode_;
  std::function<void(const std::string&)> on_problem_;
  std::function<bool()> stop_;
  std::string journal_folder_;
  bool allow_missing_index_ = false;
  SaveSession session_;
  uint32_t journal_table_ = 0;
  std::string undo_journal_;
  UndoTally tally_;
  std::vector<std::string> problems_;
  bool reported_ = false;
  bool stopped_ = false;
  // Why the undo was refused at its first change (its log or journal could
  // not be made), "" while it goes on.
  std::string refused_;
  // Fields restored per record of the table being undone, withdrawn when
  // its save fails.
  std::unordered_map<uint32_t, int64_t> restored_in_record_;
};

}  // namespace quillon
