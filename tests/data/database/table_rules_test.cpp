// The rules of a container's table checked against records before they are
// saved: FoxPro's messages, rules that call stored procedures, and what the
// save path needs for referential integrity.
#include "data/database/table_rules.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "data/table/table.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using fox::ContainerObject;
using fox::DatabaseContainer;
using fox::RuleRefusal;
using fox::TableRules;
using testing_support::Fixture;

// A table of foxbin2prg/fb2p_dbc.dbc opened with its long field names.
struct MemberTable {
  MemberTable(const DatabaseContainer& container, const std::string& name)
      : object(*container.FindTable(name)), table(container.TableFilePath(object), Options(object)) {}
  static fox::Table::Options Options(const ContainerObject& object) {
    fox::Table::Options options;
    options.long_names = object.field_names;
    return options;
  }
  std::string Record(uint32_t recno) const {
    std::string record;
    table.ReadRecords(recno, 1, &record);
    return record;
  }
  void Set(std::string& record, size_t column, const std::string& text) const {
    table.codec().Assign(record, table.field(column), text);
  }
  const ContainerObject& object;
  fox::Table table;
};

std::string Describe(const std::vector<RuleRefusal>& refusals) {
  std::string out;
  for (const RuleRefusal& r : refusals) {
    out += r.kind == RuleRefusal::Kind::kViolated ? "violated" : "cannot";
    out += " " + (r.column ? std::to_string(*r.column) : std::string("record")) + ": " + r.message + "\n";
  }
  return out;
}

TEST(TableRules, RulesOfAFoxProContainerGiveItsMessages) {
  DatabaseContainer container(Fixture("foxbin2prg/fb2p_dbc.dbc"));
  MemberTable t(container, "nombrelargodeldbf");  // nombre, edad, id, bigtext, depto
  TableRules rules(container, t.object, t.table.expression_schema());
  EXPECT_TRUE(rules.HasFieldRule(0));
  EXPECT_FALSE(rules.HasFieldRule(1));
  EXPECT_TRUE(rules.HasRecordRule());

  std::string record = t.Record(1);  // "Fer", 45
  EXPECT_EQ(Describe(rules.Check(record, {0, 1})), "");
  EXPECT_EQ(Describe(rules.Check(record, {})), "");
  t.Set(record, 0, "");
  t.Set(record, 1, "5");
  // The rule text is an expression: its value, in UTF-8, is the message.
  EXPECT_EQ(Describe(rules.Check(record, {0})),
            "violated 0: El nombre est\u00e1 vac\u00edo\n"
            "violated record: Mensaje de error de la regla edad > 10\n");
  const std::vector<RuleRefusal> refusals = rules.Check(record, {1});  // edad has no rule of its own
  ASSERT_EQ(refusals.size(), 1u);
  EXPECT_EQ(refusals[0].expression, "edad>10");
  EXPECT_EQ(refusals[0].rule, "the record validation rule of table nombrelargodeldbf");

  // Its update trigger is the RI builder's and a stored procedure of its own.
  EXPECT_EQ(rules.update_trigger(), "__ri_update_nombrelargodeldbf().AND.(upd_trg())");
  EXPECT_FALSE(rules.update_trigger_is_ri());
  ASSERT_EQ(rules.as_child().size(), 1u);
  EXPECT_EQ(rules.as_child()[0].parent_table, "FB2P_DEPTO");
  EXPECT_TRUE(rules.as_parent().empty());

  // Without rule text FoxPro shows its own message. "=" compares as SET
  // EXACT OFF does: "Fer" = "F" holds.
  ContainerObject own = t.object;
  own.field_rules[0] = {"nombre = 'F'", ""};
  own.record_rule = {"BETWEEN(edad, 18, 65) .AND. LEN(TRIM(nombre)) > 1", ""};
  own.update_trigger = "__RI_UPDATE_NombreLargoDelDbf( )";
  TableRules defaults(container, own, t.table.expression_schema());
  EXPECT_TRUE(defaults.update_trigger_is_ri());
  record = t.Record(1);
  EXPECT_EQ(Describe(defaults.Check(record, {0})), "");
  t.Set(record, 0, "X");
  EXPECT_EQ(Describe(defaults.Check(record, {0, 2})),
            "violated 0: Field nombre validation rule is violated.\n"
            "violated record: Record validation rule is violated.\n");
}

TEST(TableRules, RulesCallingProceduresAreRefusedByName) {
  DatabaseContainer container(Fixture("foxbin2prg/fb2p_dbc.dbc"));
  MemberTable t(container, "fb2p_depto");  // depto, descrip
  TableRules rules(container, t.object, t.table.expression_schema());
  const std::string record = t.Record(1);
  EXPECT_EQ(Describe(rules.Check(record, {1, 0})),
            "cannot 0: a rule Quillon cannot evaluate: it calls depto_field_validation_rule()\n"
            "cannot record: a rule Quillon cannot evaluate: it calls fb2p_depto_record_rule_validation()\n");
  EXPECT_EQ(Describe(rules.Check(record, {1})),
            "cannot record: a rule Quillon cannot evaluate: it calls fb2p_depto_record_rule_validation()\n");
  EXPECT_EQ(rules.delete_trigger(), "__ri_delete_fb2p_depto()");
  EXPECT_FALSE(rules.update_trigger_is_ri());  // it has none
  ASSERT_EQ(rules.as_parent().size(), 1u);
  EXPECT_EQ(rules.as_parent()[0].child_table, "nombrelargodeldbf");
  EXPECT_EQ(rules.as_parent()[0].child_tag, "DEPTO");

  // A rule whose message calls a procedure: violated, without FoxPro's message.
  ContainerObject own = t.object;
  own.field_rules[1] = {"!EMPTY(descrip)", "msg()"};
  own.record_rule = {};
  own.field_rules[0] = {};
  TableRules message(container, own, t.table.expression_schema());
  EXPECT_EQ(Describe(message.Check(record, {1})), "");
  std::string blank = record;
  t.Set(blank, 1, "");
  EXPECT_EQ(
      Describe(message.Check(blank, {1})),
      "violated 1: The validation rule of field descrip of table fb2p_depto is violated; its message msg() "
      "cannot be evaluated: it calls msg().\n");
}

}  // namespace
