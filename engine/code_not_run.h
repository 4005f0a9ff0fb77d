// The reports of the code a run did not run. Under the user's override
// (RunRequest::allow_triggers, --without-triggers) a table of a container
// whose update trigger runs code Quillon cannot run, or whose record rule it
// cannot evaluate, is changed without that code: each table so changed is
// named once per run, whether the run walked it or only a cascade changed
// it, with what was not run.
//
// Before a run, Foreseen names the tables whose code the override would
// skip, for the question the window asks.
//
// Owns the names of the tables told; borrows nothing. Reports go through the
// error trap given (statement RunStep::kOpenRecordset).
#pragma once

#include <set>
#include <string>
#include <vector>

#include "access/foxpro_module.h"
#include "base/error_report.h"

namespace fox {
class Recordset;
}

namespace quillon {

class CodeNotRun {
 public:
  // Forgets the tables told (a new run).
  void Forget() { told_.clear(); }
  // Tells, the first time for `table` (open in `recordset`, changed), the
  // update trigger and the record rule it was changed without.
  void Tell(ErrorTrap& trap, const fox::Recordset& recordset, const std::string& table);

  // The tables of `source` a run of `tables` could change without their
  // code (those tables, and the children their keys cascade to), one line
  // each: "orders: its record validation rule (a rule Quillon cannot
  // evaluate: it calls checkorder())". None for a folder of free tables; a
  // table that cannot be opened is passed over (the run reports it).
  static std::vector<std::string> Foreseen(const DataSource& source, const std::vector<std::string>& tables);

 private:
  std::set<std::string> told_;  // lower case
};

}  // namespace quillon
