// The rules a database container declares for one of its tables, compiled
// once and checked against records before they are saved: the validation
// rule of each field and the record's rule, as Visual FoxPro enforces them,
// and, for the save path's referential integrity, the table's update trigger
// and the relations in which it is parent or child.
//
// FoxPro checks a field's rule when the field's value changes and the
// record's rule when any value of the record changes (Visual FoxPro
// documentation, "Knowing When Field-Level Rules Are Checked" and
// "Record-Level Rule Checking"). Rules run under SET EXACT OFF, the default.
// When a rule gives .F., FoxPro shows its rule text evaluated; without rule
// text it shows its own message: error 1582, "Field <name> validation rule is
// violated." for a field (the wording of Visual FoxPro's error list; the
// Knowledge Base articles Q129537 and Q129756 quote older variants of it), and
// error 1583, "Record validation rule is violated." for the record (wording
// from the error list, not confirmed against a running Visual FoxPro).
//
// A rule or rule text Quillon cannot evaluate (it calls a stored procedure
// or a function not evaluated here, or its result would depend on something
// not known) is never guessed: checking it gives a refusal saying so, and the
// caller must not change what the rule guards.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/database/database_container.h"
#include "data/expression/index_expression.h"

namespace fox {

struct RuleRefusal {
  enum class Kind {
    kViolated,        // the rule gives .F.: the value must not be saved
    kCannotEvaluate,  // the rule could not be evaluated: nothing it guards may change
  };
  Kind kind = Kind::kViolated;
  std::optional<size_t> column;  // the field whose rule refused; none for the record's rule
  std::string rule;              // which rule: "the validation rule of field nombre of table t"
  std::string expression;        // the rule as stored (UTF-8)
  // kViolated: the message as FoxPro shows it (UTF-8), or, when the rule
  // text cannot be evaluated, that the rule is violated and why its message
  // cannot be told. kCannotEvaluate: "a rule Quillon cannot evaluate: " and
  // why, e.g. "it calls checkcredit()".
  std::string message;
};

class TableRules {
 public:
  // Compiles the rules of `table` (a table object of `container`) against
  // the table's columns, `schema` (Table::expression_schema()), whose columns
  // pair with table.field_names in order. Never throws for a rule it cannot
  // compile: that rule refuses every check instead.
  TableRules(const DatabaseContainer& container, const ContainerObject& table,
             const ExpressionSchema& schema);
  TableRules(TableRules&&) noexcept;
  ~TableRules();

  const std::string& table_name() const { return table_name_; }

  // Checks `record` (the whole record as it would be saved, deletion flag
  // first) after the columns `changed` changed: the rules of those fields in
  // column order, then the record's rule when any column changed. Returns
  // the refusals, none when every rule holds. Memo values not yet written
  // are taken from `pending_memos`; others are read through the schema's
  // read_memo, on the calling thread.
  std::vector<RuleRefusal> Check(std::string_view record, const std::vector<size_t>& changed,
                                 const IndexExpression::MemoValues* pending_memos = nullptr) const;

  // Whether `column` has a validation rule; whether the table has a
  // record rule.
  bool HasFieldRule(size_t column) const;
  bool HasRecordRule() const;
  // Why the rule of `column`, or the record's rule, can never be evaluated
  // ("a rule Quillon cannot evaluate: it calls checkcredit()"), so that what
  // it guards must not change; "" when it can be (or there is none).
  std::string FieldRuleUnevaluable(size_t column) const;
  std::string RecordRuleUnevaluable() const;

  // The update trigger as stored ("" for none), and whether it is exactly
  // the one FoxPro's referential-integrity builder writes,
  // "__ri_update_<table>()" (case and blanks aside), whose work is the
  // relations' update rules below. A table whose trigger is anything else
  // runs code Quillon cannot run.
  const std::string& update_trigger() const { return update_trigger_; }
  bool update_trigger_is_ri() const { return update_trigger_is_ri_; }
  const std::string& insert_trigger() const { return insert_trigger_; }
  const std::string& delete_trigger() const { return delete_trigger_; }

  // The container's relations in which this table is the parent, and those
  // in which it is the child (table names compared ignoring case).
  const std::vector<ContainerRelation>& as_parent() const { return as_parent_; }
  const std::vector<ContainerRelation>& as_child() const { return as_child_; }

  struct Compiled;

 private:
  std::string table_name_;
  std::vector<std::unique_ptr<Compiled>> field_rules_;  // by column; null where there is no rule
  std::unique_ptr<Compiled> record_rule_;               // null when there is none
  std::string update_trigger_;
  bool update_trigger_is_ri_ = false;
  std::string insert_trigger_;
  std::string delete_trigger_;
  std::vector<ContainerRelation> as_parent_;
  std::vector<ContainerRelation> as_child_;
};

}  // namespace fox
