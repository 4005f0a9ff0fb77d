#include "engine/replacement_run.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <optional>
#include <stdexcept>

#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/file/utf8_path.h"
#include "engine/change_log.h"
#include "engine/text_replace.h"

namespace quillon {

// The run's statements, as its error reports number them:
//   100 check for an empty find text     122 read the selected tab
//   102 busy pointer                     124 read the single pair
//   104 count the table list's rows      126 count the set list's rows
//   106 read a row's tick                128 read a set
//   108 open the connection              130 read and search the field
//   110 read the table name              132 write the change log line
//   112 open the recordset               134 replace and trim
//   114 test for an empty table          136 assign the new text
//   116 count the fields                 138 move on (saves the record)
//   118 test for the last record         140 close the recordset
//   120 yield                            142 close the connection
//   144 default pointer                  146 "Done."

std::string ReplacementRun::EmptySetMessage(int index, const std::string& replace) {
  return "Set " + std::to_string(index + 1) + " has no text to find (its replace text is \"" + replace +
         "\"). Please enter a text to find for it or remove it.";
}

std::string ReplacementRun::Refusal(const RunInputs& inputs) {
  const int tab = inputs.SelectedTab();
  if (tab == 0) return inputs.FindText().empty() ? kEmptyFindText : "";
  if (tab != 1) return "";
  const int count = inputs.FindListCount();
  for (int k = 0; k < count; ++k) {
    if (!inputs.FindListItem(k).empty()) continue;
    return EmptySetMessage(k, k < inputs.ReplaceListCount() ? inputs.ReplaceListItem(k) : std::string());
  }
  return "";
}

std::string RunSummary(const RunTally& tally, const Toolkit& toolkit) {
  std::string text = toolkit.Counted(tally.tables, "table", "tables") + ", " +
                     toolkit.Counted(tally.changed, "field changed", "fields changed");
  if (tally.cascaded > 0) text += " (" + toolkit.FormatCount(tally.cascaded) + " by cascade)";
  if (tally.refused > 0) text += ", " + toolkit.FormatCount(tally.refused) + " refused";
  if (tally.not_saved > 0)
    text += ", " + toolkit.Counted(tally.not_saved, "record not saved", "records not saved");
  return text;
}

FixedInputs::FixedInputs(std::vector<std::string> tables, int tab, std::string find, std::string replace,
                         std::vector<std::string> finds, std::vector<std::string> replaces,
                         const DataSourceView& source)
    : tables_(std::move(tables)),
      tab_(tab),
      find_(std::move(find)),
      replace_(std::move(replace)),
      finds_(std::move(finds)),
      replaces_(std::move(replaces)),
      dbc_(source.OptionDBC1()),
      dbc_path_(source.DBCPath1()),
      folder_(source.FolderText()) {}

void FixedInputs::Take(RunInputs& live, ErrorTrap& trap) {
  live_ = &live;
  tables_.clear();
  finds_.clear();
  replaces_.clear();
  tab_ = -1;
  dbc_ = false;
  dbc_path_.clear();
  folder_.clear();
  int rows = 0;
  trap.Step(104, [&] { rows = live.TableCount(); });
  for (int row = 0; row < rows; ++row) {
    bool ticked = false;
    if (!trap.Step(106, [&] { ticked = live.IsTableTicked(row); }) || !ticked) continue;
    trap.Step(110, [&] { tables_.push_back(live.TableName(row)); });
  }
  trap.Step(122, [&] { tab_ = live.SelectedTab(); });
  trap.Step(124, [&] {
    find_ = live.FindText();
    replace_ = live.ReplaceText();
  });
  // A set list that cannot be read whole is not used at all: some of its
  // pairs without the others would give values nobody asked for.
  const bool sets_read = trap.Step(126, [&] {
    const int pairs = live.FindListCount();
    for (int k = 0; k < pairs; ++k) {
      finds_.push_back(live.FindListItem(k));
      replaces_.push_back(k < live.ReplaceListCount() ? live.ReplaceListItem(k) : std::string());
    }
  });
  if (!sets_read) {
    finds_.clear();
    replaces_.clear();
  }
}

void FixedInputs::TakeDataSource(ErrorTrap& trap) {
  trap.Step(108, [&] {
    const DataSourceView& source = live_->DataSource();
    dbc_ = source.OptionDBC1();
    dbc_path_ = source.DBCPath1();
    folder_ = source.FolderText();
  });
}

RunEnd ReplacementRun::Run() {
  ErrorTrap trap(toolkit_, kModule, kProcedure);
  reach_.clear();
  tally_ = RunTally();
  snapshot_current_ = false;
  RunEnd end = RunEnd::kDone;
  inputs_.Take(live_, trap);

  std::string refusal;
  trap.Step(100, [&] { refusal = Refusal(inputs_); });
  log_failed_ = false;
  no_room_ = false;
  // No change without its line: the change log is opened before any table
  // is, and a run whose log cannot be written changes nothing.
  undo_journal_.clear();
  undo_journal_changes_ = 0;
  if (refusal.empty() && mode_ != RunMode::kDryRun && !trap.Step(100, [&] {
        try {
          change_log_.Open();
        } catch (const std::exception& e) {
          throw std::runtime_error(std::string(e.what()) +
                                   " Nothing was changed: a run writes its change log first.");
        }
        try {
          if (write_journal_) {
            journal_.Create(journal_folder_.empty() ? ChangeLogFolder() : journal_folder_,
                            std::time(nullptr));
          }
        } catch (const std::exception& e) {
          throw std::runtime_error(std::string(e.what()) +
                                   " Nothing was changed: a run writes its undo journal first.");
        }
      })) {
    end = RunEnd::kRefused;
  } else if (!refusal.empty()) {
    toolkit_.ShowMessage(refusal);
    end = RunEnd::kRefused;
  } else {
    fox::Connection connection;
    connection.allow_missing_index = allow_missing_index_;
    fox::Recordset recordset;
    // The journal entries of a batch of saves are durable, and its lines in
    // the change log, before the records are written; the entries are on
    // their way to the disk while the batch's memo values are flushed.
    recordset.BeforeWrite(
        [this](const std::vector<uint32_t>& records) {
          return journal_.Flush() && change_log_.Flush(records);
        },
        [this] { journal_.WriteAhead(); });
    trap.Step(102, [&] { inputs_.SetBusyPointer(true); });
    if (inputs_.TableCount() > 0) inputs_.TakeDataSource(trap);
    int rows = 0;
    trap.Step(104, [&] { rows = inputs_.TableCount(); });
    for (int row = 0; row < rows; ++row) {
      bool ticked = false;
      if (!trap.Step(106, [&] { ticked = inputs_.IsTableTicked(row); }) || !ticked) continue;
      if (WalkTable(trap, row, connection, recordset) == Walk::kStop) {
        end = RunEnd::kStopped;
        break;
      }
    }
    trap.Step(132, [&] { change_log_.Close(); });
    if (mode_ != RunMode::kDryRun) {
      trap.Step(132, [&] {
        undo_journal_changes_ = journal_.changes();
        const std::string path = journal_.path();
        journal_.Close();
        if (undo_journal_changes_ > 0) undo_journal_ = path;
      });
    }
    if (log_failed_) {
      toolkit_.ShowMessage(
          "The run stopped because its change log could not be written: the record being changed was left as "
          "it "
          "was, and records whose lines were lost were not saved.");
    }
    if (end == RunEnd::kDone && on_finished_) on_finished_(tally_);
    if (end == RunEnd::kDone) {
      trap.Step(144, [&] { inputs_.SetBusyPointer(false); });
      trap.Step(146, [&] { toolkit_.ShowMessage(kDone); });
    }
  }
  reports_ = trap.failures();
  return end;
}

ReplacementRun::Walk ReplacementRun::WalkTable(ErrorTrap& trap, int row, fox::Connection& connection,
                                               fox::Recordset& recordset) {
  Walk walk = Walk::kGoOn;
  // A table that cannot be reached is reported once and left: the run goes on
  // with closing it and with the next ticked table.
  if (!trap.Step(108, [&] { connection.Open(ConnectionStringOf(inputs_.DataSource())); })) return walk;
  std::string table;
  TableReach* reach = nullptr;
  if (trap.Step(110, [&] { table = inputs_.TableName(row); })) {
    const bool opened = trap.Step(112, [&] {
      recordset.Open("SELECT * FROM " + table, connection,
                     mode_ == RunMode::kDryRun ? fox::kLockReadOnly : fox::kLockOptimistic);
    });
    if (opened && mode_ != RunMode::kDryRun && recordset.table() != nullptr) {
      trap.Step(112, [&] { journal_table_ = JournalTableOf(table, *recordset.table()); });
    }
    walk_connection_ = &connection;
    walk_table_ = LowerAscii(table);
    cascaded_here_ = nullptr;
    if (const auto at = cascaded_.find(walk_table_); at != cascaded_.end()) cascaded_here_ = &at->second;
    if (opened) {
      ++tally_.tables;
      const int64_t changed_before = tally_.changed;
      const std::string missing = recordset.table() != nullptr ? recordset.table()->missing_index() : "";
      const std::string unnamed = recordset.table() != nullptr ? recordset.table()->unnamed_index() : "";
      // A trigger let through (--without-triggers) is told for each table
      // changed without it.
      const std::string trigger =
          allow_triggers_ && recordset.table() != nullptr ? recordset.ForeignTrigger() : "";
      // A run that stopped before it finished left the index checked and
      // repaired as the table opened: the user hears what was done.
      if (recordset.table() != nullptr && !recordset.table()->repair_notice().empty()) {
        toolkit_.ShowMessage(recordset.table()->repair_notice());
      }
      if (mode_ == RunMode::kDryRun) reach = &reach_.emplace_back(TableReach{table, {}, {}, {}, 0, {}});
      walk = WalkRecords(trap, table, recordset, reach);
      if (!missing.empty() && tally_.changed > changed_before) {
        trap.Step(112, [&] {
          throw fox::Error(
              fox::ErrorKind::kNotFound,
              "Table '" + table + "' was changed without its structural index \"" + missing +
                  "\", which is missing: rebuild the index (REINDEX in FoxPro) before using the table.");
        });
      }
      if (!trigger.empty() && tally_.changed > changed_before) {
        trap.Step(112, [&] {
          throw fox::Error(fox::ErrorKind::kUnsupported,
                           "Table '" + table + "' was changed without running its update trigger " + trigger +
                               ": check what that trigger would have done.");
        });
      }
      if (!unnamed.empty() && tally_.changed > changed_before) {
        trap.Step(112, [&] {
          throw fox::Error(
              fox::ErrorKind::kNotFound,
              "Table '" + table + "' was changed, but not its index file \"" + unnamed +
                  "\", which its header does not name as its structural index: if a program opens "
                  "that index, rebuild it (REINDEX in FoxPro) first.");
        });
      }
    }
  }
  // The saves still waiting are written, and those another program's change
  // held back done again, while the table is open; closing then drops an
  // edit not yet saved, which is what stopping needs.
  if (walk == Walk::kGoOn && mode_ != RunMode::kDryRun && recordset.is_open()) {
    trap.Step(140, [&] {
      try {
        recordset.Flush();
      } catch (const fox::SaveError& failure) {
        SaveFailed(trap, table, recordset, failure);
      }
    });
    if (!cascade_plans_.empty()) SettleCascades(trap, table, recordset);
    if (no_room_) walk = Walk::kStop;
  }
  // A stop drops the record being edited: the lines of the fields already
  // changed in it go too, since that change is never saved.
  if (walk == Walk::kStop && mode_ != RunMode::kDryRun && recordset.is_open()) {
    trap.Step(140, [&] {
      if (!recordset.Eof()) tally_.changed -= static_cast<int64_t>(WithdrawChanges({recordset.recno()}));
    });
    // The records saved before the stop are written when the table closes:
    // their cascades are carried out first, so that no child is left with
    // a key its parent no longer holds.
    if (!cascade_plans_.empty()) SettleCascades(trap, table, recordset);
  }
  CloseCascadeTables(trap);
  walk_connection_ = nullptr;
  cascaded_here_ = nullptr;
  trap.Step(140, [&] {
    try {
      recordset.Close();
    } catch (const fox::SaveError& failure) {
      LogNotSaved(table, failure);
      throw;
    }
  });
  save_attempts_.clear();
  if (walk == Walk::kGoOn) TellRepeatedRefusals(trap, table);
  trap.Step(142, [&] { connection.Close(); });
  if (reach && walk == Walk::kGoOn && on_table_walked_) on_table_walked_(*reach);
  return walk;
}

ReplacementRun::Walk ReplacementRun::WalkRecords(ErrorTrap& trap, const std::string& table,
                                                 fox::Recordset& recordset, TableReach* reach) {
  bool at_end = true;
  if (!trap.Step(114, [&] { at_end = recordset.Eof(); }) || at_end) return Walk::kGoOn;
  size_t field_count = 0;
  if (!trap.Step(116, [&] { field_count = recordset.fields().count(); })) return Walk::kGoOn;
  if (reach) {
    for (size_t j = 0; j < field_count; ++j) {
      std::string name;
      trap.Step(116, [&] { name = recordset.fields()[j].name(); });
      reach->columns.push_back(ColumnReach{std::move(name), 0, 0, {}});
    }
  }
  NoteColumnRefusals(trap, recordset);

  const uint32_t records = recordset.table() != nullptr ? recordset.table()->record_count() : 0;
  while (true) {
    if (!trap.Step(118, [&] { at_end = recordset.Eof(); }) || at_end) return Walk::kGoOn;
    // Records that hold no find text are passed over a span at a time, with
    // one yield for each stretch passed over.
    if (PassOverRecords(recordset)) {
      // Reached: the record the walk goes on with, or the last one.
      if (on_record_reached_)
        on_record_reached_(table, recordset.Eof() ? records : recordset.recno(), records);
      trap.Step(120, [&] { toolkit_.Yield(); });
      if (inputs_.Closing()) return Walk::kStop;
      continue;
    }
    if (on_record_reached_) on_record_reached_(table, recordset.recno(), records);
    if (EditRecord(trap, table, recordset, field_count, reach) == Walk::kStop) return Walk::kStop;

    // Moving on saves the record. When the save fails the record keeps what
    // is on disk (another program's change included) and the cursor has
    // moved on; when the next record cannot be read, the table is left.
    if (!trap.Step(138, [&] {
          try {
            recordset.MoveNext();
          } catch (const fox::SaveError& failure) {
            SaveFailed(trap, table, recordset, failure);
          }
        })) {
      if (no_room_) return Walk::kStop;
      bool moved_on = false;
      trap.Step(138, [&] { moved_on = recordset.Eof() || recordset.recno() != 0; });
      if (!moved_on) return Walk::kGoOn;
    }
    // The cascades wait for a few of their parents, so that each batch of
    // parents and of children is written with one flush.
    if (cascade_plans_.size() >= kCascadeBatch) SettleCascades(trap, table, recordset);
    if (no_room_ || log_failed_) return Walk::kStop;
  }
}

ReplacementRun::Walk ReplacementRun::EditRecord(ErrorTrap& trap, const std::string& table,
                                                fox::Recordset& recordset, size_t field_count,
                                                TableReach* reach) {
  bool pass_over = RecordHoldsNoFindText(recordset);
  record_touched_ = false;
  touched_column_ = kNoColumn;
  for (size_t j = 0; j < field_count; ++j) {
    trap.Step(120, [&] { toolkit_.Yield(); });
    if (inputs_.Closing()) return Walk::kStop;
    // Most records hold no find text. Their fields are still yielded to one
    // by one; the run's inputs are fixed, so what was found stands.
    pass_over = pass_over && snapshot_current_;
    if (pass_over) continue;
    if (j < column_refused_.size() && column_refused_[j] != 0) {
      if (column_refused_[j] == kCannotChange) RefuseIfFound(trap, recordset, j, reach);
      continue;
    }
    if (cascaded_here_ && Cascaded(recordset.recno(), j)) continue;
    has_pending_ = false;
    field_lines_used_ = 0;
    field_is_memo_ = recordset.table() != nullptr && recordset.table()->field(j).is_memo();
    bool found = false;
    int tab = -1;
    if (!trap.Step(122, [&] { tab = inputs_.SelectedTab(); })) continue;
    if (tab == 0) {
      if (!trap.Step(124, [&] {
            find_ = inputs_.FindText();
            replace_ = inputs_.ReplaceText();
          })) {
        continue;
      }
      if (!Skippable(0, j) && ApplyPair(trap, table, recordset, j, Holds(0, j))) {
        found = record_touched_ = true;
        touched_column_ = j;
      }
    } else if (tab == 1) {
      int pairs = 0;
      if (!trap.Step(126, [&] { pairs = inputs_.FindListCount(); })) continue;
      for (int k = 0; k < pairs; ++k) {
        if (Skippable(k, j)) continue;
        if (!trap.Step(128, [&] {
              find_ = inputs_.FindListItem(k);
              replace_ = inputs_.ReplaceListItem(k);
            })) {
          continue;
        }
        if (ApplyPair(trap, table, recordset, j, Holds(k, j))) {
          found = record_touched_ = true;
          touched_column_ = j;
        }
      }
    }
    // Only a field whose value the pairs leave changed counts, and is saved
    // and logged: pairs that come back to where they began change nothing.
    if (found) found = mode_ == RunMode::kDryRun ? pending_ != field_before_ : KeepField(trap, recordset, j);
    if (found && mode_ == RunMode::kDryRun) {
      std::optional<fox::Table::Refusal> refusal;
      trap.Step(136, [&] { refusal = recordset.CheckRuleWith(j, pending_); });
      if (refusal && reach) {
        if (reach->columns[j].refused++ == 0) reach->columns[j].refusal = refusal->reason;
        found = false;
      }
      if (found) dry_values_.emplace_back(j, pending_);
    }
    if (found && reach) {
      ColumnReach& column = reach->columns[j];
      ++column.fields;
      if (pending_.size() > column.longest) {
        column.longest = pending_.size();
        column.longest_record = recordset.recno();
      }
    }
    if (log_failed_ || no_room_) return Walk::kStop;
  }
  if (record_touched_ && mode_ != RunMode::kDryRun && RecordRuleRefuses(trap, recordset)) return Walk::kGoOn;
  if (record_touched_ && mode_ != RunMode::kDryRun && !PlanCascades(trap, recordset)) return Walk::kGoOn;
  if (mode_ == RunMode::kDryRun && reach && !dry_values_.empty()) {
    std::optional<fox::Table::Refusal> refusal;
    std::vector<fox::Recordset::KeyCascade> cascades;
    trap.Step(136, [&] { refusal = recordset.CheckRecordRuleWith(dry_values_); });
    if (!refusal) trap.Step(136, [&] { refusal = recordset.CheckRelationsWith(dry_values_); });
    if (!refusal) trap.Step(136, [&] { cascades = recordset.KeyCascadesWith(dry_values_, &refusal); });
    if (refusal) {
      // The record's fields would keep their values after all.
      for (const auto& [column, text] : dry_values_) --reach->columns[column].fields;
      if (reach->records_refused++ == 0) reach->record_refusal = refusal->reason;
    }
    // The children a key change would reach (those of the first relation
    // level; a dry run does not follow them further).
    for (const fox::Recordset::KeyCascade& cascade : refusal ? decltype(cascades){} : cascades) {
      int64_t holding = 0;
      trap.Step(136, [&] { holding = recordset.ChildrenHolding(cascade.relation, cascade.old_key); });
      std::string child = cascade.relation.child_table + " (tag " + cascade.relation.child_tag + ")";
      auto at = std::find_if(reach->cascades.begin(), reach->cascades.end(),
                             [&](const TableReach::Cascade& c) { return c.child == child; });
      if (at == reach->cascades.end()) at = reach->cascades.insert(at, TableReach::Cascade{child, 0});
      if (holding > 0) at->records += holding;
    }
  }
  dry_values_.clear();
  if (record_touched_ && mode_ != RunMode::kDryRun && write_journal_) {
    // A record whose change cannot be journalled is not saved: the run stops.
    if (!trap.Step(132, [&] { JournalRecord(recordset, journal_table_); })) {
      log_failed_ = true;
      return Walk::kStop;
    }
  }
  return Walk::kGoOn;
}

bool ReplacementRun::RecordRuleRefuses(ErrorTrap& trap, fox::Recordset& recordset) {
  // The relations' restrict rules judge the record's keys the same way. A
  // check that could not be made (its error reported) refuses too.
  std::optional<fox::Table::Refusal> refusal;
  bool checked = trap.Step(136, [&] { refusal = recordset.CheckRule(std::nullopt); });
  if (checked && !refusal) checked = trap.Step(136, [&] { refusal = recordset.CheckRelations(); });
  if (checked && !refusal) return false;
  RefuseRecord(trap, recordset, refusal);
  return true;
}

void ReplacementRun::RefuseRecord(ErrorTrap& trap, fox::Recordset& recordset,
                                  const std::optional<fox::Table::Refusal>& refusal) {
  // None of the record's changes is saved, and their lines go.
  trap.Step(134, [&] {
    recordset.EditedColumns(&edited_);
    for (size_t column : edited_) recordset.RevertColumn(column);
  });
  tally_.changed -= static_cast<int64_t>(WithdrawChanges({recordset.recno()}));
  record_touched_ = false;
  if (refusal) NoteRefusedValue(trap, kWholeTable, "", *refusal);
}

uint32_t ReplacementRun::JournalTableOf(const std::string& table, const fox::Table& t) {
  const auto [at, made] = journal_tables_.try_emplace(LowerAscii(table));
  if (!made) return at->second;
  try {
    std::error_code ignored;
    const DataSourceView& source = inputs_.DataSource();
    const std::string catalogue = source.OptionDBC1() ? source.DBCPath1() : source.FolderText();
    at->second = journal_.AddTable(JournalTable{
        source.OptionDBC1(),
        fox::Utf8FromPath(std::filesystem::absolute(fox::PathFromUtf8(catalogue), ignored)), table,
        fox::Utf8FromPath(std::filesystem::absolute(fox::PathFromUtf8(t.path()), ignored))});
  } catch (...) {
    journal_tables_.erase(at);
    throw;
  }
  return at->second;
}

void ReplacementRun::JournalRecord(fox::Recordset& recordset, uint32_t journal_table) {
  recordset.EditedColumns(&edited_);
  if (edited_.empty()) return;
  const uint32_t record = RecordIdentity(*recordset.table(), recordset.RecordBytes(false), edited_);
  for (size_t column : edited_) {
    recordset.StoredForm(column, true, &stored_before_);
    recordset.StoredForm(column, false, &stored_after_);
    journal_.Append(journal_table, recordset.recno(), record, static_cast<uint32_t>(column),
                    ColumnName(recordset, column), stored_before_, stored_after_);
  }
}

size_t ReplacementRun::WithdrawChanges(const std::vector<uint32_t>& records) {
  journal_.NotSaved(journal_table_, records);
  return change_log_.Withdraw(records);
}

// A find text the record holds nowhere, or not in this field, is not found
// there, until a pair changes this field (later pairs may find text an
// earlier one put there). Pairs change only the field they are applied to.
bool ReplacementRun::Skippable(int pair, size_t column) const {
  const int known = KnownFlag(pair, column);
  return known == 0 || (known != -1 && absent_[pair]);
}

// Until a pair changes the field, a field found holding a find text when the
// record was first looked at still holds it.
bool ReplacementRun::Holds(int pair, size_t column) const { return KnownFlag(pair, column) == 2; }

// What RecordHoldsNoFindText found for the pair's find text in the field (0
// none, 1 may, 2 holds), while it still stands; -1 when nothing stands.
int ReplacementRun::KnownFlag(int pair, size_t column) const {
  if (!snapshot_current_ || column == touched_column_ || static_cast<size_t>(pair) >= absent_.size())
    return -1;
  const std::vector<char>& columns = may_columns_[pair];
  return column < columns.size() ? columns[column] : (absent_[pair] ? 0 : 1);
}

bool ReplacementRun::PassOverRecords(fox::Recordset& recordset) {
  if (mode_ == RunMode::kDryRun) return false;
  try {
    if (!snapshot_current_) TakeSnapshot();
    if (snapshot_tab_ != 0 && snapshot_tab_ != 1) return false;
    const uint32_t before = recordset.recno();
    recordset.PassOverRecordsHoldingNone(snapshot_finds_);
    return recordset.Eof() || recordset.recno() != before;
  } catch (...) {
    snapshot_current_ = false;
    return false;  // the record-by-record walk reports what fails
  }
}

bool ReplacementRun::RecordHoldsNoFindText(fox::Recordset& recordset) {
  absent_.clear();
  if (mode_ == RunMode::kDryRun) return false;
  try {
    if (!snapshot_current_) TakeSnapshot();
    // Pairs chain only on text that an earlier pair put there: a record that
    // holds none of the find texts is left as it is by every pair.
    if (snapshot_tab_ != 0 && snapshot_tab_ != 1) return false;
    absent_.assign(snapshot_finds_.size(), 0);
    may_columns_.resize(snapshot_finds_.size());
    bool none = true;
    for (size_t k = 0; k < snapshot_finds_.size(); ++k) {
      absent_[k] = !recordset.MayContain(snapshot_finds_[k], &may_columns_[k]);
      none = none && absent_[k];
    }
    return none;
  } catch (...) {
    snapshot_current_ = false;
    absent_.clear();
    return false;  // the field-by-field walk reports what fails
  }
}

void ReplacementRun::TakeSnapshot() {
  snapshot_current_ = false;
  snapshot_tab_ = inputs_.SelectedTab();
  snapshot_finds_.clear();
  if (snapshot_tab_ == 0) {
    snapshot_finds_.push_back(inputs_.FindText());
  } else if (snapshot_tab_ == 1) {
    const int pairs = inputs_.FindListCount();
    for (int k = 0; k < pairs; ++k) snapshot_finds_.push_back(inputs_.FindListItem(k));
  }
  snapshot_current_ = true;
}

bool ReplacementRun::ApplyPair(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                               size_t column, bool holds) {
  // An empty find text never matches: it would rewrite every field. It is
  // refused before the run; this keeps a box emptied during the run harmless.
  if (find_.empty()) return false;

  // The search comes first and reads the value only when it holds the find
  // text: most fields hold none, and the search needs no copy of the value.
  // A Null value (and a binary one, which has no text form) is never found.
  std::optional<std::string> value;
  if (mode_ == RunMode::kDryRun && has_pending_) {
    if (pending_.find(find_) == std::string::npos) return false;
    value = pending_;
  } else if (!trap.Step(130, [&] {
               const fox::Field field = recordset.fields()[column];
               if (holds || field.Contains(find_)) value = field.Value();
             })) {
    return false;
  }
  if (!value) return false;

  if (mode_ == RunMode::kDryRun) {
    if (!has_pending_) field_before_ = *value;
    ReplaceAll(*value, find_, replace_, &result_);
    TrimSpaces(&result_);
    // The text the field would refuse is counted; the pairs after go on
    // with the field's value as it stays.
    std::optional<fox::Table::Refusal> refusal;
    trap.Step(136, [&] { refusal = recordset.CheckValue(column, result_); });
    if (refusal) {
      if (reach_.back().columns[column].refused++ == 0)
        reach_.back().columns[column].refusal = refusal->reason;
      return false;
    }
    pending_ = result_;
    has_pending_ = true;
    return true;
  }
  if (!trap.Step(134, [&] {
        ReplaceAll(*value, find_, replace_, &result_);
        TrimSpaces(&result_);
      })) {
    return false;
  }
  // The field takes the text first; only a value it took gets its line, and
  // the line reaches the log before the record is saved. A line that cannot
  // be written is reported and the field keeps its new value.
  std::optional<fox::Table::Refusal> refusal;
  if (!trap.Step(136, [&] { refusal = recordset.fields()[column].TrySetValue(result_); })) return false;
  if (refusal) {
    std::string field;
    trap.Step(136, [&] { field = ColumnName(recordset, column); });
    NoteRefusedValue(trap, column, field, *refusal);
    return false;
  }
  // The field's first value, and its latest, tell whether a memo came back
  // to where it began (KeepField); other fields are compared byte for byte.
  if (field_is_memo_) {
    if (field_lines_used_ == 0) field_before_ = *value;
    field_after_ = result_;
  }
  // The line is made now, while the pair is at hand, and logged with the
  // field's other lines once its value is known to have changed.
  trap.Step(132, [&] {
    // The date and time change once a second; the column names not at all.
    const std::time_t now = std::time(nullptr);
    if (now != line_second_) {
      line_time_ = ChangeLogDateTime();
      line_second_ = now;
    }
    if (field_lines_used_ == field_lines_.size()) field_lines_.emplace_back();
    ChangeLogLine(&field_lines_[field_lines_used_], line_time_, find_, replace_, table,
                  ColumnName(recordset, column));
    ++field_lines_used_;
  });
  return true;
}

bool ReplacementRun::KeepField(ErrorTrap& trap, fox::Recordset& recordset, size_t column) {
  bool unchanged = false;
  if (!field_is_memo_ || field_after_ == field_before_) {
    trap.Step(134, [&] { unchanged = recordset.RevertIfUnchanged(column); });
  }
  if (unchanged) return false;
  // The container's rule for the field judges its new value: one it refuses
  // is not saved, and the field keeps its value.
  // A rule that could not be checked (its error reported) refuses too.
  std::optional<fox::Table::Refusal> refusal;
  const bool checked = trap.Step(136, [&] { refusal = recordset.CheckRule(column); });
  if (refusal || !checked) {
    trap.Step(134, [&] { recordset.RevertColumn(column); });
    if (!refusal) return false;
    std::string field;
    trap.Step(136, [&] { field = ColumnName(recordset, column); });
    NoteRefusedValue(trap, column, field, *refusal);
    return false;
  }
  ++tally_.changed;
  const bool logged = trap.Step(
      132, [&] { change_log_.AppendChange(field_lines_.data(), field_lines_used_, recordset.recno()); });
  // A line that cannot be written stops the run: the record is dropped.
  if (!logged) log_failed_ = true;
  return true;
}

const std::string& ReplacementRun::ColumnName(fox::Recordset& recordset, size_t column) {
  if (column >= column_names_.size()) column_names_.resize(column + 1);
  if (column_names_[column].empty()) column_names_[column] = recordset.fields()[column].name();
  return column_names_[column];
}

void ReplacementRun::NoteColumnRefusals(ErrorTrap& trap, fox::Recordset& recordset) {
  column_names_.clear();
  column_refused_.clear();
  column_refusals_.clear();
  table_refusal_.reset();
  repeats_.clear();
  const fox::Table* table = recordset.table();
  if (table == nullptr) return;
  const size_t columns = table->field_count();
  column_refused_.assign(columns, 0);
  column_refusals_.resize(columns);
  // Whether every column with a text form is refused for one reason.
  bool all_alike = true;
  const fox::Table::Refusal* first = nullptr;
  // The container's rules first: a trigger Quillon cannot run, or a record
  // rule it cannot evaluate, keeps the whole table as it is; a field rule it
  // cannot evaluate, the field.
  std::optional<fox::Table::Refusal> whole_table;
  trap.Step(116, [&] { whole_table = recordset.RulesRefuseTable(allow_triggers_); });
  for (size_t j = 0; j < columns; ++j) {
    // Tables are open for reading only in a dry run: a column is judged as
    // the real run would judge it.
    trap.Step(116, [&] {
      column_refusals_[j] = whole_table;
      if (!column_refusals_[j]) column_refusals_[j] = table->ColumnRefusal(j, mode_ == RunMode::kDryRun);
      if (!column_refusals_[j]) column_refusals_[j] = recordset.RulesRefuseColumn(j);
    });
    if (!fox::FieldCodec::HasTextForm(table->field(j))) {
      column_refused_[j] = kNoTextForm;  // never found: no text form
      continue;
    }
    if (!column_refusals_[j]) {
      all_alike = false;
      continue;
    }
    column_refused_[j] = kCannotChange;
    if (!first) {
      first = &*column_refusals_[j];
    } else if (column_refusals_[j]->reason != first->reason) {
      all_alike = false;
    }
  }
  // A column that cannot change is told only when a value in it holds a find
  // text (RefuseIfFound): a column no find text reaches needs no change.
  if (all_alike && first) {
    table_refusal_ =
        fox::Table::Refusal{first->kind, first->reason,
                            "Table '" + table->name() + "' cannot be changed: " + first->reason + "."};
  }
}

void ReplacementRun::RefuseIfFound(ErrorTrap& trap, fox::Recordset& recordset, size_t column,
                                   TableReach* reach) {
  int tab = inputs_.SelectedTab();
  const int pairs = tab == 0 ? 1 : tab == 1 ? inputs_.FindListCount() : 0;
  bool found = false;
  for (int k = 0; k < pairs && !found; ++k) {
    const std::string& find = tab == 0 ? inputs_.FindText() : inputs_.FindListItem(k);
    if (find.empty() || Skippable(k, column)) continue;
    found = Holds(k, column);
    if (!found) trap.Step(130, [&] { found = recordset.fields()[column].Contains(find); });
  }
  if (!found) return;
  const fox::Table::Refusal& refusal = table_refusal_ ? *table_refusal_ : *column_refusals_[column];
  if (reach) {
    ColumnReach& counted = reach->columns[column];
    if (counted.refused++ == 0) counted.refusal = refusal.reason;
    if (table_refusal_) reach->unchangeable = refusal.reason;
    return;
  }
  std::string field;
  trap.Step(136, [&] { field = ColumnName(recordset, column); });
  NoteRefusedValue(trap, table_refusal_ ? kWholeTable : column, field, refusal);
}

void ReplacementRun::NoteRefusedValue(ErrorTrap& trap, size_t column, const std::string& field,
                                      const fox::Table::Refusal& refusal) {
  ++tally_.refused;
  for (Repeat& repeat : repeats_) {
    if (repeat.column == column && repeat.reason == refusal.reason) {
      ++repeat.more;
      return;
    }
  }
  repeats_.push_back(Repeat{column, field, refusal.reason, 0});
  trap.Step(136, [&] { throw fox::Error(refusal.kind, refusal.message); });
}

void ReplacementRun::TellRepeatedRefusals(ErrorTrap& trap, const std::string& table) {
  for (const Repeat& repeat : repeats_) {
    if (repeat.more == 0) continue;
    const bool whole_table = repeat.column == kWholeTable;
    const std::string why =
        whole_table || repeat.reason.rfind("it ", 0) == 0 ? repeat.reason : "the value " + repeat.reason;
    const std::string where = whole_table ? "of table '" + table + "' "
                                          : "for field '" + repeat.field + "' of table '" + table + "' ";
    trap.Step(136, [&] {
      throw fox::Error(fox::ErrorKind::kInvalidValue, toolkit_.FormatCount(repeat.more) + " more " +
                                                          (repeat.more == 1 ? "value " : "values ") + where +
                                                          (repeat.more == 1 ? "was" : "were") +
                                                          " refused for the same reason: " + why + ".");
    });
  }
  repeats_.clear();
}

void ReplacementRun::SaveFailed(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                                const fox::SaveError& failure) {
  std::vector<uint32_t> queue;  // records to change again, in this order
  std::vector<uint32_t> failed;
  std::vector<std::string> causes;
  std::string message;  // of the failures that are told
  auto take = [&](const fox::SaveError& f) {
    if (f.kind() == fox::ErrorKind::kFull) no_room_ = true;
    bool told = false;
    std::vector<uint32_t> again;
    for (size_t i = 0; i < f.records().size(); ++i) {
      const uint32_t recno = f.records()[i];
      const bool retry = std::binary_search(f.retryable().begin(), f.retryable().end(), recno) &&
                         save_attempts_[recno] < kSaveAttempts && !inputs_.Closing();
      if (retry) {
        again.push_back(recno);
      } else {
        failed.push_back(recno);
        causes.push_back(f.cause(i));
        told = true;
      }
    }
    // The lines of the changes that were not saved go: each record gets the
    // lines of the change that is saved in the end.
    tally_.changed -= static_cast<int64_t>(WithdrawChanges(again));
    queue.insert(queue.end(), again.begin(), again.end());
    if (!told && !f.records().empty()) return;
    // A failure that also names records changed again tells only the others,
    // which are the ones not saved, when it says why each was not.
    std::string told_text = f.what();
    if (!again.empty() && told) {
      const size_t first = failed.size() - (f.records().size() - again.size());
      told_text.clear();
      for (size_t i = first; i < failed.size(); ++i) {
        if (causes[i] == f.what()) {
          told_text = f.what();  // no cause of its own to tell it by
          break;
        }
        told_text += (told_text.empty() ? "" : " ") + NotSavedText(failed[i], table, causes[i]);
      }
    }
    message += (message.empty() ? "" : " ") + told_text;
  };
  take(failure);

  if (!queue.empty()) {
    const uint32_t back = recordset.Eof() ? 0 : recordset.recno();
    size_t field_count = 0;
    trap.Step(116, [&] { field_count = recordset.fields().count(); });
    while (!queue.empty()) {
      while (!queue.empty()) {
        const uint32_t recno = queue.front();
        queue.erase(queue.begin());
        ++save_attempts_[recno];
        bool found = false;
        try {
          found = recordset.Reread(recno);
        } catch (const fox::SaveError& f) {
          take(f);
          found = !recordset.Eof() && recordset.recno() == recno;
        } catch (const std::exception& e) {
          failed.push_back(recno);
          causes.push_back(e.what());
          message += (message.empty() ? "" : " ") + std::string(e.what());
          continue;
        }
        if (!found) {
          failed.push_back(recno);
          causes.push_back("another program deleted the record");
          message += (message.empty() ? "" : " ") +
                     ("The change to record " + std::to_string(recno) + " of table '" + table +
                      "' was not saved: another program deleted the record.");
          continue;
        }
        if (EditRecord(trap, table, recordset, field_count, nullptr) == Walk::kStop) break;
      }
      // Back to the record the walk was at, which saves the last one changed
      // again; its failure is only known when its batch is written.
      try {
        recordset.MoveTo(back);
      } catch (const fox::SaveError& f) {
        take(f);
      }
      if (inputs_.Closing()) {
        for (uint32_t recno : queue) {
          failed.push_back(recno);
          causes.push_back("the run was stopped before it could be changed again");
        }
        queue.clear();
      }
    }
  }
  if (failed.empty()) return;
  // Sorted by record, each with its cause.
  std::vector<size_t> order(failed.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return failed[a] < failed[b]; });
  std::vector<uint32_t> records;
  std::vector<std::string> why;
  for (size_t i : order) {
    if (!records.empty() && records.back() == failed[i]) continue;
    records.push_back(failed[i]);
    why.push_back(causes[i]);
  }
  const fox::SaveError left(failure.kind(), message.empty() ? failure.what() : message, std::move(records),
                            std::move(why));
  LogNotSaved(table, left);
  throw left;
}

std::string ReplacementRun::NotSavedText(uint32_t recno, const std::string& table, const std::string& cause) {
  std::string why = cause;
  if (!why.empty() && why.back() == '.') why.pop_back();
  return "The change to record " + std::to_string(recno) + " of table '" + table + "' was not saved: " + why +
         ".";
}

void ReplacementRun::LogNotSaved(const std::string& table, const fox::SaveError& failure) {
  // Records whose cascades wait for them to be written: not to be carried out.
  if (!cascade_plans_.empty()) not_saved_.insert(failure.records().begin(), failure.records().end());
  LogNotSaved(table, failure, journal_table_);
}

void ReplacementRun::LogNotSaved(const std::string& table, const fox::SaveError& failure,
                                 uint32_t journal_table) {
  tally_.not_saved += static_cast<int64_t>(failure.records().size());
  // Their fields did not change after all.
  tally_.changed -= static_cast<int64_t>(change_log_.Changes(failure.records()));
  // Their lines, held until the records were written, come first. Their
  // journal entries go, and those already written are marked not saved.
  journal_.NotSaved(journal_table, failure.records());
  change_log_.Flush(failure.records());
  for (size_t i = 0; i < failure.records().size(); ++i) {
    try {
      change_log_.Append(NotSavedLine(ChangeLogDateTime(), failure.records()[i], table, failure.cause(i)));
    } catch (...) {
      // The log's own failure is told when it is closed.
    }
  }
}

}  // namespace quillon
