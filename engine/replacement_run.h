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
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "access/foxpro_module.h"
#include "base/error_report.h"
#include "base/toolkit.h"
#include "data/table/table.h"
#include "data/util/error.h"
#include "engine/change_log.h"
#include "engine/undo_journal.h"

namespace fox {
class Connection;
class Recordset;
}  // namespace fox

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

// What a run did, counted as it went.
struct RunTally {
  int tables = 0;         // tables walked
  int64_t changed = 0;    // fields whose stored value changed and was saved (each with its lines)
  int64_t refused = 0;    // new values a field refused
  int64_t not_saved = 0;  // records whose changes could not be saved
  int64_t cascaded = 0;   // of `changed`, child keys that took their parent's new key
};

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
      : live_(inputs), toolkit_(toolkit), mode_(mode) {}
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
  Walk WalkTable(ErrorTrap& trap, int row, fox::Connection& connection, fox::Recordset& recordset);
  Walk WalkRecords(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, TableReach* reach);
  // Applies the pairs to every field of the current record.
  Walk EditRecord(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t field_count,
                  TableReach* reach);
  // A save's failure: the records another program's change kept from being
  // saved are read again and changed again (up to kSaveAttempts times each),
  // their first lines withdrawn; the cursor then comes back where it was.
  // Logs and throws what is still not saved.
  void SaveFailed(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                  const fox::SaveError& failure);
  static constexpr int kSaveAttempts = 3;
  // True when the current record holds none of the find texts the inputs give
  // now (remembered as the snapshot), so that its fields may be passed over.
  bool RecordHoldsNoFindText(fox::Recordset& recordset);
  // Moves the recordset past records that hold none of those find texts, a
  // span at a time; true when it moved.
  bool PassOverRecords(fox::Recordset& recordset);
  // Reads the tab and the find texts into the snapshot.
  void TakeSnapshot();
  // Applies find_ and replace_ to field `column` of the current record;
  // returns true when the find text was found. `holds`: the field is known
  // to hold the find text (see Holds), which is then not searched again.
  bool ApplyPair(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset, size_t column,
                 bool holds = false);

  // Finds out, when the run reaches a table, which of its columns can never
  // change (and whether that is so of the whole table, for one reason);
  // they are passed over. A value a field refuses is reported the first
  // time for its column and reason; the others are counted and told in one
  // report when the run leaves the table.
  void NoteColumnRefusals(ErrorTrap& trap, fox::Recordset& recordset);
  // A column that cannot change is told as a refusal only when one of its
  // values holds a find text: counted as refused, reported once for the
  // column (once for the table when no column can change).
  void RefuseIfFound(ErrorTrap& trap, fox::Recordset& recordset, size_t column, TableReach* reach);
  static constexpr char kNoTextForm = 1, kCannotChange = 2;       // column_refused_
  static constexpr size_t kWholeTable = static_cast<size_t>(-1);  // a Repeat of the table's refusal
  // The column's name as the recordset reports it, asked once per table.
  const std::string& ColumnName(fox::Recordset& recordset, size_t column);
  void NoteRefusedValue(ErrorTrap& trap, size_t column, const std::string& field,
                        const fox::Table::Refusal& refusal);
  void TellRepeatedRefusals(ErrorTrap& trap, const std::string& table);
  // After the pairs found field `column` of the current record: when its
  // value is as it was read, gives it back its stored bytes (it is not
  // saved) and returns false; otherwise counts it, logs its lines and
  // returns true.
  bool KeepField(ErrorTrap& trap, fox::Recordset& recordset, size_t column);
  // "The change to record 17 of table 'x' was not saved: <cause>."
  static std::string NotSavedText(uint32_t recno, const std::string& table, const std::string& cause);
  // Writes a change log line for each record a save failure names.
  void LogNotSaved(const std::string& table, const fox::SaveError& failure);
  void LogNotSaved(const std::string& table, const fox::SaveError& failure, uint32_t journal_table);
  // Puts the changed fields of the current record in the undo journal, held
  // until the record is written.
  // The container's record rule and the restrict rules of its relations
  // over the record as edited: when one refuses, the record's changes are
  // taken back and their lines go, the refusal is told (once, then
  // counted), and true is returned.
  bool RecordRuleRefuses(ErrorTrap& trap, fox::Recordset& recordset);
  void JournalRecord(fox::Recordset& recordset, uint32_t journal_table);
  // Takes back the changes of the current record (none is saved) and their
  // lines, and tells `refusal` (once, then counted) when there is one.
  void RefuseRecord(ErrorTrap& trap, fox::Recordset& recordset,
                    const std::optional<fox::Table::Refusal>& refusal);
  // The journal's number for `table` (opened as `t`), added once.
  uint32_t JournalTableOf(const std::string& table, const fox::Table& t);

  // Referential integrity's cascades. When the current record's change
  // changes its key in a relation whose update rule is cascade, every child
  // record holding the old key takes the new one (and their own children
  // after them): each is locked (held), read afresh and checked with its
  // table's rules before anything is written, and any refusal refuses the
  // record's change. Once the record itself is written, the children are
  // changed through their tables' own saves, each field with its line and
  // journal entry. A field changed so is passed over when the walk reaches
  // it: it took its parent's new key, which is final.
  struct CascadeStep {
    std::string table;  // the child table, as the container names it
    uint32_t recno = 0;
    size_t column = 0;
    std::string old_value, new_value;
    std::string tag, old_key, new_key;
  };
  struct CascadeTable {
    std::shared_ptr<fox::Recordset> recordset;  // shared: its type is complete only where it is made
    std::string name;
    uint32_t journal_table = 0;
    std::vector<std::string> columns;  // field names, for the lines
  };
  // Plans the current record's cascades; false when they refuse its change
  // (then taken back and told). The plan waits (cascade_plans_) until
  // SettleCascades.
  bool PlanCascades(ErrorTrap& trap, fox::Recordset& recordset);
  std::optional<fox::Table::Refusal> PlanCascadesOf(fox::Recordset& parent, const std::string& top,
                                                    std::vector<CascadeStep>* steps,
                                                    std::vector<std::string>* chain);
  CascadeTable& CascadeTableOf(const std::string& name);
  // Writes the records planned so far, then carries out the cascades of
  // those that were saved; the children are held until then.
  void SettleCascades(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset);
  void CarryOutCascades(ErrorTrap& trap, const std::string& parent_table,
                        const std::map<uint32_t, std::vector<CascadeStep>>& plans);
  // Drops the plans (a stop) and closes the child tables.
  void CloseCascadeTables(ErrorTrap& trap);
  bool Cascaded(uint32_t recno, size_t column) const;
  fox::Connection* walk_connection_ = nullptr;                  // the table being walked's
  std::string walk_table_;                                      // its name, lower case
  std::map<std::string, CascadeTable> cascade_tables_;          // by lower-case name
  std::map<uint32_t, std::vector<CascadeStep>> cascade_plans_;  // by record of the walked table
  // How many records' cascades wait before they are carried out: the
  // parents written, then their children, each with one flush.
  static constexpr size_t kCascadeBatch = 1024;
  // The child fields the plans waiting will change (table, FieldId), with
  // the parent record of each: a field is planned once.
  std::map<std::pair<std::string, uint64_t>, uint32_t> planned_;
  std::set<uint32_t> not_saved_;  // of the walked table's records, while plans wait
  std::map<std::string, std::unordered_set<uint64_t>> cascaded_;  // by lower-case table: recno << 32 | column
  const std::unordered_set<uint64_t>* cascaded_here_ = nullptr;   // the walked table's
  std::map<std::string, uint32_t> journal_tables_;                // by lower-case table
  // Withdraws the journal entries and change log lines of records not saved
  // (to be changed again, or not at all); returns how many lines went.
  size_t WithdrawChanges(const std::vector<uint32_t>& records);

  RunInputs& live_;
  FixedInputs inputs_;  // live_ as it was when the run started
  Toolkit& toolkit_;
  // Saves of each record of the table being walked that another program's
  // change held back.
  std::unordered_map<uint32_t, int> save_attempts_;
  RunTally tally_;
  std::function<void(const RunTally&)> on_finished_;
  std::vector<char>
      column_refused_;  // by column, for the table being walked: 0, kNoTextForm or kCannotChange
  std::vector<std::optional<fox::Table::Refusal>> column_refusals_;  // why, for kCannotChange
  std::optional<fox::Table::Refusal> table_refusal_;  // when no column can change, for one reason
  std::vector<std::string> column_names_;             // by column, as first needed for a line
  // The change log lines of the field being changed, one per pair that
  // found it (field_lines_[0, field_lines_used_)), logged by KeepField.
  std::vector<std::string> field_lines_;
  size_t field_lines_used_ = 0;
  bool field_is_memo_ = false;
  // Its text as first read and as last assigned (memos; every field in a
  // dry run, whose latest text is pending_).
  std::string field_before_, field_after_;
  std::string line_time_;  // its date and time, made once a second
  std::time_t line_second_ = -1;
  struct Repeat {
    size_t column;
    std::string field;
    std::string reason;
    int64_t more = 0;  // refusals after the first, which was reported
  };
  std::vector<Repeat> repeats_;
  bool log_failed_ = false;
  // A save failed for want of room (a full disk, a memo file at its 2 GB
  // limit): told once, and the run stops, since every later save would fail.
  bool no_room_ = false;
  bool allow_missing_index_ = false;
  bool allow_triggers_ = false;  // a change log line could not be written: the run stops
  // Open from the run's first change log line to its end.
  ChangeLog change_log_;
  UndoJournal journal_;
  uint32_t journal_table_ = 0;  // the table being walked, as the journal numbers it
  std::string journal_folder_;
  bool write_journal_ = true;
  std::string undo_journal_;
  uint64_t undo_journal_changes_ = 0;
  RunMode mode_;
  int reports_ = 0;
  std::vector<TableReach> reach_;
  std::function<void(const TableReach&)> on_table_walked_;
  RecordReached on_record_reached_;

  // Buffers reused from field to field, so the walk does not allocate for
  // every field.
  std::string find_;
  std::string replace_;
  std::string result_;
  std::string stored_before_, stored_after_;  // a journalled field's stored forms
  std::vector<size_t> edited_;                // the columns a record's edit changes
  // Dry run: the field's text as the pairs before left it.
  std::string pending_;
  // A dry run's new values of the record walked, for its record rule.
  std::vector<std::pair<size_t, std::string>> dry_values_;
  // The tab and find texts as taken for the run; not current until taken,
  // nor after a failure to search with them.
  bool snapshot_current_ = false;
  int snapshot_tab_ = -1;
  std::vector<std::string> snapshot_finds_;
  // For the current record: which snapshot find texts it holds nowhere,
  // whether a pair has changed one of its fields since that was found, and
  // which field: the pairs change only the field they are applied to, so
  // what was found in the others still stands.
  std::vector<char> absent_;
  std::vector<std::vector<char>> may_columns_;  // by find text: the columns that may hold it
  bool record_touched_ = false;
  static constexpr size_t kNoColumn = static_cast<size_t>(-1);
  size_t touched_column_ = kNoColumn;
  // Whether pair `pair` need not be tried on field `column` of the record,
  // and whether the field is known to hold its find text.
  bool Skippable(int pair, size_t column) const;
  bool Holds(int pair, size_t column) const;
  int KnownFlag(int pair, size_t column) const;
  bool has_pending_ = false;
};

}  // namespace quillon
