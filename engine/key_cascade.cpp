// The run's referential-integrity cascades: a key changed in a parent record
// of a container's relation whose update rule is cascade is given to every
// child record that held the old one (see engine/key_cascade.h).
//
// Order of the work, so that no child is left pointing at a key its parent
// no longer holds:
//   1. planning, before anything of the parent's change is written: every
//      child record holding the old key is held (its record lock taken and
//      kept), read afresh, given the new key in an edit that is never saved,
//      and checked with its table's rules and relations (its own children
//      are planned the same way); any refusal refuses the parent's change;
//   2. the parent record is written (with the other parents planned before
//      it, kBatch at most, in one flush);
//   3. the children are written through their tables' saves, still held:
//      another program cannot have changed them in between.
// Steps 2 and 3 are one unit of the run log, opened when the first plan
// waits and committed once the children are written: after a crash the
// parents' new keys and their children's are all there, or none.
// A child that cannot be written even so (the disk is full, say) is told by
// name, with a line in the change log; `--check` finds it afterwards.
#include "engine/key_cascade.h"

#include <algorithm>
#include <exception>

#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/util/full_stop.h"
#include "engine/replacement_run.h"
#include "engine/run_steps.h"
#include "engine/text_replace.h"

namespace quillon {

namespace {

// Nested cascades stop here: a container's relations go no deeper in
// practice, and a chain that does is refused rather than followed blindly.
constexpr size_t kCascadeDepth = 8;

uint64_t FieldId(uint32_t recno, size_t column) { return (static_cast<uint64_t>(recno) << 32) | column; }

// Takes back whatever the recordset's current edit changed: a child record
// planned but not to be written yet must not be saved by the next move.
void DropEdit(fox::Recordset& recordset) {
  if (recordset.Eof()) return;
  for (size_t column : recordset.EditedColumns()) recordset.RevertColumn(column);
}

}  // namespace

KeyCascade::~KeyCascade() = default;

void KeyCascade::Enter(fox::Connection& connection, const std::string& table) {
  connection_ = &connection;
  walk_table_ = LowerAscii(table);
  const auto at = cascaded_.find(walk_table_);
  cascaded_here_ = at == cascaded_.end() ? nullptr : &at->second;
}

bool KeyCascade::Cascaded(uint32_t recno, size_t column) const {
  if (cascaded_here_ == nullptr || column >= cascaded_here_->size()) return false;
  const std::vector<bool>& records = (*cascaded_here_)[column];
  return recno < records.size() && records[recno];
}

void KeyCascade::MarkCascaded(const std::string& table, uint32_t recno, size_t column) {
  FieldBits& columns = cascaded_[LowerAscii(table)];
  if (columns.size() <= column) columns.resize(column + 1);
  std::vector<bool>& records = columns[column];
  if (records.size() <= recno) records.resize(std::max<size_t>(recno + 1, records.size() * 2));
  records[recno] = true;
}

KeyCascade::ChildTable& KeyCascade::ChildOf(const std::string& name) {
  const std::string id = LowerAscii(name);
  auto at = children_.find(id);
  if (at != children_.end()) return at->second;
  ChildTable opened;
  opened.name = name;
  opened.recordset = std::make_shared<fox::Recordset>();
  // Saved as the walked table's records are: through the run log, with
  // their journal entries and lines.
  session_.Open(*opened.recordset, *connection_, name, dry_run_);
  // The run's override reaches the children as it reaches the walked table.
  opened.recordset->LetCodeThrough(allow_triggers_);
  const fox::Table& table = *opened.recordset->table();
  for (size_t column = 0; column < table.field_count(); ++column) {
    opened.columns.push_back(opened.recordset->fields()[column].name());
  }
  if (write_journal_) opened.journal_table = session_.TableNumber(name, table);
  return children_.emplace(id, std::move(opened)).first->second;
}

bool KeyCascade::Plan(ErrorTrap& trap, fox::Recordset& recordset, std::optional<fox::Table::Refusal>* refusal,
                      std::map<std::string, int64_t>* reached) {
  const uint32_t recno = recordset.recno();
  // A record changed again (its save held back by another program's change)
  // is planned again.
  if (const auto old = plans_.find(recno); old != plans_.end()) {
    for (const Step& step : old->second)
      planned_.erase({LowerAscii(step.table), FieldId(step.recno, step.column)});
    plans_.erase(old);
  }
  std::vector<Step> steps;
  std::vector<std::string> chain{walk_table_};
  refusal->reset();
  std::string top;
  trap.Step(RunStep::kAssign, [&] {
    top = "record " + std::to_string(recno) + " of table '" + recordset.table()->name() + "'";
  });
  // A plan that could not be made (its error reported) refuses too.
  const bool planned =
      trap.Step(RunStep::kAssign, [&] { *refusal = PlanOf(recordset, top, &steps, &chain); });
  for (auto& [name, child] : children_) {
    try {
      DropEdit(*child.recordset);
    } catch (...) {
      // Nothing of it is saved unless the cursor moves, and planning moves it
      // only after taking the edit back.
    }
  }
  if (planned && !*refusal && dry_run_) {
    // Nothing is written: the fields are only passed over from now on.
    for (const Step& step : steps) {
      MarkCascaded(step.table, step.recno, step.column);
      if (reached) ++(*reached)[step.table + " (tag " + step.tag + ")"];
    }
    const auto at = cascaded_.find(walk_table_);
    cascaded_here_ = at == cascaded_.end() ? nullptr : &at->second;
    return true;
  }
  if (planned && !*refusal) {
    for (const Step& step : steps)
      planned_[{LowerAscii(step.table), FieldId(step.recno, step.column)}] = recno;
    if (!steps.empty()) {
      plans_[recno] = std::move(steps);
      // The parents' new keys and the children that take them are one
      // unit in the run log: the unit opens before any parent of it can be
      // written.
      if (!in_unit_) {
        trap.Step(RunStep::kMoveOn, [&] {
          session_.run_log().BeginUnit();
          in_unit_ = true;
        });
      }
    }
    return true;
  }
  return false;
}

void KeyCascade::ReleaseIfIdle() {
  if (!plans_.empty()) return;
  for (auto& [name, child] : children_) child.recordset->ReleaseHolds();
}

void KeyCascade::NotSaved(const std::vector<uint32_t>& records) {
  if (!plans_.empty()) not_saved_.insert(records.begin(), records.end());
}

std::optional<fox::Table::Refusal> KeyCascade::PlanOf(fox::Recordset& parent, const std::string& top,
                                                      std::vector<Step>* steps,
                                                      std::vector<std::string>* chain) {
  std::optional<fox::Table::Refusal> refusal;
  const std::vector<fox::Recordset::KeyCascade> cascades = parent.KeyCascades(&refusal);
  if (refusal) return refusal;
  for (const fox::Recordset::KeyCascade& cascade : cascades) {
    const fox::ContainerRelation& relation = cascade.relation;
    const std::string between = "the relation between " + relation.child_table + " and " +
                                relation.parent_table + " (update rule cascade)";
    // `why` is the reason repeated refusals are counted by; `told`, when
    // given, says it of the record at hand, for the report.
    auto refuse = [&](const std::string& why, const std::string& told = "") {
      const std::string to =
          "its new key cannot be given to table " + relation.child_table + " through " + between + ": ";
      return fox::Table::Refusal{fox::ErrorKind::kConflict, to + why,
                                 fox::WithFullStop("The changes to " + top + " were not saved: " + to +
                                                   (told.empty() ? why : told))};
    };
    const std::string child_id = LowerAscii(relation.child_table);
    if (std::find(chain->begin(), chain->end(), child_id) != chain->end()) {
      return refuse("the cascade comes back to table " + relation.child_table +
                    ", which Quillon does not follow");
    }
    if (chain->size() >= kCascadeDepth) return refuse("the cascade goes deeper than Quillon follows");
    ChildTable* child = nullptr;
    try {
      child = &ChildOf(relation.child_table);
    } catch (const std::exception& e) {
      return refuse(std::string("the table cannot be opened (") + e.what() + ")");
    }
    fox::Recordset& rs = *child->recordset;
    // A check that fails with an error (a record that cannot be read)
    // refuses the change as any refusal does.
    try {
      if (auto whole = rs.RulesRefuseTable(allow_triggers_)) return refuse(whole->reason);
      const std::optional<size_t> column = rs.PlainKeyColumn(relation.child_tag);
      if (!column) return refuse("its key (tag " + relation.child_tag + ") is not a plain field");
      if (auto refused = rs.table()->ColumnRefusal(*column, dry_run_)) return refuse(refused->reason);
      if (auto refused = rs.RulesRefuseColumn(*column)) return refuse(refused->reason);
      for (uint32_t recno : rs.RecordsKeyed(relation.child_tag, cascade.old_key)) {
        const bool planned = std::any_of(steps->begin(), steps->end(), [&](const Step& s) {
          return LowerAscii(s.table) == child_id && s.recno == recno && s.column == *column;
        });
        if (planned) continue;
        // A field another record's waiting cascade changes cannot be planned
        // from what the table holds now. Parents' keys are unique (a
        // relation's parent tag is primary or candidate), so this is only
        // for a tag that lets them repeat.
        if (const auto other = planned_.find({child_id, FieldId(recno, *column)}); other != planned_.end()) {
          return refuse("a record that holds the old key takes another record's new key in the same run",
                        "record " + std::to_string(recno) + " takes the new key of record " +
                            std::to_string(other->second) + " of table " + relation.parent_table +
                            " in the same run, not yet written");
        }
        try {
          if (!dry_run_) rs.Hold(recno);
        } catch (const fox::Error& e) {
          if (e.kind() != fox::ErrorKind::kLocked) throw;
          return refuse(
              "a record that holds the old key is locked by another program",
              "record " + std::to_string(recno) + ", which holds the old key, is locked by another program");
        }
        if (!rs.Reread(recno)) continue;  // deleted since
        if (rs.CurrentKey(relation.child_tag, true) != cascade.old_key) continue;
        Step step{relation.child_table, recno,           *column, {}, cascade.new_value,
                  relation.child_tag,   cascade.old_key, {}};
        step.old_value = rs.fields()[*column].Value().value_or("");
        const std::optional<fox::Table::Refusal> refused =
            dry_run_ ? rs.Foresee(*column, cascade.new_value)
                     : rs.fields()[*column].TrySetValue(cascade.new_value);
        if (refused) {
          return refuse("a record that holds the old key cannot take the new one: " + refused->reason,
                        "record " + std::to_string(recno) + " cannot take it: " + refused->reason);
        }
        std::optional<fox::Table::Refusal> ruled = rs.CheckRule(*column);
        if (!ruled) ruled = rs.CheckRule(std::nullopt);
        if (!ruled) ruled = rs.CheckRelations(relation);
        if (ruled) {
          DropEdit(rs);
          return refuse("a record that holds the old key cannot take the new one: " + ruled->reason,
                        "record " + std::to_string(recno) + " cannot take it: " + ruled->reason);
        }
        step.new_key = rs.CurrentKey(relation.child_tag, false).value_or("");
        steps->push_back(step);
        // The child's own children, when its key is also a parent's key.
        chain->push_back(child_id);
        std::optional<fox::Table::Refusal> nested = PlanOf(rs, top, steps, chain);
        chain->pop_back();
        DropEdit(rs);
        if (nested) return nested;
      }
    } catch (const fox::Error& e) {
      DropEdit(rs);
      return refuse(e.what());
    }
  }
  return std::nullopt;
}

void KeyCascade::Settle(ErrorTrap& trap, const std::string& table, bool stops) {
  std::map<uint32_t, std::vector<Step>> plans;
  plans.swap(plans_);
  planned_.clear();
  for (auto at = plans.begin(); at != plans.end();) {
    at = not_saved_.count(at->first) != 0 ? plans.erase(at) : std::next(at);
  }
  not_saved_.clear();
  if (!stops) {
    CarryOut(trap, table, plans);
  } else if (!plans.empty()) {
    // The run stops: what would write the children cannot be written either.
    trap.Step(RunStep::kMoveOn, [&] {
      throw fox::Error(
          fox::ErrorKind::kIo,
          "The run stopped before the new keys of " + std::to_string(plans.size()) + " records of table '" +
              table +
              "' were given to the records that hold their old keys: run quillon-replace --check "
              "on the database to find those left behind.");
    });
  }
  // The children are written (or the plans dropped): the unit closes.
  EndUnit(trap);
  ReleaseIfIdle();
}

void KeyCascade::EndUnit(ErrorTrap& trap) {
  if (!in_unit_) return;
  in_unit_ = false;
  try {
    session_.run_log().EndUnit();
  } catch (const std::exception& e) {
    if (unit_failed_) return;
    unit_failed_ = true;
    const std::string failure = e.what();
    trap.Step(RunStep::kMoveOn, [&] { throw fox::Error(fox::ErrorKind::kIo, failure); });
  }
}

void KeyCascade::CarryOut(ErrorTrap& trap, const std::string& parent_table,
                          const std::map<uint32_t, std::vector<Step>>& plans) {
  std::set<std::string> touched;
  std::set<std::pair<std::string, uint32_t>> records;
  std::string line, old_value, new_value;
  const std::string now = ChangeLogDateTime();
  for (const auto& [parent, steps] : plans) {
    for (const Step& step : steps) {
      ChildTable& child = children_.at(LowerAscii(step.table));
      fox::Recordset& rs = *child.recordset;
      touched.insert(LowerAscii(step.table));
      trap.Step(RunStep::kMoveOn, [&] {
        // A record given two keys (two relations) is written once before it
        // is read afresh for the second.
        if (!records.emplace(LowerAscii(step.table), step.recno).second) {
          rs.MoveTo(0);
          rs.Flush();
        }
        // Held since it was planned: it holds what was checked.
        if (!rs.Reread(step.recno) || rs.CurrentKey(step.tag, true) != step.old_key) {
          throw fox::Error(fox::ErrorKind::kConflict,
                           "Record " + std::to_string(step.recno) + " of table '" + child.name +
                               "' no longer held the old key of record " + std::to_string(parent) +
                               " of table '" + parent_table + "' and was left as it is.");
        }
        rs.fields()[step.column].SetValue(step.new_value);
        // The values as the run's other lines show theirs: trimmed text, not
        // a key padded with blanks.
        old_value = step.old_value;
        new_value = step.new_value;
        TrimSpaces(&old_value);
        TrimSpaces(&new_value);
        ChangeLogLine(&line, now, old_value, new_value, child.name, child.columns[step.column]);
        session_.log().AppendChange(&line, 1, step.recno);
        ++tally_.changed;
        ++tally_.cascaded;
        if (write_journal_) session_.JournalRecord(rs, child.journal_table);
        MarkCascaded(step.table, step.recno, step.column);
        rs.NoteKeyed(step.tag, step.new_key, step.recno);
        // A table only a cascade changed counts as the walked ones do.
        tally_.Count(LowerAscii(step.table));
      });
    }
  }
  // Moving off the last one saves it; then every child table's saves are
  // written.
  for (const std::string& id : touched) {
    ChildTable& child = children_.at(id);
    trap.Step(RunStep::kMoveOn, [&] {
      try {
        child.recordset->MoveTo(0);
        child.recordset->Flush();
      } catch (const fox::SaveError& failure) {
        // Held, the records cannot have been changed by another program: what
        // fails is the writing itself. They keep the old key, and are named.
        TallyNotSaved(session_, tally_, child.name, child.journal_table, failure);
        throw fox::Error(failure.kind(),
                         std::string(failure.what()) +
                             " They still hold the old keys of their records of table '" + parent_table +
                             "', which have the new ones: put them right before using the tables.");
      }
    });
  }
  // The code the override let go is named for each child changed.
  if (allow_triggers_) {
    for (const std::string& id : touched)
      code_not_run_.Tell(trap, *children_.at(id).recordset, children_.at(id).name);
  }
  const auto at = cascaded_.find(walk_table_);
  cascaded_here_ = at == cascaded_.end() ? nullptr : &at->second;
}

void KeyCascade::Leave(ErrorTrap& trap) {
  plans_.clear();
  planned_.clear();
  not_saved_.clear();
  EndUnit(trap);
  for (auto& [id, child] : children_) {
    child.recordset->ReleaseHolds();
    trap.Step(RunStep::kCloseRecordset, [&] {
      try {
        DropEdit(*child.recordset);
        child.recordset->Close();
      } catch (const fox::SaveError& failure) {
        TallyNotSaved(session_, tally_, child.name, child.journal_table, failure);
        throw;
      }
    });
  }
  children_.clear();
  connection_ = nullptr;
  cascaded_here_ = nullptr;
}

}  // namespace quillon
