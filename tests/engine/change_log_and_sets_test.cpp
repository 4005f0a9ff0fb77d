// The change log file and the set file reader.
#include <gtest/gtest.h>

#include "data/file/run_log.h"
#include "engine/change_log.h"
#include "sets/set_file.h"
#include "tests/engine/engine_test_support.h"

using namespace engine_testing;
using quillon::ReplaceSet;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

TEST(ChangeLog, LineNamesFindReplaceTableAndColumn) {
  EXPECT_EQ(quillon::ChangeLogLine("31/08/2021 14:05:09", "Smith", "Smyth", "customer", "lastname"),
            "[31/08/2021 14:05:09] - Smith was replace to Smyth at table (customer) and column (lastname)");
}

// The short date's order with a four-digit year, and the seconds, which
// short formats drop in most locales; the patterns are those of Windows'
// settings and of the Linux locales (turned from their strftime form).
TEST(ChangeLog, DateAndTimeKeepTheShortDatesOrderAFourDigitYearAndTheSeconds) {
  std::tm moment{};
  moment.tm_year = 2021 - 1900;
  moment.tm_mon = 7;
  moment.tm_mday = 31;
  moment.tm_wday = 2;
  moment.tm_hour = 14;
  moment.tm_min = 5;
  moment.tm_sec = 9;
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "dd/MM/yy"), "31/08/2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "M/d/yyyy"), "8/31/2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "dd.MM.yyyy"), "31.08.2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "d MMM yyyy"), "31 Aug 2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "yyyy'年'M'月'd'日'"), "2021年8月31日 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "gg yyyy/MM/dd"), "2021/08/31 14:05:09");
  moment.tm_hour = 4;
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, "yyyy/MM/dd"), "2021/08/31 04:05:09");
  // The system's pattern always shows the day, the month and the year.
  const std::string system = quillon::SystemShortDatePattern();
  const std::string shown = quillon::ChangeLogDateTime(moment, system);
  EXPECT_NE(shown.find("2021"), std::string::npos) << system;
  EXPECT_NE(shown.find("31"), std::string::npos) << system;
}

TEST(ChangeLog, AppendsUtf8LinesWithCrLfToTheTempFolder) {
  TempDir dir;
  TempVariable temp(dir.path().string());
  EXPECT_EQ(quillon::ChangeLogPath(), dir.Sub("backups.log"));
  WriteFileBytes(dir.Sub("backups.log"), "older line\r\n");
  // Each line by a log of its own, opened and closed around it.
  for (const char* line : {"caf\xC3\xA9 one", "two"}) {
    quillon::ChangeLog log;
    log.Append(line);
    log.Close();
  }
  EXPECT_EQ(ReadFileBytes(dir.Sub("backups.log")), "older line\r\ncaf\xC3\xA9 one\r\ntwo\r\n");
}

// After a crash the change log gets the lines of the committed batches it
// lacks, each as many times as the run log holds it and in order, after a
// line the crash cut short; a batch never committed adds nothing, and a
// second completion adds nothing more.
TEST(ChangeLog, IsCompletedFromTheRunLogWithTheCommittedLinesItLacks) {
  TempDir dir;
  TempVariable temp(dir.path().string());
  fox::RunLog run;
  run.Create(dir.Sub("run.jnl"), 0, fox::RunLog::kKeptAsJournal);
  const auto lines = [](const std::string& text) { return quillon::LinesEntry(text); };
  run.Append(lines("A\r\nB\r\nA\r\n"));
  run.Commit();
  run.Append(lines("B\r\nC\r\n"));
  run.Commit();
  run.BeginUnit();
  run.Append(lines("D\r\n"));
  run.Commit();  // durable, never committed
  WriteFileBytes(dir.Sub("backups.log"), "older\r\nA\r\nB\r\nA\r\npart");
  EXPECT_EQ(quillon::CompleteChangeLog(run.path()), 2u);
  EXPECT_EQ(ReadFileBytes(dir.Sub("backups.log")), "older\r\nA\r\nB\r\nA\r\npart\r\nB\r\nC\r\n");
  EXPECT_EQ(quillon::CompleteChangeLog(run.path()), 0u);
}

TEST(ChangeLog, WithoutTempTheSystemTemporaryFolderIsUsed) {
  TempDir dir;
  TempVariable temp("");
  testing_support::SetEnvironment("TEMP", nullptr);
#ifdef _WIN32
  const char* variable = "TMP";  // where GetTempPath looks first when TEMP is not set
#else
  const char* variable = "TMPDIR";
#endif
  const char* old = std::getenv(variable);
  const std::string saved = old ? old : "";
  testing_support::SetEnvironment(variable, dir.path().string().c_str());
  const std::string path = quillon::ChangeLogPath();
  testing_support::SetEnvironment(variable, old ? saved.c_str() : nullptr);
  EXPECT_EQ(path, dir.Sub("backups.log"));
}

TEST(SetFile, LinesSplitAtTheSeparator) {
  const std::string text = "hi::hello\r\n\r\npeter::pete\nno separator\n::\na::b::c\r\n  \nx:: y \r\n";
  EXPECT_EQ(
      quillon::ParseSets(text, "::").sets,
      (std::vector<ReplaceSet>{{"hi", "hello"}, {"peter", "pete"}, {"", ""}, {"a", "b"}, {"x", " y "}}));
  EXPECT_EQ(quillon::ParseSets("hi,hello\npeter,pete", ",").sets,
            (std::vector<ReplaceSet>{{"hi", "hello"}, {"peter", "pete"}}));
  EXPECT_EQ(quillon::ParseSets("a b c\n", " ").sets, (std::vector<ReplaceSet>{{"a", "b"}}));
  // Lines ended by CR alone become one line once the CRs are gone.
  EXPECT_EQ(quillon::ParseSets("a::b\rc::d\r", "::").sets, (std::vector<ReplaceSet>{{"a", "bc"}}));
  EXPECT_TRUE(quillon::ParseSets("", "::").sets.empty());
}

TEST(SetFile, ReadsUtf16AndTheSystemCodePageAndDropsTheByteOrderMark) {
  TempDir dir;
  WriteFileBytes(dir.Sub("utf16.txt"), std::string("\xFF\xFE"
                                                   "a\0:\0:\0\xE9\0\r\0\n\0",
                                                   14));
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("utf16.txt")), "a::\xC3\xA9\r\n");
  WriteFileBytes(dir.Sub("utf8.txt"), "\xEF\xBB\xBFg\xC3\xA9::x\r\n");
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("utf8.txt")), "g\xC3\xA9::x\r\n");
  WriteFileBytes(dir.Sub("empty.txt"), "");
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("empty.txt")), "");
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("missing.txt")), "");
}
