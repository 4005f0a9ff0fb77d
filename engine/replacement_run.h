// The replacement run: what "Start Replacing" does. It walks every table it
// is given, every record and every field, and where a field's text holds a
// find text it replaces every occurrence, trims spaces at both ends and
// assigns the result; a field whose stored value the pairs leave changed gets
// a change log line per pair that found it, and moving to the next record
// saves it. The run ends with "Done.".
//
// The run is given what it works on as one value (RunRequest: the data
// source, the tables, the pairs, the options), so the main window, the tests
// and the batch command all drive this same code, and nothing the user does
// in the window while the run goes on changes what it does. It tells how it
// goes through a RunObserver.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/foxpro_module.h"
#include "base/error_report.h"
#include "base/toolkit.h"
#include "engine/candidate_keys.h"
#include "engine/code_not_run.h"
#include "engine/column_refusals.h"
#include "engine/field_edit.h"
#include "engine/find_text_snapshot.h"
#include "engine/key_cascade.h"
#include "engine/run_request.h"
#include "engine/run_tally.h"
#include "engine/save_session.h"

namespace quillon {

// A table's name as the run compares names: ASCII letters in lower case.
inline std::string LowerAscii(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// Dry run: how many fields of one column would be replaced, and why some
// could not be: `refusal` says why none can (an autoincrement field, say),
// or else, with `refused`, why the first of the new values the column would
// refuse is refused.
struct ColumnReach {
  std::string column;
  int64_t fields = 0;
  int64_t refused = 0;
  std::string refusal;
  // The longest new value, in bytes, and the record that holds it.
  size_t longest = 0;
  uint32_t longest_record = 0;
};

// A new value longer than this is worth a warning in a dry run: sets that
// feed each other (e::ee) make values grow without end.
inline constexpr size_t kLongValueWarning = 1 << 20;

// How a run ended, as its last status says it: "3 tables, 1204 fields
// changed, 3 refused, 1 record not saved" (the last two only when there are
// any), each count written by `toolkit` (Toolkit::FormatCount).
std::string RunSummary(const RunTally& tally, const Toolkit& toolkit);

// Dry run: the columns of one walked table, in field order.
struct TableReach {
  std::string table;
  std::vector<ColumnReach> columns;
  std::string unchangeable;  // why no column of the table could change; "" when some could
  // The relations a changed key would cascade through: "calls (contact_id)"
  // and how many of its records hold a key that would change.
  struct Cascade {
    std::string child;
    int64_t records = 0;
  };
  std::vector<Cascade> cascades;
  // Records the database's record rule would refuse as changed, and why
  // the first was.
  int64_t records_refused = 0;
  std::string record_refusal;
};

class ReplacementRun {
 public:
  // Where the error reports say a failure happened: the handler of "Start
  // Replacing", as the report names it.
  static constexpr char kModule[] = "Form2";
  static constexpr char kProcedure[] = "PushButton1_Click";
  static constexpr char kDone[] = "Done.";
  static constexpr char kEmptyFindText[] = "Please enter the text to find.";

  // `toolkit` and `observer` (optional) are borrowed and must outlive the
  // run.
  ReplacementRun(RunRequest request, Toolkit& toolkit, RunObserver* observer = nullptr)
      : request_(std::move(request)),
        toolkit_(toolkit),
        observer_(observer != nullptr ? *observer : no_observer_),
        cascade_(session_, tally_, code_not_run_) {}
  ~ReplacementRun();

  // Runs once. Every failure is shown as an error report naming kModule and
  // kProcedure and the run goes on: a table that cannot be opened is
  // left after one report, a record that cannot be saved keeps what is on
  // disk after one report, a field that refuses its new text keeps its value.
  //
  // An empty find text is refused before anything is opened, with a message
  // (kEmptyFindText for the single pair, EmptySetMessage for the set list);
  // nothing is logged and no "Done." follows.
  //
  // The change log and the undo journal are made at the run's first change:
  // a run that changes nothing creates neither. When either cannot be made,
  // the run is refused there with one report, nothing changed.
  //
  // When the observer asks it to stop, the run stops at the next field:
  // the record being edited is dropped unsaved, so every record is either
  // wholly as before or wholly replaced.
  RunEnd Run();

  // Error reports shown by the last run.
  int reports() const { return reports_; }
  // What the last run did.
  const RunTally& tally() const { return tally_; }
  // The undo journal of the last run: its path, "" when the run saved no
  // change (it then leaves no journal), and how many changes it holds.
  const std::string& undo_journal() const { return undo_journal_; }
  uint64_t undo_journal_changes() const { return undo_journal_changes_; }
  // Dry run: the walked tables in order.
  const std::vector<TableReach>& reach() const { return reach_; }

  // The refusal message for an empty find text in `request`, or "" when a
  // run may start.
  static std::string Refusal(const RunRequest& request);
  // For a folder whose tables are not ignored as free: why each table of
  // the request that belongs to a database container which cannot be found
  // or read, or does not list it, will be left as it is (one text each, in
  // table order). None for a container. Reads only the tables' headers and
  // containers; never throws.
  static std::vector<std::string> UnusableContainers(const RunRequest& request);

  // The refusal for set `index` (from 0) of the set list, the first whose find
  // text is empty.
  static std::string EmptySetMessage(int index, const std::string& replace);

 private:
  enum class Walk { kGoOn, kStop };
  bool dry_run() const { return request_.mode == RunMode::kDryRun; }
  // Opens the connection and `table` and walks it; closes both.
  Walk WalkTable(ErrorTrap& trap, const std::string& table, fox::Connection& connection,
                 fox::Recordset& recordset);
  // Tells what the table was changed without (its index, its trigger, its
  // record rule).
  void TellChangedWithout(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset);
  Walk WalkRecords(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, TableReach* reach);
  // Applies the pairs to every field of the current record.
  Walk EditRecord(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t field_count,
                  TableReach* reach);
  // Applies the pairs of the request to field `column` of the current record;
  // true when one of them found it.
  bool ApplyPairs(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t column);
  // Applies field_.find and field_.replace to field `column` of the current
  // record; returns true when the find text was found. `holds`: the field is
  // known to hold the find text, which is then not searched again.
  bool ApplyPair(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t column,
                 bool holds = false);
  // Dry run: after the pairs found field `column`, gives the record's edit
  // (never saved) its new value as KeepField would: true when its stored
  // form changes and its rule takes it (a refusal counted in `reach`).
  bool ForeseeField(ErrorTrap& trap, fox::Recordset& recordset, size_t column, TableReach* reach);
  // Dry run: the record's edit judged as the real run judges it before it
  // saves it (record rule, relations, candidate keys, cascades), counted in
  // `reach`, then taken back.
  void ForeseeRecord(ErrorTrap& trap, fox::Recordset& recordset, TableReach* reach);
  // A change that would give a candidate tag a key another record holds:
  // the record's changes are taken back and the refusal told for the key's
  // column (once, then counted); true then.
  bool KeyTaken(ErrorTrap& trap, fox::Recordset& recordset);
  // After the pairs found field `column` of the current record: when its
  // value is as it was read, gives it back its stored bytes (it is not
  // saved) and returns false; otherwise counts it, logs its lines and
  // returns true.
  bool KeepField(ErrorTrap& trap, fox::Recordset& recordset, size_t column);
  // A column that cannot change is told as a refusal only when one of its
  // values holds a find text: counted as refused, reported once for the
  // column (once for the table when no column can change).
  void RefuseIfFound(ErrorTrap& trap, fox::Recordset& recordset, size_t column, TableReach* reach);
  // A value refused: counted, and noted with the column refusals.
  void Refused(ErrorTrap& trap, size_t column, const std::string& field, const fox::Table::Refusal& refusal);
  // The column's name as the recordset reports it, asked once per table.
  const std::string& ColumnName(fox::Recordset& recordset, size_t column);
  // The container's record rule and the restrict rules of its relations
  // over the record as edited: when one refuses, the record's changes are
  // taken back and their lines go, the refusal is told (once, then
  // counted), and true is returned.
  bool RecordRuleRefuses(ErrorTrap& trap, fox::Recordset& recordset);
  // Takes back the changes of the current record (none is saved) and their
  // lines, and tells `refusal` (once, then counted) when there is one, for
  // `column` (ColumnRefusals::kWholeTable: the record).
  void RefuseRecord(ErrorTrap& trap, fox::Recordset& recordset,
                    const std::optional<fox::Table::Refusal>& refusal,
                    size_t column = ColumnRefusals::kWholeTable);
  // A save's failure: the records another program's change kept from being
  // saved are read again and changed again (up to SaveSession::kSaveAttempts
  // times each), their first lines withdrawn; the cursor then comes back
  // where it was. Logs and throws what is still not saved.
  void SaveFailed(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                  const fox::SaveError& failure);
  // Writes the records planned so far (those held back done again), then
  // has the cascades of those saved carried out.
  void SettleCascades(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset);
  // "The change to record 17 of table 'x' was not saved: <cause>."
  static std::string NotSavedText(uint32_t recno, const std::string& table, const std::string& cause);
  // Writes a change log line for each record of the walked table a save
  // failure names, and takes them off the tally.
  void LogNotSaved(const std::string& table, const fox::SaveError& failure);

  const RunRequest request_;
  Toolkit& toolkit_;
  RunObserver no_observer_;
  RunObserver& observer_;
  RunTally tally_;
  // Its log and journal open from the run's first change to its end.
  SaveSession session_;
  ColumnRefusals refusals_;                // of the table being walked
  CodeNotRun code_not_run_;                // the tables changed without their code, told
  CandidateKeys keys_;                     // the keys of its candidate tags
  KeyCascade cascade_;                     // its key changes' cascades
  FindTextSnapshot snapshot_;              // the records and fields that may hold a find text
  FieldEdit field_;                        // the field being changed
  uint32_t journal_table_ = 0;             // the table being walked, as the journal numbers it
  std::vector<std::string> column_names_;  // of the table being walked, as first needed
  bool record_touched_ = false;            // a pair changed a field of the current record
  std::vector<size_t> edited_;             // the columns a record's edit changes
  // A change log line or journal entry could not be written: the run stops.
  bool log_failed_ = false;
  std::string run_log_path_;  // the run log, once the run is finished
  // The change log or the journal could not be made at the first change:
  // the run stopped before changing anything, and is refused.
  bool unopened_ = false;
  // A save failed for want of room (a full disk, a memo file at its 2 GB
  // limit): told once, and the run stops, since every later save would fail.
  bool no_room_ = false;

  std::string undo_journal_;
  uint64_t undo_journal_changes_ = 0;
  int reports_ = 0;
  std::vector<TableReach> reach_;
};

}  // namespace quillon
