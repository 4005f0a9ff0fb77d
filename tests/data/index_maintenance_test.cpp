// Keeping structural indexes in line with changed records: the keys computed
// from the fixtures' records against the keys Visual FoxPro stored, and
// every tag checked page by page (and by Perl's XBase::Index) after changes.
#include "data/index_maintenance.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "data/byte_order.h"
#include "data/database_container.h"
#include "data/error.h"
#include "data/file_names.h"
#include "data/table.h"
#include "tests/support/index_check.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;
using fox::ErrorKind;
using fox::Table;

namespace {

struct TableFixture {
  const char* table;
  const char* container;  // "" for free tables
  bool compresses_trail = true;  // false: written by a program that stores trailing blanks
};

// Every fixture table with a structural index.
const TableFixture kTables[] = {
    {"foxbin2prg/fb2p_dbf.dbf", "foxbin2prg/fb2p_dbc.dbc"},
    {"foxbin2prg/fb2p_depto.dbf", "foxbin2prg/fb2p_dbc.dbc"},
    {"foxbin2prg/fb2p_free.dbf", ""},
    {"foxbin2prg/foxuser_fdbozzo.dbf", ""},
    {"foxbin2prg/fb2p_dbc.dbc", ""},
    {"perl-xbase/rooms.dbf", "", false},
    {"ruby-dbf/foxprodb/calls.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/contacts.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/setup.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/types.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC", ""},
    {"go-dbase/database/employees.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense categories.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense details.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense reports.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/EXPENSES.DBC", ""},
};

// The long field names the container lists for a member table at `path`.
std::vector<std::string> LongNames(const std::string& container_path, const std::string& path) {
  fox::DatabaseContainer container(container_path);
  for (const auto& object : container.objects()) {
    if (object.kind != fox::ContainerObject::Kind::kTable) continue;
    if (fs::equivalent(container.TableFilePath(object), path)) return object.field_names;
  }
  ADD_FAILURE() << path << " is not listed in " << container_path;
  return {};
}

std::unique_ptr<Table> OpenTable(const std::string& path, const std::string& container,
                                 fox::DiskFile::Mode mode = fox::DiskFile::Mode::kReadOnly) {
  Table::Options options;
  options.mode = mode;
  if (!container.empty()) options.long_names = LongNames(container, path);
  return std::make_unique<Table>(path, options);
}

[[maybe_unused]] const fox::IndexMaintainer::Tag* FindTag(const Table& table, const std::string& name) {
  for (const auto& tag : table.index_maintainer()->tags())
    if (tag.header.name == name) return &tag;
  ADD_FAILURE() << "no tag " << name;
  return nullptr;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// ---------------------------------------------------------------------------

TEST(IndexKeys, ComputedKeysEqualTheKeysVisualFoxProStored) {
  size_t checked = 0;
  std::vector<std::string> refused;
  for (const TableFixture& f : kTables) {
    SCOPED_TRACE(f.table);
    auto table = OpenTable(Fixture(f.table), *f.container ? Fixture(f.container) : "");
    size_t n = 0;
    EXPECT_EQ(Join(CheckIndex(*table, &n, f.compresses_trail)), "");
    checked += n;
    for (const auto& tag : table->index_maintainer()->tags())
      if (!tag.key) refused.push_back(fs::path(f.table).stem().string() + "." + tag.header.name + ": " + tag.refusal);
  }
  EXPECT_EQ(checked, 38u);
  // Collated and bitmap tags are the ones refused.
  EXPECT_EQ(Join(refused),
            "fb2p_dbf.NOTDELETED: it is a binary (bitmap) index\n"
            "fb2p_dbf.DEPTO: it sorts by the collation GENERAL, whose key weights Quillon does not produce\n"
            "fb2p_dbf.NOMBRE: it sorts by the collation GENERAL, whose key weights Quillon does not produce\n"
            "fb2p_dbf.I_NOMBRE: it sorts by the collation GENERAL, whose key weights Quillon does not produce\n"
            "fb2p_depto.DESCRIP: it sorts by the collation GENERAL, whose key weights Quillon does not produce\n"
            "fb2p_free.CARACTER: it sorts by the collation GENERAL, whose key weights Quillon does not produce\n"
            "fb2p_free.LOGICO: it is a binary (bitmap) index\n"
            "foxuser_fdbozzo.READONLY: it is a binary (bitmap) index\n");
}

}  // namespace
