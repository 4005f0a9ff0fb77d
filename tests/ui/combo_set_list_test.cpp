#include "ui/combo_set_list.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <string>
#include <vector>

#include "base/app_title.h"
#include "sets/set_list.h"
#include "tests/support/gui_support.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/test_support.h"

using quillon::ReplaceSet;
using quillon::ScriptedToolkit;
using quillon::SetList;
using Sets = std::vector<ReplaceSet>;

namespace {

// The two combo boxes of the main window's second tab and the set list over
// them, coupled as the window couples them.
class SetListTest : public ::testing::Test {
 protected:
  // "Add Set" with `answer` typed into the prompt.
  void AddSet(const std::string& answer) {
    toolkit_.prompt_answers.push_back(answer);
    sets_.AddSet();
  }

  testing_support::WithApplication app_;
  QComboBox find_;
  QComboBox replace_;
  ScriptedToolkit toolkit_;
  SetList& sets_ = (new quillon::ComboSetList(find_, replace_, toolkit_))->set_list();
};

}  // namespace

TEST_F(SetListTest, AddSetSplitsTheAnswerAtEveryDoubleColonKeepingSpaces) {
  for (const char* answer : {"a::b::c", "::b", "a::", "::", " a :: b ", "a:::b", "a::b"}) AddSet(answer);
  EXPECT_EQ(sets_.Sets(),
            (Sets{{"a", "b"}, {"", "b"}, {"a", ""}, {"", ""}, {" a ", " b "}, {"a", ":b"}, {"a", "b"}}));
  const auto& prompt = toolkit_.shown.at(0);
  EXPECT_EQ(prompt.text, "Enter find and replace set (use :: to separate find text and replace text):");
  EXPECT_EQ(prompt.preset, "findwhat::replacewith");
  EXPECT_EQ(prompt.title, quillon::ApplicationTitle());
  EXPECT_TRUE(toolkit_.messages().empty());
  // Adding selects nothing (a combo box would select its first entry).
  EXPECT_EQ(find_.currentIndex(), -1);
  EXPECT_EQ(replace_.currentIndex(), -1);
}

TEST_F(SetListTest, AddSetRefusesAnAnswerWithoutDoubleColonAndIgnoresAnEmptyOne) {
  for (const char* answer : {"a:b", "a;;b", ""}) AddSet(answer);
  const auto messages = toolkit_.messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_EQ(m.text, "You must use :: to separate the find text from the replace text");
    EXPECT_EQ(m.title, quillon::ApplicationTitle());
  }
  EXPECT_EQ(sets_.Count(), 0);
}

TEST_F(SetListTest, ChoosingInEitherListSelectsTheSameSetWhichRemoveTakesFromBoth) {
  for (const char* answer : {"a::1", "b::2", "c::3"}) AddSet(answer);
  int changes = 0;
  QObject::connect(&find_, &QComboBox::currentIndexChanged, [&] { ++changes; });
  QObject::connect(&replace_, &QComboBox::currentIndexChanged, [&] { ++changes; });
  replace_.setCurrentIndex(2);  // the user chooses the third replace text
  EXPECT_EQ(find_.currentIndex(), 2);
  find_.setCurrentIndex(1);
  EXPECT_EQ(replace_.currentIndex(), 1);
  EXPECT_EQ(changes, 4);  // one echo per choice, then it settles

  AddSet("d::4");
  EXPECT_EQ(find_.currentIndex(), 1);  // appending keeps the selection
  replace_.setCurrentIndex(2);
  sets_.RemoveSelectedSet();
  EXPECT_EQ(sets_.Sets(), (Sets{{"a", "1"}, {"b", "2"}, {"d", "4"}}));
  EXPECT_EQ(find_.currentIndex(), -1);  // removing the selected set leaves none
  EXPECT_EQ(replace_.currentIndex(), -1);
  sets_.RemoveSelectedSet();
  EXPECT_EQ(sets_.Count(), 3);
  sets_.ClearAllSets();
  sets_.ClearAllSets();
  EXPECT_EQ(find_.count() + replace_.count(), 0);
  EXPECT_TRUE(toolkit_.messages().empty());
}

TEST_F(SetListTest, AFullListRefusesTheNextSetWithAnErrorReport) {
  const QStringList full(SetList::kMaxSets, "f");
  find_.addItems(full);
  replace_.addItems(full);
  AddSet("x::y");
  EXPECT_EQ(sets_.Count(), SetList::kMaxSets);
  ASSERT_EQ(toolkit_.error_reports().size(), 1u);
  EXPECT_NE(toolkit_.error_reports()[0].find("Form2.PushButton10_Click at line"), std::string::npos);
}

TEST_F(SetListTest, SaveSetsAsksForTheFileWritesItAndReportsFailures) {
  AddSet("a::b");
  AddSet("c::d");
  testing_support::TempDir dir;
  toolkit_.dialog_answers = {dir.Sub("sets.txt"), "", dir.Sub("missing/sets.txt")};
  sets_.SaveSets();
  const auto& dialog = toolkit_.shown.back();
  EXPECT_EQ(dialog.kind, ScriptedToolkit::Kind::kSaveDialog);
  EXPECT_EQ(dialog.dialog.title, "Save");
  EXPECT_EQ(dialog.dialog.file_name, "");
  EXPECT_EQ(dialog.dialog.filter, "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|");
  EXPECT_EQ(dialog.dialog.flags, 0x280201u);
  EXPECT_EQ(testing_support::ReadFileBytes(dir.Sub("sets.txt")), "a::b\r\nc::d\r\n");

  sets_.SaveSets();  // cancelled: nothing more is asked or said
  EXPECT_TRUE(toolkit_.messages().empty());
  sets_.SaveSets();
  ASSERT_EQ(toolkit_.error_reports().size(), 1u);
  const int write_file = static_cast<int>(SetList::SaveSetsStep::kWriteFile);
  EXPECT_NE(
      toolkit_.error_reports()[0].find("Form2.PushButton13_Click at line " + std::to_string(write_file)),
      std::string::npos);
}
