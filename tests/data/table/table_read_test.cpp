// Reads every fixture table and checks each value against an independent
// reader (python3-dbfread), and that reading and re-assigning every value's
// text form changes nothing.
#include <gtest/gtest.h>

#include <fstream>

#include "data/table/table.h"
#include "data/util/error.h"
#include "tests/support/test_support.h"

using namespace testing_support;

namespace {

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        if (c < 0x20) {
          char b[8];
          std::snprintf(b, sizeof b, "\\u%04x", c);
          out += b;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

// The live records of a table as JSON: a list of rows of text forms.
std::string DumpTable(const fox::Table& table) {
  std::string json = "[";
  std::string block;
  bool first_row = true;
  for (uint32_t r = 1; r <= table.record_count(); ++r) {
    table.ReadRecords(r, 1, &block);
    if (table.IsDeleted(block)) continue;
    fox::Table::Edit edit;
    edit.recno = r;
    edit.original = edit.working = block;
    json += first_row ? "\n[" : ",\n[";
    first_row = false;
    for (size_t c = 0; c < table.field_count(); ++c) {
      if (c) json += ",";
      std::optional<std::string> text = table.Text(edit, c);
      json += text ? JsonString(*text) : "null";
    }
    json += "]";
  }
  return json + "]\n";
}

struct ReadCase {
  const char* path;
};

class FixtureTable : public ::testing::TestWithParam<const char*> {};

TEST_P(FixtureTable, ValuesAgreeWithDbfread) {
  if (std::string(GetParam()) == "dbffile/dbase_8b.dbf") {
    GTEST_SKIP() << "dbfread misreads dBase IV memo lengths; the memo file tests check that format";
  }
  TempDir dir;
  fox::Table::Options options;
  fox::Table table(Fixture(GetParam()), options);
  const std::string ours = dir.Sub("ours.json");
  WriteFileBytes(ours, DumpTable(table));
  std::string out = RunPythonTool("dbfread_compare.py", {Fixture(GetParam()), ours});
  EXPECT_EQ(out.rfind("OK ", 0), 0u) << out;
}

TEST_P(FixtureTable, AssigningEachTextFormBackChangesNothing) {
  TempDir dir;
  const std::string path = CopyFixtures(dir, {GetParam()});
  // Memo files travel with their table.
  for (const char* ext : {".fpt", ".FPT", ".dbt", ".cdx", ".CDX"}) {
    std::filesystem::path companion = std::filesystem::path(Fixture(GetParam())).replace_extension(ext);
    if (std::filesystem::exists(companion))
      CopyFixtures(dir, {std::filesystem::relative(companion, Fixture("")).string()});
  }
  const std::string before = ReadFileBytes(path);
  {
    fox::Table::Options options;
    options.mode = fox::DiskFile::Mode::kReadWrite;
    fox::Table table(path, options);
    std::string block;
    for (uint32_t r = 1; r <= table.record_count(); ++r) {
      table.ReadRecords(r, 1, &block);
      fox::Table::Edit edit;
      edit.recno = r;
      edit.original = edit.working = block;
      for (size_t c = 0; c < table.field_count(); ++c) {
        if (std::optional<std::string> text = table.Text(edit, c)) table.Assign(edit, c, *text);
      }
      EXPECT_FALSE(edit.changed()) << "record " << r;
      table.Save(edit);
    }
  }
  EXPECT_EQ(ReadFileBytes(path), before);
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureTable,
    ::testing::Values("dbffile/vfp9_30.dbf", "dbffile/vfp9_30_memo.dbf", "dbffile/vfp9_memo_bs1.dbf",
                      "dbffile/dbase_03.dbf", "dbffile/dbase_31.dbf", "dbffile/dbase_83.dbf",
                      "dbffile/dbase_8b.dbf", "dbffile/dbase_currency.dbf", "dbffile/PYACFL.DBF",
                      "foxbin2prg/encuestas.dbf", "foxbin2prg/fb2p_dbf.dbf", "foxbin2prg/fb2p_depto.dbf",
                      "foxbin2prg/fb2p_free.dbf", "foxbin2prg/foxuser_fdbozzo.dbf", "go-dbase/table/TEST.DBF",
                      "go-dbase/database/employees.dbf", "go-dbase/database/expense reports.dbf",
                      "go-dbase/database/expense details.dbf", "go-dbase/database/expense categories.dbf",
                      "perl-xbase/afox5.dbf", "perl-xbase/rooms.dbf", "perl-xbase/test.dbf",
                      "perl-xbase/types.dbf", "ruby-dbf/cp1251.dbf", "ruby-dbf/dbase_03.dbf",
                      "ruby-dbf/dbase_30.dbf", "ruby-dbf/dbase_31.dbf", "ruby-dbf/dbase_32.dbf",
                      "ruby-dbf/dbase_83.dbf", "ruby-dbf/dbase_f5.dbf", "ruby-dbf/foxprodb/calls.dbf",
                      "ruby-dbf/foxprodb/contacts.dbf", "ruby-dbf/foxprodb/setup.dbf",
                      "ruby-dbf/foxprodb/types.dbf", "ruby-dbf/polygon.dbf"),
    [](const ::testing::TestParamInfo<const char*>& info) {
      std::string name = info.param;
      for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      }
      return name;
    });

TEST(FixtureTableErrors, UnsupportedAndDamagedFilesSayWhy) {
  struct Case {
    const char* path;
    fox::ErrorKind kind;
  } cases[] = {
      {"ruby-dbf/dbase_02.dbf", fox::ErrorKind::kUnsupported},
      {"ruby-dbf/dbase_8c.dbf", fox::ErrorKind::kUnsupported},
      {"ruby-dbf/dbase_83_missing_memo.dbf", fox::ErrorKind::kNotFound},
      {"dbffile/dbase_8b_missing_memo.dbf", fox::ErrorKind::kNotFound},
  };
  for (const Case& c : cases) {
    try {
      fox::Table table(Fixture(c.path), fox::Table::Options());
      ADD_FAILURE() << c.path << " opened";
    } catch (const fox::Error& e) {
      EXPECT_EQ(e.kind(), c.kind) << c.path << ": " << e.what();
    }
  }
}

}  // namespace
