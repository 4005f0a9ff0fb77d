// Changes values through the recordset and checks the files with readers that
// Quillon did not write: python3-dbfread, python3-dbf and Perl XBase. Every
// other record and field must read exactly as before.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "tests/support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Copies a fixture table with its memo and index files into `dir`.
std::string CopyTable(const TempDir& dir, const std::string& relative) {
  const fs::path source = Fixture(relative);
  for (const auto& entry : fs::directory_iterator(source.parent_path())) {
    if (entry.path().stem() == source.stem()) {
      fs::copy_file(entry.path(), dir.path() / entry.path().filename(), fs::copy_options::overwrite_existing);
      fs::permissions(dir.path() / entry.path().filename(), fs::perms::owner_write, fs::perm_options::add);
    }
  }
  return (dir.path() / source.filename()).string();
}

struct OpenTable {
  fox::Connection connection;
  fox::Recordset recordset;
  OpenTable(const std::string& folder, const std::string& table) {
    connection.ignore_container = true;  // tables of a database copied without it
    connection.Open(fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, folder));
    recordset.Open("SELECT * FROM " + table, connection, fox::kLockOptimistic);
  }
};

// Moves to the live record `index` (0-based), assigns `text` to `field` and
// moves on so that the change is saved.
void ChangeValue(const std::string& folder, const std::string& table, int index, const std::string& field,
                 const std::string& text) {
  OpenTable t(folder, table);
  for (int i = 0; i < index; ++i) t.recordset.MoveNext();
  t.recordset.fields()[field] = text;
  t.recordset.MoveNext();
  t.recordset.Close();
  t.connection.Close();
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct WriteCase {
  const char* fixture;
  int record;          // live record, from 0
  const char* field;   // lower-case column name
  const char* text;    // assigned text
  const char* python;  // JSON of the value python readers must see afterwards, nullptr to skip them
  const char* perl;    // the value Perl XBase must print, nullptr to skip Perl
  bool python_dbf;     // whether python3-dbf can read this table
};

class ChangedValue : public ::testing::TestWithParam<WriteCase> {};

TEST_P(ChangedValue, ReadsBackThroughIndependentReadersWithNothingElseChanged) {
  const WriteCase& c = GetParam();
  TempDir dir;
  const std::string path = CopyTable(dir, c.fixture);
  const std::string table = fs::path(path).stem().string();
  // Some tables say they have a structural index that was not kept with
  // them; such a table is not changed (see below) until its flag is cleared,
  // as a FoxPro user does.
  if (!fs::exists(fs::path(path).replace_extension(".cdx"))) {
    std::string bytes = ReadFileBytes(path);
    bytes[28] = static_cast<char>(bytes[28] & ~1);
    WriteFileBytes(path, bytes);
  }
  std::vector<std::string> readers;
  if (c.python) readers.push_back("dbfread");  // dbfread misreads dBase IV memos
  if (c.python && c.python_dbf) readers.push_back("dbf");
  std::vector<std::string> before;
  for (const auto& r : readers) before.push_back(RunPythonTool("read_table.py", {r, path}));
  const std::string perl_before = c.perl ? RunPerlTool("xbase_read.pl", {path}) : "";
  const uintmax_t size_before = fs::file_size(path);

  ChangeValue(dir.path().string(), table, c.record, c.field, c.text);

  EXPECT_EQ(fs::file_size(path), size_before) << "a table never changes size";
  for (size_t i = 0; i < readers.size(); ++i) {
    // The expected dump is the old one with the one value replaced.
    const std::string before_file = dir.Sub("before.json"), after_file = dir.Sub("after.json");
    WriteFileBytes(before_file, before[i]);
    WriteFileBytes(after_file, RunPythonTool("read_table.py", {readers[i], path}));
    const std::string check = RunPythonTool(
        "compare_dumps.py", {before_file, after_file, std::to_string(c.record), c.field, c.python});
    EXPECT_EQ(check, "same\n") << readers[i];
  }
  if (c.perl) {
    std::vector<std::string> old_lines = Lines(perl_before),
                             new_lines = Lines(RunPerlTool("xbase_read.pl", {path}));
    ASSERT_EQ(old_lines.size(), new_lines.size());
    for (size_t r = 0; r < old_lines.size(); ++r) {
      if (static_cast<int>(r) != c.record) {
        EXPECT_EQ(old_lines[r], new_lines[r]) << "record " << r;
      } else {
        EXPECT_NE(new_lines[r].find(c.perl), std::string::npos) << new_lines[r];
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, ChangedValue,
    ::testing::Values(
        WriteCase{"dbffile/vfp9_30_memo.dbf", 1, "char", "Changed", "\"Changed\"", "Changed", true},
        WriteCase{"dbffile/vfp9_30_memo.dbf", 0, "memo",
                  "A new memo value that is long enough to need more than one block of sixty-four bytes.",
                  "\"A new memo value that is long enough to need more than one block of sixty-four bytes.\"",
                  "A new memo value that is long enough", true},
        WriteCase{"dbffile/vfp9_30_memo.dbf", 1, "num", "12.5", "\"12.5\"", "12.5", true},
        WriteCase{"dbffile/vfp9_30_memo.dbf", 1, "date", "1999-12-31", "\"1999-12-31\"", "19991231", true},
        WriteCase{"dbffile/vfp9_memo_bs1.dbf", 2, "notes", "Short", "\"Short\"", nullptr, true},
        WriteCase{"ruby-dbf/cp1251.dbf", 1, "name", "Привет мир", "\"Привет мир\"", nullptr, true},
        WriteCase{"ruby-dbf/dbase_83.dbf", 3, "desc", "New dBase III memo", "\"New dBase III memo\"",
                  "New dBase III memo", true},
        WriteCase{"ruby-dbf/dbase_f5.dbf", 2, "obse", "FoxPro 2 memo text", "\"FoxPro 2 memo text\"",
                  "FoxPro 2 memo text", false},
        WriteCase{"ruby-dbf/dbase_8b.dbf", 1, "memo", "dBase IV memo text", nullptr, "dBase IV memo text",
                  false},
        WriteCase{"go-dbase/table/TEST.DBF", 1, "prodname", "New name", "\"New name\"", nullptr, false},
        WriteCase{"ruby-dbf/dbase_30.dbf", 5, "caption", "Rewritten caption", "\"Rewritten caption\"",
                  nullptr, true}),
    [](const ::testing::TestParamInfo<WriteCase>& info) {
      std::string name = std::string(info.param.fixture) + "_" + info.param.field;
      for (char& ch : name) {
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      }
      return name;
    });

TEST(TableWrite, ValuesThatDoNotFitAreRefusedAndKept) {
  TempDir dir;
  const std::string path = CopyTable(dir, "dbffile/vfp9_30_memo.dbf");
  const std::string before = ReadFileBytes(path);
  OpenTable t(dir.path().string(), "vfp9_30_memo");
  auto refused = [&](const char* field, const std::string& text, fox::ErrorKind kind) {
    try {
      t.recordset.fields()[field] = text;
      ADD_FAILURE() << field << " took \"" << text << "\"";
    } catch (const fox::Error& e) {
      EXPECT_EQ(e.kind(), kind) << e.what();
      EXPECT_NE(std::string(e.what()).find(field), std::string::npos) << "the message names the field";
    }
  };
  const std::string char_value = *t.recordset.fields()["char"].Value();
  refused("char", std::string(300, 'x'), fox::ErrorKind::kInvalidValue);
  refused("char", "Ж", fox::ErrorKind::kInvalidValue);  // not in code page 1252
  refused("num", "abc", fox::ErrorKind::kInvalidValue);
  refused("num", "123456789012345678901", fox::ErrorKind::kInvalidValue);
  refused("num", "1.23456789", fox::ErrorKind::kInvalidValue);  // more decimals than stored: never rounded
  refused("date", "2021-02-30", fox::ErrorKind::kInvalidValue);
  refused("time", "yesterday", fox::ErrorKind::kInvalidValue);
  // A memo value longer than FoxPro can hold in one string.
  refused("memo", std::string(fox::FieldCodec::kLongestMemoValue + 1, 'e'), fox::ErrorKind::kInvalidValue);
  EXPECT_EQ(*t.recordset.fields()["char"].Value(), char_value);
  t.recordset.MoveNext();
  t.recordset.Close();
  EXPECT_EQ(ReadFileBytes(path), before) << "nothing is written for refused values";
}

// A table whose header says it has a structural index, without the index
// file: a change would leave the index stale when it comes back.
TEST(TableWrite, ATableWhoseStructuralIndexIsMissingIsNotChanged) {
  TempDir dir;
  const std::string path = CopyTable(dir, "ruby-dbf/cp1251.dbf");
  const std::string before = ReadFileBytes(path);
  OpenTable t(dir.path().string(), "cp1251");
  const fox::Error e = ErrorOf([&] { t.recordset.fields()["name"] = "x"; });
  EXPECT_EQ(e.kind(), fox::ErrorKind::kNotFound);
  EXPECT_NE(std::string(e.what()).find("\"cp1251.cdx\" is missing"), std::string::npos) << e.what();
  t.recordset.MoveNext();
  t.recordset.Close();
  EXPECT_EQ(ReadFileBytes(path), before);
}

TEST(TableWrite, AnotherProgramsChangeIsKept) {
  TempDir dir;
  const std::string path = CopyTable(dir, "dbffile/vfp9_30.dbf");
  OpenTable t(dir.path().string(), "vfp9_30");
  t.recordset.fields()["field1"] = "Ours";
  // Another program rewrites the same record after Quillon read it.
  {
    fox::Table::Options options;
    options.mode = fox::DiskFile::Mode::kReadWrite;
    fox::Table other(path, options);
    std::string block;
    other.ReadRecords(1, 1, &block);
    fox::Table::Edit edit{1, block, block, {}, {}};
    other.Assign(edit, 0, "Theirs");
    other.Save(edit);
  }
  // Saves are written in batches: the refusal comes when the batch is
  // written, at the latest when the recordset closes.
  try {
    t.recordset.MoveNext();
    EXPECT_FALSE(t.recordset.Eof()) << "the cursor moved on";
    t.recordset.Close();
    ADD_FAILURE() << "the save should have been refused";
  } catch (const fox::SaveError& e) {
    EXPECT_EQ(e.kind(), fox::ErrorKind::kConflict) << e.what();
    EXPECT_EQ(e.records(), std::vector<uint32_t>{1});
  }
  t.recordset.Close();
  OpenTable check(dir.path().string(), "vfp9_30");
  EXPECT_EQ(*check.recordset.fields()["field1"].Value(), "Theirs" + std::string(14, ' '));
}

TEST(TableWrite, LockedRecordIsNotWritten) {
  TempDir dir;
  const std::string path = CopyTable(dir, "dbffile/vfp9_30.dbf");
  const std::string before = ReadFileBytes(path);
  fox::DiskFile other(path, fox::DiskFile::Mode::kReadWrite, "table");
  ASSERT_TRUE(other.TryLock(0x7FFFFFFEull - 1, 1));  // record 1, where FoxPro locks it
  OpenTable t(dir.path().string(), "vfp9_30");
  t.recordset.fields()["field1"] = "Ours";
  try {
    t.recordset.MoveNext();
    t.recordset.Close();
    ADD_FAILURE() << "saving a locked record should fail";
  } catch (const fox::Error& e) {
    EXPECT_EQ(e.kind(), fox::ErrorKind::kLocked) << e.what();
  }
  EXPECT_EQ(ReadFileBytes(path), before);
  other.Unlock(0x7FFFFFFEull - 1, 1);
}

TEST(TableWrite, UnchangedRecordsAreNeverWrittenAndDeletedOnesAreHidden) {
  TempDir dir;
  const std::string path = CopyTable(dir, "dbffile/vfp9_30.dbf");
  const auto mtime = fs::last_write_time(path);
  OpenTable t(dir.path().string(), "vfp9_30");
  int live = 0;
  for (; !t.recordset.Eof(); t.recordset.MoveNext()) {
    ++live;
    const std::string value = *t.recordset.fields()["field1"].Value();
    t.recordset.fields()["field1"] = value;
  }
  EXPECT_EQ(live, 2) << "vfp9_30 holds three records, one of them deleted";
  t.recordset.Close();
  EXPECT_EQ(fs::last_write_time(path), mtime);
}

TEST(TableWrite, FieldsOfTagsThatCannotBeKeptAreRefusedOthersChange) {
  TempDir dir;
  CopyTable(dir, "foxbin2prg/fb2p_dbf.dbf");
  const std::string index_before = ReadFileBytes((dir.path() / "fb2p_dbf.cdx").string());
  OpenTable t(dir.path().string(), "fb2p_dbf");
  // nombre is the key of tags sorted by the GENERAL collation.
  fox::Error e = ErrorOf([&] { t.recordset.fields()["nombre"] = "Other"; });
  EXPECT_EQ(e.kind(), fox::ErrorKind::kIndexed) << e.what();
  EXPECT_NE(std::string(e.what()).find("tag NOMBRE"), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find("GENERAL"), std::string::npos) << e.what();
  // edad is the key of MACHINE tags, which are kept up to date.
  t.recordset.fields()["edad"] = "50";
  t.recordset.MoveNext();
  t.recordset.Close();
  OpenTable check(dir.path().string(), "fb2p_dbf");
  EXPECT_EQ(*check.recordset.fields()["edad"].Value(), "50");
  EXPECT_NE(ReadFileBytes((dir.path() / "fb2p_dbf.cdx").string()), index_before);
}

TEST(TableWrite, VarcharLengthAndNullFlagsFollowTheValue) {
  TempDir dir;
  CopyTable(dir, "go-dbase/table/TEST.DBF");
  OpenTable t(dir.path().string(), "TEST");
  fox::Field varchar = t.recordset.fields()["var"];
  ASSERT_TRUE(varchar.Value().has_value());
  varchar = "Test";
  EXPECT_EQ(*varchar.Value(), "Test");
  t.recordset.MoveNext();
  t.recordset.Close();
  OpenTable check(dir.path().string(), "TEST");
  EXPECT_EQ(*check.recordset.fields()["var"].Value(), "Test");
}

}  // namespace

// In a dBase IV memo file, a value written without its block header reads
// the dBase III way, to the first end mark: with none after it, it runs to
// the end of the file, and appended values would run on from it. That is
// damage too, found past a record whose memo pointer is malformed.
TEST(TableWrite, ADbaseMemoWithoutHeaderOrEndMarkIsDamage) {
  TempDir dir;
  const std::string path = CopyTable(dir, "ruby-dbf/dbase_8b.dbf");
  std::string memo = ReadFileBytes(path.substr(0, path.size() - 4) + ".dbt");
  memo.replace(3 * 512, 8, "no head.");  // record 3's value
  WriteFileBytes(path.substr(0, path.size() - 4) + ".dbt", memo);
  std::string table = ReadFileBytes(path);
  const size_t record2 = fox::LoadLE16(&table[8]) + fox::LoadLE16(&table[10]);
  table.replace(record2 + 150, 10, " \"       2");  // a malformed pointer before it
  WriteFileBytes(path, table);
  const fox::Table reader(path, fox::Table::Options{});
  const std::optional<fox::Table::Refusal> refusal = reader.ColumnRefusal(5, true);
  ASSERT_TRUE(refusal.has_value());
  EXPECT_NE(refusal->reason.find("record 3 (field memo) lies or runs past the end"), std::string::npos)
      << refusal->reason;
}

// A memo whose stored length runs past the end of the memo file cannot be
// read; appending values would make it read as their bytes. No memo value of
// such a table is changed: the save is refused, and the memo file stays as
// it was.
TEST(TableWrite, AMemoRunningPastTheEndOfItsFileKeepsEveryMemoValue) {
  TempDir dir;
  const std::string path = CopyTable(dir, "dbffile/vfp9_30_memo.dbf");
  const std::string memo = path.substr(0, path.size() - 4) + ".fpt";
  std::string bytes = ReadFileBytes(memo);
  fox::StoreBE32(reinterpret_cast<unsigned char*>(&bytes[12 * 64 + 4]), 400);  // record 3's memo
  WriteFileBytes(memo, bytes);
  const std::string table = ReadFileBytes(path);
  {
    // A dry run (the table open for reading) tells it as the real run would.
    const fox::Table reader(path, fox::Table::Options{});
    const std::optional<fox::Table::Refusal> refusal = reader.ColumnRefusal(1, true);
    ASSERT_TRUE(refusal.has_value());
    EXPECT_NE(refusal->reason.find("runs past the end"), std::string::npos) << refusal->reason;
  }
  {
    OpenTable t(dir.path().string(), "vfp9_30_memo");
    t.recordset.fields()["memo"] = "a new value long enough to fill the blocks the damaged memo claims";
    try {
      t.recordset.MoveNext();
      t.recordset.Close();
      ADD_FAILURE() << "the save should have been refused";
    } catch (const fox::SaveError& e) {
      EXPECT_NE(std::string(e.what()).find("record 3 (field memo) lies or runs past the end"),
                std::string::npos)
          << e.what();
    }
  }
  EXPECT_EQ(ReadFileBytes(memo), bytes);
  EXPECT_EQ(ReadFileBytes(path), table);

  // The same for a memo pointer past the end of the file.
  fox::StoreBE32(reinterpret_cast<unsigned char*>(&bytes[12 * 64 + 4]), 10);
  WriteFileBytes(memo, bytes);
  std::string records = table;
  fox::StoreLE32(reinterpret_cast<unsigned char*>(&records[488 + 2 * 51 + 11]), 1000);
  WriteFileBytes(path, records);
  {
    OpenTable t(dir.path().string(), "vfp9_30_memo");
    t.recordset.fields()["memo"] = "a new value";
    EXPECT_THROW(
        {
          t.recordset.MoveNext();
          t.recordset.Close();
        },
        fox::SaveError);
  }
  EXPECT_EQ(ReadFileBytes(memo), bytes);
}

// A batch is written under the lock FoxPro's FLOCK() takes (the header's
// lock byte and those of every record the table could hold), so that
// another program can take no record lock while it is written; when another
// program holds a record, or this table holds one itself, the batch falls
// back to record locks: the held record is refused, the others are written,
// and a record held by this table stays held once the batch is written.
TEST(TableWrite, ABatchTakesTheTableLockOrFallsBackToRecordLocks) {
  TempDir dir;
  const std::string path = CopyTable(dir, "ruby-dbf/dbase_30.dbf");
  fox::DiskFile other(path, fox::DiskFile::Mode::kReadWrite, "table");
  const auto record_byte = [](uint32_t recno) { return 0x7FFFFFFEull - recno; };
  bool other_locked_out = false;
  fox::Table::Options options;
  options.mode = fox::DiskFile::Mode::kReadWrite;
  options.batch_records = 100;
  options.batch_delay = std::chrono::hours(1);
  options.allow_missing_index = true;  // the fixture names an index it lacks
  options.before_recheck = [&] {
    // The last record the table could hold, its header and a record of the batch.
    other_locked_out = !other.TryLock(record_byte(30), 1) && !other.TryLock(0x7FFFFFFEull, 1) &&
                       !other.TryLock(record_byte(1000), 1);
  };
  fox::Table table(path, options);
  const auto change = [&](uint32_t recno, const std::string& text) {
    std::string bytes;
    table.ReadRecords(recno, 1, &bytes);
    fox::Table::Edit edit{recno, bytes, bytes, {}, {}};
    table.Assign(edit, 0, text);
    table.Save(edit);
  };
  const auto value = [&](uint32_t recno) {
    std::string bytes;
    table.ReadRecords(recno, 1, &bytes);
    return bytes.substr(1, 4);
  };

  change(1, "AAAA");
  change(30, "BBBB");
  table.Flush();
  EXPECT_TRUE(other_locked_out);
  EXPECT_EQ(value(1) + value(30), "AAAABBBB");
  ASSERT_TRUE(other.TryLock(record_byte(30), 1)) << "the table lock was let go";

  // Record 30 is another program's: only that save is refused.
  other_locked_out = false;
  change(2, "CCCC");
  change(30, "DDDD");
  try {
    table.Flush();
    ADD_FAILURE() << "a record another program holds was saved";
  } catch (const fox::SaveError& e) {
    EXPECT_EQ(e.kind(), fox::ErrorKind::kLocked) << e.what();
    EXPECT_EQ(e.records(), std::vector<uint32_t>{30});
  }
  EXPECT_FALSE(other_locked_out);
  EXPECT_EQ(value(2) + value(30), "CCCCBBBB");
  other.Unlock(record_byte(30), 1);

  // Record 3 is held by this table: saved through its hold, which outlasts
  // the batch.
  table.Hold(3);
  change(3, "EEEE");
  change(4, "FFFF");
  table.Flush();
  EXPECT_EQ(value(3) + value(4), "EEEEFFFF");
  EXPECT_FALSE(other.TryLock(record_byte(3), 1));
  table.ReleaseHolds();
  EXPECT_TRUE(other.TryLock(record_byte(3), 1));
  other.Unlock(record_byte(3), 1);
}
