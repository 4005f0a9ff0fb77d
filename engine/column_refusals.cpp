#include "engine/column_refusals.h"

#include "data/database/recordset.h"
#include "data/table/table.h"
#include "data/util/full_stop.h"
#include "engine/run_steps.h"

namespace quillon {

void ColumnRefusals::Judge(ErrorTrap& trap, fox::Recordset& recordset, bool allow_triggers, bool dry_run) {
  kinds_.clear();
  refusals_.clear();
  table_refusal_.reset();
  repeats_.clear();
  const fox::Table* table = recordset.table();
  if (table == nullptr) return;
  const size_t columns = table->field_count();
  kinds_.assign(columns, kFree);
  refusals_.resize(columns);
  // Whether every column with a text form is refused for one reason.
  bool all_alike = true;
  const fox::Table::Refusal* first = nullptr;
  // The container's rules first: a trigger Quillon cannot run, or a record
  // rule it cannot evaluate, keeps the whole table as it is; a field rule it
  // cannot evaluate, the field.
  std::optional<fox::Table::Refusal> whole_table;
  trap.Step(RunStep::kCountFields, [&] { whole_table = recordset.RulesRefuseTable(allow_triggers); });
  for (size_t j = 0; j < columns; ++j) {
    // Tables are open for reading only in a dry run: a column is judged as
    // the real run would judge it.
    trap.Step(RunStep::kCountFields, [&] {
      refusals_[j] = whole_table;
      if (!refusals_[j]) refusals_[j] = table->ColumnRefusal(j, dry_run);
      if (!refusals_[j]) refusals_[j] = recordset.RulesRefuseColumn(j);
    });
    if (!fox::FieldCodec::HasTextForm(table->field(j))) {
      kinds_[j] = kNoTextForm;  // never found: no text form
      continue;
    }
    if (!refusals_[j]) {
      all_alike = false;
      continue;
    }
    kinds_[j] = kCannotChange;
    if (!first) {
      first = &*refusals_[j];
    } else if (refusals_[j]->reason != first->reason) {
      all_alike = false;
    }
  }
  // A column that cannot change is told only when a value in it holds a find
  // text: a column no find text reaches needs no change.
  if (all_alike && first) {
    table_refusal_ = fox::Table::Refusal{
        first->kind, first->reason,
        fox::WithFullStop("Table '" + table->name() + "' cannot be changed: " + first->reason)};
  }
}

void ColumnRefusals::Note(ErrorTrap& trap, size_t column, const std::string& field,
                          const fox::Table::Refusal& refusal) {
  for (Repeat& repeat : repeats_) {
    if (repeat.column == column && repeat.reason == refusal.reason) {
      ++repeat.more;
      return;
    }
  }
  repeats_.push_back(Repeat{column, field, refusal.reason, 0});
  trap.Step(RunStep::kAssign, [&] { throw fox::Error(refusal.kind, refusal.message); });
}

void ColumnRefusals::TellRepeated(ErrorTrap& trap, const std::string& table, const Toolkit& toolkit) {
  for (const Repeat& repeat : repeats_) {
    if (repeat.more == 0) continue;
    const bool whole_table = repeat.column == kWholeTable;
    const std::string why =
        whole_table || repeat.reason.rfind("it ", 0) == 0 ? repeat.reason : "the value " + repeat.reason;
    const std::string where = whole_table ? "of table '" + table + "' "
                                          : "for field '" + repeat.field + "' of table '" + table + "' ";
    trap.Step(RunStep::kAssign, [&] {
      throw fox::Error(fox::ErrorKind::kInvalidValue,
                       toolkit.FormatCount(repeat.more) + " more " +
                           (repeat.more == 1 ? "value " : "values ") + where +
                           (repeat.more == 1 ? "was" : "were") +
                           fox::WithFullStop(" refused for the same reason: " + why));
    });
  }
  repeats_.clear();
}

}  // namespace quillon
