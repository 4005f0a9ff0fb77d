// The replacement run driven through a fake main window and the scripted
// toolkit, on tables made by python3-dbf and checked with python3-dbfread,
// python3-dbf and Perl XBase.
#include "engine/replacement_run.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/file/disk_file.h"
#include "data/table/index_check.h"
#include "data/util/byte_order.h"
#include "engine/change_log.h"
#include "engine/run_steps.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/scripted_toolkit.h"

namespace fs = std::filesystem;
using namespace engine_testing;
using quillon::MessageButtons;
using quillon::MessageIcon;
using quillon::RunEnd;
using quillon::RunMode;
using testing_support::ReadFileBytes;
using testing_support::RunPerlTool;
using testing_support::RunPythonTool;
using testing_support::TempDir;

namespace {

const char kPeople[] = "name C(12) NULL; amount N(8,2); born D NULL; note M";

std::string ReportText(const std::string& description, quillon::RunStep line) {
  return description + "\r\nin Brenlow2021/08/31.Form2.PushButton1_Click at line " +
         std::to_string(static_cast<int>(line)) +
         "\r\n\r\nPlease email screenshot of this message to support@quillon-app.com";
}

struct RunTest : ::testing::Test {
  TempDir dir;
  std::string data = dir.Sub("data");
  std::string log_folder = dir.Sub("log");
  TempVariable temp{log_folder};
  FakeInputs inputs;
  quillon::ScriptedToolkit toolkit;
  int reports = 0;

  RunTest() {
    fs::create_directory(data);
    fs::create_directory(log_folder);
    inputs.source.folder = data;
  }

  std::string Table(const std::string& name, const std::string& records, const char* fields = kPeople) {
    inputs.rows.push_back({name, true});
    return MakeTable(data, name, fields, records);
  }
  void UseSets(std::vector<std::string> finds, std::vector<std::string> replaces) {
    inputs.tab = 1;
    inputs.finds = std::move(finds);
    inputs.replaces = std::move(replaces);
  }
  bool allow_triggers = false;
  RunEnd Run(RunMode mode = RunMode::kReplace) {
    quillon::RunRequest request = inputs.Request(mode);
    request.allow_triggers = allow_triggers;
    quillon::ReplacementRun run(std::move(request), toolkit, &inputs);
    const RunEnd end = run.Run();
    reports = run.reports();
    return end;
  }
  std::string LogPath() const { return log_folder + "/backups.log"; }
  // The change log's lines without their date and time.
  std::vector<std::string> LogEntries() const {
    std::vector<std::string> entries;
    if (!fs::exists(LogPath())) return entries;
    for (std::string line : SplitLines(ReadFileBytes(LogPath()))) {
      EXPECT_EQ(line.back(), '\r') << "lines end with CR LF";
      entries.push_back(line.substr(line.find("] - ") + 4, line.size() - line.find("] - ") - 5));
    }
    return entries;
  }
  std::string Dbfread(const std::string& path) const {
    return RunPythonTool("read_table.py", {"dbfread", path});
  }
  std::string Dbf(const std::string& path) const { return RunPythonTool("read_table.py", {"dbf", path}); }
  std::string Xbase(const std::string& path) const { return RunPerlTool("xbase_read.pl", {path}); }

  void ExpectOnlyDone() const {
    const auto messages = toolkit.messages();
    ASSERT_EQ(messages.size(), 1u) << messages.front().text;
    const auto& done = messages[0];
    EXPECT_EQ(done.text, "Done.");
    EXPECT_EQ(done.title, "Quillon");
    EXPECT_EQ(done.buttons, MessageButtons::kOk);
    EXPECT_EQ(done.icon, MessageIcon::kNone);
  }
};

TEST_F(RunTest, EveryOccurrenceIsReplacedWithOneLogLinePerField) {
  const std::string path =
      Table("people", R"([["banana", 1, "2020-01-02", "a banana"], ["ABC", 2, "2020-01-02", "abc"]])");
  inputs.find = "a";
  inputs.replace = "b";
  const std::string before = quillon::ChangeLogDateTime();
  EXPECT_EQ(Run(), RunEnd::kDone);
  const std::string after = quillon::ChangeLogDateTime();

  const std::string expected =
      R"([{"AMOUNT": "1.0", "BORN": "2020-01-02", "NAME": "bbnbnb", "NOTE": "b bbnbnb"}, )"
      R"({"AMOUNT": "2.0", "BORN": "2020-01-02", "NAME": "ABC", "NOTE": "bbc"}])";
  EXPECT_EQ(Dbfread(path), expected);
  EXPECT_EQ(Dbf(path), expected);
  // One line per field, in field order, whatever the number of occurrences.
  const std::vector<std::string> lines = SplitLines(ReadFileBytes(LogPath()));
  ASSERT_EQ(lines.size(), 3u);
  const std::string line = "] - a was replace to b at table (people) and column (name)\r";
  EXPECT_TRUE(lines[0] == "[" + before + line || lines[0] == "[" + after + line) << lines[0];
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"a was replace to b at table (people) and column (name)",
                                      "a was replace to b at table (people) and column (note)",
                                      "a was replace to b at table (people) and column (note)"}));
  ExpectOnlyDone();
  EXPECT_EQ(inputs.pointer, (std::vector<bool>{true, false}));
  EXPECT_EQ(reports, 0);
}

TEST_F(RunTest, ReplacedTextIsNotScannedAgainAndSpacesAreTrimmedAtBothEnds) {
  const std::string path = Table(
      "people",
      R"([["  abc  ", 1, "2020-01-02", "  b\t"], ["aaa", 2, "2020-01-02", ""], ["\tb ", 3, null, ""]])");
  UseSets({"b", "aa"}, {"x", "aaa"});
  Run();
  // XBase keeps leading blanks, so it shows that they are gone.
  EXPECT_EQ(Xbase(path), "axc\t1\t20200102\tx\\t\naaaa\t2\t20200102\t\n\\tx\t3\t\t\n");
  EXPECT_EQ(LogEntries().size(), 4u);
}

// A run that changes nothing writes nothing: no change log, no undo journal,
// no file beside the table, not even for a moment (neither folder changes),
// and a change log already there keeps its bytes and its time.
TEST_F(RunTest, ExactCaseAndATableWithoutMatchesIsNotWritten) {
  const std::string path = Table("people", R"([["ABC", 1, "2020-01-02", "Abc"]])");
  const FileSnapshot before = FileSnapshot::Of({path, data + "/people.fpt"});
  auto folder_times = [&] {
    return std::vector<fs::file_time_type>{fs::last_write_time(data), fs::last_write_time(log_folder)};
  };
  const auto folders = folder_times();
  inputs.find = "abc";
  inputs.replace = "x";
  Run();
  EXPECT_TRUE(FileSnapshot::Of({path, data + "/people.fpt"}) == before);
  EXPECT_FALSE(fs::exists(LogPath()));
  EXPECT_TRUE(folder_times() == folders);
  ExpectOnlyDone();

  testing_support::WriteFileBytes(
      LogPath(), "[01/02/2020 10:00:00] - a was replace to b at table (t) and column (c)\r\n");
  const FileSnapshot log = FileSnapshot::Of({LogPath()});
  const auto with_log = folder_times();
  Run();
  EXPECT_TRUE(FileSnapshot::Of({LogPath()}) == log);
  EXPECT_TRUE(folder_times() == with_log);
  EXPECT_EQ(reports, 0);
}

TEST_F(RunTest, NullIsNeverFound) {
  const std::string path =
      Table("people", R"([[null, 1, "2020-01-02", "x"], ["  x", 2, "2020-01-02", "y"]])");
  const std::string null_record = RecordBytes(path, 1);
  // A Null name holds blanks on disk: found, it would be emptied and lose
  // its Null.
  inputs.find = " ";
  inputs.replace = "";
  Run();
  EXPECT_EQ(RecordBytes(path, 1), null_record);
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"  was replace to  at table (people) and column (name)"}));
  EXPECT_EQ(Xbase(path), "\t1\t20200102\tx\nx\t2\t20200102\ty\n");
}

// Numbers and dates are searched in their text form and get the new text
// converted; a text the field cannot take is reported, the field keeps its
// value without a change log line, and the next pair still applies to it.
TEST_F(RunTest, NumbersAndDatesAreReplacedInTheirTextForm) {
  const std::string path =
      Table("people", R"([["a", 12.5, "2020-01-02", ""], ["b", 212, "2012-12-12", ""]])");
  UseSets({"12", "20"}, {"34", "19"});
  EXPECT_EQ(Run(), RunEnd::kDone);
  const std::string expected = R"([{"AMOUNT": "34.5", "BORN": "1919-01-02", "NAME": "a", "NOTE": ""}, )"
                               R"({"AMOUNT": "234.0", "BORN": "1912-12-12", "NAME": "b", "NOTE": ""}])";
  EXPECT_EQ(Dbfread(path), expected);
  EXPECT_EQ(Dbf(path), expected);
  ASSERT_EQ(toolkit.error_reports().size(), 1u);
  EXPECT_EQ(toolkit.error_reports()[0],
            ReportText("Field 'born' of table 'people' cannot take the value \"2034-34-34\": "
                       "\"2034-34-34\" is not a date (YYYY-MM-DD).",
                       quillon::RunStep::kAssign));
  const auto reported = toolkit.messages()[0];
  EXPECT_EQ(reported.title, "Application Error");
  EXPECT_EQ(reported.icon, MessageIcon::kWarning);
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"12 was replace to 34 at table (people) and column (amount)",
                                      "20 was replace to 19 at table (people) and column (born)",
                                      "12 was replace to 34 at table (people) and column (amount)",
                                      "20 was replace to 19 at table (people) and column (born)"}));
  EXPECT_EQ(toolkit.messages().back().text, "Done.");
}

TEST_F(RunTest, SetsChainWithinAFieldAndLogInOrder) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", "b"]])");
  UseSets({"a", "b"}, {"b", "c"});
  Run();
  EXPECT_EQ(Xbase(path), "c\t1\t20200102\tc\n");
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"a was replace to b at table (people) and column (name)",
                                      "b was replace to c at table (people) and column (name)",
                                      "b was replace to c at table (people) and column (note)"}));
}

// Each find text is searched for through what the table made of it once
// (its bytes in the table's code page) and found again by its text, record
// after record: a long list, find texts repeated, a pair that puts back a
// text an earlier pair found, and the other fields of a record changed by a
// pair still get the pairs that find something in them.
TEST_F(RunTest, ALongSetListWithRepeatedFindTextsIsAppliedInOrderToEveryRecord) {
  const std::string path = Table(
      "people",
      R"([["ab", 1, "2020-01-02", "b a"], ["w7", 2, "2020-01-03", "zz"], ["none", 3, "2020-01-04", "ab"]])");
  std::vector<std::string> finds, replaces;
  for (int i = 0; i < 150; ++i) {
    finds.push_back("w" + std::to_string(i));
    replaces.push_back("v" + std::to_string(i));
  }
  for (const auto& [find, replace] : std::vector<std::pair<std::string, std::string>>{
           {"a", "b"}, {"w7", "x"}, {"b", "c"}, {"v7", "a"}, {"a", "d"}, {"zz", "a"}}) {
    finds.push_back(find);
    replaces.push_back(replace);
  }
  UseSets(finds, replaces);
  EXPECT_EQ(Run(), RunEnd::kDone);
  EXPECT_EQ(reports, 0);
  // "ab" -> "bb" -> "cc"; "w7" -> "v7" -> "a" -> "d", its note "zz" -> "a".
  EXPECT_EQ(Xbase(path), "cc\t1\t20200102\tc c\nd\t2\t20200103\ta\nnone\t3\t20200104\tcc\n");
}

TEST_F(RunTest, EmptySetListChangesNothing) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", "b"]])");
  const FileSnapshot before = FileSnapshot::Of({path});
  UseSets({}, {});
  EXPECT_EQ(Run(), RunEnd::kDone);
  EXPECT_TRUE(FileSnapshot::Of({path}) == before);
  EXPECT_FALSE(fs::exists(LogPath()));
  ExpectOnlyDone();
}

TEST_F(RunTest, TickedTablesAreDoneOneAfterTheOtherInListOrder) {
  const std::string first = Table("second", R"([["xa", 1, "2020-01-02", ""]])");
  const std::string skipped = Table("skipped", R"([["xa", 1, "2020-01-02", ""]])");
  const std::string last = Table("first", R"([["xa", 1, "2020-01-02", ""]])");
  inputs.rows[1].ticked = false;
  const FileSnapshot untouched = FileSnapshot::Of({skipped});
  inputs.find = "x";
  inputs.replace = "y";
  Run();
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"x was replace to y at table (second) and column (name)",
                                      "x was replace to y at table (first) and column (name)"}));
  EXPECT_EQ(Xbase(first), "ya\t1\t20200102\t\n");
  EXPECT_EQ(Xbase(last), "ya\t1\t20200102\t\n");
  EXPECT_TRUE(FileSnapshot::Of({skipped}) == untouched);
}

TEST_F(RunTest, TheRecordsReachedAreReportedInWalkOrderWithTheirTablesSize) {
  Table("first", R"([["a", 1, "2020-01-02", ""], ["b", 2, "2020-01-02", ""]])");
  Table("skipped", R"([["a", 1, "2020-01-02", ""]])");
  Table("second", R"([["c", 1, "2020-01-02", ""]])");
  inputs.rows[1].ticked = false;
  inputs.find = "a";
  std::vector<std::string> reached;
  quillon::ReplacementRun run(inputs.Request(), toolkit, &inputs);
  inputs.on_record = [&](const std::string& table, uint32_t record, uint32_t records) {
    reached.push_back(table + " " + std::to_string(record) + "/" + std::to_string(records) + " after " +
                      std::to_string(toolkit.yields) + " yields");
  };
  EXPECT_EQ(run.Run(), RunEnd::kDone);
  // Reported before the record's fields are walked (four fields a record,
  // one yield each); records that hold no find text are passed over
  // together with one yield, reported as the record the walk goes on with
  // or, at the end, the last one.
  EXPECT_EQ(reached, (std::vector<std::string>{"first 1/2 after 0 yields", "first 2/2 after 4 yields",
                                               "second 1/1 after 5 yields"}));
}

TEST_F(RunTest, NoTickedTableOpensNothingAndSaysDone) {
  Table("people", R"([["a", 1, "2020-01-02", ""]])");
  inputs.rows[0].ticked = false;
  inputs.find = "a";
  EXPECT_EQ(Run(), RunEnd::kDone);
  EXPECT_EQ(inputs.pointer, (std::vector<bool>{true, false}));
  ExpectOnlyDone();
}

TEST_F(RunTest, AnEmptyFindTextIsRefusedBeforeAnythingIsOpened) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", ""]])");
  inputs.find = "";
  inputs.replace = "x";
  EXPECT_EQ(Run(), RunEnd::kRefused);
  UseSets({"a", "", "c"}, {"b", "zz", "d"});
  EXPECT_EQ(Run(), RunEnd::kRefused);

  ASSERT_EQ(toolkit.messages().size(), 2u);
  EXPECT_EQ(toolkit.messages()[0].text, "Please enter the text to find.");
  EXPECT_EQ(toolkit.messages()[1].text,
            "Set 2 has no text to find (its replace text is \"zz\"). Please enter a text to find for it or "
            "remove it.");
  const auto messages = toolkit.messages();
  for (const auto& m : messages) {
    EXPECT_EQ(m.title, "Quillon");
    EXPECT_EQ(m.icon, MessageIcon::kNone);
  }
  EXPECT_TRUE(inputs.pointer.empty());
  EXPECT_FALSE(fs::exists(LogPath()));
}

// No change without its line: a change log that cannot be written stops the
// run at its first change, with one report, and nothing is changed; so does
// an undo journal that cannot be made, and the change log is not left.
TEST_F(RunTest, AChangeLogThatCannotBeWrittenStopsTheRunBeforeAnythingChanges) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", "a"]])");
  const FileSnapshot before = FileSnapshot::Of({path, data + "/people.fpt"});
  TempVariable missing(dir.Sub("no such folder"));
  inputs.find = "a";
  inputs.replace = "b";
  EXPECT_EQ(Run(), RunEnd::kRefused);
  EXPECT_TRUE(FileSnapshot::Of({path, data + "/people.fpt"}) == before);
  const std::string description = "Cannot write the change log '" +
                                  (dir.path() / "no such folder" / "backups.log").string() +
                                  "': No such file or directory. Nothing was changed: a run writes its "
                                  "change log first.";
  EXPECT_EQ(toolkit.error_reports(),
            (std::vector<std::string>{ReportText(description, quillon::RunStep::kCheckFindText)}));
  EXPECT_EQ(toolkit.messages().size(), 1u) << "no \"Done.\"";
  EXPECT_EQ(inputs.pointer.back(), false);

  TempVariable writable(log_folder);
  quillon::RunRequest request = inputs.Request(RunMode::kReplace);
  request.journal_folder = dir.Sub("no journal folder");
  quillon::ReplacementRun run(std::move(request), toolkit, &inputs);
  EXPECT_EQ(run.Run(), RunEnd::kRefused);
  EXPECT_TRUE(FileSnapshot::Of({path, data + "/people.fpt"}) == before);
  EXPECT_FALSE(fs::exists(LogPath()));
  ASSERT_EQ(toolkit.error_reports().size(), 2u);
  EXPECT_NE(toolkit.error_reports()[1].find("Nothing was changed: a run writes its undo journal first."),
            std::string::npos)
      << toolkit.error_reports()[1];
  EXPECT_EQ(toolkit.messages().size(), 2u) << "no \"Done.\"";
}

TEST_F(RunTest, ATextTooLongForItsFieldIsReportedAndTheFieldKeepsItsValue) {
  const std::string path = Table("people", R"([["banana", 1], ["cat", 2]])", "name C(6); amount N(3,0)");
  inputs.find = "a";
  inputs.replace = "aa";
  Run();
  EXPECT_EQ(Xbase(path), "banana\t1\ncaat\t2\n");
  EXPECT_EQ(
      toolkit.error_reports(),
      (std::vector<std::string>{ReportText("Field 'name' of table 'people' cannot take the value "
                                           "\"baanaanaa\": the text needs 9 bytes but the field holds 6.",
                                           quillon::RunStep::kAssign)}));
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"a was replace to aa at table (people) and column (name)"}));
}

// A table that cannot be opened is reported once and the run goes on with
// the next one.
TEST_F(RunTest, ATableThatCannotBeOpenedIsReportedOnceAndLeft) {
  inputs.rows.push_back({"vanished", true});
  const std::string damaged = Table("damaged", R"([["a", 1, "2020-01-02", ""]])");
  testing_support::WriteFileBytes(damaged, ReadFileBytes(damaged).substr(0, 20));
  const std::string good = Table("good", R"([["a", 1, "2020-01-02", ""]])");
  inputs.find = "a";
  inputs.replace = "b";
  EXPECT_EQ(Run(), RunEnd::kDone);
  EXPECT_EQ(Xbase(good), "b\t1\t20200102\t\n");
  ASSERT_EQ(toolkit.error_reports().size(), 2u);
  EXPECT_EQ(toolkit.error_reports()[0],
            ReportText("The folder '" + data + "' has no table called 'vanished'.",
                       quillon::RunStep::kOpenRecordset));
  EXPECT_NE(toolkit.error_reports()[1].find(
                "at line " + std::to_string(static_cast<int>(quillon::RunStep::kOpenRecordset))),
            std::string::npos)
      << toolkit.error_reports()[1];
  EXPECT_EQ(toolkit.messages().back().text, "Done.");
}

TEST_F(RunTest, AnUnreachableDataSourceIsReportedOncePerTickedTable) {
  Table("one", R"([["a", 1, "2020-01-02", ""]])");
  Table("two", R"([["a", 1, "2020-01-02", ""]])");
  inputs.source.folder = dir.Sub("gone");
  inputs.find = "a";
  Run();
  EXPECT_EQ(toolkit.error_reports(),
            (std::vector<std::string>{ReportText("The folder '" + dir.Sub("gone") + "' does not exist.",
                                                 quillon::RunStep::kOpenConnection),
                                      ReportText("The folder '" + dir.Sub("gone") + "' does not exist.",
                                                 quillon::RunStep::kOpenConnection)}));
  EXPECT_EQ(toolkit.messages().back().text, "Done.");
}

// Another program changes a record while the run edits it: its change stays,
// and the run reads the record again and changes it again, with one line per
// change saved. A record changed under the run at every attempt is given up
// after a few, reported once and logged as not saved, with no line of a
// change that was not saved.
TEST_F(RunTest, ARecordChangedMeanwhileIsChangedAgainAndKeepsTheOtherChange) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", ""], ["a", 2, "2020-01-02", ""]])");
  std::string table = "people";
  auto other_program = [&](long n, long until) {
    if (n > until) return;
    fox::Connection other;
    other.Open(fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, data));
    fox::Recordset rs;
    rs.Open("SELECT * FROM " + table, other, fox::kLockOptimistic);
    rs.fields()[1] = std::to_string(6 + n);
    rs.MoveNext();
  };
  toolkit.on_yield = [&](long n) { other_program(n, 1); };
  inputs.find = "a";
  inputs.replace = "b";
  Run();
  EXPECT_EQ(Xbase(path), "b\t7\t20200102\t\nb\t2\t20200102\t\n");
  EXPECT_EQ(toolkit.error_reports(), std::vector<std::string>{});
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"a was replace to b at table (people) and column (name)",
                                      "a was replace to b at table (people) and column (name)"}));
  EXPECT_EQ(toolkit.messages().back().text, "Done.");

  inputs.rows.clear();
  table = "again";
  const std::string again = Table(table, R"([["a", 1, "2020-01-02", ""], ["a", 2, "2020-01-02", ""]])");
  fs::remove(LogPath());
  toolkit.on_yield = [&](long n) { other_program(n, 1000); };
  Run();
  EXPECT_EQ(Xbase(again).substr(0, 2), "a\t");
  EXPECT_EQ(Xbase(again).substr(Xbase(again).find('\n') + 1), "b\t2\t20200102\t\n");
  ASSERT_EQ(toolkit.error_reports().size(), 1u);
  EXPECT_NE(toolkit.error_reports()[0].find(
                "The change to record 1 of table 'again' was not saved: another program "
                "changed the record after Quillon read it, and its change was kept."),
            std::string::npos)
      << toolkit.error_reports()[0];
  // Record 1's batch is refused whole at every attempt: record 2 alone has
  // its line, record 1 only the line saying why it was not saved.
  const std::vector<std::string> lines = LogEntries();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "a was replace to b at table (again) and column (name)"),
            1);
  EXPECT_EQ(
      lines.back(),
      "Record 1 of table (again) was not saved: another program changed the record after Quillon read it, "
      "and its change was kept");
}

// Another program that rewrites a memo value in its own block (same length,
// same pointer) after the run read it: its change is kept, and the run reads
// the record again and changes it again.
TEST_F(RunTest, AMemoRewrittenInPlaceMeanwhileIsChangedAgain) {
  const std::string path = Table("people", R"([["x", 1, "2020-01-02", "aaa"], ["x", 2, "2020-01-02", "x"]])");
  toolkit.on_yield = [&](long n) {
    if (n != 5) return;  // record 2's first field: record 1 is saved, not yet written
    fox::Table table(path, fox::Table::Options());
    std::string record;
    table.ReadRecords(1, 1, &record);
    const uint32_t block = fox::LoadLE32(record.data() + table.field(3).offset);
    const std::string memo = data + "/people.fpt";
    std::string bytes = ReadFileBytes(memo);
    const uint32_t block_size = fox::LoadBE16(bytes.data() + 6);
    bytes.replace(size_t{block} * block_size + 8, 3, "axa");
    testing_support::WriteFileBytes(memo, bytes);
  };
  inputs.find = "a";
  inputs.replace = "b";
  Run();
  EXPECT_EQ(Xbase(path), "x\t1\t20200102\tbxb\nx\t2\t20200102\tx\n");
  EXPECT_TRUE(toolkit.error_reports().empty());
}

// A record another program keeps locked is reported once and left; one
// changed meanwhile in the same batch is changed again and saved, and is not
// named in the report.
TEST_F(RunTest, ARecordLockedByAnotherProgramIsReportedOnceAndLeft) {
  const std::string path = Table(
      "people", R"([["a", 1, "2020-01-02", ""], ["a", 2, "2020-01-02", ""], ["a", 3, "2020-01-02", ""]])");
  // Another program holds record 1's lock (FoxPro's byte 0x7FFFFFFE - n).
  fox::DiskFile other(path, fox::DiskFile::Mode::kReadWrite, "table file");
  ASSERT_TRUE(other.TryLock(0x7FFFFFFEull - 1, 1));
  toolkit.on_yield = [&](long n) {
    if (n != 9) return;  // record 3's first field: record 2 is in the batch
    fox::Connection connection;
    connection.Open(fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, data));
    fox::Recordset rs;
    rs.Open("SELECT * FROM people", connection, fox::kLockOptimistic);
    rs.MoveTo(2);
    rs.fields()[1] = "7";
    rs.MoveNext();
  };
  inputs.find = "a";
  inputs.replace = "b";
  Run();
  EXPECT_EQ(Xbase(path), "a\t1\t20200102\t\nb\t7\t20200102\t\nb\t3\t20200102\t\n");
  EXPECT_EQ(
      toolkit.error_reports(),
      (std::vector<std::string>{ReportText(
          "The change to record 1 of table 'people' was not saved: another program has locked the record.",
          quillon::RunStep::kCloseRecordset)}));
  // The log says that record 1 was not saved, and of no other; it has no
  // line of a change, the two others have theirs.
  const std::vector<std::string> lines = LogEntries();
  const auto not_saved = [](const std::string& line) { return line.find("not saved") != std::string::npos; };
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(), not_saved), 1);
  EXPECT_NE(std::find(lines.begin(), lines.end(),
                      "Record 1 of table (people) was not saved: another program has locked the record"),
            lines.end());
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "a was replace to b at table (people) and column (name)"),
            2);
}

// A change that would give a candidate key twice is refused before it is
// saved, whether another record held the key or took it earlier in the same
// run: the record keeps its values and gets no line, the refusal is reported
// once for the column and then counted, the other records are saved and the
// index agrees with them.
TEST_F(RunTest, CandidateKeysTakenAreRefusedOncePerColumnThenCounted) {
  const std::string dbc = testing_support::CopyFixtureFolder(dir, "foxbin2prg") + "/fb2p_dbc.dbc";
  inputs.source.dbc = true;
  inputs.source.dbc_path = dbc;
  inputs.rows = {{"nombrelargodeldbf", true}};
  // EDAD is a candidate tag over 45 46 47 48 49: 46 and 49 would take record
  // 1's key, 48 the key 47 takes first.
  UseSets({"46", "47", "48", "49"}, {"45", "60", "60", "45"});
  quillon::RunRequest request = inputs.Request();
  request.allow_triggers = true;  // its update trigger calls a procedure of its own
  quillon::ReplacementRun run(std::move(request), toolkit, &inputs);
  run.Run();
  std::string ages;
  for (const std::string& line : SplitLines(Xbase((fs::path(dbc).parent_path() / "fb2p_dbf.dbf").string())))
    ages += line.substr(line.find('\t') + 1, 2) + " ";
  EXPECT_EQ(ages, "45 46 60 48 49 ");
  EXPECT_EQ(run.tally().changed, 1);
  EXPECT_EQ(run.tally().refused, 3);
  // The columns that can never change hold none of the find texts: they are
  // not reported.
  const auto reports = toolkit.error_reports();
  ASSERT_EQ(reports.size(), 3u);  // and the trigger that was not run
  EXPECT_EQ(
      reports[0].rfind("The changes to record 2 of table 'nombrelargodeldbf' were not saved: tag EDAD of "
                       "its structural index allows each key only once, and another record already has "
                       "the key the new value of field 'edad' would give.",
                       0),
      0u)
      << reports[0];
  EXPECT_EQ(reports[1].rfind("Table 'nombrelargodeldbf' was changed without running its update trigger", 0),
            0u)
      << reports[1];
  EXPECT_EQ(
      reports[2].rfind("2 more values for field 'edad' of table 'nombrelargodeldbf' were refused for the "
                       "same reason: it would give tag EDAD a key another record holds, which the tag "
                       "allows only once.",
                       0),
      0u)
      << reports[2];
  EXPECT_EQ(
      LogEntries(),
      (std::vector<std::string>{"47 was replace to 60 at table (nombrelargodeldbf) and column (edad)"}));
  fox::Connection connection;
  connection.Open(fox::ConnectionString::Build(fox::ConnectionString::SourceType::kDatabase, dbc));
  for (const fox::TagCheck& check :
       fox::CheckIndex(*connection.OpenTable("nombrelargodeldbf", fox::DiskFile::Mode::kReadOnly)))
    EXPECT_TRUE(!check.checked || check.consistent()) << check.tag << ": " << check.problem;
}

// A column no value of which can change (in a tag Quillon cannot keep up to
// date, an autoincrement field) is reported only when a value in it holds a
// find text, once per column, the other values counted; it gets no line.
TEST_F(RunTest, AColumnThatCanNeverChangeIsReportedOnlyWhereAFindTextReachesIt) {
  for (const char* ext : {".dbf", ".cdx", ".fpt"}) {
    const std::string copy = testing_support::CopyFixtures(dir, {std::string("foxbin2prg/fb2p_free") + ext});
    fs::rename(copy, fs::path(data) / fs::path(copy).filename());
  }
  inputs.rows.push_back({"fb2p_free", true});
  inputs.find = "a";
  inputs.replace = "b";
  quillon::ReplacementRun run(inputs.Request(), toolkit, &inputs);
  run.Run();
  // "a" is in logical and character values, never in the autoincrement
  // numbers.
  const auto reports = toolkit.error_reports();
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(
      reports[0].rfind("Field 'logico' of table 'fb2p_free' cannot be changed: it is part of tag LOGICO", 0),
      0u)
      << reports[0];
  EXPECT_EQ(reports[1].rfind(
                "Field 'caracter' of table 'fb2p_free' cannot be changed: it is part of tag CARACTER", 0),
            0u)
      << reports[1];
  EXPECT_EQ(
      reports[2].rfind("1 more value for field 'caracter' of table 'fb2p_free' was refused for the same "
                       "reason: it is part of tag CARACTER",
                       0),
      0u)
      << reports[2];
  EXPECT_EQ(run.tally().refused, 3);
  for (const std::string& line : LogEntries()) {
    EXPECT_EQ(line.find("(caracter)"), std::string::npos) << line;
    EXPECT_EQ(line.find("(logico)"), std::string::npos) << line;
  }
  EXPECT_FALSE(LogEntries().empty());

  // A find text that no such column holds: no report at all.
  toolkit.shown.clear();
  inputs.find = "zzz";
  Run();
  EXPECT_TRUE(toolkit.error_reports().empty());
}

// A refusal that repeats for a column is reported once, then counted and
// told in one report as the run leaves the table; refused values get no line.
TEST_F(RunTest, ARepeatedRefusalIsReportedOnceThenCounted) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", ""], ["b", 2, "2020-01-03", ""],
                                              ["c", 3, "2020-01-04", ""], ["d", 4, "2001-02-03", ""]])");
  inputs.find = "01";
  inputs.replace = "41";
  quillon::ReplacementRun run(inputs.Request(), toolkit, &inputs);
  EXPECT_EQ(run.Run(), RunEnd::kDone);
  EXPECT_EQ(Xbase(path), "a\t1\t20200102\t\nb\t2\t20200103\t\nc\t3\t20200104\t\nd\t4\t20410203\t\n");
  EXPECT_EQ(
      toolkit.error_reports(),
      (std::vector<std::string>{
          ReportText("Field 'born' of table 'people' cannot take the value \"2020-41-02\": "
                     "\"2020-41-02\" is not a date (YYYY-MM-DD).",
                     quillon::RunStep::kAssign),
          ReportText("2 more values for field 'born' of table 'people' were refused for the same reason: "
                     "the value is not a date (YYYY-MM-DD).",
                     quillon::RunStep::kAssign)}));
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{"01 was replace to 41 at table (people) and column (born)"}));
  EXPECT_EQ(run.tally().changed, 1);
  EXPECT_EQ(run.tally().refused, 3);
}

// The window answers during a run, but the run works on what it took when it
// started: a find text typed and a tick cleared meanwhile change nothing in it.
TEST_F(RunTest, InputsChangedDuringTheRunChangeNothingInIt) {
  const std::string path = Table("people", R"([["ab", 1, "2020-01-02", ""], ["ab", 2, "2020-01-02", ""]])");
  const std::string later = Table("later", R"([["ab", 1, "2020-01-02", ""]])");
  inputs.find = "a";
  inputs.replace = "x";
  toolkit.on_yield = [&](long n) {
    if (n == 1) {
      inputs.find = "b";
      inputs.replace = "y";
      inputs.rows[1].ticked = false;
      inputs.source.folder = "/nowhere";
    }
  };
  Run();
  EXPECT_EQ(Xbase(path), "xb\t1\t20200102\t\nxb\t2\t20200102\t\n");
  EXPECT_EQ(Xbase(later), "xb\t1\t20200102\t\n");
  ExpectOnlyDone();
}

// Only a field whose stored value changes counts, is saved and logged: pairs
// that come back to where they began, or a find text equal to its replace
// text, leave the table, the memo file and the log as they were.
TEST_F(RunTest, AFieldLeftAsItWasIsNeitherSavedNorLoggedNorCounted) {
  const std::string path = Table("people", R"([["a", 1, "2020-01-02", "a"], ["x", 2, "2020-01-02", "x"]])");
  const FileSnapshot before = FileSnapshot::Of({path, data + "/people.fpt"});
  UseSets({"a", "b"}, {"b", "a"});
  quillon::ReplacementRun run(inputs.Request(), toolkit, &inputs);
  run.Run();
  EXPECT_TRUE(FileSnapshot::Of({path, data + "/people.fpt"}) == before);
  EXPECT_TRUE(LogEntries().empty());
  EXPECT_EQ(run.tally().changed, 0);
  EXPECT_TRUE(run.undo_journal().empty());

  UseSets({"a", "b"}, {"b", "c"});
  quillon::ReplacementRun changing(inputs.Request(), toolkit, &inputs);
  changing.Run();
  // Record 1's name and memo, each with a line per pair.
  EXPECT_EQ(Xbase(path), "c\t1\t20200102\tc\nx\t2\t20200102\tx\n");
  EXPECT_EQ(changing.tally().changed, 2);
  EXPECT_EQ(LogEntries().size(), 4u);
  EXPECT_EQ(changing.undo_journal_changes(), 2u);
}

// Closing the program stops the run at once: the record being edited is not
// saved, so each record is wholly replaced or wholly as it was.
TEST_F(RunTest, ClosingDuringTheRunLeavesEachRecordWhole) {
  const std::string path = Table(
      "people", R"([["a", 1, "2020-01-02", "a"], ["a", 2, "2020-01-02", "a"], ["a", 3, "2020-01-02", "a"]])");
  inputs.find = "a";
  inputs.replace = "b";
  toolkit.on_yield = [&](long n) {
    if (n == 8) inputs.closing = true;  // record 2's memo, after its name was assigned
  };
  EXPECT_EQ(Run(), RunEnd::kStopped);
  EXPECT_EQ(Xbase(path), "b\t1\t20200102\tb\na\t2\t20200102\ta\na\t3\t20200102\ta\n");
  EXPECT_TRUE(toolkit.messages().empty());
  // Record 1's two lines; record 2's name, never saved, has none.
  EXPECT_EQ(LogEntries().size(), 2u);
}

TEST_F(RunTest, ADryRunWritesNothingAndCountsFieldsPerColumn) {
  const std::string path = Table(
      "people", R"([["a", 11, "2020-01-02", "aa"], ["b", 2, "2020-01-02", "c"], [null, 1, null, "a"]])");
  const FileSnapshot before = FileSnapshot::Of({path, data + "/people.fpt"});
  UseSets({"a", "b", "1"}, {"b", "c", "x"});
  std::vector<std::string> walked;
  quillon::ReplacementRun run(inputs.Request(RunMode::kDryRun), toolkit, &inputs);
  inputs.on_table = [&](const quillon::TableReach& reach) { walked.push_back(reach.table); };
  EXPECT_EQ(run.Run(), RunEnd::kDone);
  EXPECT_TRUE(FileSnapshot::Of({path, data + "/people.fpt"}) == before);
  EXPECT_FALSE(fs::exists(LogPath()));
  EXPECT_EQ(walked, (std::vector<std::string>{"people"}));
  ASSERT_EQ(run.reach().size(), 1u);
  std::vector<std::string> counts;
  for (const auto& column : run.reach()[0].columns) {
    counts.push_back(column.column + " " + std::to_string(column.fields) + " " +
                     std::to_string(column.refused) + " " + column.refusal);
  }
  // A field counts once however many pairs find it ("aa" meets a and then
  // b); Null values count never; "1" finds numbers and dates in their text
  // form, and the texts they would get are counted as refused, with why.
  EXPECT_EQ(counts, (std::vector<std::string>{"name 2 0 ", "amount 0 2 is not a number",
                                              "born 0 2 is not a date (YYYY-MM-DD)", "note 2 0 "}));
  ExpectOnlyDone();
}

}  // namespace
