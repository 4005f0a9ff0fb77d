#include "base/file_helpers.h"

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <filesystem>
#include <stdexcept>

#include "data/file/utf8_path.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using quillon::FileExists;
using quillon::IsExistingFile;
using quillon::ListFiles;
using quillon::MatchesWildcard;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

void Touch(const TempDir& dir, const std::string& name) { WriteFileBytes(dir.Sub(name), "x"); }

std::vector<std::string> Sorted(std::vector<std::string> names) {
  std::sort(names.begin(), names.end());
  return names;
}

// The names the platform enumerates, in its order, for comparing orders.
std::vector<std::string> EnumerationOrder(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir.path()))
    names.push_back(entry.path().filename().string());
  return names;
}

#ifdef _WIN32
bool RunningAsRoot() { return false; }
#else
bool RunningAsRoot() { return geteuid() == 0; }
#endif

}  // namespace

TEST(ListFilesTest, TrailingSeparatorDoesNotChangeTheList) {
  TempDir dir;
  Touch(dir, "a.dbf");
  Touch(dir, "b.dbf");
  const std::string folder = dir.path().string();
  const auto without = ListFiles(folder, "*.dbf");
  EXPECT_EQ(Sorted(without), (std::vector<std::string>{"a.dbf", "b.dbf"}));
  EXPECT_EQ(ListFiles(folder + "/", "*.dbf"), without);
}

TEST(ListFilesTest, ListsPlainAndHiddenFilesButNoFoldersOrOtherPatterns) {
  TempDir dir;
  Touch(dir, "orders.dbf");
  Touch(dir, ".hidden.dbf");
  Touch(dir, "ORDERS2.DBF");
  Touch(dir, "Mixed.DbF");
  Touch(dir, "orders.fpt");
  Touch(dir, "orders.dbf.bak");
  Touch(dir, "ordersdbf");
  fs::create_directory(dir.path() / "folder.dbf");
  EXPECT_EQ(Sorted(ListFiles(dir.path().string(), "*.dbf")),
            (std::vector<std::string>{".hidden.dbf", "Mixed.DbF", "ORDERS2.DBF", "orders.dbf"}));
}

TEST(ListFilesTest, LeavesOutEntriesThatDoNotOpenAsFiles) {
#ifdef _WIN32
  GTEST_SKIP() << "Linux only: symbolic links need a privilege on Windows, and MinGW's library makes none";
#endif
  TempDir dir;
  Touch(dir, "real.dbf");
  fs::create_directory(dir.path() / "target");
  fs::create_directory_symlink(dir.path() / "target", dir.path() / "linked_folder.dbf");
  fs::create_symlink(dir.path() / "missing", dir.path() / "dangling.dbf");
  fs::create_symlink(dir.path() / "real.dbf", dir.path() / "linked.dbf");
#ifndef _WIN32
  // Opening a FIFO for reading would block until a writer comes.
  ASSERT_EQ(mkfifo(dir.Sub("pipe.dbf").c_str(), 0600), 0);
#endif
  EXPECT_EQ(Sorted(ListFiles(dir.path().string(), "*.dbf")),
            (std::vector<std::string>{"linked.dbf", "real.dbf"}));
}

TEST(ListFilesTest, LeavesOutFilesThatCannotBeOpened) {
  if (RunningAsRoot()) GTEST_SKIP() << "root opens every file";
#ifdef _WIN32
  GTEST_SKIP() << "Linux only: permissions cannot make a file unreadable to its owner on Windows";
#endif
  TempDir dir;
  Touch(dir, "open.dbf");
  Touch(dir, "locked.dbf");
  fs::permissions(dir.Sub("locked.dbf"), fs::perms::none);
  EXPECT_EQ(ListFiles(dir.path().string(), "*.dbf"), (std::vector<std::string>{"open.dbf"}));
}

TEST(ListFilesTest, ReturnsEveryMatchInEnumerationOrder) {
  for (int count : {100, 101}) {
    TempDir dir;
    for (int i = 0; i < count; ++i) Touch(dir, "t" + std::to_string(i) + ".dbf");
    Touch(dir, "other.txt");
    std::vector<std::string> expected = EnumerationOrder(dir);
    expected.erase(std::remove(expected.begin(), expected.end(), "other.txt"), expected.end());

    const auto names = ListFiles(dir.path().string(), "*.dbf");
    EXPECT_EQ(names.size(), static_cast<size_t>(count));
    EXPECT_EQ(names, expected) << "no sorting, platform order";
  }
}

TEST(ListFilesTest, EmptyOrMissingFolderGivesNoNames) {
  TempDir dir;
  EXPECT_TRUE(ListFiles(dir.path().string(), "*.dbf").empty());
  Touch(dir, "notes.txt");
  EXPECT_TRUE(ListFiles(dir.path().string(), "*.dbf").empty());
  EXPECT_TRUE(ListFiles(dir.Sub("no such folder"), "*.dbf").empty());
  EXPECT_TRUE(ListFiles(dir.Sub("missing/deeper/"), "*.dbf").empty());
}

TEST(ListFilesTest, FailureToListTheFolderIsThrown) {
  TempDir dir;
  Touch(dir, "plain.dbf");
  try {
    ListFiles(dir.Sub("plain.dbf"), "*.dbf");
    FAIL() << "a file is not a folder";
  } catch (const std::runtime_error& e) {
    EXPECT_NE(std::string(e.what()).find(dir.Sub("plain.dbf")), std::string::npos) << e.what();
  }

  if (RunningAsRoot()) return;  // root lists every folder
#ifndef _WIN32                  // permissions cannot close a folder to its owner on Windows
  fs::create_directory(dir.path() / "closed");
  fs::permissions(dir.path() / "closed", fs::perms::none);
  EXPECT_THROW(ListFiles(dir.Sub("closed"), "*.dbf"), std::runtime_error);
  fs::permissions(dir.path() / "closed", fs::perms::owner_all);
#endif
}

// Names are UTF-8 on every system: a table called café, in a folder called
// Données, is listed by that name and opens by it (on Windows through the
// wide file API, which the system's ANSI code page could not replace).
TEST(ListFilesTest, NonAsciiNamesAreListedAndOpen) {
  TempDir dir;
  const std::string folder = fox::Utf8FromPath(dir.path()) + quillon::kPathSeparator +
                             "Donn\xC3\xA9"
                             "es";
  fs::create_directory(fox::PathFromUtf8(folder));
  const std::vector<std::string> names = {"caf\xC3\xA9.dbf", "\xE6\x9D\xB1\xE4\xBA\xAC.dbf"};
  for (const std::string& name : names) {
    std::FILE* file = fox::OpenFileUtf8(quillon::WithTrailingSeparator(folder) + name, "wb");
    ASSERT_NE(file, nullptr) << name;
    std::fclose(file);
  }
  EXPECT_EQ(Sorted(ListFiles(folder, "*.dbf")), names);
  EXPECT_EQ(ListFiles(folder, "caf?.dbf"), std::vector<std::string>{names[0]});
  EXPECT_TRUE(IsExistingFile(quillon::WithTrailingSeparator(folder) + names[1]));
  EXPECT_TRUE(FileExists(quillon::WithTrailingSeparator(folder) + names[0]));
}

TEST(MatchesWildcardTest, FollowsWindowsRules) {
  struct Case {
    const char* name;
    const char* pattern;
    bool matches;
  };
  // "\xC3\xA9" is "é" in UTF-8: one character for "?".
  const Case cases[] = {
      {"orders.dbf", "*.dbf", true},     {"ORDERS.DBF", "*.dbf", true},
      {"a.b.dbf", "*.DBF", true},        {"orders.dbfx", "*.dbf", false},
      {"ab.dbf", "?.dbf", false},        {"\xC3\xA9.dbf", "?.dbf", true},
      {"\xC3\xA9.dbf", "??.dbf", false}, {"aXbYbZc", "a*b*c", true},
      {"aXbYbZ", "a*b*c", false},        {"xxxy", "*x", false},
      {"README", "*.*", true},           {"README", "read*.*", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesWildcard(c.name, c.pattern), c.matches) << c.name << " ~ " << c.pattern;
  }
}

TEST(ExistenceTest, IsExistingFileOpensOnlyFiles) {
  TempDir dir;
  Touch(dir, "file.dbf");
  EXPECT_TRUE(IsExistingFile(dir.Sub("file.dbf")));
  EXPECT_FALSE(IsExistingFile(dir.path().string()));
  EXPECT_FALSE(IsExistingFile(dir.Sub("missing.dbf")));
  EXPECT_FALSE(IsExistingFile(""));
}

TEST(ExistenceTest, FileExistsAsksOnlyForTheModificationTime) {
  TempDir dir;
  Touch(dir, "file.dbc");
  EXPECT_TRUE(FileExists(dir.Sub("file.dbc")));
  // The platform reports a modification time for a folder.
  EXPECT_TRUE(FileExists(dir.path().string()));
  EXPECT_FALSE(FileExists(dir.Sub("missing.dbc")));
  EXPECT_FALSE(FileExists(dir.Sub("file.dbc/inside")));
  EXPECT_FALSE(FileExists(""));
}
