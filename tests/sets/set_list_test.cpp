#include "sets/set_list.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <string>
#include <vector>

#include "sets/combo_set_list.h"
#include "shell/app_title.h"
#include "shell/scripted_toolkit.h"
#include "tests/sets/memory_list.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

using quillon::MessageAnswer;
using quillon::ReplaceSet;
using quillon::ScriptedToolkit;
using quillon::SetList;
using testing_support::MemoryList;

namespace {

// The two lists of the main window's second tab, coupled as the window
// couples them.
class SetListTest : public ::testing::Test {
 protected:
  SetListTest() {
    find_.on_change = [this] { sets_.FindListChosen(); };
    replace_.on_change = [this] { sets_.ReplaceListChosen(); };
  }

  // Runs "Add Set" with `answer` typed into the prompt.
  void AddSet(const std::string& answer) {
    toolkit_.prompt_answers.push_back(answer);
    sets_.AddSet();
  }

  void Fill(const std::vector<ReplaceSet>& sets) {
    for (const ReplaceSet& set : sets) sets_.Append(set);
  }

  MemoryList find_;
  MemoryList replace_;
  ScriptedToolkit toolkit_;
  SetList sets_{find_, replace_, toolkit_};
};

}  // namespace

TEST_F(SetListTest, AddSetPromptsWithTheApplicationTitleAndThePreset) {
  AddSet("a::b");
  ASSERT_EQ(toolkit_.shown.size(), 1u);
  const auto& prompt = toolkit_.shown[0];
  EXPECT_EQ(prompt.kind, ScriptedToolkit::Kind::kPrompt);
  EXPECT_EQ(prompt.text, "Enter find and replace set (use :: to separate find text and replace text):");
  EXPECT_EQ(prompt.preset, "findwhat::replacewith");
  EXPECT_EQ(prompt.title, quillon::ApplicationTitle());
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"a", "b"}}));
}

TEST_F(SetListTest, AddSetSplitsAtEveryDoubleColonKeepingSpaces) {
  AddSet("a::b::c");    // the third piece is dropped
  AddSet("::b");        // empty find text
  AddSet("a::");        // empty replace text
  AddSet("::");         // both empty
  AddSet(" a :: b ");   // nothing trimmed
  AddSet("a:::b");      // the first "::" splits
  AddSet("a::b");
  AddSet("a::b");       // duplicates stay
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"a", "b"},
                                                   {"", "b"},
                                                   {"a", ""},
                                                   {"", ""},
                                                   {" a ", " b "},
                                                   {"a", ":b"},
                                                   {"a", "b"},
                                                   {"a", "b"}}));
  EXPECT_TRUE(toolkit_.messages().empty());
  // Adding selects nothing.
  EXPECT_EQ(find_.selected, -1);
  EXPECT_EQ(replace_.selected, -1);
}

TEST_F(SetListTest, AddSetRefusesAnAnswerWithoutDoubleColonAndIgnoresAnEmptyOne) {
  AddSet("a:b");
  AddSet("a;;b");
  AddSet("A::b");
  AddSet("");                          // cancelled or emptied prompt
  const auto messages = toolkit_.messages();
  ASSERT_EQ(messages.size(), 2u);
  for (const auto& m : messages) {
    EXPECT_EQ(m.text, "You must use :: to separate the find text from the replace text");
    EXPECT_EQ(m.title, quillon::ApplicationTitle());
    EXPECT_EQ(m.buttons, quillon::MessageButtons::kOk);
    EXPECT_EQ(m.icon, quillon::MessageIcon::kNone);
  }
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"A", "b"}}));
}

TEST_F(SetListTest, ChoosingInEitherListSelectsTheSamePositionInTheOther) {
  Fill({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
  replace_.Select(2);  // the user chooses the third replace text
  EXPECT_EQ(find_.selected, 2);
  find_.Select(0);
  EXPECT_EQ(replace_.selected, 0);
  // One echo settles it: each list changed once per choice.
  EXPECT_EQ(find_.changes, 2);
  EXPECT_EQ(replace_.changes, 2);
  find_.Select(-1);
  EXPECT_EQ(replace_.selected, -1);
}

TEST_F(SetListTest, RemoveSelectedSetRemovesThatSetFromBothLists) {
  Fill({{"a", "1"}, {"b", "2"}, {"c", "3"}, {"d", "4"}});
  replace_.Select(2);
  sets_.RemoveSelectedSet();
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"a", "1"}, {"b", "2"}, {"d", "4"}}));
  EXPECT_EQ(find_.selected, -1);
  EXPECT_EQ(replace_.selected, -1);

  // Without a selection, and on an empty list, nothing happens.
  sets_.RemoveSelectedSet();
  EXPECT_EQ(sets_.Count(), 3);
  sets_.ClearAllSets();
  EXPECT_EQ(sets_.Count(), 0);
  EXPECT_TRUE(replace_.items.empty());
  sets_.ClearAllSets();
  sets_.RemoveSelectedSet();
  EXPECT_TRUE(toolkit_.shown.empty());
}

TEST_F(SetListTest, AFullListRefusesTheNextSetWithOneErrorReport) {
  find_.items.assign(SetList::kMaxSets, "f");
  replace_.items.assign(SetList::kMaxSets, "r");
  AddSet("x::y");
  EXPECT_EQ(sets_.Count(), SetList::kMaxSets);
  const auto reports = toolkit_.error_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("in Brenlow2021/08/31.Form2.PushButton10_Click at line"), std::string::npos);
}

TEST_F(SetListTest, SaveSetsAsksForTheFileAndWritesTheSets) {
  Fill({{"a", "b"}, {"c", "d"}});
  testing_support::TempDir dir;
  const std::string path = dir.Sub("sets.txt");
  toolkit_.dialog_answers.push_back(path);
  sets_.SaveSets();
  ASSERT_EQ(toolkit_.shown.size(), 1u);
  const auto& dialog = toolkit_.shown[0];
  EXPECT_EQ(dialog.kind, ScriptedToolkit::Kind::kSaveDialog);
  EXPECT_EQ(dialog.dialog.title, "Save");
  EXPECT_EQ(dialog.dialog.file_name, "");
  EXPECT_EQ(dialog.dialog.filter, "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|");
  EXPECT_EQ(dialog.dialog.flags, 0x280201u);
  EXPECT_EQ(testing_support::ReadFileBytes(path), "a::b\r\nc::d\r\n");

  // A cancelled dialog writes nothing and asks nothing more.
  sets_.SaveSets();
  EXPECT_EQ(toolkit_.shown.size(), 2u);
}

TEST_F(SetListTest, SaveSetsReportsAFileThatCannotBeWritten) {
  Fill({{"a", "b"}});
  testing_support::TempDir dir;
  toolkit_.dialog_answers.push_back(dir.Sub("no such folder/sets.txt"));
  sets_.SaveSets();
  const auto reports = toolkit_.error_reports();
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].find("no such folder"), std::string::npos);
  EXPECT_NE(reports[0].find("Form2.PushButton13_Click at line 104"), std::string::npos);
}

// The same operations over the main window's real combo boxes.
TEST(ComboSetListTest, CouplesTheComboBoxesAndKeepsTheirSelectionOnChanges) {
  testing_support::EnsureApplication();
  QComboBox combo1;
  QComboBox combo2;
  combo1.setObjectName("Combo1");
  ScriptedToolkit toolkit;
  auto* wired = new quillon::ComboSetList(combo1, combo2, toolkit);
  SetList& sets = wired->set_list();

  for (const char* answer : {"a::1", "b::2", "c::3"}) {
    toolkit.prompt_answers.push_back(answer);
    sets.AddSet();
  }
  // A combo box would select its first entry on its own; the set list does not.
  EXPECT_EQ(combo1.currentIndex(), -1);
  EXPECT_EQ(combo2.currentIndex(), -1);
  EXPECT_EQ(combo1.itemText(2), "c");
  EXPECT_EQ(combo2.itemText(2), "3");

  combo2.setCurrentIndex(2);  // the user chooses the third replace text
  EXPECT_EQ(combo1.currentIndex(), 2);
  combo1.setCurrentIndex(1);
  EXPECT_EQ(combo2.currentIndex(), 1);
  emit combo1.activated(1);  // choosing the same entry again changes nothing
  EXPECT_EQ(combo2.currentIndex(), 1);

  // Appending keeps the selection; removing the selected set leaves none.
  toolkit.prompt_answers.push_back("d::4");
  sets.AddSet();
  EXPECT_EQ(combo1.currentIndex(), 1);
  sets.RemoveSelectedSet();
  EXPECT_EQ(sets.Sets(), (std::vector<ReplaceSet>{{"a", "1"}, {"c", "3"}, {"d", "4"}}));
  EXPECT_EQ(combo1.currentIndex(), -1);
  EXPECT_EQ(combo2.currentIndex(), -1);

  combo1.setCurrentIndex(2);
  sets.ClearAllSets();
  EXPECT_EQ(combo1.count(), 0);
  EXPECT_EQ(combo2.count(), 0);
  EXPECT_TRUE(toolkit.error_reports().empty());
}
