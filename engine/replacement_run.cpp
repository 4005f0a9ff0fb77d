#include "engine/replacement_run.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>

#include "base/error.h"
#include "data/database/connection.h"
#include "data/database/folder_containers.h"
#include "data/database/recordset.h"
#include "data/file/file_names.h"
#include "data/file/utf8_path.h"
#include "engine/change_log.h"
#include "engine/run_steps.h"
#include "engine/text_replace.h"

namespace quillon {

ReplacementRun::~ReplacementRun() = default;

std::string ReplacementRun::EmptySetMessage(int index, const std::string& replace) {
  return "Set " + std::to_string(index + 1) + " has no text to find (its replace text is \"" + replace +
         "\"). Please enter a text to find for it or remove it.";
}

std::vector<std::string> ReplacementRun::UnusableContainers(const RunRequest& request) {
  std::vector<std::string> why;
  if (request.source.is_container() || request.source.ignore_container) return why;
  fox::FolderContainers containers;
  for (const std::string& table : request.tables) {
    try {
      if (std::optional<std::string> path = fox::FindFileIgnoringCase(request.source.folder, table + ".dbf"))
        containers.Of(*path, table);
    } catch (const std::exception& e) {
      why.push_back(e.what());
    }
  }
  return why;
}

std::string ReplacementRun::Refusal(const RunRequest& request) {
  if (!request.from_set_list) {
    return !request.pairs.empty() && request.pairs.find(0).empty() ? kEmptyFindText : "";
  }
  for (size_t k = 0; k < request.pairs.size(); ++k) {
    if (request.pairs.find(k).empty())
      return EmptySetMessage(static_cast<int>(k), std::string(request.pairs.replace(k)));
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

RunEnd ReplacementRun::Run() {
  ErrorTrap trap(toolkit_, kModule, kProcedure);
  reach_.clear();
  tally_ = RunTally();
  snapshot_.Forget();
  code_not_run_.Forget();
  RunEnd end = RunEnd::kDone;

  std::string refusal;
  trap.Step(RunStep::kCheckFindText, [&] { refusal = Refusal(request_); });
  log_failed_ = false;
  no_room_ = false;
  unopened_ = false;
  undo_journal_.clear();
  undo_journal_changes_ = 0;
  if (!refusal.empty()) {
    toolkit_.ShowMessage(refusal);
    end = RunEnd::kRefused;
  } else {
    // No change without its line: the change log and the undo journal are
    // made at the run's first change, before it is logged or saved (see
    // KeepField), so a run that changes nothing writes nothing.
    if (!dry_run()) {
      session_.Prepare(request_.write_journal,
                       request_.journal_folder.empty() ? ChangeLogFolder() : request_.journal_folder,
                       std::time(nullptr));
    }
    fox::Connection connection;
    connection.allow_missing_index = request_.allow_missing_index;
    connection.ignore_container = request_.source.ignore_container;
    fox::Recordset recordset;
    cascade_.Configure(request_.allow_triggers, request_.write_journal, dry_run());
    trap.Step(RunStep::kBusyPointer, [&] { observer_.Busy(true); });
    session_.SetCatalogue(request_.source.is_container(), request_.source.path());
    for (const std::string& table : request_.tables) {
      if (WalkTable(trap, table, connection, recordset) == Walk::kStop) {
        end = RunEnd::kStopped;
        break;
      }
    }
    trap.Step(RunStep::kWriteLine, [&] { session_.log().Close(); });
    if (!dry_run()) {
      trap.Step(RunStep::kWriteLine, [&] {
        undo_journal_changes_ = session_.journal().changes();
        const std::string path = session_.run_log().path();
        run_log_path_ = path;
        session_.Finish();
        if (undo_journal_changes_ > 0) undo_journal_ = path;
      });
    }
    if (unopened_) {
      // Nothing was changed: the run is refused as if it had not started.
      end = RunEnd::kRefused;
      trap.Step(RunStep::kDefaultPointer, [&] { observer_.Busy(false); });
    } else if (log_failed_) {
      toolkit_.ShowMessage(
          "The run stopped because its change log could not be written: the record being changed was left as "
          "it "
          "was, and records whose lines were lost were not saved." +
          (session_.log().lost_saved_lines()
               ? " The lines of the last changes saved, which the change log could not take, are kept in \"" +
                     run_log_path_ + "\"."
               : std::string()));
    }
    if (end == RunEnd::kDone) observer_.Finished(tally_);
    if (end == RunEnd::kDone) {
      trap.Step(RunStep::kDefaultPointer, [&] { observer_.Busy(false); });
      trap.Step(RunStep::kDone, [&] { toolkit_.ShowMessage(kDone); });
    }
  }
  reports_ = trap.failures();
  return end;
}

ReplacementRun::Walk ReplacementRun::WalkTable(ErrorTrap& trap, const std::string& table,
                                               fox::Connection& connection, fox::Recordset& recordset) {
  Walk walk = Walk::kGoOn;
  // A table that cannot be reached is reported once and left: the run goes on
  // with closing it and with the next ticked table.
  if (!trap.Step(RunStep::kOpenConnection, [&] { connection.Open(ConnectionStringOf(request_.source)); }))
    return walk;
  TableReach* reach = nullptr;
  {
    const bool opened =
        trap.Step(RunStep::kOpenRecordset, [&] { session_.Open(recordset, connection, table, dry_run()); });
    if (opened && !dry_run() && recordset.table() != nullptr) {
      trap.Step(RunStep::kOpenRecordset,
                [&] { journal_table_ = session_.TableNumber(table, *recordset.table()); });
    }
    // Relations name the table as its container does, which may differ
    // from its file's name when it was reached through its folder.
    const std::string container_name = opened ? recordset.ContainerName() : "";
    cascade_.Enter(connection, container_name.empty() ? table : container_name);
    if (opened) {
      tally_.Count(LowerAscii(table));
      // One override for the walked table and its cascades' children alike.
      recordset.LetCodeThrough(request_.allow_triggers);
      const int64_t changed_before = tally_.changed;
      // A run that stopped before it finished left the index checked and
      // repaired as the table opened: the user hears what was done.
      if (recordset.table() != nullptr && !recordset.table()->repair_notice().empty()) {
        toolkit_.ShowMessage(recordset.table()->repair_notice() +
                             CompleteChangeLogs(recordset.table()->repaired_logs()));
      }
      if (dry_run()) reach = &reach_.emplace_back(TableReach{table, {}, {}, {}, 0, {}});
      walk = WalkRecords(trap, table, recordset, reach);
      if (tally_.changed > changed_before) TellChangedWithout(trap, table, recordset);
    }
  }
  // The saves still waiting are written, and those another program's change
  // held back done again, while the table is open; closing then drops an
  // edit not yet saved, which is what stopping needs.
  if (walk == Walk::kGoOn && !dry_run() && recordset.is_open()) {
    trap.Step(RunStep::kCloseRecordset, [&] {
      try {
        recordset.Flush();
      } catch (const fox::SaveError& failure) {
        SaveFailed(trap, table, recordset, failure);
      }
    });
    if (cascade_.waiting()) SettleCascades(trap, table, recordset);
    if (no_room_) walk = Walk::kStop;
  }
  // A stop drops the record being edited: the lines of the fields already
  // changed in it go too, since that change is never saved.
  if (walk == Walk::kStop && !dry_run() && recordset.is_open()) {
    trap.Step(RunStep::kCloseRecordset, [&] {
      if (!recordset.Eof())
        tally_.changed -= static_cast<int64_t>(session_.Withdraw(journal_table_, {recordset.recno()}));
    });
    // The records saved before the stop are written when the table closes:
    // their cascades are carried out first, so that no child is left with
    // a key its parent no longer holds.
    if (cascade_.waiting()) SettleCascades(trap, table, recordset);
  }
  cascade_.Leave(trap);
  trap.Step(RunStep::kCloseRecordset, [&] {
    try {
      recordset.Close();
    } catch (const fox::SaveError& failure) {
      LogNotSaved(table, failure);
      throw;
    }
  });
  session_.ForgetTries();
  if (walk == Walk::kGoOn) refusals_.TellRepeated(trap, table, toolkit_);
  trap.Step(RunStep::kCloseConnection, [&] { connection.Close(); });
  if (reach && walk == Walk::kGoOn) observer_.TableWalked(*reach);
  return walk;
}

void ReplacementRun::TellChangedWithout(ErrorTrap& trap, const std::string& table,
                                        fox::Recordset& recordset) {
  const fox::Table* opened = recordset.table();
  const std::string missing = opened != nullptr ? opened->missing_index() : "";
  const std::string unnamed = opened != nullptr ? opened->unnamed_index() : "";
  if (!missing.empty()) {
    trap.Step(RunStep::kOpenRecordset, [&] {
      throw fox::Error(
          fox::ErrorKind::kNotFound,
          "Table '" + table + "' was changed without its structural index \"" + missing +
              "\", which is missing: rebuild the index (REINDEX in FoxPro) before using the table.");
    });
  }
  // The code let through (--without-triggers) is told for each table
  // changed without it.
  if (request_.allow_triggers) code_not_run_.Tell(trap, recordset, table);
  if (!unnamed.empty()) {
    trap.Step(RunStep::kOpenRecordset, [&] {
      throw fox::Error(fox::ErrorKind::kNotFound,
                       "Table '" + table + "' was changed, but not its index file \"" + unnamed +
                           "\", which its header does not name as its structural index: if a program opens "
                           "that index, rebuild it (REINDEX in FoxPro) first.");
    });
  }
}

ReplacementRun::Walk ReplacementRun::WalkRecords(ErrorTrap& trap, const std::string& table,
                                                 fox::Recordset& recordset, TableReach* reach) {
  bool at_end = true;
  if (!trap.Step(RunStep::kTestEmpty, [&] { at_end = recordset.Eof(); }) || at_end) return Walk::kGoOn;
  size_t field_count = 0;
  if (!trap.Step(RunStep::kCountFields, [&] { field_count = recordset.fields().count(); }))
    return Walk::kGoOn;
  if (reach) {
    for (size_t j = 0; j < field_count; ++j) {
      std::string name;
      trap.Step(RunStep::kCountFields, [&] { name = recordset.fields()[j].name(); });
      reach->columns.push_back(ColumnReach{std::move(name), 0, 0, {}});
    }
  }
  column_names_.clear();
  refusals_.Judge(trap, recordset, request_.allow_triggers, dry_run());
  trap.Step(RunStep::kCountFields, [&] { keys_.Enter(recordset); });

  const uint32_t records = recordset.table() != nullptr ? recordset.table()->record_count() : 0;
  while (true) {
    if (!trap.Step(RunStep::kTestLast, [&] { at_end = recordset.Eof(); }) || at_end) return Walk::kGoOn;
    // Records that hold no find text are passed over a span at a time, with
    // one yield for each stretch passed over.
    if (!dry_run() && snapshot_.PassOverRecords(request_.pairs, recordset)) {
      // Reached: the record the walk goes on with, or the last one.
      observer_.RecordReached(table, recordset.Eof() ? records : recordset.recno(), records);
      trap.Step(RunStep::kYield, [&] { toolkit_.Yield(); });
      if (observer_.StopRequested()) return Walk::kStop;
      continue;
    }
    observer_.RecordReached(table, recordset.recno(), records);
    if (EditRecord(trap, table, recordset, field_count, reach) == Walk::kStop) return Walk::kStop;

    // Moving on saves the record. When the save fails the record keeps what
    // is on disk (another program's change included) and the cursor has
    // moved on; when the next record cannot be read, the table is left.
    if (!trap.Step(RunStep::kMoveOn, [&] {
          try {
            recordset.MoveNext();
          } catch (const fox::SaveError& failure) {
            SaveFailed(trap, table, recordset, failure);
          }
        })) {
      if (no_room_) return Walk::kStop;
      bool moved_on = false;
      trap.Step(RunStep::kMoveOn, [&] { moved_on = recordset.Eof() || recordset.recno() != 0; });
      if (!moved_on) return Walk::kGoOn;
    }
    // The cascades wait for a few of their parents, so that each batch of
    // parents and of children is written with one flush.
    if (cascade_.full()) SettleCascades(trap, table, recordset);
    if (no_room_ || log_failed_) return Walk::kStop;
  }
}

ReplacementRun::Walk ReplacementRun::EditRecord(ErrorTrap& trap, const std::string& table,
                                                fox::Recordset& recordset, size_t field_count,
                                                TableReach* reach) {
  bool pass_over = !dry_run() && snapshot_.RecordHoldsNone(request_.pairs, recordset);
  record_touched_ = false;
  for (size_t j = 0; j < field_count; ++j) {
    trap.Step(RunStep::kYield, [&] { toolkit_.Yield(); });
    if (observer_.StopRequested()) return Walk::kStop;
    // Most records hold no find text. Their fields are still yielded to one
    // by one; the run's inputs are fixed, so what was found stands.
    pass_over = pass_over && snapshot_.current();
    if (pass_over) continue;
    if (refusals_.PassedOver(j)) {
      if (refusals_.CannotChange(j)) RefuseIfFound(trap, recordset, j, reach);
      continue;
    }
    if (cascade_.Cascaded(recordset.recno(), j)) continue;
    field_.has_pending = false;
    field_.lines.Clear();
    field_.memo = recordset.table() != nullptr && recordset.table()->field(j).is_memo();
    bool found = ApplyPairs(trap, table, recordset, j);
    // Only a field whose value the pairs leave changed counts, and is saved
    // and logged: pairs that come back to where they began change nothing.
    if (found) found = dry_run() ? ForeseeField(trap, recordset, j, reach) : KeepField(trap, recordset, j);
    if (found && reach) {
      ColumnReach& column = reach->columns[j];
      ++column.fields;
      if (field_.pending.size() > column.longest) {
        column.longest = field_.pending.size();
        column.longest_record = recordset.recno();
      }
    }
    if (log_failed_ || no_room_) return Walk::kStop;
  }
  if (dry_run()) {
    if (reach) ForeseeRecord(trap, recordset, reach);
    return Walk::kGoOn;
  }
  if (record_touched_ && RecordRuleRefuses(trap, recordset)) return Walk::kGoOn;
  if (record_touched_ && KeyTaken(trap, recordset)) return Walk::kGoOn;
  if (record_touched_) {
    std::optional<fox::Table::Refusal> refusal;
    if (!cascade_.Plan(trap, recordset, &refusal)) {
      RefuseRecord(trap, recordset, refusal);
      cascade_.ReleaseIfIdle();
      return Walk::kGoOn;
    }
    keys_.Take();
  }
  if (record_touched_ && !dry_run() && request_.write_journal) {
    // A record whose change cannot be journalled is not saved: the run stops.
    if (!trap.Step(RunStep::kWriteLine, [&] { session_.JournalRecord(recordset, journal_table_); })) {
      log_failed_ = true;
      return Walk::kStop;
    }
  }
  return Walk::kGoOn;
}

bool ReplacementRun::ApplyPairs(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                                size_t column) {
  bool found = false;
  auto apply = [&](int pair) {
    if (ApplyPair(trap, table, recordset, column, snapshot_.Holds(pair, column))) {
      found = record_touched_ = true;
      snapshot_.Touched(column);
    }
  };
  for (size_t k = 0; k < request_.pairs.size(); ++k) {
    const int pair = static_cast<int>(k);
    if (snapshot_.Skippable(pair, column)) continue;
    field_.find = request_.pairs.find(k);
    field_.replace = request_.pairs.replace(k);
    apply(pair);
  }
  return found;
}

bool ReplacementRun::ForeseeField(ErrorTrap& trap, fox::Recordset& recordset, size_t column,
                                  TableReach* reach) {
  // As KeepField judges it: the value the pairs leave is given to the
  // record's edit (never saved), and counts only when its stored form
  // changes (a logical "F" made "N" stays false) and the field's rule takes
  // it.
  if (field_.pending == field_.before) return false;
  bool unchanged = true;
  trap.Step(RunStep::kReplace, [&] {
    recordset.Foresee(column, field_.pending);
    unchanged = recordset.RevertIfUnchanged(column);
  });
  if (unchanged) return false;
  std::optional<fox::Table::Refusal> refusal;
  const bool checked = trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckRule(column); });
  if (!refusal && checked) return true;
  trap.Step(RunStep::kReplace, [&] { recordset.RevertColumn(column); });
  if (refusal && reach && reach->columns[column].refused++ == 0)
    reach->columns[column].refusal = refusal->reason;
  return false;
}

void ReplacementRun::ForeseeRecord(ErrorTrap& trap, fox::Recordset& recordset, TableReach* reach) {
  trap.Step(RunStep::kAssign, [&] { recordset.EditedColumns(&edited_); });
  if (edited_.empty()) return;
  // The record's changes judged as the real run judges them before it saves
  // them: its record rule and relations, the keys of its candidate tags,
  // then the cascades of its keys. A check that could not be made (its
  // error reported) refuses too, uncounted.
  std::optional<fox::Table::Refusal> refusal;
  size_t key_column = ColumnRefusals::kWholeTable;
  std::map<std::string, int64_t> reached;
  bool checked = trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckRule(std::nullopt); });
  if (checked && !refusal)
    checked = trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckRelations(); });
  if (checked && !refusal)
    checked = trap.Step(RunStep::kAssign, [&] { refusal = keys_.Check(recordset, &key_column); });
  if (checked && !refusal) checked = cascade_.Plan(trap, recordset, &refusal, &reached);
  if (checked && !refusal) {
    keys_.Take();
    for (const auto& [child, records] : reached) {
      auto at = std::find_if(reach->cascades.begin(), reach->cascades.end(),
                             [&](const TableReach::Cascade& c) { return c.child == child; });
      if (at == reach->cascades.end()) at = reach->cascades.insert(at, TableReach::Cascade{child, 0});
      at->records += records;
    }
  } else {
    // The record's fields would keep their values after all.
    for (size_t column : edited_) --reach->columns[column].fields;
    if (refusal && key_column != ColumnRefusals::kWholeTable) {
      if (reach->columns[key_column].refused++ == 0) reach->columns[key_column].refusal = refusal->reason;
    } else if (refusal && reach->records_refused++ == 0) {
      reach->record_refusal = refusal->reason;
    }
  }
  // Nothing of the edit is saved: the table is open for reading only.
  trap.Step(RunStep::kReplace, [&] {
    for (size_t column : edited_) recordset.RevertColumn(column);
  });
}

bool ReplacementRun::KeyTaken(ErrorTrap& trap, fox::Recordset& recordset) {
  std::optional<fox::Table::Refusal> refusal;
  size_t column = ColumnRefusals::kWholeTable;
  // A key that could not be worked out is left to the save, which refuses
  // what it must.
  trap.Step(RunStep::kAssign, [&] { refusal = keys_.Check(recordset, &column); });
  if (!refusal) return false;
  RefuseRecord(trap, recordset, refusal, column);
  return true;
}

bool ReplacementRun::RecordRuleRefuses(ErrorTrap& trap, fox::Recordset& recordset) {
  // The relations' restrict rules judge the record's keys the same way. A
  // check that could not be made (its error reported) refuses too.
  std::optional<fox::Table::Refusal> refusal;
  bool checked = trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckRule(std::nullopt); });
  if (checked && !refusal)
    checked = trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckRelations(); });
  if (checked && !refusal) return false;
  RefuseRecord(trap, recordset, refusal);
  return true;
}

void ReplacementRun::RefuseRecord(ErrorTrap& trap, fox::Recordset& recordset,
                                  const std::optional<fox::Table::Refusal>& refusal, size_t column) {
  // None of the record's changes is saved, and their lines go.
  trap.Step(RunStep::kReplace, [&] {
    recordset.EditedColumns(&edited_);
    for (size_t column : edited_) recordset.RevertColumn(column);
  });
  tally_.changed -= static_cast<int64_t>(session_.Withdraw(journal_table_, {recordset.recno()}));
  record_touched_ = false;
  if (!refusal) return;
  std::string field;
  if (column != ColumnRefusals::kWholeTable)
    trap.Step(RunStep::kAssign, [&] { field = ColumnName(recordset, column); });
  Refused(trap, column, field, *refusal);
}

bool ReplacementRun::ApplyPair(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                               size_t column, bool holds) {
  // An empty find text never matches: it would rewrite every field. It is
  // refused before the run; this keeps a box emptied during the run harmless.
  if (field_.find.empty()) return false;

  // The search comes first and reads the value only when it holds the find
  // text: most fields hold none, and the search needs no copy of the value.
  // A Null value (and a binary one, which has no text form) is never found.
  std::optional<std::string> value;
  if (dry_run() && field_.has_pending) {
    if (field_.pending.find(field_.find) == std::string::npos) return false;
    value = field_.pending;
  } else if (!trap.Step(RunStep::kSearchField, [&] {
               const fox::Field field = recordset.fields()[column];
               if (holds || field.Contains(field_.find)) value = field.Value();
             })) {
    return false;
  }
  if (!value) return false;

  if (dry_run()) {
    if (!field_.has_pending) field_.before = *value;
    ReplaceAll(*value, field_.find, field_.replace, &field_.result);
    TrimSpaces(&field_.result);
    // The text the field would refuse is counted; the pairs after go on
    // with the field's value as it stays.
    std::optional<fox::Table::Refusal> refusal;
    trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckValue(column, field_.result); });
    if (refusal) {
      if (reach_.back().columns[column].refused++ == 0)
        reach_.back().columns[column].refusal = refusal->reason;
      return false;
    }
    field_.pending = field_.result;
    field_.has_pending = true;
    return true;
  }
  if (!trap.Step(RunStep::kReplace, [&] {
        ReplaceAll(*value, field_.find, field_.replace, &field_.result);
        TrimSpaces(&field_.result);
      })) {
    return false;
  }
  // The field takes the text first; only a value it took gets its line, and
  // the line reaches the log before the record is saved. A line that cannot
  // be written is reported and the field keeps its new value.
  std::optional<fox::Table::Refusal> refusal;
  if (!trap.Step(RunStep::kAssign, [&] { refusal = recordset.fields()[column].TrySetValue(field_.result); }))
    return false;
  if (refusal) {
    std::string field;
    trap.Step(RunStep::kAssign, [&] { field = ColumnName(recordset, column); });
    Refused(trap, column, field, *refusal);
    return false;
  }
  // The field's first value, and its latest, tell whether a memo came back
  // to where it began (KeepField); other fields are compared byte for byte.
  if (field_.memo) {
    if (field_.lines.size() == 0) field_.before = *value;
    field_.after = field_.result;
  }
  // The line is made now, while the pair is at hand, and logged with the
  // field's other lines once its value is known to have changed.
  trap.Step(RunStep::kWriteLine,
            [&] { field_.lines.Add(field_.find, field_.replace, table, ColumnName(recordset, column)); });
  return true;
}

bool ReplacementRun::KeepField(ErrorTrap& trap, fox::Recordset& recordset, size_t column) {
  bool unchanged = false;
  if (!field_.memo || field_.after == field_.before) {
    trap.Step(RunStep::kReplace, [&] { unchanged = recordset.RevertIfUnchanged(column); });
  }
  if (unchanged) return false;
  // The container's rule for the field judges its new value: one it refuses
  // is not saved, and the field keeps its value.
  // A rule that could not be checked (its error reported) refuses too.
  std::optional<fox::Table::Refusal> refusal;
  const bool checked = trap.Step(RunStep::kAssign, [&] { refusal = recordset.CheckRule(column); });
  if (refusal || !checked) {
    trap.Step(RunStep::kReplace, [&] { recordset.RevertColumn(column); });
    if (!refusal) return false;
    std::string field;
    trap.Step(RunStep::kAssign, [&] { field = ColumnName(recordset, column); });
    Refused(trap, column, field, *refusal);
    return false;
  }
  // The run's first change opens its change log and makes its journal: when
  // either cannot be, the record's changes are taken back and the run stops
  // with nothing changed.
  if (!session_.started() && !trap.Step(RunStep::kCheckFindText, [&] {
        session_.Start("Nothing was changed: a run writes its change log first.",
                       request_.write_journal
                           ? "Nothing was changed: a run writes its undo journal first."
                           : "Nothing was changed: a run writes the log of its changes first, to put its "
                             "tables right after a crash.");
      })) {
    RefuseRecord(trap, recordset, std::nullopt);
    unopened_ = log_failed_ = true;
    return false;
  }
  ++tally_.changed;
  const bool logged = trap.Step(RunStep::kWriteLine, [&] {
    session_.log().AppendChange(field_.lines.data(), field_.lines.size(), recordset.recno());
  });
  // A line that cannot be written stops the run: the record is dropped.
  if (!logged) log_failed_ = true;
  return true;
}

const std::string& ReplacementRun::ColumnName(fox::Recordset& recordset, size_t column) {
  if (column >= column_names_.size()) column_names_.resize(column + 1);
  if (column_names_[column].empty()) column_names_[column] = recordset.fields()[column].name();
  return column_names_[column];
}

void ReplacementRun::RefuseIfFound(ErrorTrap& trap, fox::Recordset& recordset, size_t column,
                                   TableReach* reach) {
  const int pairs = static_cast<int>(request_.pairs.size());
  bool found = false;
  for (int k = 0; k < pairs && !found; ++k) {
    const std::string_view find = request_.pairs.find(static_cast<size_t>(k));
    if (find.empty() || snapshot_.Skippable(k, column)) continue;
    found = snapshot_.Holds(k, column);
    if (!found) trap.Step(RunStep::kSearchField, [&] { found = recordset.fields()[column].Contains(find); });
  }
  if (!found) return;
  const fox::Table::Refusal& refusal = refusals_.RefusalOf(column);
  if (reach) {
    ColumnReach& counted = reach->columns[column];
    if (counted.refused++ == 0) counted.refusal = refusal.reason;
    if (refusals_.WholeTable()) reach->unchangeable = refusal.reason;
    return;
  }
  std::string field;
  trap.Step(RunStep::kAssign, [&] { field = ColumnName(recordset, column); });
  Refused(trap, refusals_.WholeTable() ? ColumnRefusals::kWholeTable : column, field, refusal);
}

void ReplacementRun::Refused(ErrorTrap& trap, size_t column, const std::string& field,
                             const fox::Table::Refusal& refusal) {
  ++tally_.refused;
  refusals_.Note(trap, column, field, refusal);
}

void ReplacementRun::SettleCascades(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset) {
  // The planned records are written now, and those another program's change
  // held back are changed again (and planned again) and written too.
  for (int attempt = 0; attempt <= SaveSession::kSaveAttempts; ++attempt) {
    size_t waiting = 0;
    trap.Step(RunStep::kMoveOn,
              [&] { waiting = recordset.table() ? recordset.table()->pending_saves() : 0; });
    if (waiting == 0) break;
    trap.Step(RunStep::kMoveOn, [&] {
      try {
        recordset.Flush();
        keys_.Written();
      } catch (const fox::SaveError& failure) {
        SaveFailed(trap, table, recordset, failure);
      }
    });
    if (no_room_ || log_failed_) break;
  }
  cascade_.Settle(trap, table, no_room_ || log_failed_);
}

void ReplacementRun::SaveFailed(ErrorTrap& trap, const std::string& table, fox::Recordset& recordset,
                                const fox::SaveError& failure) {
  std::vector<uint32_t> queue;  // records to change again, in this order
  std::vector<uint32_t> failed;
  std::vector<std::string> causes;
  std::string message;  // of the failures that are told
  auto take = [&](const fox::SaveError& f) {
    if (f.kind() == fox::ErrorKind::kFull) no_room_ = true;
    SaveSession::Sorted sorted = session_.Sort(f, journal_table_, [&](uint32_t recno) {
      return session_.MayTryAgain(recno) && !observer_.StopRequested();
    });
    const std::vector<uint32_t>& again = sorted.again;
    const bool told = !sorted.lost.empty();
    failed.insert(failed.end(), sorted.lost.begin(), sorted.lost.end());
    causes.insert(causes.end(), sorted.causes.begin(), sorted.causes.end());
    tally_.changed -= static_cast<int64_t>(sorted.withdrawn);
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
    trap.Step(RunStep::kCountFields, [&] { field_count = recordset.fields().count(); });
    while (!queue.empty()) {
      while (!queue.empty()) {
        const uint32_t recno = queue.front();
        queue.erase(queue.begin());
        session_.Tried(recno);
        bool found = false;
        try {
          found = SaveSession::ReadAgain(recordset, recno, take);
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
      if (observer_.StopRequested()) {
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
  cascade_.NotSaved(failure.records());
  keys_.NotSaved(failure.records());
  TallyNotSaved(session_, tally_, table, journal_table_, failure);
}

}  // namespace quillon
