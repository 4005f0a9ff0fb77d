#include "engine/code_not_run.h"

#include <deque>
#include <exception>
#include <memory>

#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/database/table_rules.h"
#include "data/util/error.h"
#include "engine/replacement_run.h"
#include "engine/run_steps.h"

namespace quillon {

void CodeNotRun::Tell(ErrorTrap& trap, const fox::Recordset& recordset, const std::string& table) {
  if (recordset.table() == nullptr) return;
  const std::string trigger = recordset.ForeignTrigger();
  const std::string rule = recordset.UnevaluableRecordRule();
  if ((trigger.empty() && rule.empty()) || !told_.insert(LowerAscii(table)).second) return;
  if (!trigger.empty()) {
    trap.Step(RunStep::kOpenRecordset, [&] {
      throw fox::Error(fox::ErrorKind::kUnsupported,
                       "Table '" + table + "' was changed without running its update trigger " + trigger +
                           ": check what that trigger would have done.");
    });
  }
  if (!rule.empty()) {
    trap.Step(RunStep::kOpenRecordset, [&] {
      throw fox::Error(fox::ErrorKind::kUnsupported, "Table '" + table +
                                                         "' was changed without checking its record "
                                                         "validation rule (" +
                                                         rule +
                                                         "): check what that rule would have refused.");
    });
  }
}

std::vector<std::string> CodeNotRun::Foreseen(const DataSource& source,
                                              const std::vector<std::string>& tables) {
  std::vector<std::string> lines;
  if (!source.is_container()) return lines;
  fox::Connection connection;
  try {
    connection.Open(ConnectionStringOf(source));
  } catch (const std::exception&) {
    return lines;  // the run says why
  }
  std::set<std::string> seen;
  std::deque<std::string> queue(tables.begin(), tables.end());
  while (!queue.empty()) {
    const std::string table = queue.front();
    queue.pop_front();
    if (!seen.insert(LowerAscii(table)).second) continue;
    try {
      const std::unique_ptr<fox::Table> opened = connection.OpenTable(table, fox::DiskFile::Mode::kReadOnly);
      const std::unique_ptr<fox::TableRules> rules = connection.RulesOf(table, *opened);
      if (!rules) continue;
      std::string skipped;
      if (!rules->update_trigger().empty() && !rules->update_trigger_is_ri())
        skipped = "its update trigger " + rules->update_trigger();
      const std::string rule = rules->RecordRuleUnevaluable();
      if (!rule.empty())
        skipped +=
            (skipped.empty() ? "" : " and ") + std::string("its record validation rule (") + rule + ")";
      if (!skipped.empty()) lines.push_back(table + ": " + skipped);
      for (const fox::ContainerRelation& relation : rules->as_parent()) {
        if (relation.on_update == fox::ContainerRelation::Rule::kCascade)
          queue.push_back(relation.child_table);
      }
    } catch (const std::exception&) {
      // Passed over: the run reports a table it cannot open.
    }
  }
  connection.Close();
  return lines;
}

}  // namespace quillon
