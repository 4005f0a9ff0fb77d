// Reading database containers (.dbc): the tables and views they list, the
// table files they point to, the long field names, the rules, triggers and
// relations, and damaged containers.
#include "data/database/database_container.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <tuple>

#include "data/file/file_names.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "tests/support/test_support.h"

namespace {

namespace fs = std::filesystem;
using fox::ContainerObject;
using fox::DatabaseContainer;
using fox::ErrorKind;
using testing_support::Fixture;
using Names = std::vector<std::string>;

Names NamesOf(const DatabaseContainer& c, ContainerObject::Kind kind) {
  Names names;
  for (const auto& object : c.objects())
    if (object.kind == kind) names.push_back(object.name);
  return names;
}

ErrorKind KindOfError(const std::string& path, std::string* message = nullptr) {
  try {
    DatabaseContainer container(path);
  } catch (const fox::Error& e) {
    if (message) *message = e.what();
    return e.kind();
  }
  ADD_FAILURE() << path << " opened without error";
  return ErrorKind::kUsage;
}

// Visible short field names of a table, read here without the library.
Names ShortNames(const std::string& path) {
  std::string bytes = testing_support::ReadFileBytes(path);
  Names names;
  for (size_t at = 32; at + 32 <= bytes.size() && bytes[at] != 0x0D; at += 32)
    if (!(bytes[at + 18] & 0x01)) names.push_back(std::string(bytes.data() + at, 11).c_str());
  return names;
}

// Where a container record lies, found by its type and name.
size_t RecordOffset(const std::string& bytes, const std::string& type, const std::string& name) {
  uint16_t header_length = fox::LoadLE16(bytes.data() + 8), record_length = fox::LoadLE16(bytes.data() + 10);
  uint32_t count = fox::LoadLE32(bytes.data() + 4);
  size_t type_at = 0, name_at = 0;
  for (size_t at = 32; bytes[at] != 0x0D; at += 32) {
    std::string field(bytes.data() + at, 11);
    if (field.c_str() == std::string("OBJECTTYPE")) type_at = fox::LoadLE32(bytes.data() + at + 12);
    if (field.c_str() == std::string("OBJECTNAME")) name_at = fox::LoadLE32(bytes.data() + at + 12);
  }
  for (uint32_t r = 0; r < count; ++r) {
    size_t record = header_length + size_t{r} * record_length;
    auto trimmed = [&](size_t at, size_t n) {
      std::string s = bytes.substr(record + at, n);
      return s.substr(0, s.find_last_not_of(' ') + 1);
    };
    if (trimmed(type_at, 10) == type && trimmed(name_at, 128) == name) return record;
  }
  ADD_FAILURE() << "no record " << type << " " << name;
  return 0;
}

// ---------------------------------------------------------------------------

TEST(DatabaseContainer, ListsTablesAndViewsInContainerOrder) {
  struct Expected {
    const char* path;
    Names tables;
    Names views;
  };
  const Expected expected[] = {
      {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC", {"types", "setup", "contacts", "calls"}, {}},
      {"go-dbase/database/EXPENSES.DBC",
       {"employees", "expense_categories", "expense_details", "expense_reports"},
       {}},
      {"foxbin2prg/fb2p_dbc.dbc",
       {"fb2p_depto", "nombrelargodeldbf"},
       {"rv_db_debug_setup", "vista_local", "vw_local_encuestas", "vw_ora_convenios", "vw_ora_dual"}},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.path);
    DatabaseContainer container(Fixture(e.path));
    EXPECT_EQ(NamesOf(container, ContainerObject::Kind::kTable), e.tables);
    EXPECT_EQ(NamesOf(container, ContainerObject::Kind::kView), e.views);
    for (const auto& object : container.objects()) {
      if (object.kind != ContainerObject::Kind::kView) continue;
      EXPECT_EQ(container.FindTable(object.name), nullptr) << object.name;
      EXPECT_EQ(object.stored_path, "");
      EXPECT_THROW(container.TableFilePath(object), fox::Error);
    }
  }
}

TEST(DatabaseContainer, StoredPathsResolveAgainstTheContainerFolder) {
  struct Expected {
    const char* container;
    const char* table;
    const char* stored;
    const char* file;
  };
  const Expected expected[] = {
      {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC", "contacts", "contacts.dbf", "ruby-dbf/foxprodb/contacts.dbf"},
      {"go-dbase/database/EXPENSES.DBC", "expense_reports", "expense reports.dbf",
       "go-dbase/database/expense reports.dbf"},
      {"go-dbase/database/EXPENSES.DBC", "Expense_Categories", "expense categories.dbf",
       "go-dbase/database/expense categories.dbf"},
      {"foxbin2prg/fb2p_dbc.dbc", "NombreLargoDelDbf", "fb2p_dbf.dbf", "foxbin2prg/fb2p_dbf.dbf"},
  };
  for (const Expected& e : expected) {
    SCOPED_TRACE(e.table);
    DatabaseContainer container(Fixture(e.container));
    const ContainerObject* table = container.FindTable(e.table);
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->stored_path, e.stored);
    EXPECT_TRUE(fs::equivalent(container.TableFilePath(*table), Fixture(e.file)));
  }
}

TEST(DatabaseContainer, FileNamesMatchIgnoringCaseAndMissingFilesAreNamed) {
  testing_support::TempDir dir;
  std::string folder = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  fs::rename(fs::path(folder) / "types.dbf", fs::path(folder) / "TYPES.DBF");
  fs::remove(fs::path(folder) / "setup.dbf");
  DatabaseContainer container((fs::path(folder) / "FOXPRO-DB-TEST.DBC").string());

#ifdef _WIN32
  // The file system ignores case: the stored name leads to the file as it is.
  EXPECT_TRUE(
      fs::equivalent(container.TableFilePath(*container.FindTable("types")), fs::path(folder) / "TYPES.DBF"));
#else
  EXPECT_EQ(fs::path(container.TableFilePath(*container.FindTable("types"))).filename(), "TYPES.DBF");
#endif
  try {
    container.TableFilePath(*container.FindTable("setup"));
    ADD_FAILURE() << "resolved a missing file";
  } catch (const fox::Error& e) {
    EXPECT_EQ(e.kind(), ErrorKind::kNotFound);
    EXPECT_NE(std::string(e.what()).find("setup"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("setup.dbf"), std::string::npos) << e.what();
  }
}

TEST(DatabaseContainer, LongFieldNamesInColumnOrder) {
  DatabaseContainer expenses(Fixture("go-dbase/database/EXPENSES.DBC"));
  EXPECT_EQ(expenses.FindTable("expense_categories")->field_names,
            (Names{"expensecategoryid", "expensecategory", "expensecategoryaccount"}));
  EXPECT_EQ(expenses.FindTable("expense_reports")->field_names,
            (Names{"expensereportid", "employeeid", "expensetype", "expenserptname", "expenserptdescr",
                   "datesubmitted", "advanceamount", "departmentcharged", "paid"}));
  DatabaseContainer foxpro(Fixture("ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"));
  EXPECT_EQ(foxpro.FindTable("types")->field_names, (Names{"contact_type_id", "contact_type"}));
  DatabaseContainer fb2p(Fixture("foxbin2prg/fb2p_dbc.dbc"));
  EXPECT_EQ(fb2p.FindTable("nombrelargodeldbf")->field_names,
            (Names{"nombre", "edad", "id", "bigtext", "depto"}));
  EXPECT_EQ(fb2p.objects()[3].field_names,
            (Names{"descrip", "nombre", "edad", "id", "depto"}));  // vista_local
}

TEST(DatabaseContainer, LongNamesPairWithTheShortNamesOfEveryMemberTable) {
  // The short name is the long name cut to 10 characters, or cut to 9 and
  // numbered when that collided.
  for (const char* path : {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC", "go-dbase/database/EXPENSES.DBC",
                           "foxbin2prg/fb2p_dbc.dbc"}) {
    DatabaseContainer container(Fixture(path));
    for (const auto& table : container.objects()) {
      if (table.kind != ContainerObject::Kind::kTable) continue;
      SCOPED_TRACE(table.name);
      Names short_names = ShortNames(container.TableFilePath(table));
      ASSERT_EQ(table.field_names.size(), short_names.size());
      for (size_t i = 0; i < short_names.size(); ++i) {
        std::string cut = fox::LowerAscii(table.field_names[i].substr(0, 10));
        std::string actual = fox::LowerAscii(short_names[i]);
        EXPECT_TRUE(actual == cut || (actual.size() == 10 && actual.substr(0, 9) == cut.substr(0, 9) &&
                                      std::isdigit(static_cast<unsigned char>(actual[9]))))
            << short_names[i] << " vs " << table.field_names[i];
      }
    }
  }
}

// What the fixtures' PROPERTY memos and RIINFO columns hold, as a dump of
// the .dct shows it (tests/fixtures/MANIFEST.md): fb2p_dbc was made by
// Visual FoxPro with rules, triggers calling stored procedures and the
// triggers its RI builder writes.
TEST(DatabaseContainer, RulesTriggersAndRelationsAsStored) {
  using Rule = fox::ContainerRelation::Rule;
  DatabaseContainer fb2p(Fixture("foxbin2prg/fb2p_dbc.dbc"));
  const ContainerObject& dbf = *fb2p.FindTable("nombrelargodeldbf");
  ASSERT_EQ(dbf.field_rules.size(), dbf.field_names.size());
  EXPECT_EQ(dbf.field_rules[0].expression, ".NOT.EMPTY(nombre)");
  EXPECT_EQ(dbf.field_rules[0].text, "\"El nombre est\u00e1 vac\u00edo\"");  // 1252 bytes, decoded
  for (size_t c = 1; c < dbf.field_rules.size(); ++c) EXPECT_TRUE(dbf.field_rules[c].empty()) << c;
  EXPECT_EQ(dbf.record_rule.expression, "edad>10");
  EXPECT_EQ(dbf.record_rule.text, "\"Mensaje de error de la regla edad > 10\"");
  EXPECT_EQ(dbf.insert_trigger, "__ri_insert_nombrelargodeldbf().AND.(ins_trg())");
  EXPECT_EQ(dbf.update_trigger, "__ri_update_nombrelargodeldbf().AND.(upd_trg())");
  EXPECT_EQ(dbf.delete_trigger, "del_trg()");
  const ContainerObject& depto = *fb2p.FindTable("fb2p_depto");
  EXPECT_EQ(depto.field_rules[0].expression, "depto_field_validation_rule()");
  EXPECT_EQ(depto.field_rules[0].text, "depto_field_validation_message()");
  EXPECT_EQ(depto.record_rule.expression, "fb2p_depto_record_rule_validation()");
  EXPECT_EQ(depto.delete_trigger, "__ri_delete_fb2p_depto()");
  EXPECT_EQ(depto.update_trigger, "");
  ASSERT_EQ(fb2p.relations().size(), 1u);
  const fox::ContainerRelation& r = fb2p.relations()[0];
  EXPECT_EQ(r.child_table + "." + r.child_tag + " -> " + r.parent_table + "." + r.parent_tag,
            "nombrelargodeldbf.DEPTO -> FB2P_DEPTO.DEPTO");
  EXPECT_EQ(r.riinfo, "");
  EXPECT_TRUE(r.on_update == Rule::kIgnore && r.on_delete == Rule::kIgnore && r.on_insert == Rule::kIgnore);

  DatabaseContainer foxpro(Fixture("ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"));
  Names relations;
  for (const auto& x : foxpro.relations())
    relations.push_back(x.child_table + "." + x.child_tag + " -> " + x.parent_table + "." + x.parent_tag);
  EXPECT_EQ(relations,
            (Names{"contacts.type_id -> types.type_id", "calls.contact_id -> contacts.contact_id"}));
  EXPECT_TRUE(foxpro.FindTable("contacts")->record_rule.empty());
  EXPECT_TRUE(foxpro.FindTable("contacts")->field_rules[0].empty());  // a default value only

  // RIINFO: update, delete and insert rules. The fixtures' are blank: the
  // letters are written into a copy.
  testing_support::TempDir dir;
  const std::string folder = testing_support::CopyFixtureFolder(dir, "foxbin2prg");
  const std::string path = (fs::path(folder) / "fb2p_dbc.dbc").string();
  std::string bytes = testing_support::ReadFileBytes(path);
  size_t riinfo = 0;
  for (size_t at = 32; bytes[at] != 0x0D; at += 32)
    if (std::string(bytes.data() + at, 11).c_str() == std::string("RIINFO"))
      riinfo = fox::LoadLE32(bytes.data() + at + 12);
  ASSERT_NE(riinfo, 0u);
  const size_t relation = RecordOffset(bytes, "Relation", "relation 1");
  for (const auto& [letters, update, remove, insert] :
       {std::tuple{"CRI   ", Rule::kCascade, Rule::kRestrict, Rule::kIgnore},
        std::tuple{"RCR   ", Rule::kRestrict, Rule::kCascade, Rule::kRestrict},
        std::tuple{"IX    ", Rule::kIgnore, Rule::kUnknown, Rule::kIgnore}}) {
    bytes.replace(relation + riinfo, 6, letters);
    testing_support::WriteFileBytes(path, bytes);
    const fox::ContainerRelation x = DatabaseContainer(path).relations().at(0);
    EXPECT_TRUE(x.on_update == update && x.on_delete == remove && x.on_insert == insert) << letters;
    const std::string stored = letters;
    EXPECT_EQ(x.riinfo, stored.substr(0, stored.find_last_not_of(' ') + 1));
  }
}

TEST(DatabaseContainer, DeletedObjectsAreIgnored) {
  testing_support::TempDir dir;
  std::string folder = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  std::string path = (fs::path(folder) / "FOXPRO-DB-TEST.DBC").string();
  std::string bytes = testing_support::ReadFileBytes(path);
  bytes[RecordOffset(bytes, "Table", "setup")] = '*';
  bytes[RecordOffset(bytes, "Field", "contact_type")] = '*';
  testing_support::WriteFileBytes(path, bytes);

  DatabaseContainer container(path);
  EXPECT_EQ(NamesOf(container, ContainerObject::Kind::kTable), (Names{"types", "contacts", "calls"}));
  EXPECT_EQ(container.FindTable("setup"), nullptr);
  EXPECT_EQ(container.FindTable("types")->field_names, (Names{"contact_type_id"}));
}

TEST(DatabaseContainer, MissingOrDamagedContainers) {
  testing_support::TempDir dir;
  const std::string folder = testing_support::CopyFixtureFolder(dir, "go-dbase/database");
  const std::string path = (fs::path(folder) / "EXPENSES.DBC").string();
  const std::string original = testing_support::ReadFileBytes(path);
  std::string message;
  EXPECT_EQ(KindOfError((fs::path(folder) / "NO-SUCH.DBC").string()), ErrorKind::kNotFound);

  // A copy cut short in the middle of its records.
  testing_support::WriteFileBytes(path, original.substr(0, original.size() / 2));
  EXPECT_EQ(KindOfError(path), ErrorKind::kCorrupt);

  // Columns renamed or retyped: not a container.
  std::string bytes = original;
  ASSERT_EQ(bytes.substr(32, 8), "OBJECTID");
  bytes[32 + 7] = 'X';
  testing_support::WriteFileBytes(path, bytes);
  EXPECT_EQ(KindOfError(path, &message), ErrorKind::kCorrupt);
  EXPECT_NE(message.find("OBJECTID"), std::string::npos) << message;
  EXPECT_NE(message.find(path), std::string::npos) << message;

  bytes = original;
  bytes[32 + 11] = 'C';
  testing_support::WriteFileBytes(path, bytes);
  EXPECT_EQ(KindOfError(path, &message), ErrorKind::kCorrupt);
  EXPECT_NE(message.find("OBJECTID"), std::string::npos) << message;

  // A property record longer than its memo value.
  testing_support::WriteFileBytes(path, original);
  const std::string memo_path = (fs::path(folder) / "EXPENSES.DCT").string();
  std::string memo = testing_support::ReadFileBytes(memo_path);
  // Every copy of the path property: VFP leaves older versions behind.
  const std::string value("employees.dbf\0", 14);
  size_t copies = 0;
  for (size_t at = memo.find(value); at != std::string::npos; at = memo.find(value, at + 1), ++copies) {
    ASSERT_EQ(memo[at - 7], 6 + 1 + 14);  // [u32 length][u16 1][id 1] employees.dbf NUL
    memo[at - 7] = 0x7F;
  }
  ASSERT_GT(copies, 0u);
  testing_support::WriteFileBytes(memo_path, memo);
  EXPECT_EQ(KindOfError(path, &message), ErrorKind::kCorrupt);
  EXPECT_NE(message.find("employees"), std::string::npos) << message;
}

}  // namespace
