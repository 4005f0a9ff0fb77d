// The replacement run: what "Start Replacing" (PushButton1_Click of Form2)
// does. It walks every ticked table of the table list, every record and every
// field, and where a field's text holds a find text it replaces every
// occurrence, trims spaces at both ends and assigns the result; a field whose
// stored value the pairs leave changed gets a change log line per pair that
// found it, and moving to the next record saves it. The run ends with
// "Done.".
//
// The run takes what it needs from RunInputs once, when it starts (the ticks
// and names of the table list, the selected tab, the single pair, the rows of
// the set list, the data source: FixedInputs), so the main window, the tests
// and the batch command all drive this same code, and nothing the user does
// in the window while the run goes on changes what it does.
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
#include "engine/column_refusals.h"
#include "engine/field_edit.h"
#include "engine/find_text_snapshot.h"
#include "engine/key_cascade.h"
#include "engine/run_tally.h"
#include "engine/save_session.h"

namespace quillon {

// The main window's state as the run reads it. Rows count from 0. Functions
// returning a reference return one that stays valid until the next call of the
// same function. Any of them may throw; the run reports the failure.
class RunInputs {
 public:
  virtual ~RunInputs() = default;

  // The table list (List1): number of rows, tick and text of each row.
  virtual int TableCount() const = 0;
  virtual bool IsTableTicked(int row) const = 0;
  virtual std::string TableName(int row) const = 0;

  // The selected tab (TabControl1): 0 for the single pair, 1 for the set list.
  virtual int SelectedTab() const = 0;

  // The single pair: find text (Text1) and replace text (Text2).
  virtual const std::string& FindText() const = 0;
  virtual const std::string& ReplaceText() const = 0;

  // The set list: find texts (rows of Combo1) and replace texts (rows of
  // Combo2), paired by row.
  virtual int FindListCount() const = 0;
  virtual const std::string& FindListItem(int row) const = 0;
  virtual int ReplaceListCount() const = 0;
  virtual const std::string& ReplaceListItem(int row) const = 0;

  // The data source as the data source window holds it now.
  virtual const DataSourceView& DataSource() const = 0;

  // The main window's pointer: busy while the run is under way.
  virtual void SetBusyPointer(bool busy) = 0;

  // True once the user has closed the program; events processed in a yield
  // set it. The run then stops at once.
  virtual bool Closing() const = 0;
};

// A table's name as the run compares names: ASCII letters in lower case.
inline std::string LowerAscii(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

// What one run works on, taken from the window once when the run starts:
// the ticked tables in list order, the tab, the single pair, the set list and
// the data source. The busy pointer and Closing still go to the window.
class FixedInputs : public RunInputs, public DataSourceView {
 public:
  FixedInputs() = default;
  // Inputs given whole, with no window behind them (the batch command's):
  // every table of `tables` ticked, the pair or the sets of `tab`.
  FixedInputs(std::vector<std::string> tables, int tab, std::string find, std::string replace,
              std::vector<std::string> finds, std::vector<std::string> replaces,
              const DataSourceView& source);

  // Reads everything from `live` now. A read that fails is reported through
  // `trap` (numbered as the run numbers that read) and leaves out what it
  // would have given: the row, the pair or the set list.
  void Take(RunInputs& live, ErrorTrap& trap);
  // Reads the data source from the window given to Take; a run does so
  // once, when it has tables to open.
  void TakeDataSource(ErrorTrap& trap);

  int TableCount() const override { return static_cast<int>(tables_.size()); }
  bool IsTableTicked(int) const override { return true; }
  std::string TableName(int row) const override { return tables_.at(static_cast<size_t>(row)); }
  int SelectedTab() const override { return tab_; }
  const std::string& FindText() const override { return find_; }
  const std::string& ReplaceText() const override { return replace_; }
  int FindListCount() const override { return static_cast<int>(finds_.size()); }
  const std::string& FindListItem(int row) const override { return finds_.at(static_cast<size_t>(row)); }
  int ReplaceListCount() const override { return static_cast<int>(replaces_.size()); }
  const std::string& ReplaceListItem(int row) const override {
    return replaces_.at(static_cast<size_t>(row));
  }
  const DataSourceView& DataSource() const override { return *this; }
  void SetBusyPointer(bool busy) override {
    if (live_) live_->SetBusyPointer(busy);
  }
  bool Closing() const override { return live_ && live_->Closing(); }

  // DataSourceView: the data source as it was when the run started.
  bool OptionDBC1() const override { return dbc_; }
  std::string DBCPath1() const override { return dbc_path_; }
  std::string FolderText() const override { return folder_; }

 private:
  RunInputs* live_ = nullptr;
  std::vector<std::string> tables_;
  int tab_ = -1;
  std::string find_, replace_;
  std::vector<std::string> finds_, replaces_;
  bool dbc_ = false;
  std::string dbc_path_, folder_;
};

enum class RunMode {
  // The run as the window does it.
  kReplace,
  // The same walk with nothing written: tables are opened read-only, no line
  // is logged and nothing is assigned; the run counts, per table and column,
  // the fields in which a find text is found. Pairs chain on the replaced
  // text as the run would assign it; each new text is checked against the
  // field's type and width without being assigned, and the texts a column
  // would refuse are counted with the reason, as are the columns that
  // cannot be changed at all.
  kDryRun,
};

enum class RunEnd {
  kDone,     // "Done." was shown
  kRefused,  // an empty find text was refused before anything was opened
  kStopped,  // the program was closed during the run
};

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
  static constexpr char kModule[] = "Form2";
  static constexpr char kProcedure[] = "PushButton1_Click";
  static constexpr char kDone[] = "Done.";
  static constexpr char kEmptyFindText[] = "Please enter the text to find.";

  // Both are borrowed and must outlive the run.
  ReplacementRun(RunInputs& inputs, Toolkit& toolkit, RunMode mode = RunMode::kReplace)
      : live_(inputs), toolkit_(toolkit), cascade_(session_, tally_), mode_(mode) {}
  ~ReplacementRun();

  // Runs once. Every failure is shown as an error report naming Form2 and
  // PushButton1_Click and the run goes on: a table that cannot be opened is
  // left after one report, a record that cannot be saved keeps what is on
  // disk after one report, a field that refuses its new text keeps its value.
  //
  // An empty find text is refused before anything is opened, with a message
  // (kEmptyFindText for the single pair, EmptySetMessage for the set list);
  // nothing is logged and no "Done." follows.
  //
  // When the program closes during the run, the run stops at the next field:
  // the record being edited is dropped unsaved, so every record is either
  // wholly as before or wholly replaced.
  RunEnd Run();

  // Lets the run change tables whose structural index file is missing; each
  // one changed is then reported, saying that its index must be rebuilt.
  void AllowMissingIndex(bool allow) { allow_missing_index_ = allow; }
  // Whether tables of a container whose update trigger runs code Quillon
  // cannot run are changed anyway (each such table is told when changed).
  void AllowTriggers(bool allow) { allow_triggers_ = allow; }

  // Error reports shown by the last run.
  int reports() const { return reports_; }
  // What the last run did.
  const RunTally& tally() const { return tally_; }
  // Optional: called once the walk is over and the change log closed, just
  // before "Done." is shown, so that a window can show how the run ended.
  void OnFinished(std::function<void(const RunTally&)> callback) { on_finished_ = std::move(callback); }

  // The undo journal of the last run: its path, "" when the run saved no
  // change (it then leaves no journal), and how many changes it holds.
  const std::string& undo_journal() const { return undo_journal_; }
  uint64_t undo_journal_changes() const { return undo_journal_changes_; }
  // Whether runs write an undo journal (they do unless told not to).
  void WriteUndoJournal(bool write) { write_journal_ = write; }
  // The folder the journal is made in; the change log's folder unless set.
  void SetJournalFolder(std::string folder) { journal_folder_ = std::move(folder); }

  // Dry run: the walked tables in order.
  const std::vector<TableReach>& reach() const { return reach_; }

  // Dry run: called with each walked table's counts as soon as the table is
  // closed.
  void OnTableWalked(std::function<void(const TableReach&)> callback) {
    on_table_walked_ = std::move(callback);
  }

  // Where the walk is: the table as the run opened it, the number of the
  // record reached in that table (from 1, deleted records counted, as on
  // disk) and the table's number of records on disk.
  using RecordReached = std::function<void(const std::string& table, uint32_t record, uint32_t records)>;
  // Optional: called as the walk reaches each record, before its fields, so
  // that a window can show how far the run has come. It must not throw.
  void OnRecordReached(RecordReached callback) { on_record_reached_ = std::move(callback); }

  // The refusal message for an empty find text in `inputs` as they are now,
  // or "" when a run may start.
  static std::string Refusal(const RunInputs& inputs);

  // The refusal for set `index` (from 0) of the set list, the first whose find
  // text is empty.
  static std::string EmptySetMessage(int index, const std::string& replace);

 private:
  enum class Walk { kGoOn, kStop };
  // Opens the connection and table of row `row` and walks it; closes both.
  Walk WalkTable(ErrorTrap& trap, int row, fox::Connection& connection, fox::Recordset& recordset);
  // Tells what the table was changed without (its index, its trigger).
  void TellChangedWithout(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset);
  Walk WalkRecords(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, TableReach* reach);
  // Applies the pairs to every field of the current record.
  Walk EditRecord(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t field_count,
                  TableReach* reach);
  // Applies the pairs of the inputs to field `column` of the current record;
  // true when one of them found it.
  bool ApplyPairs(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t column);
  // Applies field_.find and field_.replace to field `column` of the current
  // record; returns true when the find text was found. `holds`: the field is
  // known to hold the find text, which is then not searched again.
  bool ApplyPair(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t column,
                 bool holds = false);
  // Dry run: counts field `column`, found, in `reach` (unless its rule
  // refuses its new value); false when refused.
  bool ReachField(ErrorTrap& trap, fox::Recordset& recordset, size_t column, TableReach* reach);
  // Dry run: the record's rule and relations over its new values, and the
  // children a key change would reach.
  void ReachRecord(ErrorTrap& trap, fox::Recordset& recordset, TableReach* reach);
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
  // lines, and tells `refusal` (once, then counted) when there is one.
  void RefuseRecord(ErrorTrap& trap, fox::Recordset& recordset,
                    const std::optional<fox::Table::Refusal>& refusal);
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

  RunInputs& live_;
  FixedInputs inputs_;  // live_ as it was when the run started
  Toolkit& toolkit_;
  RunTally tally_;
  // Open from the run's first change log line to its end.
  SaveSession session_;
  ColumnRefusals refusals_;                // of the table being walked
  KeyCascade cascade_;                     // its key changes' cascades
  FindTextSnapshot snapshot_;              // the records and fields that may hold a find text
  FieldEdit field_;                        // the field being changed
  uint32_t journal_table_ = 0;             // the table being walked, as the journal numbers it
  std::vector<std::string> column_names_;  // of the table being walked, as first needed
  bool record_touched_ = false;            // a pair changed a field of the current record
  // A dry run's new values of the record walked, for its record rule.
  std::vector<std::pair<size_t, std::string>> dry_values_;
  std::vector<size_t> edited_;  // the columns a record's edit changes
  // A change log line or journal entry could not be written: the run stops.
  bool log_failed_ = false;
  // A save failed for want of room (a full disk, a memo file at its 2 GB
  // limit): told once, and the run stops, since every later save would fail.
  bool no_room_ = false;

  RunMode mode_;
  bool allow_missing_index_ = false;
  bool allow_triggers_ = false;
  std::string journal_folder_;
  bool write_journal_ = true;
  std::string undo_journal_;
  uint64_t undo_journal_changes_ = 0;
  int reports_ = 0;
  std::vector<TableReach> reach_;
  std::function<void(const RunTally&)> on_finished_;
  std::function<void(const TableReach&)> on_table_walked_;
  RecordReached on_record_reached_;
};

}  // namespace quillon
