// quillon-replace run end to end from the build folder, on tables made by
// python3-dbf and on the fixtures, checked with independent readers.
#include "cli/batch_command.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sstream>

#include "data/index/compound_index.h"
#include "data/table/index_rebuild.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "engine/run_steps.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/scripted_toolkit.h"

namespace fs = std::filesystem;
using namespace engine_testing;
using testing_support::ReadFileBytes;
using testing_support::RunPerlTool;
using testing_support::RunPythonTool;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

struct BatchTest : ::testing::Test {
  TempDir dir;
  std::string data = dir.Sub("data");
  std::string log_folder = dir.Sub("log");
  std::string err_path = dir.Sub("stderr.txt");
  int code = -1;
  std::string out;
  std::string err;

  BatchTest() {
    fs::create_directory(data);
    fs::create_directory(log_folder);
  }

  void Run(const std::vector<std::string>& args) {
    out = testing_support::RunProgram(QUILLON_REPLACE, args, {{"TEMP", log_folder}}, err_path, &code);
    err = ReadFileBytes(err_path);
#ifdef _WIN32
    err = testing_support::WithLfLineEnds(err);  // text written to a file on Windows ends its lines in CR LF
#endif
  }
  std::string Log() const {
    return fs::exists(log_folder + "/backups.log") ? ReadFileBytes(log_folder + "/backups.log") : "";
  }
};

TEST_F(BatchTest, ReplacesInEveryTableOfAFolderAndExitsZero) {
  const std::string a =
      MakeTable(data, "alpha", "name C(10); note M", R"([["banana", "a banana"], ["kiwi", ""]])");
  const std::string b = MakeTable(data, "beta", "city C(10)", R"([["Havana"]])");
  Run({"--folder", data, "--find", "an", "--replace", "AN"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(out.substr(out.find("Done.")), "Done.\n") << out;
  EXPECT_EQ(err, "");
  EXPECT_EQ(RunPythonTool("read_table.py", {"dbfread", a}),
            R"([{"NAME": "bANANa", "NOTE": "a bANANa"}, {"NAME": "kiwi", "NOTE": ""}])");
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {b}), "HavANa\n");
  EXPECT_EQ(SplitLines(Log()).size(), 3u);
}

TEST_F(BatchTest, ReportsGoToStandardErrorTheRunGoesOnAndExitsOne) {
  const std::string a = MakeTable(data, "alpha", "name C(4)", R"([["ab"], ["abab"]])");
  Run({"--folder", data, "--table", "ghost", "--table", "alpha", "--find", "b", "--replace", "bbb"});
  EXPECT_EQ(code, 1);
  EXPECT_EQ(out.substr(out.find("Done.")), "Done.\n") << out;
  EXPECT_EQ(
      err,
      "The folder '" + data +
          "' has no table called 'ghost'.\n"
          "in Brenlow2021/08/31.Form2.PushButton1_Click at line " +
          std::to_string(static_cast<int>(quillon::RunStep::kOpenRecordset)) +
          "\n\n"
          "Please email screenshot of this message to support@quillon-app.com\n\n"
          "Field 'name' of table 'alpha' cannot take the value \"abbbabbb\": the text needs 8 bytes but the "
          "field holds 4.\n"
          "in Brenlow2021/08/31.Form2.PushButton1_Click at line " +
          std::to_string(static_cast<int>(quillon::RunStep::kAssign)) +
          "\n\n"
          "Please email screenshot of this message to support@quillon-app.com\n\n");
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {a}), "abbb\nabab\n");
}

TEST_F(BatchTest, UndoTakesARunBackAndSaysWhatItWouldDoFirst) {
  const std::string a =
      MakeTable(data, "alpha", "name C(10); note M", R"([["  banana", "a banana"], ["kiwi", ""]])");
  const std::string values = RunPythonTool("read_table.py", {"dbfread", a});
  Run({"--folder", data, "--find", "an", "--replace", "AN"});
  const size_t at = out.find("Undo journal: ");
  ASSERT_NE(at, std::string::npos) << out;
  const std::string journal = out.substr(at + 14, out.find(" (", at) - at - 14);
  EXPECT_EQ(fs::path(journal).parent_path(), fs::path(log_folder));

  Run({"--undo", journal, "--dry-run"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_NE(out.find("2 changes would be taken back."), std::string::npos) << out;
  EXPECT_NE(RunPythonTool("read_table.py", {"dbfread", a}), values);
  Run({"--undo", journal});
  EXPECT_EQ(code, 0) << err;
  EXPECT_NE(out.find("2 changes taken back."), std::string::npos) << out;
  EXPECT_EQ(RunPythonTool("read_table.py", {"dbfread", a}), values) << "the trimmed leading blanks are back";
  // A field changed since is left alone and reported: exit 1.
  Run({"--folder", data, "--find", "kiwi", "--replace", "lime"});
  const size_t lime = out.find("Undo journal: ");
  const std::string second = out.substr(lime + 14, out.find(" (", lime) - lime - 14);
  Run({"--folder", data, "--find", "lime", "--replace", "fig"});
  Run({"--undo", second});
  EXPECT_EQ(code, 1);
  EXPECT_NE(
      err.find("Field 'name' of record 2 of table 'alpha' has changed since the run and was left as it is."),
      std::string::npos)
      << err;
  EXPECT_NE(RunPythonTool("read_table.py", {"dbfread", a}).find("\"fig\""), std::string::npos);
}

TEST_F(BatchTest, UsageErrorsOpenNothingAndExitTwo) {
  const std::string a = MakeTable(data, "alpha", "name C(10)", R"([["banana"]])");
  const FileSnapshot before = FileSnapshot::Of({a});
  WriteFileBytes(dir.Sub("sets.txt"), "a::b\r\n");
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"--folder", data},
      {"--find", "a", "--replace", "b"},
      {"--folder", data, "--dbc", dir.Sub("x.dbc"), "--find", "a", "--replace", "b"},
      {"--folder", data, "--find", "a"},
      {"--folder", data, "--replace", "b"},
      {"--folder", data, "--find", "a", "--replace", "b", "--sets", dir.Sub("sets.txt")},
      {"--folder", data, "--find", "a", "--replace", "b", "--separator", ","},
      {"--folder", data, "--sets", dir.Sub("sets.txt"), "--separator", ""},
      {"--folder", data, "--find", "a", "--replace", "b", "--skip-bad-lines"},
      {"--folder", data, "--sets", dir.Sub("missing.txt")},
      {"--folder", data, "--find", "", "--replace", "b"},
      {"--folder", data, "--find", "a", "--replace", "b", "--bogus"},
      {"--folder", data, "--find", "a", "--replace"},
      {"--folder", dir.Sub("no tables here"), "--find", "a", "--replace", "b"},
      {"--dbc", dir.Sub("missing.dbc"), "--find", "a", "--replace", "b"},
      {"--undo", dir.Sub("x.jnl"), "--folder", data},
      {"--undo", ""},
  };
  for (const auto& args : cases) {
    Run(args);
    std::string shown;
    for (const auto& a : args) shown += a + " ";
    EXPECT_EQ(code, 2) << shown;
    EXPECT_EQ(out, "") << shown;
    EXPECT_EQ(err.rfind("quillon-replace: ", 0), 0u) << shown << err;
  }
  Run({"--folder", data, "--sets", dir.Sub("missing.txt")});
  EXPECT_NE(err.find(dir.Sub("missing.txt") + " not found."), std::string::npos) << err;
  Run({"--folder", data, "--find", "", "--replace", "b"});
  EXPECT_EQ(err, "quillon-replace: Please enter the text to find.\n");
  EXPECT_TRUE(FileSnapshot::Of({a}) == before);
  EXPECT_EQ(Log(), "");

  Run({"--help"});
  EXPECT_EQ(code, 0);
  EXPECT_EQ(out, quillon::BatchUsage());
}

TEST_F(BatchTest, DryRunWritesNothingAndCountsPerTableAndColumn) {
  const std::string a =
      MakeTable(data, "alpha", "name C(10); note M", R"([["banana", "an"], ["kiwi", "a"]])");
  const std::string b = MakeTable(data, "beta", "city C(10)", R"([["Oslo"]])");
  const FileSnapshot before = FileSnapshot::Of({a, data + "/alpha.fpt", b});
  Run({"--folder", data, "--table", "alpha", "--table", "beta", "--find", "an", "--replace", "x",
       "--dry-run"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(out, "alpha (name): 1 field\nalpha (note): 1 field\nbeta: no fields\nDone.\n");
  EXPECT_TRUE(FileSnapshot::Of({a, data + "/alpha.fpt", b}) == before);
  EXPECT_EQ(Log(), "");

  // A value that grows past a megabyte (sets that feed on each other, say)
  // is told.
  const std::string sets = dir.Sub("grow.txt");
  WriteFileBytes(sets, "an::" + std::string(2 << 20, 'x') + "\n");
  Run({"--folder", data, "--table", "alpha", "--sets", sets, "--dry-run"});
  EXPECT_NE(out.find("alpha (note): 1 field; a new value would grow to 2097152 bytes (record 1)"),
            std::string::npos)
      << out.substr(0, 600);
  EXPECT_TRUE(FileSnapshot::Of({a, data + "/alpha.fpt", b}) == before);
}

// The dry run tells what the real run would refuse: here a table whose file
// holds more records than its header counts.
TEST_F(BatchTest, DryRunTellsATableTheRunWouldRefuse) {
  const std::string a = MakeTable(data, "alpha", "name C(10)", R"([["banana"]])");
  std::string bytes = ReadFileBytes(a);
  bytes.insert(bytes.size() - 1, " extra     ");  // one more record before the end mark
  WriteFileBytes(a, bytes);
  Run({"--folder", data, "--find", "an", "--replace", "x", "--dry-run"});
  EXPECT_EQ(out,
            "alpha: cannot be changed: the table is damaged: the file holds more records than its header "
            "counts\nDone.\n");
  EXPECT_EQ(code, 1) << "a dry run that finds what the real run would refuse says so in its exit status";
  Run({"--folder", data, "--find", "an", "--replace", "x"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("holds more records than its header counts"), std::string::npos) << err;
  EXPECT_EQ(ReadFileBytes(a), bytes);
}

// A table whose header announces a structural index that is not there is
// left alone, unless --without-index says otherwise; then the run says that
// the index must be rebuilt. One with an index file its header does not
// name is changed, and the run says that file was not.
TEST_F(BatchTest, ATableWhoseIndexIsMissingIsChangedOnlyWhenAsked) {
  const std::string a = MakeTable(data, "alpha", "name C(10)", R"([["banana"]])");
  std::string bytes = ReadFileBytes(a);
  bytes[28] = static_cast<char>(bytes[28] | 1);  // "has a structural index"
  WriteFileBytes(a, bytes);
  Run({"--folder", data, "--find", "an", "--replace", "x"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("\"alpha.cdx\" is missing"), std::string::npos) << err;
  EXPECT_EQ(ReadFileBytes(a), bytes);
  Run({"--folder", data, "--find", "an", "--replace", "x", "--without-index"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("rebuild the index"), std::string::npos) << err;
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {a}), "bxxa\n");

  // An index file the header does not name is not kept: the run says so
  // once, after changing the table.
  const std::string b = MakeTable(data, "beta", "name C(10)", R"([["banana"], ["ban"]])");
  WriteFileBytes(data + "/beta.cdx", std::string(1024, '\0'));
  Run({"--folder", data, "--table", "beta", "--find", "an", "--replace", "x"});
  EXPECT_EQ(code, 1);
  EXPECT_EQ(err.find("\"beta.cdx\", which its header does not name"),
            err.rfind("\"beta.cdx\", which its header does not name"));
  EXPECT_NE(err.find("\"beta.cdx\", which its header does not name"), std::string::npos) << err;
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {b}), "bxxa\nbx\n");
}

TEST_F(BatchTest, SetFilesWithTheDefaultOrAnotherSeparator) {
  const std::string a = MakeTable(data, "alpha", "name C(12)", R"([["a"], ["x::y"]])");
  WriteFileBytes(dir.Sub("sets.txt"), "a::b\r\nb::c\r\nno separator\r\n");
  // A line that is not a set refuses the file, naming the line, unless the
  // run is told to skip such lines.
  const FileSnapshot before = FileSnapshot::Of({a});
  Run({"--folder", data, "--sets", dir.Sub("sets.txt")});
  EXPECT_EQ(code, 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.rfind("quillon-replace: 1 line of " + dir.Sub("sets.txt") +
                          " is not a set (a find text, \"::\", a replace text):\n  line 3: \"no separator\"\n"
                          "Nothing was done.",
                      0),
            0u)
      << err;
  EXPECT_TRUE(FileSnapshot::Of({a}) == before);
  EXPECT_EQ(Log(), "");
  Run({"--folder", data, "--sets", dir.Sub("sets.txt"), "--skip-bad-lines"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_EQ(out.rfind("Skipped (--skip-bad-lines): 1 line of ", 0), 0u) << out;
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {a}), "c\nx::y\n");
  EXPECT_EQ(SplitLines(Log()).size(), 2u);

  WriteFileBytes(dir.Sub("semicolon.txt"), "x::;X-\n-y;\n");
  Run({"--folder", data, "--sets", dir.Sub("semicolon.txt"), "--separator", ";"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {a}), "c\nX\n");

  // A file without a single set is said to be so, not taken as nothing to
  // do: blank lines, or bad lines skipped.
  WriteFileBytes(dir.Sub("none.txt"), "\r\n \r\n");
  Run({"--folder", data, "--sets", dir.Sub("none.txt")});
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("holds no set"), std::string::npos) << err;
  WriteFileBytes(dir.Sub("none.txt"), "no separator\r\n");
  Run({"--folder", data, "--sets", dir.Sub("none.txt"), "--skip-bad-lines"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("line 1: \"no separator\""), std::string::npos) << err;
  EXPECT_NE(err.find("holds no set"), std::string::npos) << err;
}

// A database container's table, by its name in the container, with memo and
// structural index; every other value reads as before.
TEST_F(BatchTest, DatabaseContainerTable) {
  const std::string folder = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string table = folder + "/contacts.dbf";
  std::string expected = RunPerlTool("xbase_read.pl", {table});
  for (size_t at = expected.find("Seattle"); at != std::string::npos; at = expected.find("Seattle", at)) {
    expected.replace(at, 7, "Redmond");
  }
  Run({"--dbc", folder + "/FOXPRO-DB-TEST.DBC", "--table", "contacts", "--find", "Seattle", "--replace",
       "Redmond"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(RunPerlTool("xbase_read.pl", {table}), expected);
  EXPECT_NE(Log().find("] - Seattle was replace to Redmond at table (contacts) and column (city)\r\n"),
            std::string::npos)
      << Log();
}

// On a database container with structural indexes, the dry run counts per
// table and column the fields the run then changes, indexed ones included;
// neither reports anything and both exit 0; the run's count is what an
// independent reader sees changed.
TEST_F(BatchTest, OnAContainerTheDryRunCountsWhatTheRunChanges) {
  const std::string folder = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string dbc = folder + "/FOXPRO-DB-TEST.DBC";
  const std::vector<std::string> tables = {"calls", "contacts", "setup", "types"};
  std::vector<std::string> before;
  for (const std::string& t : tables)
    before.push_back(RunPerlTool("xbase_read.pl", {folder + "/" + t + ".dbf"}));

  Run({"--dbc", dbc, "--find", "C", "--replace", "K", "--dry-run"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(err, "");
  const std::regex column_line(R"(\w+ \((\w+)\): (\d+) fields?)");
  int64_t counted = 0;
  for (std::sregex_iterator m(out.begin(), out.end(), column_line), end; m != end; ++m)
    counted += std::stoll((*m)[2]);
  EXPECT_NE(out.find("setup (key_name): 3 fields\n"), std::string::npos) << out;  // in tag KEY_NAME
  EXPECT_GT(counted, 0);

  Run({"--dbc", dbc, "--find", "C", "--replace", "K"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(err, "");
  EXPECT_NE(out.find("4 tables, " + std::to_string(counted) + " fields changed\n"), std::string::npos) << out;
  int64_t changed = 0;
  for (size_t t = 0; t < tables.size(); ++t) {
    const std::vector<std::string> was = SplitLines(before[t]);
    const std::vector<std::string> now =
        SplitLines(RunPerlTool("xbase_read.pl", {folder + "/" + tables[t] + ".dbf"}));
    ASSERT_EQ(was.size(), now.size());
    for (size_t r = 0; r < was.size(); ++r) {
      std::istringstream a(was[r]), b(now[r]);
      for (std::string x, y; std::getline(a, x, '\t') && std::getline(b, y, '\t');) changed += x != y;
    }
  }
  EXPECT_EQ(changed, counted);
}

#ifndef _WIN32
// A change log that fills its file system (here: a file size limit) part-way
// through a batch's lines keeps none of them: every line it holds is of a
// field changed, and the lines are written after their batch is committed,
// so only the batch whose lines were lost lacks them; no later batch is
// written.
TEST_F(BatchTest, AChangeLogThatFillsUpClaimsNoChangeThatWasNotMade) {
  const std::string a = MakeTable(data, "towns", "city C(20)", R"([["Oslo"]])");
  std::string bytes = ReadFileBytes(a);
  const size_t header = fox::LoadLE16(&bytes[8]), length = fox::LoadLE16(&bytes[10]);
  std::string records;
  for (int i = 0; i < 20000; ++i) records += bytes.substr(header, length);
  bytes = bytes.substr(0, header) + records + "\x1a";
  fox::StoreLE32(reinterpret_cast<unsigned char*>(&bytes[4]), 20000);
  WriteFileBytes(a, bytes);
  fs::create_directories(log_folder);
  int exit = -1;
  testing_support::RunCommand("bash -c 'ulimit -f 1000; TEMP=\"" + log_folder +
                                  "\" \"" QUILLON_REPLACE "\" --folder \"" + data +
                                  "\" --find Oslo --replace Bergen --no-undo-journal' >/dev/null 2>&1",
                              &exit);
  EXPECT_EQ(exit, 1);
  const std::vector<std::string> lines = SplitLines(Log());
  const std::string table = RunPerlTool("xbase_read.pl", {a});
  const auto changed = std::count(table.begin(), table.end(), 'B');
  EXPECT_GT(changed, 0);
  EXPECT_LT(changed, 20000);
  const auto logged = std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
    return line.find(" was replace to ") != std::string::npos;
  });
  EXPECT_LE(logged, changed);
  EXPECT_LE(changed - logged, static_cast<std::ptrdiff_t>(fox::Table::kBulkBatchRecords));
  EXPECT_EQ(Log().substr(Log().size() - 2), "\r\n");
}
#endif

// A memo file two blocks short of FoxPro's 2 GB limit (sparse): the values
// that fit are saved, the first that does not stops the run with one report,
// and the log tells exactly what was saved.
TEST_F(BatchTest, AMemoFileAtItsSizeLimitStopsTheRunWithOneReport) {
  std::string rows = "[";
  for (int i = 0; i < 50; ++i) rows += std::string(i ? "," : "") + R"(["x"])";
  const std::string table = MakeTable(data, "notes", "notes M", rows + "]");
  const std::string memo = data + "/notes.fpt";
  std::string header = ReadFileBytes(memo);
  const uint32_t block = static_cast<uint8_t>(header[6]) << 8 | static_cast<uint8_t>(header[7]);
  const uint32_t next = (uint32_t{1} << 31) / block - 2;
  fox::StoreBE32(reinterpret_cast<unsigned char*>(&header[0]), next);
  WriteFileBytes(memo, header);
  fs::resize_file(memo, uint64_t{next} * block);
  Run({"--folder", data, "--find", "x", "--replace", "y"});
  EXPECT_EQ(code, 1) << err;
  size_t reports = 0;
  for (size_t at = err.find("2 GB"); at != std::string::npos; at = err.find("2 GB", at + 1)) ++reports;
  EXPECT_EQ(reports, 1u) << err;
  EXPECT_EQ(out.find("Done."), std::string::npos) << out;
  const std::string log = Log();
  size_t lines = 0;
  for (size_t at = log.find(" was replace to "); at != std::string::npos;
       at = log.find(" was replace to ", at + 1))
    ++lines;
  EXPECT_EQ(lines, 2u) << log;  // the third has only its "not saved" line
  EXPECT_NE(log.find("Record 3 of table (notes) was not saved"), std::string::npos) << log;
  EXPECT_EQ(fs::file_size(memo), uint64_t{next + 2} * block);
  fs::resize_file(memo, 4096);  // not left for the scratch folder's removal to read
}

// A container's own rules (foxbin2prg's fb2p_dbc): a table whose update
// trigger calls a procedure of its own, or whose record rule does, is left
// alone and named once; --without-triggers lets the trigger go, but the
// record rule (edad>10) still refuses a record, with its message.
// The contact keys of ruby-dbf's contacts or calls, in record order, as
// another reader reads them.
std::string ContactIds(const std::string& folder, const std::string& table) {
  std::string ids;
  for (const std::string& line : SplitLines(RunPerlTool("xbase_read.pl", {folder + "/" + table + ".dbf"}))) {
    const size_t a = table == "calls" ? line.find('\t') + 1 : 0;
    ids += line.substr(a, line.find('\t', a) - a) + " ";
  }
  return ids;
}

TEST_F(BatchTest, AContainersTriggersAndRulesAreHonoured) {
  const std::string folder = testing_support::CopyFixtureFolder(dir, "foxbin2prg");
  const std::string dbc = folder + "/fb2p_dbc.dbc", people = folder + "/fb2p_dbf.dbf",
                    depto = folder + "/fb2p_depto.dbf";
  const std::string sets = dir.Sub("rules.txt");
  WriteFileBytes(sets, "45::5\n46::56\nla::LA\n");
  const std::string before = ReadFileBytes(people), depto_before = ReadFileBytes(depto);
  Run({"--dbc", dbc, "--sets", sets});
  EXPECT_EQ(code, 1) << err;
  EXPECT_NE(err.find("Table 'nombrelargodeldbf' cannot be changed: its update trigger "
                     "__ri_update_nombrelargodeldbf().AND.(upd_trg()) runs code Quillon cannot run."),
            std::string::npos)
      << err;
  EXPECT_NE(
      err.find("Table 'fb2p_depto' cannot be changed: its record validation rule is a rule Quillon cannot "
               "evaluate: it calls"),
      std::string::npos)
      << err;
  EXPECT_EQ(ReadFileBytes(people), before);
  EXPECT_EQ(ReadFileBytes(depto), depto_before);

  Run({"--dbc", dbc, "--table", "nombrelargodeldbf", "--sets", sets, "--without-triggers", "--dry-run"});
  EXPECT_EQ(out,
            "nombrelargodeldbf (edad): 1 field\nnombrelargodeldbf: 1 record refused: it breaks the record "
            "validation rule of table nombrelargodeldbf (edad>10): Mensaje de error de la regla edad > "
            "10\nDone.\n");
  Run({"--dbc", dbc, "--table", "nombrelargodeldbf", "--sets", sets, "--without-triggers"});
  EXPECT_EQ(code, 1) << err;
  EXPECT_NE(
      err.find("The changes to record 1 of table 'nombrelargodeldbf' were not saved: Mensaje de error de la "
               "regla edad > 10 (the record validation rule of table nombrelargodeldbf: edad>10)."),
      std::string::npos)
      << err;
  EXPECT_NE(err.find("Table 'nombrelargodeldbf' was changed without running its update trigger"),
            std::string::npos)
      << err;
  std::string ages;
  for (const std::string& line : SplitLines(RunPerlTool("xbase_read.pl", {people})))
    ages += line.substr(0, line.find('\t', line.find('\t') + 1)) + ";";
  EXPECT_EQ(ages, "Fer\t45;Fer2\t56;Fer3\t47;Fer4\t48;Fer5\t49;");
  const std::string log = Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;

  // --check names the records that already break a rule.
  std::string bytes3 = ReadFileBytes(people);
  bytes3.replace(fox::LoadLE16(&bytes3[8]) + 2 * fox::LoadLE16(&bytes3[10]) + 31, 3,
                 "  5");  // record 3's edad
  WriteFileBytes(people, bytes3);
  Run({"--dbc", dbc, "--check"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(
      out.find(
          "nombrelargodeldbf: the record validation rule of table nombrelargodeldbf (edad>10) BROKEN by 1 "
          "record: 3 (\"Mensaje de error de la regla edad > 10\")"),
      std::string::npos)
      << out;
  EXPECT_NE(
      out.find(
          "fb2p_depto: the record validation rule of table fb2p_depto (fb2p_depto_record_rule_validation()) "
          "not checked: a rule Quillon cannot evaluate"),
      std::string::npos)
      << out;

  // Relations declaring referential integrity (RIINFO "RRR": update, delete
  // and insert restrict, written into a copy of ruby-dbf's container): a
  // call may move to a contact that exists, not to one that does not; a
  // contact whose calls hold its key keeps it.
  const std::string foxprodb = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string container = foxprodb + "/FOXPRO-DB-TEST.DBC";
  SetReferentialIntegrity(container, "RRR");
  auto contact_ids = [&](const std::string& table) { return ContactIds(foxprodb, table); };
  const std::string sets_calls = dir.Sub("calls.txt");
  WriteFileBytes(sets_calls, "5::3\n1::9\n");
  Run({"--dbc", container, "--table", "calls", "--sets", sets_calls});
  EXPECT_NE(
      err.find(
          "The changes to record 1 of table 'calls' were not saved: no record of table contacts holds the "
          "new key, and the relation between calls and contacts requires one (insert rule restrict)."),
      std::string::npos)
      << err;
  EXPECT_EQ(contact_ids("calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 3 4 3 ");
  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "7"});
  EXPECT_NE(
      err.find(
          "The changes to record 4 of table 'contacts' were not saved: records of table calls hold its "
          "key, and the relation between calls and contacts restricts changing it (update rule restrict)."),
      std::string::npos)
      << err;
  EXPECT_EQ(contact_ids("contacts"), "1 2 3 4 5 ");
}

// Update rule cascade: a contact's new key reaches its calls through the
// calls' own saves, with lines, in either table order, never twice; undo
// takes the whole of it back; a call another program holds locked refuses
// its contact's change.
TEST_F(BatchTest, AKeyChangeCascadesToTheChildrenAndUndoTakesItAllBack) {
  const std::string foxprodb = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string container = foxprodb + "/FOXPRO-DB-TEST.DBC";
  SetReferentialIntegrity(container, "CRR");
  auto values = [&] {
    return RunPythonTool("read_table.py", {"dbfread", foxprodb + "/contacts.dbf"}) +
           RunPythonTool("read_table.py", {"dbfread", foxprodb + "/calls.dbf"});
  };
  const std::string before = values();

  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "7", "--dry-run"});
  EXPECT_NE(out.find("contacts: key changes would cascade to 1 record of calls (tag contact_id)"),
            std::string::npos)
      << out;

  // The call's new key is final: the walk of calls after does not turn its
  // 44 into 4444, and a call's key on its own cannot move to a contact
  // that does not exist yet (walked first, it is refused, then cascaded).
  for (const char* first : {"contacts", "calls"}) {
    const std::string second = std::string(first) == "calls" ? "contacts" : "calls";
    Run({"--dbc", container, "--table", first, "--table", second, "--find", "4", "--replace", "44"});
    EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 44 5 ") << first;
    EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 3 44 5 ") << first << err;
    EXPECT_NE(Log().find("4 was replace to 44 at table (calls) and column (contact_id)"), std::string::npos)
        << Log();
    EXPECT_NE(out.find(" by cascade)"), std::string::npos) << out;
    const size_t at = out.find("Undo journal: ");
    ASSERT_NE(at, std::string::npos) << out;
    Run({"--undo", out.substr(at + 14, out.find(" (", at) - at - 14)});
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(values(), before) << first;
    Run({"--dbc", container, "--check"});
    EXPECT_EQ(code, 0) << out;
    fs::remove(log_folder + "/backups.log");
  }

  {
    fox::Table::Options writable;
    writable.mode = fox::DiskFile::Mode::kReadWrite;
    fox::Table calls(foxprodb + "/calls.dbf", writable);
    calls.Hold(15);
    Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "7"});
  }
  EXPECT_NE(
      err.find(
          "The changes to record 4 of table 'contacts' were not saved: its new key cannot be given to "
          "table calls through the relation between calls and contacts (update rule cascade): record 15, "
          "which holds the old key, is locked by another program."),
      std::string::npos)
      << err;
  EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 4 5 ");
  EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 3 4 5 ");

  // --check names a call whose contact is gone (changed behind the
  // relation's back).
  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "8", "--without-triggers"});
  SetReferentialIntegrity(container, "III");
  Run({"--dbc", container, "--table", "contacts", "--find", "8", "--replace", "9"});
  SetReferentialIntegrity(container, "CRR");
  Run({"--dbc", container, "--check"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(
      out.find(
          "calls: the relation to contacts (tag contact_id) BROKEN by 1 record: 15 (no record of contacts "
          "holds the key)"),
      std::string::npos)
      << out;
}

// Makes calls.contact_id of ruby-dbf's container (in `folder`) a field that
// can hold null, as FoxPro makes it: a _NullFlags field at the end of every
// record, the field's null flag, and its tag's keys one byte longer, each
// with the null marker (the tag rebuilt by the library). Call `null_call`'s
// key becomes null, call `empty_call`'s empty (0).
void MakeContactKeyNullable(const std::string& folder, uint32_t null_call, uint32_t empty_call) {
  const std::string path = folder + "/calls.dbf";
  std::string bytes = ReadFileBytes(path);
  const size_t header = fox::LoadLE16(&bytes[8]), length = fox::LoadLE16(&bytes[10]);
  const uint32_t count = fox::LoadLE32(&bytes[4]);
  size_t end = 32, key_at = 0;
  for (; bytes[end] != 0x0D; end += 32) {
    if (std::string(bytes.data() + end) == "CONTACT_ID") {
      bytes[end + 18] = static_cast<char>(bytes[end + 18] | 0x02);
      key_at = fox::LoadLE32(&bytes[end + 12]);
    }
  }
  std::string flags(32, '\0');
  flags.replace(0, 10, "_NullFlags");
  flags[11] = '0';
  fox::StoreLE32(&flags[12], static_cast<uint32_t>(length));
  flags[16] = 1;
  flags[18] = 0x05;  // a system field, binary
  std::string out = bytes.substr(0, end) + flags + bytes.substr(end, header - end);
  fox::StoreLE16(&out[8], static_cast<uint16_t>(header + 32));
  fox::StoreLE16(&out[10], static_cast<uint16_t>(length + 1));
  for (uint32_t recno = 1; recno <= count; ++recno) {
    std::string record = bytes.substr(header + (recno - 1) * length, length);
    const bool null = recno == null_call;
    if (null || recno == empty_call) record.replace(key_at, 4, 4, '\0');
    out += record + (null ? '\x01' : '\0');
  }
  WriteFileBytes(path, out + "\x1A");

  const std::string cdx = folder + "/calls.CDX";
  uint32_t tag_at = 0;
  {
    const fox::CompoundIndex index(cdx, "calls");
    for (const fox::IndexTag& tag : index.tags())
      if (tag.name == "CONTACT_ID") tag_at = tag.header_offset;
  }
  ASSERT_NE(tag_at, 0u);
  std::string index = ReadFileBytes(cdx);
  fox::StoreLE16(&index[tag_at + 12], 5);
  index[tag_at + 14] = static_cast<char>(index[tag_at + 14] | fox::IndexTag::kNullableKey);
  WriteFileBytes(cdx, index);
  fox::Table::Options writable;
  writable.mode = fox::DiskFile::Mode::kReadWrite;
  fox::Table calls(path, writable);
  fox::RebuildTags(calls, {"CONTACT_ID"});
}

// A child key that can hold null (calls.contact_id, whose tag's keys carry
// the null marker; call 16's key null, call 14's empty) matches the contacts' keys, which
// carry none, under every rule: --check finds no orphan, a key change
// cascades to it (counted by the dry run, in either table order), update
// restrict holds, insert restrict takes a key a contact holds; a null key
// has no parent and needs none, and --check takes an empty one for none.
TEST_F(BatchTest, AChildKeyThatCanBeNullMatchesItsParentsKeyUnderEveryRule) {
  const std::string foxprodb = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string container = foxprodb + "/FOXPRO-DB-TEST.DBC";
  MakeContactKeyNullable(foxprodb, 16, 14);
  SetReferentialIntegrity(container, "CRR");
  auto values = [&] {
    return RunPythonTool("read_table.py", {"dbfread", foxprodb + "/contacts.dbf"}) +
           RunPythonTool("read_table.py", {"dbfread", foxprodb + "/calls.dbf"});
  };
  const std::string before = values();
  const std::string calls_before = ContactIds(foxprodb, "calls");
  ASSERT_EQ(calls_before, "1 1 1 1 1 2 2 2 2 2 2 3 3 0 4 0 ");

  Run({"--dbc", container, "--check"});
  EXPECT_EQ(code, 0) << out;
  EXPECT_EQ(out.find("relation"), std::string::npos) << out;

  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "44", "--dry-run"});
  EXPECT_NE(out.find("contacts: key changes would cascade to 1 record of calls (tag contact_id)"),
            std::string::npos)
      << out;
  for (const char* first : {"contacts", "calls"}) {
    const std::string second = std::string(first) == "calls" ? "contacts" : "calls";
    Run({"--dbc", container, "--table", first, "--table", second, "--find", "4", "--replace", "44"});
    EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 44 5 ") << first;
    EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 0 44 0 ") << first << err;
    const size_t at = out.find("Undo journal: ");
    ASSERT_NE(at, std::string::npos) << out;
    const std::string journal = out.substr(at + 14, out.find(" (", at) - at - 14);
    Run({"--dbc", container, "--check"});
    EXPECT_EQ(code, 0) << out;
    Run({"--undo", journal});
    EXPECT_EQ(code, 0) << err;
    EXPECT_EQ(values(), before) << first;
  }

  // Update and insert restrict: contact 4, whose call holds its key, keeps
  // it; contact 5, whose only call's key is null, may change; call 15 may
  // take the key of contact 3, no call the key 9 that no contact holds.
  SetReferentialIntegrity(container, "RRR");
  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "7"});
  EXPECT_NE(
      err.find(
          "The changes to record 4 of table 'contacts' were not saved: records of table calls hold its "
          "key, and the relation between calls and contacts restricts changing it (update rule restrict)."),
      std::string::npos)
      << err;
  Run({"--dbc", container, "--table", "contacts", "--find", "5", "--replace", "6"});
  EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 4 6 ") << err;
  const std::string sets_calls = dir.Sub("calls.txt");
  WriteFileBytes(sets_calls, "4::3\n1::9\n");
  Run({"--dbc", container, "--table", "calls", "--sets", sets_calls});
  EXPECT_NE(
      err.find(
          "The changes to record 1 of table 'calls' were not saved: no record of table contacts holds the "
          "new key, and the relation between calls and contacts requires one (insert rule restrict)."),
      std::string::npos)
      << err;
  EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 0 3 0 ") << err;
  Run({"--dbc", container, "--check"});
  EXPECT_EQ(code, 0) << out;
}

// Closing the program after a contact's new key was saved, before its
// calls were given it: the calls still take it, as the table's close writes
// the contact.
TEST_F(BatchTest, AStopCarriesOutTheCascadesOfTheRecordsAlreadySaved) {
  const std::string foxprodb = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  SetReferentialIntegrity(foxprodb + "/FOXPRO-DB-TEST.DBC", "CRR");
  FakeInputs inputs;
  inputs.source.dbc = true;
  inputs.source.dbc_path = foxprodb + "/FOXPRO-DB-TEST.DBC";
  inputs.rows = {{"contacts", true}};
  inputs.find = "4";
  inputs.replace = "44";
  quillon::ScriptedToolkit toolkit;
  inputs.on_record = [&](const std::string&, uint32_t record, uint32_t) { inputs.closing = record == 5; };
  quillon::ReplacementRun run(inputs.Request(), toolkit, &inputs);
  EXPECT_EQ(run.Run(), quillon::RunEnd::kStopped);
  EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 44 5 ");
  EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 3 44 5 ");
}

// The undo of a run that cascaded gives every table back exactly, with no
// orphan: a run whose calls' walk changes a call again after its cascade
// (two saves of one record, each journalled under its own table and
// column), and runs stopped at every record of contacts, their cascades
// carried out or not.
TEST_F(BatchTest, AnUndoTakesEveryCascadeBackAlsoOfARunStoppedOnTheWay) {
  const std::string foxprodb = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string container = foxprodb + "/FOXPRO-DB-TEST.DBC";
  SetReferentialIntegrity(container, "CRR");
  auto values = [&] {
    return RunPythonTool("read_table.py", {"dbfread", foxprodb + "/contacts.dbf"}) +
           RunPythonTool("read_table.py", {"dbfread", foxprodb + "/calls.dbf"});
  };
  const std::string before = values();
  auto undo = [&](const std::string& journal, const std::string& what) {
    Run({"--undo", journal});
    EXPECT_EQ(err.find("columns changed"), std::string::npos) << what << err;
    EXPECT_EQ(values(), before) << what << err;
    Run({"--dbc", container, "--check"});
    EXPECT_EQ(code, 0) << what << out;
  };

  // Only contacts walked: calls, changed by the cascade alone, is counted.
  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "44"});
  EXPECT_NE(out.find("2 tables, 14 fields changed (1 by cascade)"), std::string::npos) << out;
  const auto journal = [&] {
    const size_t at = out.find("Undo journal: ");
    return at == std::string::npos ? std::string() : out.substr(at + 14, out.find(" (", at) - at - 14);
  };
  undo(journal(), "contacts");

  const std::string sets = dir.Sub("cascade.txt");
  WriteFileBytes(sets, "4::44\nMargaret::Maggie\n");
  Run({"--dbc", container, "--table", "contacts", "--table", "calls", "--sets", sets});
  ASSERT_NE(RunPythonTool("read_table.py", {"dbfread", foxprodb + "/calls.dbf"}).find("Shipment to Maggie"),
            std::string::npos);
  undo(journal(), "both tables");

  for (uint32_t stop = 1; stop <= 5; ++stop) {
    FakeInputs inputs;
    inputs.source.dbc = true;
    inputs.source.dbc_path = container;
    inputs.rows = {{"contacts", true}, {"calls", true}};
    inputs.tab = 1;
    inputs.finds = {"4", "Margaret"};
    inputs.replaces = {"44", "Maggie"};
    inputs.on_record = [&](const std::string& table, uint32_t record, uint32_t) {
      inputs.closing = table == "contacts" && record == stop;
    };
    quillon::ScriptedToolkit toolkit;
    quillon::RunRequest request = inputs.Request();
    request.journal_folder = log_folder;
    quillon::ReplacementRun run(request, toolkit, &inputs);
    run.Run();
    if (run.undo_journal().empty()) {
      EXPECT_EQ(values(), before) << stop;
      continue;
    }
    undo(run.undo_journal(), "stopped at record " + std::to_string(stop));
  }
}

// --without-triggers reaches a cascade's children: a call's record rule
// that calls a procedure refuses its contact's new key unless the override
// is given, and then calls is named as changed without it.
TEST_F(BatchTest, TheOverrideReachesTheChildrenOfACascade) {
  const std::string foxprodb = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string container = foxprodb + "/FOXPRO-DB-TEST.DBC";
  SetReferentialIntegrity(container, "CRR");
  AddTableProperty(container, "calls", 9, "checkcall()");
  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "44"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(
      err.find("The changes to record 4 of table 'contacts' were not saved: its new key cannot be given "
               "to table calls through the relation between calls and contacts (update rule cascade): "
               "its record validation rule is a rule Quillon cannot evaluate: it calls checkcall()."),
      std::string::npos)
      << err;
  EXPECT_EQ(err.find(".."), std::string::npos) << err;
  EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 4 5 ");

  Run({"--dbc", container, "--table", "contacts", "--find", "4", "--replace", "44", "--without-triggers"});
  EXPECT_EQ(ContactIds(foxprodb, "contacts"), "1 2 3 44 5 ");
  EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 3 44 5 ");
  EXPECT_NE(out.find("2 tables, 14 fields changed (1 by cascade)"), std::string::npos) << out;
  EXPECT_NE(err.find("Table 'calls' was changed without checking its record validation rule (a rule Quillon "
                     "cannot evaluate: it calls checkcall()): check what that rule would have refused."),
            std::string::npos)
      << err;

  // The same override lets a walked table whose record rule calls a
  // procedure change, in a dry run as in the run.
  AddTableProperty(container, "contacts", 9, "checkcontact()");
  Run({"--dbc", container, "--table", "contacts", "--find", "44", "--replace", "4", "--without-triggers",
       "--dry-run"});
  EXPECT_NE(out.find("contacts (contact_id): 1 field"), std::string::npos) << out;
  Run({"--dbc", container, "--table", "contacts", "--find", "44", "--replace", "4", "--without-triggers"});
  EXPECT_EQ(ContactIds(foxprodb, "calls"), "1 1 1 1 1 2 2 2 2 2 2 3 3 3 4 5 ");
  EXPECT_NE(err.find("Table 'contacts' was changed without checking its record validation rule"),
            std::string::npos)
      << err;
}

// --check compares every tag with the records and writes nothing: a record
// changed behind the index's back makes its tag INCONSISTENT and the exit
// status 1; consistent tables exit 0.
TEST_F(BatchTest, CheckNamesAStaleTagExitsOneAndWritesNothing) {
  const std::string folder = testing_support::CopyFixtureFolder(dir, "ruby-dbf/foxprodb");
  const std::string dbc = folder + "/FOXPRO-DB-TEST.DBC";
  const std::string calls = folder + "/calls.dbf";
  size_t at = 0;  // the low byte of CONTACT_ID (an integer) in record 1
  {
    const fox::Table table(calls, fox::Table::Options());
    for (size_t c = 0; c < table.field_count(); ++c)
      if (table.field_name(c) == "contact_id") at = table.header().header_length + table.field(c).offset;
  }
  ASSERT_NE(at, 0u);
  std::string bytes = ReadFileBytes(calls);
  bytes[at] = static_cast<char>(bytes[at] ^ 8);  // 1 becomes 9, a key no contact holds (0 would be empty)
  WriteFileBytes(calls, bytes);
  std::vector<std::string> files;
  for (const auto& entry : fs::directory_iterator(folder)) files.push_back(entry.path().string());
  const FileSnapshot before = FileSnapshot::Of(files);

  Run({"--dbc", dbc, "--check"});
  EXPECT_EQ(code, 1) << err;
  EXPECT_EQ(err, "");
  const std::vector<std::string> lines = SplitLines(out);
  ASSERT_EQ(lines.size(), 7u) << out;
  EXPECT_EQ(lines[2], "contacts: tag CONTACT_ID: 5 keys, consistent");
  EXPECT_EQ(lines[3],
            "contacts: tag TYPE_ID: 5 keys, consistent");  // a long field name, through the container
  // The changed key has no contact; the relation declares no rules, so it
  // is only told.
  EXPECT_EQ(lines[4],
            "calls: the relation to contacts (tag contact_id) not kept by 1 record: 1 (no record of "
            "contacts holds the key)");
  EXPECT_EQ(lines[5], "calls: tag CALL_ID: 16 keys, consistent");
  EXPECT_EQ(lines[6].rfind("calls: tag CONTACT_ID: INCONSISTENT: entry ", 0), 0u) << lines[6];

  Run({"--dbc", dbc, "--table", "setup", "--table", "types", "--check"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(out, "setup: tag KEY_NAME: 3 keys, consistent\ntypes: tag TYPE_ID: 2 keys, consistent\n");

  // A table without a structural index is fine; one that cannot be opened is not.
  MakeTable(data, "alpha", "name C(10)", R"([["banana"]])");
  Run({"--folder", data, "--table", "alpha", "--check"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(out, "alpha: no structural index\n");
  Run({"--folder", data, "--table", "ghost", "--check"});
  EXPECT_EQ(code, 1);
  EXPECT_EQ(out, "ghost: cannot be checked: The folder '" + data + "' has no table called 'ghost'.\n");

  Run({"--dbc", dbc, "--check", "--find", "a", "--replace", "b"});
  EXPECT_EQ(code, 2);
  EXPECT_EQ(out, "");
  EXPECT_EQ(err.rfind("quillon-replace: --check cannot be combined with --find.", 0), 0u) << err;
  EXPECT_TRUE(FileSnapshot::Of(files) == before);
  EXPECT_EQ(Log(), "");
}

// Tables reached through their folder obey the container their headers link
// them to, as through the container: its trigger, its rules (the dry run
// and --check too). A table whose container does not list it is reported
// once and left as it is, unless --ignore-container makes it free.
TEST_F(BatchTest, AFoldersTablesObeyTheContainerTheirHeadersName) {
  const std::string folder = testing_support::CopyFixtureFolder(dir, "foxbin2prg");
  const std::string people = folder + "/fb2p_dbf.dbf", orphan = folder + "/vw_local_encuestas.dbf";
  const std::string sets = dir.Sub("rules.txt");
  WriteFileBytes(sets, "45::5\n46::56\nPEPE::PEDRO\n");
  const std::string before = ReadFileBytes(people), orphan_before = ReadFileBytes(orphan);
  const std::string not_listed = "Table 'vw_local_encuestas' belongs to the database '";
  auto count = [](const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  };
  Run({"--folder", folder, "--sets", sets});
  EXPECT_EQ(code, 1) << err;
  EXPECT_NE(err.find("its update trigger __ri_update_nombrelargodeldbf().AND.(upd_trg()) runs code Quillon "
                     "cannot run."),
            std::string::npos)
      << err;
  EXPECT_EQ(count(err, not_listed), 1u) << err;
  EXPECT_NE(err.find("which does not list it"), std::string::npos) << err;
  EXPECT_EQ(ReadFileBytes(people), before);
  EXPECT_EQ(ReadFileBytes(orphan), orphan_before);

  Run({"--folder", folder, "--table", "fb2p_dbf", "--sets", sets, "--without-triggers", "--dry-run"});
  EXPECT_NE(out.find("fb2p_dbf: 1 record refused: it breaks the record validation rule of table "
                     "nombrelargodeldbf (edad>10)"),
            std::string::npos)
      << out;
  Run({"--folder", folder, "--check"});
  EXPECT_EQ(code, 1);
  EXPECT_EQ(count(out, "vw_local_encuestas: cannot be checked: " + not_listed), 1u) << out;
  EXPECT_NE(out.find("fb2p_depto: the record validation rule of table fb2p_depto"), std::string::npos) << out;

  Run({"--folder", folder, "--table", "vw_local_encuestas", "--sets", sets, "--ignore-container"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(RunPythonTool("read_table.py", {"dbfread", orphan}).find("PEPE"), std::string::npos);
  EXPECT_NE(RunPythonTool("read_table.py", {"dbfread", orphan}).find("PEDRO"), std::string::npos);
  Run({"--dbc", folder + "/fb2p_dbc.dbc", "--ignore-container", "--find", "a", "--replace", "b"});
  EXPECT_EQ(code, 2);
}

// A read-only table file is reported only where a value holds a find text.
TEST_F(BatchTest, AReadOnlyTableIsReportedOnlyWhereAFindTextIsFound) {
#ifdef _WIN32
  GTEST_SKIP() << "Linux only: the test makes the file read-only through its POSIX write bits, which "
                  "Windows programs under Wine, run as root, do not see as the read-only attribute";
#endif
  const std::string a = MakeTable(data, "alpha", "name C(10)", R"([["banana"]])");
  fs::permissions(a, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  Run({"--folder", data, "--find", "kiwi", "--replace", "lime"});
  EXPECT_EQ(code, 0) << err;
  EXPECT_EQ(err, "");
  Run({"--folder", data, "--find", "an", "--replace", "AN", "--dry-run"});
  EXPECT_EQ(code, 1) << out;
  EXPECT_NE(out.find("its file is read-only"), std::string::npos) << out;
  Run({"--folder", data, "--find", "an", "--replace", "AN"});
  EXPECT_EQ(code, 1);
  EXPECT_NE(err.find("Table 'alpha' cannot be changed: its file is read-only."), std::string::npos) << err;
  EXPECT_EQ(RunPythonTool("read_table.py", {"dbfread", a}), R"([{"NAME": "banana"}])");
  fs::permissions(a, fs::perms::owner_write, fs::perm_options::add);
}

}  // namespace
