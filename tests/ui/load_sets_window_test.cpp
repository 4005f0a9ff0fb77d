// The Load Sets window driven through its real controls under the offscreen
// platform, with the scripted toolkit answering its boxes and dialogs.
#include "ui/load_sets_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "base/app_title.h"
#include "base/settings_store.h"
#include "shell/window_helpers.h"
#include "tests/support/gui_support.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/settings_sandbox.h"
#include "tests/support/test_support.h"
#include "ui/combo_set_list.h"

using quillon::LoadSetsWindow;
using quillon::ReplaceSet;
using Sets = std::vector<ReplaceSet>;

namespace {

class LoadSetsWindowTest : public ::testing::Test {
 protected:
  // Opens the window as "Load Sets" does: a new one each time.
  LoadSetsWindow& Open() {
    window_ = std::make_unique<LoadSetsWindow>(sets_, toolkit_, program_folder_.path().string());
    window_->show();
    return *window_;
  }
  QPushButton& Button(const char* name) { return *window_->findChild<QPushButton*>(name); }
  QLineEdit& Box(const char* name) { return *window_->findChild<QLineEdit*>(name); }
  void Click(const char* name) { QTest::mouseClick(&Button(name), Qt::LeftButton); }
  // Replaces the text of a box by typing, as the user does.
  void Type(const char* name, const std::string& text) {
    Box(name).selectAll();
    QTest::keyClick(&Box(name), Qt::Key_Delete);
    QTest::keyClicks(&Box(name), QString::fromStdString(text));
  }
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& m : toolkit_.messages()) texts.push_back(m.text);
    return texts;
  }

  testing_support::WithApplication app_;
  testing_support::SettingsSandbox settings_;
  testing_support::TempDir program_folder_;
  testing_support::TempDir files_;
  QComboBox find_;
  QComboBox replace_;
  quillon::ScriptedToolkit toolkit_;
  quillon::SetList& sets_ = (new quillon::ComboSetList(find_, replace_, toolkit_))->set_list();
  std::unique_ptr<LoadSetsWindow> window_;
};

}  // namespace

TEST_F(LoadSetsWindowTest, OpensWithItsThreeRowsAndRemembersTheSeparatorTyped) {
  LoadSetsWindow& w = Open();
  EXPECT_EQ(w.windowTitle(), "Load Sets");
  std::vector<QString> captions;
  for (QLabel* label : w.findChildren<QLabel*>()) captions.push_back(label->text());
  for (const char* name : {"PushButton16", "PushButton3", "PushButton1", "PushButton2"}) {
    captions.push_back(Button(name).text());
  }
  EXPECT_EQ(captions, (std::vector<QString>{"File To Load:", "Separator:", "...", "?", "Load", "Cancel"}));
  EXPECT_EQ(Box("Text1").text(), "");
  EXPECT_EQ(Box("Text2").text(), "::");  // first start: the default
  EXPECT_FALSE(w.windowIcon().isNull());
  EXPECT_EQ(w.palette().color(QPalette::Window), quillon::ButtonFaceColour());

  Type("Text2", " ;");  // stored at every keystroke
  EXPECT_EQ(quillon::GetSetting("Form2.Text2", "::"), " ;");
  Click("PushButton2");
  EXPECT_EQ(w.result(), QDialog::Rejected);
  EXPECT_FALSE(w.isVisible());
  Open();
  EXPECT_EQ(Box("Text2").text(), " ;");
  EXPECT_TRUE(toolkit_.shown.empty());
  EXPECT_EQ(sets_.Count(), 0);
}

TEST_F(LoadSetsWindowTest, LoadAppendsTheFileSetsAfterThoseThereAndCloses) {
  sets_.Append({"old", "set"});
  find_.setCurrentIndex(0);
  testing_support::WriteFileBytes(files_.Sub("sets.txt"), "hi,hello\r\n\r\nno separator\r\npeter,pete,x\r\n");
  LoadSetsWindow& w = Open();
  Type("Text2", ",");
  Type("Text1", files_.Sub("sets.txt"));
  // A line that is not a set is named, and the user decides: No loads
  // nothing and leaves the window open, Yes loads the other sets.
  toolkit_.message_answers = {quillon::MessageAnswer::kNo, quillon::MessageAnswer::kYes};
  Click("PushButton1");
  EXPECT_EQ(sets_.Count(), 1);
  EXPECT_TRUE(w.isVisible());
  Click("PushButton1");
  EXPECT_EQ(sets_.Sets(), (Sets{{"old", "set"}, {"hi", "hello"}, {"peter", "pete"}}));
  EXPECT_EQ(find_.currentIndex(), 0);  // the selection is unchanged
  EXPECT_EQ(w.result(), QDialog::Accepted);
  const std::string question =
      "1 line of " + files_.Sub("sets.txt") +
      " is not a set (a find text, \",\", a replace text):\r\nline 3: \"no separator\"\r\n\r\n"
      "Load the file's 2 sets and skip these lines?";
  EXPECT_EQ(Messages(), (std::vector<std::string>{question, question}));
  EXPECT_EQ(toolkit_.shown[0].buttons, quillon::MessageButtons::kYesNo);

  // A file with no set at all (read with the wrong separator) is said to
  // be one; nothing is loaded.
  toolkit_.shown.clear();
  LoadSetsWindow& wrong = Open();
  Type("Text2", ";");
  Type("Text1", files_.Sub("sets.txt"));
  Click("PushButton1");
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_NE(Messages()[0].find("3 lines of "), std::string::npos) << Messages()[0];
  EXPECT_NE(Messages()[0].find("The file holds no set: nothing was loaded."), std::string::npos);
  EXPECT_EQ(toolkit_.shown[0].buttons, quillon::MessageButtons::kOk);
  EXPECT_TRUE(wrong.isVisible());
  EXPECT_EQ(sets_.Count(), 3);
  toolkit_.shown.clear();

  testing_support::WriteFileBytes(files_.Sub("empty.txt"), "");
  LoadSetsWindow& again = Open();
  Type("Text1", files_.Sub("empty.txt"));
  Click("PushButton1");
  EXPECT_EQ(again.result(), QDialog::Accepted);
  EXPECT_EQ(sets_.Count(), 3);
}

TEST_F(LoadSetsWindowTest, LoadRefusesAnEmptySeparatorAndAMissingFileAndIgnoresABlankName) {
  LoadSetsWindow& w = Open();
  Box("Text2").clear();
  Click("PushButton1");  // refused even though no file is named
  Type("Text2", "::");
  Type("Text1", "   ");
  Click("PushButton1");  // nothing said
  const std::string missing = " " + files_.Sub("missing.txt");
  Type("Text1", missing);
  Click("PushButton1");  // named as typed, spaces included
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{"You must enter separating character(s).", missing + " not found."}));
  EXPECT_EQ(toolkit_.shown[0].title, quillon::ApplicationTitle());
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(sets_.Count(), 0);
}

TEST_F(LoadSetsWindowTest, BrowseFillsTheFileBoxAndHelpExplainsSeparators) {
  Open();
  toolkit_.dialog_answers = {"/data/sets.txt", ""};
  Click("PushButton16");
  Click("PushButton16");  // cancelled: the box keeps its text
  EXPECT_EQ(Box("Text1").text(), "/data/sets.txt");
  const auto& dialog = toolkit_.shown.at(0);
  EXPECT_EQ(dialog.kind, quillon::ScriptedToolkit::Kind::kOpenDialog);
  EXPECT_EQ(dialog.dialog.title, "Select Text File");
  EXPECT_EQ(dialog.dialog.filter, "Text Files (*.txt)|*.txt|");
  EXPECT_EQ(dialog.dialog.file_name, "");

  Click("PushButton3");
  EXPECT_EQ(Messages(),
            (std::vector<std::string>{
                "If the text file you are loading looks like this:\r\n\r\nhi::hello\r\npeter::pete\r\n\r\n"
                "then use :: as a Separator\r\n\r\n"
                "If the text file you are loading looks like this:\r\n\r\nhi,hello\r\npeter,pete\r\n\r\n"
                "then use , as a Separator\r\n\r\n"
                "NOTE: The 'Save Sets' feature in this software always saves in this format:\r\n\r\n"
                "hi::hello\r\npeter::pete"}));
}

TEST_F(LoadSetsWindowTest, LoadSetsOpensTheWindowModallyAndLoads) {
  testing_support::WriteFileBytes(files_.Sub("sets.txt"), "a::b\r\n");
  bool was_modal = false;
  QTimer::singleShot(0, [&] {  // once the window is up, the user names the file and presses "Load"
    auto* w = qobject_cast<LoadSetsWindow*>(QApplication::activeModalWidget());
    ASSERT_NE(w, nullptr);
    was_modal = w->isModal();
    w->file_box().setText(QString::fromStdString(files_.Sub("sets.txt")));
    w->findChild<QPushButton*>("PushButton1")->click();
  });
  quillon::LoadSets(nullptr, sets_, toolkit_, program_folder_.path().string());
  EXPECT_TRUE(was_modal);
  EXPECT_EQ(sets_.Sets(), (Sets{{"a", "b"}}));
}
