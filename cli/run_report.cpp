#include "cli/run_report.h"

#include <string>

namespace quillon {
namespace {

// "3, 7, 9" and, past the first few, " and N more".
std::string RecordList(const std::vector<uint32_t>& first, uint64_t count) {
  std::string text;
  for (size_t i = 0; i < first.size(); ++i) text += (i ? ", " : "") + std::to_string(first[i]);
  if (count > TableCheck::kFirstRecords)
    text += " and " + std::to_string(count - TableCheck::kFirstRecords) + " more";
  return text;
}

}  // namespace

void PrintCheck(const TableCheck& check, std::ostream& out) {
  const std::string& name = check.table;
  if (check.run_interrupted) {
    out << name << ": a Quillon run stopped before it finished changing it (or one is changing it now): "
        << "the next run writes whole the records it was writing, checks its index and rebuilds the tags "
           "that "
           "need it before changing anything\n";
  }
  for (const RuleCheck& rule : check.rules) {
    if (!rule.evaluated) {
      out << name << ": " << rule.rule << " (" << rule.expression << ") not checked: " << rule.message
          << "\n";
      continue;
    }
    out << name << ": " << rule.rule << " (" << rule.expression << ") BROKEN by " << rule.records
        << (rule.records == 1 ? " record: " : " records: ") << RecordList(rule.first, rule.records) << " (\""
        << rule.message << "\")\n";
  }
  for (const RelationCheck& relation : check.relations) {
    const std::string what = "the relation to " + relation.parent_table + " (tag " + relation.child_tag + ")";
    if (!relation.not_checked.empty()) {
      out << name << ": " << what << " not checked: " << relation.not_checked << "\n";
      continue;
    }
    out << name << ": " << what << (relation.declared ? " BROKEN by " : " not kept by ") << relation.orphans
        << (relation.orphans == 1 ? " record: " : " records: ")
        << RecordList(relation.first, relation.orphans) << " (no record of " << relation.parent_table
        << " holds the key)\n";
  }
  if (check.cannot_check) {
    out << name << ": cannot be checked: " << *check.cannot_check << "\n";
  } else if (!check.has_index) {
    out << name << ": no structural index\n";
  } else {
    if (check.tags.empty()) out << name << ": its structural index holds no tags\n";
    for (const fox::TagCheck& tag : check.tags) {
      out << name << ": tag " << tag.tag << ": ";
      if (!tag.checked) {
        out << "not checked: " << tag.not_checked_reason << "\n";
      } else if (tag.problem.empty()) {
        out << tag.keys << (tag.keys == 1 ? " key" : " keys") << ", consistent\n";
      } else {
        out << "INCONSISTENT: " << tag.problem << "\n";
      }
    }
  }
  out.flush();
}

bool PrintReach(const TableReach& reach, std::ostream& out) {
  // A table no column of which could change (damaged, its index missing):
  // one line.
  if (!reach.unchangeable.empty()) {
    out << reach.table << ": cannot be changed: " << reach.unchangeable << "\n";
    out.flush();
    return true;
  }
  bool any = false, problem = false;
  for (const ColumnReach& column : reach.columns) {
    if (column.fields == 0 && column.refused == 0 && column.refusal.empty()) continue;
    any = true;
    problem = problem || !column.refusal.empty();
    out << reach.table << " (" << column.column << "): ";
    if (column.fields == 0 && column.refused == 0) {
      out << "cannot be changed: " << column.refusal << "\n";
      continue;
    }
    out << column.fields << (column.fields == 1 ? " field" : " fields");
    if (column.refused > 0) {
      const bool about_column = column.refusal.rfind("it ", 0) == 0;
      out << ", " << column.refused << " refused: " << (about_column ? "" : "the new text ")
          << column.refusal;
    }
    if (column.longest > kLongValueWarning) {
      out << "; a new value would grow to " << column.longest << " bytes (record " << column.longest_record
          << "): check that no set feeds on what another puts in";
    }
    out << "\n";
  }
  if (reach.records_refused > 0) {
    any = problem = true;
    out << reach.table << ": " << reach.records_refused
        << (reach.records_refused == 1 ? " record" : " records") << " refused: " << reach.record_refusal
        << "\n";
  }
  for (const TableReach::Cascade& cascade : reach.cascades) {
    any = true;
    out << reach.table << ": key changes would cascade to " << cascade.records
        << (cascade.records == 1 ? " record of " : " records of ") << cascade.child << "\n";
  }
  if (!any) out << reach.table << ": no fields\n";
  out.flush();
  return problem;
}

}  // namespace quillon
