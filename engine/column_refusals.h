// The refusals of the columns of the table a run walks. When the run reaches
// a table, Judge finds out which of its columns can never change (an
// autoincrement field, a tag Quillon cannot keep, a read-only file, a rule
// Quillon cannot evaluate), and whether that is so of the whole table for
// one reason. A value a field refuses is reported the first time for its
// column and reason; the others are counted and told in one report each when
// the run leaves the table (TellRepeated).
//
// Owns what it found of the table being walked; borrows nothing. Reports go
// through the error trap given (statement RunStep::kAssign).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/error_report.h"
#include "base/toolkit.h"
#include "data/table/table.h"

namespace fox {
class Recordset;
}

namespace quillon {

class ColumnRefusals {
 public:
  // The column Note is given for a refusal of the whole table or record.
  static constexpr size_t kWholeTable = static_cast<size_t>(-1);

  // Judges the columns of the table open in `recordset`; forgets the last
  // table's refusals. `dry_run`: the table is open read-only, and judged as
  // the real run would judge it.
  void Judge(ErrorTrap& trap, fox::Recordset& recordset, bool allow_triggers, bool dry_run);
  // Whether the walk passes over field `column`: it has no text form, or
  // cannot change (CannotChange).
  bool PassedOver(size_t column) const { return column < kinds_.size() && kinds_[column] != kFree; }
  bool CannotChange(size_t column) const { return column < kinds_.size() && kinds_[column] == kCannotChange; }
  // Why a column that cannot change cannot, and whether that is the whole
  // table's refusal.
  const fox::Table::Refusal& RefusalOf(size_t column) const {
    return table_refusal_ ? *table_refusal_ : *refusals_[column];
  }
  bool WholeTable() const { return table_refusal_.has_value(); }

  // A value field `field` (column `column`, or kWholeTable) refused:
  // reported the first time for the column and reason, counted after.
  void Note(ErrorTrap& trap, size_t column, const std::string& field, const fox::Table::Refusal& refusal);
  // Tells the refusals counted after the first of table `table`, a report
  // for each column and reason, and forgets them.
  void TellRepeated(ErrorTrap& trap, const std::string& table, const Toolkit& toolkit);

 private:
  enum Kind : char { kFree = 0, kNoTextForm = 1, kCannotChange = 2 };
  struct Repeat {
    size_t column;
    std::string field;
    std::string reason;
    int64_t more = 0;  // refusals after the first, which was reported
  };
  std::vector<char> kinds_;                                   // by column
  std::vector<std::optional<fox::Table::Refusal>> refusals_;  // why, for kCannotChange
  std::optional<fox::Table::Refusal> table_refusal_;          // when no column can change, for one reason
  std::vector<Repeat> repeats_;
};

}  // namespace quillon
