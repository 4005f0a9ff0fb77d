#include "sets/set_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "shell/app_title.h"
#include "shell/scripted_toolkit.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using quillon::MessageAnswer;
using quillon::ParseSets;
using quillon::ReadTextFile;
using quillon::ReplaceSet;
using quillon::SaveSetFile;
using quillon::ScriptedToolkit;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// The sets the Load Sets window takes from the file at `path`.
std::vector<ReplaceSet> LoadFile(const std::string& path, const std::string& separator) {
  return ParseSets(ReadTextFile(path), separator);
}

// `text` (ASCII) as UTF-16 little-endian bytes.
std::string Utf16(const std::string& text) {
  std::string bytes;
  for (char c : text) {
    bytes += c;
    bytes += '\0';
  }
  return bytes;
}

}  // namespace

TEST(SaveSetFileTest, WritesOneLinePerSetEachEndingInCrLf) {
  TempDir dir;
  ScriptedToolkit toolkit;
  const std::string path = dir.Sub("sets.txt");
  SaveSetFile(toolkit, path, {{"a", "b"}, {"c", "d"}});
  EXPECT_EQ(ReadFileBytes(path), "a::b\r\nc::d\r\n");
  EXPECT_TRUE(toolkit.shown.empty());  // a new file needs no question

  SaveSetFile(toolkit, dir.Sub("spaces.txt"), {{" a ", ""}, {"", "x::y"}, {"Grüße", "東京"}});
  EXPECT_EQ(ReadFileBytes(dir.Sub("spaces.txt")), " a ::\r\n::x::y\r\nGrüße::東京\r\n");
  SaveSetFile(toolkit, dir.Sub("empty.txt"), {});
  EXPECT_TRUE(fs::exists(dir.Sub("empty.txt")));
  EXPECT_EQ(fs::file_size(dir.Sub("empty.txt")), 0u);
  // Nothing but the set files is left in the folder.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST(SaveSetFileTest, AsksBeforeOverwritingAndNoLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir.Sub("sets.txt");
  WriteFileBytes(path, "old::text\r\n");
  ScriptedToolkit toolkit;
  toolkit.message_answers.push_back(MessageAnswer::kNo);
  SaveSetFile(toolkit, path, {{"new", "text"}});
  EXPECT_EQ(ReadFileBytes(path), "old::text\r\n");
  ASSERT_EQ(toolkit.shown.size(), 1u);
  EXPECT_EQ(toolkit.shown[0].text, "Are you sure you wish to overwrite " + path + " ?");
  EXPECT_EQ(toolkit.shown[0].buttons, quillon::MessageButtons::kYesNo);
  EXPECT_EQ(toolkit.shown[0].icon, quillon::MessageIcon::kNone);
  EXPECT_EQ(toolkit.shown[0].title, quillon::ApplicationTitle());

  // Yes with an empty set list leaves an empty file.
  toolkit.message_answers.push_back(MessageAnswer::kYes);
  SaveSetFile(toolkit, path, {});
  EXPECT_EQ(fs::file_size(path), 0u);
}

TEST(SaveSetFileTest, AFileThatCannotBeWrittenThrowsAndKeepsTheOldOne) {
  TempDir dir;
  ScriptedToolkit toolkit;
  EXPECT_THROW(SaveSetFile(toolkit, dir.Sub("missing/sets.txt"), {{"a", "b"}}), std::runtime_error);
  // A folder in the way: the question is asked, the folder stays a folder.
  fs::create_directory(dir.Sub("taken.txt"));
  toolkit.message_answers.push_back(MessageAnswer::kYes);
  EXPECT_THROW(SaveSetFile(toolkit, dir.Sub("taken.txt"), {{"a", "b"}}), std::runtime_error);
  EXPECT_TRUE(fs::is_directory(dir.Sub("taken.txt")));
}

TEST(SetFileRoundTripTest, SavedSetsLoadBackInOrderWithDoubleColon) {
  TempDir dir;
  ScriptedToolkit toolkit;
  const std::vector<ReplaceSet> sets = {{"hi", "hello"}, {" peter ", "pete"}, {"", "empty find"}, {"x", ""}};
  SaveSetFile(toolkit, dir.Sub("sets.txt"), sets);
  EXPECT_EQ(LoadFile(dir.Sub("sets.txt"), "::"), sets);
}

TEST(SetFileRoundTripTest, FindTextsHoldingTheSeparatorSplitDifferentlyWhenLoadedAgain) {
  TempDir dir;
  ScriptedToolkit toolkit;
  // Loaded with "," a line a::b,c gives the find text "a::b".
  WriteFileBytes(dir.Sub("comma.txt"), "a::b,c\r\nhi,hello\r\npeter,pete\r\n");
  const std::vector<ReplaceSet> loaded = LoadFile(dir.Sub("comma.txt"), ",");
  EXPECT_EQ(loaded, (std::vector<ReplaceSet>{{"a::b", "c"}, {"hi", "hello"}, {"peter", "pete"}}));
  SaveSetFile(toolkit, dir.Sub("saved.txt"), loaded);
  EXPECT_EQ(ReadFileBytes(dir.Sub("saved.txt")), "a::b::c\r\nhi::hello\r\npeter::pete\r\n");
  EXPECT_EQ(LoadFile(dir.Sub("saved.txt"), "::"),
            (std::vector<ReplaceSet>{{"a", "b"}, {"hi", "hello"}, {"peter", "pete"}}));
}

TEST(SetFileLoadTest, LinesWithoutTheSeparatorAndEmptyLinesAreSkipped) {
  TempDir dir;
  WriteFileBytes(dir.Sub("mixed.txt"), "\r\na::b::c\r\n   \r\nno separator\r\n::\r\n\r\nx:: y \r\nlast::line");
  EXPECT_EQ(LoadFile(dir.Sub("mixed.txt"), "::"),
            (std::vector<ReplaceSet>{{"a", "b"}, {"", ""}, {"x", " y "}, {"last", "line"}}));
  // A one-space separator is a separator like any other.
  EXPECT_EQ(LoadFile(dir.Sub("mixed.txt"), " "),
            (std::vector<ReplaceSet>{{"", ""}, {"no", "separator"}, {"x::", "y"}}));
}

TEST(SetFileLoadTest, LineEndsOfCrAloneMakeOneLineAndLfAloneLoadLikeCrLf) {
  TempDir dir;
  WriteFileBytes(dir.Sub("cr.txt"), "a::b\rc::d\re::f\r");
  // The CRs go, so the whole text is one line: a, then "bc".
  EXPECT_EQ(LoadFile(dir.Sub("cr.txt"), "::"), (std::vector<ReplaceSet>{{"a", "bc"}}));
  WriteFileBytes(dir.Sub("lf.txt"), "a::b\nc::d\ne::f\n");
  EXPECT_EQ(LoadFile(dir.Sub("lf.txt"), "::"), (std::vector<ReplaceSet>{{"a", "b"}, {"c", "d"}, {"e", "f"}}));
}

TEST(ReadTextFileTest, EmptyOrMissingFilesGiveEmptyText) {
  TempDir dir;
  WriteFileBytes(dir.Sub("empty.txt"), "");
  EXPECT_EQ(ReadTextFile(dir.Sub("empty.txt")), "");
  EXPECT_TRUE(LoadFile(dir.Sub("empty.txt"), "::").empty());
  EXPECT_EQ(ReadTextFile(dir.Sub("missing.txt")), "");
}

TEST(ReadTextFileTest, Utf16FilesWithAndWithoutByteOrderMark) {
  TempDir dir;
  const std::string text = "hi::hello\r\npeter::pete\r\n";
  const std::vector<ReplaceSet> expected = {{"hi", "hello"}, {"peter", "pete"}};

  // With the mark FF FE: the mark is dropped and does not start the first
  // find text.
  WriteFileBytes(dir.Sub("marked.txt"), "\xFF\xFE" + Utf16(text));
  EXPECT_EQ(ReadTextFile(dir.Sub("marked.txt")), text);
  EXPECT_EQ(LoadFile(dir.Sub("marked.txt"), "::"), expected);

  // Without a mark the first byte decides: text starting with a character
  // whose low byte is FF or FE is UTF-16 as well.
  const std::string unmarked = std::string("\xFE\x00", 2) + Utf16("::x\r\n");  // U+00FE "þ"
  WriteFileBytes(dir.Sub("thorn.txt"), unmarked);
  EXPECT_EQ(ReadTextFile(dir.Sub("thorn.txt")), "þ::x\r\n");

  // A file without a mark whose first byte is plain text is read as 8-bit
  // text, even when it is UTF-16 (its NULs then stay in the text).
  WriteFileBytes(dir.Sub("plain16.txt"), Utf16("a::b"));
  EXPECT_EQ(ReadTextFile(dir.Sub("plain16.txt")), std::string("a\0:\0:\0b\0", 8));
}

TEST(ReadTextFileTest, Utf8ByteOrderMarkIsDroppedAndTextKept) {
  TempDir dir;
  WriteFileBytes(dir.Sub("utf8.txt"), "\xEF\xBB\xBFGrüße::東京\r\n");
  EXPECT_EQ(ReadTextFile(dir.Sub("utf8.txt")), "Grüße::東京\r\n");
  EXPECT_EQ(LoadFile(dir.Sub("utf8.txt"), "::"), (std::vector<ReplaceSet>{{"Grüße", "東京"}}));
}
