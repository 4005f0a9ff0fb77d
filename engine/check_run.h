// CheckRun: checks the tables of a data source against themselves, writing
// nothing.
//
// For each table named it checks every tag of the structural index against
// the records (fox::CheckIndex), for a database's table the records that
// already break a field or record validation rule, and the child records
// whose key no parent record holds in a relation. The results are plain
// values (TableCheck); saying them and choosing an exit status is the
// caller's. The constructor opens the data source and throws what the
// connection throws (fox::Error); Check never throws for a table: what
// stops a table's check is told in TableCheck::cannot_check.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "access/foxpro_module.h"
#include "data/database/connection.h"
#include "data/table/index_check.h"

namespace quillon {

// A rule of a database's table that records already break, or that cannot
// be evaluated.
struct RuleCheck {
  std::string rule;             // which rule: "the validation rule of field nombre of table t"
  std::string expression;       // the rule as stored
  std::string message;          // its message, or why it cannot be evaluated
  bool evaluated = true;        // false: the rule was not checked (message says why)
  uint64_t records = 0;         // live records that break it
  std::vector<uint32_t> first;  // the numbers of the first few (at most kFirstRecords)
};

// A relation in which the table is the child, some of whose records hold a
// key no parent record holds (or that could not be checked). Keys compare
// by value (data/database/relation_key.h); a null or empty child key needs
// no parent.
struct RelationCheck {
  std::string parent_table;
  std::string child_tag;
  bool declared = false;        // it declares referential integrity: an orphan breaks it
  std::string not_checked;      // why it could not be checked; "" when it was
  uint64_t orphans = 0;         // child records whose key no parent holds
  std::vector<uint32_t> first;  // the numbers of the first few (at most kFirstRecords)
};

struct TableCheck {
  static constexpr size_t kFirstRecords = 5;

  std::string table;
  bool run_interrupted = false;  // a Quillon run's repair marker lies beside it
  std::vector<RuleCheck> rules;  // in the order first met
  std::vector<RelationCheck> relations;
  // Why the table (or its index) cannot be checked; none when it could be. A
  // table whose check stopped keeps the rules and relations found before.
  std::optional<std::string> cannot_check;
  bool has_index = false;           // it has a structural index, checked tag by tag
  std::vector<fox::TagCheck> tags;  // when has_index

  // True when every tag was checked and is consistent (or there is no
  // index), no rule is broken and no declared relation has an orphan.
  bool clean() const;
};

class CheckRun {
 public:
  // Opens the data source `source` names (read only).
  explicit CheckRun(const DataSource& source);

  TableCheck Check(const std::string& table) const;

 private:
  fox::Connection connection_;
};

}  // namespace quillon
