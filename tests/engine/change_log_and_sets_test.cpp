// The change log file and the set file reader.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QLocale>

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

// The locale's date order with a four-digit year, and the seconds, which
// short formats drop in most locales.
TEST(ChangeLog, DateAndTimeKeepTheLocalesOrderAFourDigitYearAndTheSeconds) {
  const QDateTime moment(QDate(2021, 8, 31), QTime(14, 5, 9));
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, QLocale("en_GB")), "31/08/2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, QLocale("en_US")), "8/31/2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(moment, QLocale("de_DE")), "31.08.2021 14:05:09");
  EXPECT_EQ(quillon::ChangeLogDateTime(QDateTime(QDate(2021, 8, 31), QTime(4, 5, 9)), QLocale("ja_JP")),
            "2021/08/31 04:05:09");
}

TEST(ChangeLog, AppendsUtf8LinesWithCrLfToTheTempFolder) {
  TempDir dir;
  TempVariable temp(dir.path().string());
  EXPECT_EQ(quillon::ChangeLogPath(), dir.Sub("backups.log"));
  WriteFileBytes(dir.Sub("backups.log"), "older line\r\n");
  quillon::AppendToBackupsLog("caf\xC3\xA9 one");
  quillon::AppendToBackupsLog("two");
  EXPECT_EQ(ReadFileBytes(dir.Sub("backups.log")), "older line\r\ncaf\xC3\xA9 one\r\ntwo\r\n");
}

TEST(ChangeLog, WithoutTempTheSystemTemporaryFolderIsUsed) {
  TempDir dir;
  TempVariable temp("");
  ::unsetenv("TEMP");
  const char* old = std::getenv("TMPDIR");
  const std::string saved = old ? old : "";
  ::setenv("TMPDIR", dir.path().c_str(), 1);
  const std::string path = quillon::ChangeLogPath();
  if (old) ::setenv("TMPDIR", saved.c_str(), 1);
  else ::unsetenv("TMPDIR");
  EXPECT_EQ(path, dir.Sub("backups.log"));
}

TEST(SetFile, LinesSplitAtTheSeparator) {
  const std::string text = "hi::hello\r\n\r\npeter::pete\nno separator\n::\na::b::c\r\n  \nx:: y \r\n";
  EXPECT_EQ(quillon::ParseSets(text, "::"),
            (std::vector<ReplaceSet>{{"hi", "hello"}, {"peter", "pete"}, {"", ""}, {"a", "b"}, {"x", " y "}}));
  EXPECT_EQ(quillon::ParseSets("hi,hello\npeter,pete", ","),
            (std::vector<ReplaceSet>{{"hi", "hello"}, {"peter", "pete"}}));
  EXPECT_EQ(quillon::ParseSets("a b c\n", " "), (std::vector<ReplaceSet>{{"a", "b"}}));
  // Lines ended by CR alone become one line once the CRs are gone.
  EXPECT_EQ(quillon::ParseSets("a::b\rc::d\r", "::"), (std::vector<ReplaceSet>{{"a", "bc"}}));
  EXPECT_TRUE(quillon::ParseSets("", "::").empty());
}

TEST(SetFile, ReadsUtf16AndTheSystemCodePageAndDropsTheByteOrderMark) {
  TempDir dir;
  WriteFileBytes(dir.Sub("utf16.txt"), std::string("\xFF\xFE" "a\0:\0:\0\xE9\0\r\0\n\0", 14));
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("utf16.txt")), "a::\xC3\xA9\r\n");
  WriteFileBytes(dir.Sub("utf8.txt"), "\xEF\xBB\xBFg\xC3\xA9::x\r\n");
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("utf8.txt")), "g\xC3\xA9::x\r\n");
  WriteFileBytes(dir.Sub("empty.txt"), "");
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("empty.txt")), "");
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("missing.txt")), "");
}
