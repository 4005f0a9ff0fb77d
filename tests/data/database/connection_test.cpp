// Opening data sources and tables the way the run does: by the names the
// tables schema gives, through the connection string.
#include "data/database/connection.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "data/database/recordset.h"
#include "data/util/error.h"
#include "tests/support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;
using fox::ConnectionString;

namespace {

std::vector<std::pair<std::string, std::string>> Schema(fox::Connection& connection) {
  std::vector<std::pair<std::string, std::string>> rows;
  auto schema = connection.OpenSchema(fox::kSchemaTables);
  for (; !schema->Eof(); schema->MoveNext()) {
    rows.emplace_back(*schema->fields()["TABLE_NAME"].Value(), *schema->fields()["TABLE_TYPE"].Value());
  }
  return rows;
}

TEST(Connection, EveryContainerTableOpensByItsSchemaNameWithLongFieldNames) {
  struct Case {
    const char* container;
    std::vector<std::string> tables;
    const char* some_table;
    const char* long_field;
  } cases[] = {
      {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC",
       {"types", "setup", "contacts", "calls"},
       "contacts",
       "contact_type_id"},
      {"go-dbase/database/EXPENSES.DBC",
       {"employees", "expense_categories", "expense_reports", "expense_details"},
       "expense_details",
       "expensecategoryid"},
  };
  for (const Case& c : cases) {
    fox::Connection connection;
    connection.Open(ConnectionString::Build(ConnectionString::SourceType::kDatabase, Fixture(c.container)));
    std::vector<std::string> tables;
    for (const auto& [name, type] : Schema(connection)) {
      if (type == "TABLE") tables.push_back(name);
    }
    std::sort(tables.begin(), tables.end());
    std::vector<std::string> expected = c.tables;
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(tables, expected) << c.container;
    for (const std::string& table : tables) {
      fox::Recordset rs;
      rs.Open("SELECT * FROM " + table, connection, fox::kLockReadOnly);
      int rows = 0;
      for (; !rs.Eof(); rs.MoveNext()) {
        for (size_t j = 0; j < rs.fields().count(); ++j) rs.fields()[j].Value();
        ++rows;
      }
      EXPECT_GT(rows, 0) << table;
      if (table == c.some_table) {
        std::vector<std::string> names;
        for (size_t j = 0; j < rs.fields().count(); ++j) names.push_back(rs.fields()[j].name());
        EXPECT_NE(std::find(names.begin(), names.end(), c.long_field), names.end()) << table;
      }
    }
  }
}

TEST(Connection, DatabaseTablesOpenedFromTheirFolderKeepTheirLongNames) {
  auto names = [](const std::string& folder, const std::string& table, bool ignore_container = false) {
    fox::Connection connection;
    connection.ignore_container = ignore_container;
    connection.Open(ConnectionString::Build(ConnectionString::SourceType::kFreeTables, Fixture(folder)));
    fox::Recordset rs;
    rs.Open("SELECT * FROM " + table, connection, fox::kLockReadOnly);
    std::vector<std::string> result;
    for (size_t j = 0; j < rs.fields().count(); ++j) result.push_back(rs.fields()[j].name());
    return result;
  };
  const auto contacts = names("ruby-dbf/foxprodb", "contacts");
  EXPECT_NE(std::find(contacts.begin(), contacts.end(), "contact_type_id"), contacts.end());
  // A backlink to a container that does not list the table: it is not
  // opened as a free table unless asked, and then has its short names.
  EXPECT_THROW(names("foxbin2prg", "vw_local_encuestas"), fox::Error);
  const auto orphan = names("foxbin2prg", "vw_local_encuestas", true);
  for (const auto& name : orphan) EXPECT_LE(name.size(), 10u) << name;
}

TEST(Connection, ViewsAreListedAsViews) {
  fox::Connection connection;
  connection.Open(
      ConnectionString::Build(ConnectionString::SourceType::kDatabase, Fixture("foxbin2prg/fb2p_dbc.dbc")));
  int views = 0;
  for (const auto& [name, type] : Schema(connection)) views += type == "VIEW";
  EXPECT_GT(views, 0);
}

TEST(Connection, FolderTablesOpenIgnoringCaseAndMissingOnesAreNamed) {
  TempDir dir;
  fs::copy_file(Fixture("dbffile/vfp9_30.dbf"), dir.path() / "ORDERS.DBF");
  fox::Connection connection;
  // A trailing separator and a ";" in the folder name do not matter.
  fs::create_directory(dir.path() / "a;b");
  fs::copy_file(Fixture("dbffile/vfp9_30.dbf"), dir.path() / "a;b" / "x.dbf");
  connection.Open(ConnectionString::Build(ConnectionString::SourceType::kFreeTables, dir.Sub("a;b") + "/"));
  fox::Recordset rs;
  rs.Open("SELECT * FROM x", connection, fox::kLockOptimistic);
  EXPECT_FALSE(rs.Eof());
  rs.Close();

  connection.Open(ConnectionString::Build(ConnectionString::SourceType::kFreeTables, dir.path().string()));
  rs.Open("SELECT * FROM orders", connection, fox::kLockOptimistic);
  EXPECT_FALSE(rs.Eof());
  rs.Close();
  try {
    rs.Open("SELECT * FROM customers", connection, fox::kLockOptimistic);
    ADD_FAILURE();
  } catch (const fox::Error& e) {
    EXPECT_EQ(e.kind(), fox::ErrorKind::kNotFound);
    EXPECT_NE(std::string(e.what()).find("customers"), std::string::npos) << e.what();
  }
  EXPECT_THROW(
      connection.Open(ConnectionString::Build(ConnectionString::SourceType::kFreeTables, dir.Sub("missing"))),
      fox::Error);
}

TEST(Connection, EmptyTableIsAtItsEndAtOnce) {
  TempDir dir;
  std::string bytes = ReadFileBytes(Fixture("dbffile/vfp9_30.dbf"));
  const uint16_t header_length = static_cast<uint8_t>(bytes[8]) | static_cast<uint8_t>(bytes[9]) << 8;
  bytes.resize(header_length);
  bytes[4] = bytes[5] = bytes[6] = bytes[7] = 0;
  WriteFileBytes(dir.Sub("empty.dbf"), bytes);
  fox::Connection connection;
  connection.Open(ConnectionString::Build(ConnectionString::SourceType::kFreeTables, dir.path().string()));
  fox::Recordset rs;
  rs.Open("SELECT * FROM empty", connection, fox::kLockOptimistic);
  EXPECT_TRUE(rs.Eof());
}

// Damaged files are refused with a message that says what is wrong, and
// nothing is written to them.
TEST(Connection, DamagedFilesAreRefusedWithoutWriting) {
  TempDir dir;
  fox::Connection connection;
  connection.ignore_container = true;  // tables of a database copied without it
  connection.Open(ConnectionString::Build(ConnectionString::SourceType::kFreeTables, dir.path().string()));
  auto refused = [&](const std::string& table, fox::ErrorKind kind, int lock = fox::kLockOptimistic) {
    const std::string before = ReadFileBytes(dir.Sub(table + ".dbf"));
    try {
      fox::Recordset rs;
      rs.Open("SELECT * FROM " + table, connection, lock);
      for (; !rs.Eof(); rs.MoveNext()) {
        for (size_t j = 0; j < rs.fields().count(); ++j) rs.fields()[j].Value();
      }
      ADD_FAILURE() << table << " was read without complaint";
    } catch (const fox::Error& e) {
      EXPECT_EQ(e.kind(), kind) << table << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(table), std::string::npos) << "names the table: " << e.what();
    }
    EXPECT_EQ(ReadFileBytes(dir.Sub(table + ".dbf")), before);
  };

  // A table cut short in its records.
  std::string bytes = ReadFileBytes(Fixture("dbffile/vfp9_30.dbf"));
  WriteFileBytes(dir.Sub("short.dbf"), bytes.substr(0, bytes.size() - 30));
  refused("short", fox::ErrorKind::kCorrupt);
  // A table cut short in its header.
  WriteFileBytes(dir.Sub("header.dbf"), bytes.substr(0, 100));
  refused("header", fox::ErrorKind::kCorrupt);
  // A memo pointer past the end of the memo file.
  std::string memo_table = ReadFileBytes(Fixture("dbffile/vfp9_30_memo.dbf"));
  WriteFileBytes(dir.Sub("farmemo.fpt"), ReadFileBytes(Fixture("dbffile/vfp9_30_memo.fpt")));
  {
    WriteFileBytes(dir.Sub("farmemo.dbf"), memo_table);
    fox::Table table(dir.Sub("farmemo.dbf"), fox::Table::Options());
    const fox::FieldDescriptor* memo = nullptr;
    for (size_t c = 0; c < table.field_count(); ++c) {
      if (table.field(c).type == 'M') memo = &table.field(c);
    }
    ASSERT_NE(memo, nullptr);
    const size_t at = table.header().header_length + memo->offset;
    memo_table[at] = memo_table[at + 1] = memo_table[at + 2] = '\x7F';
  }
  WriteFileBytes(dir.Sub("farmemo.dbf"), memo_table);
  refused("farmemo", fox::ErrorKind::kCorrupt, fox::kLockReadOnly);
  // A structural index that cannot be read: reading works, changing is refused.
  for (const char* ext : {".dbf", ".CDX"}) {
    fs::copy_file(Fixture(std::string("ruby-dbf/foxprodb/setup") + ext),
                  dir.Sub(std::string("badindex") + ext));
    fs::permissions(dir.Sub(std::string("badindex") + ext), fs::perms::owner_write, fs::perm_options::add);
  }
  std::string index = ReadFileBytes(dir.Sub("badindex.CDX"));
  WriteFileBytes(dir.Sub("badindex.CDX"), index.substr(0, 700));
  refused("badindex", fox::ErrorKind::kCorrupt);
  fox::Recordset reader;
  reader.Open("SELECT * FROM badindex", connection, fox::kLockReadOnly);
  EXPECT_FALSE(reader.Eof());
}

}  // namespace
