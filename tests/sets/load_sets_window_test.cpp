// The Load Sets window driven through its real controls under the offscreen
// platform, with the scripted toolkit answering its boxes and dialogs.
#include "sets/load_sets_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <string>
#include <vector>

#include "shell/app_title.h"
#include "shell/scripted_toolkit.h"
#include "shell/settings_store.h"
#include "shell/window_helpers.h"
#include "tests/sets/memory_list.h"
#include "tests/support/gui_support.h"
#include "tests/support/settings_sandbox.h"
#include "tests/support/test_support.h"

using quillon::LoadSetsWindow;
using quillon::ReplaceSet;
using quillon::ScriptedToolkit;
using quillon::SetList;
using testing_support::MemoryList;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

class LoadSetsWindowTest : public ::testing::Test {
 protected:
  LoadSetsWindowTest() { testing_support::EnsureApplication(); }

  // Opens the window as "Load Sets" does (created anew each time).
  LoadSetsWindow& Open() {
    window_ = std::make_unique<LoadSetsWindow>(sets_, toolkit_, program_folder_.path().string());
    window_->show();
    return *window_;
  }

  QPushButton& Button(const char* name) {
    auto* button = window_->findChild<QPushButton*>(name);
    EXPECT_NE(button, nullptr) << name;
    return *button;
  }
  QLineEdit& Box(const char* name) {
    auto* box = window_->findChild<QLineEdit*>(name);
    EXPECT_NE(box, nullptr) << name;
    return *box;
  }
  void Click(const char* name) { QTest::mouseClick(&Button(name), Qt::LeftButton); }
  // Replaces the text of a box by typing, as the user does.
  void Type(const char* name, const QString& text) {
    QLineEdit& box = Box(name);
    box.selectAll();
    QTest::keyClick(&box, Qt::Key_Delete);
    QTest::keyClicks(&box, text);
  }
  // The texts of the OK boxes shown so far.
  std::vector<std::string> Messages() const {
    std::vector<std::string> texts;
    for (const auto& m : toolkit_.messages()) texts.push_back(m.text);
    return texts;
  }

  testing_support::SettingsSandbox settings_;
  TempDir program_folder_;
  TempDir files_;
  MemoryList find_;
  MemoryList replace_;
  ScriptedToolkit toolkit_;
  SetList sets_{find_, replace_, toolkit_};
  std::unique_ptr<LoadSetsWindow> window_;
};

}  // namespace

TEST_F(LoadSetsWindowTest, OpensWithItsThreeRowsTheStoredSeparatorAndAnEmptyFileBox) {
  LoadSetsWindow& w = Open();
  EXPECT_EQ(w.windowTitle(), "Load Sets");
  EXPECT_EQ(w.objectName(), "Form3");
  std::vector<QString> labels;
  for (QLabel* label : w.findChildren<QLabel*>()) labels.push_back(label->text());
  EXPECT_EQ(labels, (std::vector<QString>{"File To Load:", "Separator:"}));
  EXPECT_EQ(Button("PushButton16").text(), "...");
  EXPECT_EQ(Button("PushButton3").text(), "?");
  EXPECT_EQ(Button("PushButton1").text(), "Load");
  EXPECT_EQ(Button("PushButton2").text(), "Cancel");
  EXPECT_EQ(Box("Text1").text(), "");
  EXPECT_EQ(Box("Text2").text(), "::");  // first start: the default
  EXPECT_FALSE(w.windowIcon().isNull());
  EXPECT_EQ(w.palette().color(QPalette::Window), quillon::ButtonFaceColour());
  EXPECT_TRUE(toolkit_.shown.empty());

  // The separator typed last comes back the next time the window opens.
  Type("Text2", ",");
  EXPECT_EQ(quillon::GetSetting("Form2.Text2", "::"), ",");
  Click("PushButton2");
  EXPECT_EQ(w.result(), QDialog::Rejected);
  EXPECT_FALSE(w.isVisible());
  Open();
  EXPECT_EQ(Box("Text2").text(), ",");
  EXPECT_EQ(Box("Text1").text(), "");
}

TEST_F(LoadSetsWindowTest, EverySeparatorKeystrokeIsStored) {
  Open();
  Box("Text2").clear();
  EXPECT_EQ(quillon::GetSetting("Form2.Text2", "::"), "");
  QTest::keyClicks(&Box("Text2"), " ;");
  EXPECT_EQ(quillon::GetSetting("Form2.Text2", "::"), " ;");
}

TEST_F(LoadSetsWindowTest, LoadAppendsTheFileSetsAfterThoseAlreadyThereAndCloses) {
  sets_.Append({"old", "set"});
  find_.Select(0);
  const std::string path = files_.Sub("sets.txt");
  WriteFileBytes(path, "hi::hello\r\n\r\nno separator\r\npeter::pete::x\r\n");
  LoadSetsWindow& w = Open();
  Type("Text1", QString::fromStdString(path));
  Click("PushButton1");
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"old", "set"}, {"hi", "hello"}, {"peter", "pete"}}));
  EXPECT_EQ(find_.selected, 0);  // the selection is unchanged
  EXPECT_EQ(w.result(), QDialog::Accepted);
  EXPECT_FALSE(w.isVisible());
}

TEST_F(LoadSetsWindowTest, LoadWithACommaSeparator) {
  const std::string path = files_.Sub("comma.txt");
  WriteFileBytes(path, "hi,hello\npeter,pete\n");
  Open();
  Type("Text2", ",");
  Type("Text1", QString::fromStdString(path));
  Click("PushButton1");
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"hi", "hello"}, {"peter", "pete"}}));
}

TEST_F(LoadSetsWindowTest, AnEmptyFileAddsNothingAndCloses) {
  const std::string path = files_.Sub("empty.txt");
  WriteFileBytes(path, "");
  LoadSetsWindow& w = Open();
  Type("Text1", QString::fromStdString(path));
  Click("PushButton1");
  EXPECT_EQ(sets_.Count(), 0);
  EXPECT_TRUE(toolkit_.shown.empty());
  EXPECT_EQ(w.result(), QDialog::Accepted);
}

TEST_F(LoadSetsWindowTest, LoadRefusesAnEmptySeparatorAMissingFileAndDoesNothingWithoutAFile) {
  LoadSetsWindow& w = Open();
  // An empty separator is refused even when no file is named.
  Box("Text2").clear();
  Click("PushButton1");
  EXPECT_EQ(Messages(), (std::vector<std::string>{"You must enter separating character(s)."}));
  EXPECT_EQ(toolkit_.shown.back().title, quillon::ApplicationTitle());

  // A file box of spaces only: nothing said, nothing done.
  Type("Text2", "::");
  Type("Text1", "   ");
  Click("PushButton1");
  EXPECT_EQ(toolkit_.shown.size(), 1u);

  // A name that no file answers to is shown as typed, spaces included.
  const std::string missing = " " + files_.Sub("missing.txt");
  Type("Text1", QString::fromStdString(missing));
  Click("PushButton1");
  EXPECT_EQ(Messages().back(), missing + " not found.");

  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(sets_.Count(), 0);
  EXPECT_TRUE(toolkit_.error_reports().empty());
}

TEST_F(LoadSetsWindowTest, BrowsePutsTheChosenFileIntoTheFileBox) {
  Open();
  toolkit_.dialog_answers.push_back("/data/sets.txt");
  Click("PushButton16");
  ASSERT_EQ(toolkit_.shown.size(), 1u);
  const auto& dialog = toolkit_.shown[0];
  EXPECT_EQ(dialog.kind, ScriptedToolkit::Kind::kOpenDialog);
  EXPECT_EQ(dialog.dialog.title, "Select Text File");
  EXPECT_EQ(dialog.dialog.filter, "Text Files (*.txt)|*.txt|");
  EXPECT_EQ(dialog.dialog.file_name, "");
  EXPECT_EQ(Box("Text1").text(), "/data/sets.txt");

  Click("PushButton16");  // cancelled: the box keeps its text
  EXPECT_EQ(Box("Text1").text(), "/data/sets.txt");
}

TEST_F(LoadSetsWindowTest, HelpShowsTheSeparatorExamples) {
  Open();
  Click("PushButton3");
  ASSERT_EQ(Messages().size(), 1u);
  const std::string help = Messages()[0];
  const std::string expected_lines[] = {
      "If the text file you are loading looks like this:",
      "",
      "hi::hello",
      "peter::pete",
      "",
      "then use :: as a Separator",
      "",
      "If the text file you are loading looks like this:",
      "",
      "hi,hello",
      "peter,pete",
      "",
      "then use , as a Separator",
      "",
      "NOTE: The 'Save Sets' feature in this software always saves in this format:",
      "",
      "hi::hello",
      "peter::pete",
  };
  std::string expected;
  for (const std::string& line : expected_lines) expected += (expected.empty() ? "" : "\r\n") + line;
  // The first line is not empty, so joining this way gives exactly 17 CR LFs.
  EXPECT_EQ(help, expected);
  EXPECT_EQ(toolkit_.shown[0].buttons, quillon::MessageButtons::kOk);
  EXPECT_EQ(toolkit_.shown[0].title, quillon::ApplicationTitle());
}

TEST_F(LoadSetsWindowTest, PointerIsTheHandOverButtonsAndDefaultOverTheBackground) {
  LoadSetsWindow& w = Open();
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  QApplication::sendEvent(&Button("PushButton1"), &enter);
  EXPECT_EQ(w.cursor().shape(), Qt::PointingHandCursor);
  QMouseEvent move(QEvent::MouseMove, QPointF(1, 1), w.mapToGlobal(QPointF(1, 1)), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(&w, &move);
  EXPECT_EQ(w.cursor().shape(), Qt::ArrowCursor);
}

TEST_F(LoadSetsWindowTest, LoadSetsOpensTheWindowModallyOverItsOwner) {
  const std::string path = files_.Sub("sets.txt");
  WriteFileBytes(path, "a::b\r\n");
  bool was_modal = false;
  // Once the window is up, the user names the file and presses "Load".
  QTimer::singleShot(0, [&] {
    auto* w = qobject_cast<LoadSetsWindow*>(QApplication::activeModalWidget());
    ASSERT_NE(w, nullptr);
    was_modal = w->isModal();
    w->file_box().setText(QString::fromStdString(path));
    w->findChild<QPushButton*>("PushButton1")->click();
  });
  quillon::LoadSets(nullptr, sets_, toolkit_, program_folder_.path().string());
  EXPECT_TRUE(was_modal);
  EXPECT_EQ(sets_.Sets(), (std::vector<ReplaceSet>{{"a", "b"}}));
}
