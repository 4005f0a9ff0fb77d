#include "sets/set_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/app_title.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using quillon::ReplaceSet;
using quillon::SaveSetFile;
using quillon::ScriptedToolkit;
using Sets = std::vector<ReplaceSet>;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// The sets the Load Sets window takes from the file at `path`.
Sets LoadFile(const std::string& path, const std::string& separator) {
  return quillon::ParseSets(quillon::ReadTextFile(path), separator).sets;
}

// ASCII `text` as UTF-16 little-endian bytes.
std::string Utf16(const std::string& text) {
  std::string bytes;
  for (char c : text) bytes += std::string{c, '\0'};
  return bytes;
}

}  // namespace

TEST(SaveSetFileTest, WritesOneCrLfLinePerSetAndLoadsBackTheSame) {
  TempDir dir;
  ScriptedToolkit toolkit;
  SaveSetFile(toolkit, dir.Sub("sets.txt"), {{"a", "b"}, {"c", "d"}});
  EXPECT_EQ(ReadFileBytes(dir.Sub("sets.txt")), "a::b\r\nc::d\r\n");

  const Sets sets = {{" hi ", "hello"}, {"", "empty find"}, {"x", ""}, {"Grüße", "東京"}};
  SaveSetFile(toolkit, dir.Sub("round.txt"), sets);
  EXPECT_EQ(LoadFile(dir.Sub("round.txt"), "::"), sets);
  SaveSetFile(toolkit, dir.Sub("empty.txt"), {});
  EXPECT_EQ(fs::file_size(dir.Sub("empty.txt")), 0u);
  EXPECT_TRUE(toolkit.shown.empty());  // new files need no question
  // Nothing but the three set files is left behind.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 3);
}

TEST(SaveSetFileTest, AsksBeforeOverwritingAndNoLeavesTheFileAsItWas) {
  TempDir dir;
  const std::string path = dir.Sub("sets.txt");
  WriteFileBytes(path, "old::text\r\n");
  ScriptedToolkit toolkit;
  toolkit.message_answers = {quillon::MessageAnswer::kNo, quillon::MessageAnswer::kYes};
  SaveSetFile(toolkit, path, {{"new", "text"}});
  EXPECT_EQ(ReadFileBytes(path), "old::text\r\n");
  ASSERT_EQ(toolkit.shown.size(), 1u);
  EXPECT_EQ(toolkit.shown[0].text, "Are you sure you wish to overwrite " + path + " ?");
  EXPECT_EQ(toolkit.shown[0].buttons, quillon::MessageButtons::kYesNo);
  EXPECT_EQ(toolkit.shown[0].title, quillon::ApplicationTitle());

  SaveSetFile(toolkit, path, {});  // Yes with an empty list: an empty file
  EXPECT_EQ(fs::file_size(path), 0u);

  EXPECT_THROW(SaveSetFile(toolkit, dir.Sub("missing/sets.txt"), {{"a", "b"}}), std::runtime_error);
}

TEST(SetFileLoadTest, CommaSeparatorAndFindTextsHoldingDoubleColon) {
  TempDir dir;
  ScriptedToolkit toolkit;
  WriteFileBytes(dir.Sub("comma.txt"), "a::b,c\r\nhi,hello\r\npeter,pete\r\n");
  const Sets loaded = LoadFile(dir.Sub("comma.txt"), ",");
  EXPECT_EQ(loaded, (Sets{{"a::b", "c"}, {"hi", "hello"}, {"peter", "pete"}}));
  // Saved again with "::", the first set splits differently.
  SaveSetFile(toolkit, dir.Sub("saved.txt"), loaded);
  EXPECT_EQ(LoadFile(dir.Sub("saved.txt"), "::"), (Sets{{"a", "b"}, {"hi", "hello"}, {"peter", "pete"}}));
}

TEST(SetFileLoadTest, LineEndsOfCrAloneMakeOneLineLfAloneLoadsLikeCrLf) {
  TempDir dir;
  WriteFileBytes(dir.Sub("cr.txt"), "a::b\rc::d\re::f\r");
  EXPECT_EQ(LoadFile(dir.Sub("cr.txt"), "::"), (Sets{{"a", "bc"}}));
  WriteFileBytes(dir.Sub("lf.txt"), "a::b\n\n   \nno separator\nc::d\n");
  EXPECT_EQ(LoadFile(dir.Sub("lf.txt"), "::"), (Sets{{"a", "b"}, {"c", "d"}}));
  WriteFileBytes(dir.Sub("empty.txt"), "");
  EXPECT_TRUE(LoadFile(dir.Sub("empty.txt"), "::").empty());
}

TEST(ReadTextFileTest, Utf16WithAndWithoutMarkAndTheUtf8Mark) {
  TempDir dir;
  WriteFileBytes(dir.Sub("marked.txt"), "\xFF\xFE" + Utf16("hi::hello\r\n"));
  EXPECT_EQ(LoadFile(dir.Sub("marked.txt"), "::"), (Sets{{"hi", "hello"}}));  // the mark is not in "hi"
  // No mark: the first byte decides. U+00FE starts with the byte FE.
  WriteFileBytes(dir.Sub("thorn.txt"), std::string("\xFE\x00", 2) + Utf16("::x"));
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("thorn.txt")), "þ::x");
  // The big-endian mark FE FF: each character's high byte comes first.
  WriteFileBytes(dir.Sub("big.txt"), std::string("\xFE\xFF\x00h\x00i\x00:\x00:\x00\xFE", 12));
  EXPECT_EQ(quillon::ReadTextFile(dir.Sub("big.txt")), "hi::þ");
  WriteFileBytes(dir.Sub("utf8.txt"), "\xEF\xBB\xBFGrüße::東京\r\n");
  EXPECT_EQ(LoadFile(dir.Sub("utf8.txt"), "::"), (Sets{{"Grüße", "東京"}}));
}

TEST(SetFileLoadTest, LinesThatAreNotSetsAreNamedBlankLinesAreNot) {
  using namespace std::string_literals;
  using quillon::BadSetLine;
  using Bad = std::vector<BadSetLine>;
  // Blank lines (spaces and tabs) and a DOS end mark are passed over; a line
  // without the separator, or one that is not text, is a bad line, with its
  // number as the user counts lines.
  const quillon::ParsedSets parsed = quillon::ParseSets(
      "hi::hello\r\n\r\n \t \r\nMonday:Tuesday\r\nOslo=>Bergen\nbin\0ary::x\r\nx::y\r\n\x1A"s, "::");
  EXPECT_EQ(parsed.sets, (Sets{{"hi", "hello"}, {"x", "y"}}));
  EXPECT_EQ(parsed.bad_lines, (Bad{{4, "Monday:Tuesday"}, {5, "Oslo=>Bergen"}, {6, "bin\0ary::x"s}}));

  // A binary file with one line that looks like a set is not taken for a set
  // file: its bytes that are no text make bad lines.
  TempDir dir;
  std::string binary = "\x89PNG\r\n\x1A\n";
  for (int i = 0; i < 300; ++i) binary += static_cast<char>(i * 37 % 256);
  WriteFileBytes(dir.Sub("picture.txt"), binary + "\na::b\n");
  const quillon::ParsedSets picture = quillon::ParseSets(quillon::ReadTextFile(dir.Sub("picture.txt")), "::");
  EXPECT_EQ(picture.sets, (Sets{{"a", "b"}}));
  EXPECT_FALSE(picture.bad_lines.empty());

  // The message names five lines, each cut and with its control bytes shown,
  // and counts the others.
  std::string nuls;  // sixty characters as shown
  for (int i = 0; i < 15; ++i) nuls += "\\x00";
  Bad many = {{2, "Monday:Tuesday"},
              {3, std::string(70, 'x')},
              {4, "\x01\tg\xC3\xA9\0"s},
              {5,
               "a\xEF\xBF\xBD"
               "b"},
              {8, std::string(20, '\0')},
              {9, "f"},
              {12, "g"}};
  EXPECT_EQ(quillon::BadSetLinesText("sets.txt", many, "::", "\n"),
            "7 lines of sets.txt are not sets (a find text, \"::\", a replace text):\n"
            "line 2: \"Monday:Tuesday\"\n"
            "line 3: \"" +
                std::string(60, 'x') +
                "...\"\n"
                "line 4: \"\\x01\\x09g\xC3\xA9\\x00\" (not text)\n"
                "line 5: \"a?b\" (not text)\n"
                "line 8: \"" +
                nuls +
                "...\" (not text)\n"
                "and 2 more");
  EXPECT_EQ(quillon::BadSetLinesText("s.txt", {{1, "a"}}, "\t", "\r\n"),
            "1 line of s.txt is not a set (a find text, \"\\x09\", a replace text):\r\nline 1: \"a\"");
}
