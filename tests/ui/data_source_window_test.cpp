// The data source window and the DBC selection window, driven through their
// real controls: start-up, the data source kind as each control changes it,
// "Test Connection", "Next >" and closing the program.
#include <gtest/gtest.h>

#include <QGroupBox>
#include <QLabel>

#include "base/app_title.h"
#include "shell/pointer.h"
#include "tests/ui/ui_test_support.h"

namespace {

namespace fs = std::filesystem;
using quillon::DataSourceWindow;
using quillon::DbcWindow;
using quillon::MessageButtons;
using quillon::MessageIcon;
using ui_testing::Click;
using ui_testing::Find;
using ui_testing::Type;
namespace keys = quillon::settings;

// The data source kind as the window and the store hold it.
struct Kind {
  std::string stored;
  bool dbc;
  std::string dbc_path;
  bool operator==(const Kind&) const = default;
};

void PrintTo(const Kind& k, std::ostream* os) {
  *os << "{stored \"" << k.stored << "\", dbc " << k.dbc << ", path \"" << k.dbc_path << "\"}";
}

class DataSourceWindowTest : public ui_testing::ProgramTest {
 protected:
  QLineEdit& folder_box() { return Find<QLineEdit>(form1(), "Text2"); }
  Kind kind() { return {Setting(keys::kFoxproOption), form1().OptionDBC1(), form1().DBCPath1()}; }
  std::string container() {
    if (container_.empty()) {
      container_ = testing_support::CopyFixtureFolder(other_, "go-dbase/database") + "/EXPENSES.DBC";
    }
    return container_;
  }

  std::string container_;
};

TEST_F(DataSourceWindowTest, FirstStartShowsTheWindowAsLaidOutWithTheFocusInTheFolderBoxAndItsHelp) {
  DataSourceWindow& w = Start();
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.main_window(), nullptr);
  EXPECT_EQ(w.windowTitle(), "Quillon");
  EXPECT_FALSE(w.windowIcon().isNull());
  EXPECT_EQ(quillon::ApplicationTitle(), "Quillon");
  // No setting: the kind reads as a database container with no path.
  EXPECT_EQ(kind(), (Kind{"<missing>", true, ""}));
  EXPECT_EQ(folder_box().text(), "");
  EXPECT_EQ(Setting(keys::kFreeTableFolder), "<missing>");
  EXPECT_TRUE(toolkit_.shown.empty());

  EXPECT_EQ(Find<QGroupBox>(w, "Frame1").title(), "FoxPro Login");
  EXPECT_EQ(Find<QLabel>(w, "Label1").text(), "Folder containing DBF/s:");
  // The tab order, from the folder box, which has the focus.
  EXPECT_EQ(w.focusWidget(), &folder_box());
  std::vector<QString> order;
  QWidget* control = &folder_box();
  do {
    if (auto* button = qobject_cast<QPushButton*>(control)) order.push_back(button->text());
    control = control->nextInFocusChain();
  } while (control != &folder_box());
  EXPECT_EQ(order, (std::vector<QString>{"...", "Test Connection", "Next >", "Help",
                                         "Load Sample/Example Database", "dbc"}));
  EXPECT_EQ(Find<QPushButton>(w, "PushButton4").width(), Find<QPushButton>(w, "PushButton12").width());
  for (const char* name : {"PushButton1", "PushButton2", "PushButton3", "PushButton6"}) {
    const QFont font = Find<QPushButton>(w, name).font();
    EXPECT_TRUE(font.bold()) << name;
    EXPECT_EQ(font.pointSize(), 11) << name;
  }
  EXPECT_TRUE(folder_box().font().bold());
  EXPECT_EQ(folder_box().font().pointSize(), 9);

  Click(w, "PushButton1");  // "Help"
  EXPECT_EQ(TakeMessages(),
            (std::vector<std::string>{
                "Make sure FoxPro is closed while using this application.\r\n\r\n"
                "This program may not be able to find and replace within a field with a Text data "
                "type."}));
}

TEST_F(DataSourceWindowTest, TheStoredDataSourceDecidesWhichWindowTheUserSees) {
  // A stored folder counts as a folder even with the kind stored as "1"; one
  // without tables leaves this window in view, silently.
  Store(keys::kFreeTableFolder, empty_folder());
  Store(keys::kFoxproOption, "1");
  Store(keys::kDBCFile, "/nowhere/data.dbc");
  Start();
  EXPECT_TRUE(form1().isVisible());
  EXPECT_EQ(form1().main_window(), nullptr);
  EXPECT_EQ(folder_box().text(), QString::fromStdString(empty_folder()));
  EXPECT_EQ(kind(), (Kind{"2", false, "/nowhere/data.dbc"}));
  EXPECT_TRUE(toolkit_.shown.empty());

  // No folder, kind "2": a folder of free tables, the empty one.
  Store(keys::kFreeTableFolder, "");
  Store(keys::kFoxproOption, "2");
  Start();
  EXPECT_EQ(kind(), (Kind{"2", false, "/nowhere/data.dbc"}));
  EXPECT_TRUE(form1().isVisible());

  // No folder, kind "1" and a container that exists: straight on to the
  // main window, which lists the container's tables.
  Store(keys::kFoxproOption, "1");
  Store(keys::kDBCFile, container());
  Start();
  EXPECT_EQ(kind(), (Kind{"1", true, container()}));
  EXPECT_FALSE(form1().isVisible());
  ASSERT_NE(form1().main_window(), nullptr);
  EXPECT_TRUE(form2().isVisible());
  EXPECT_EQ(form2().TableCount(), 4);
  EXPECT_EQ(form2().TableName(0), "employees");
  EXPECT_TRUE(toolkit_.shown.empty());
}

TEST_F(DataSourceWindowTest, TheFolderBoxStoresEveryKeystrokeAndAnyTextMakesItTheFolderKind) {
  Start();
  // Typed letter by letter: the store follows each keystroke.
  std::vector<std::string> stored;
  QObject::connect(&folder_box(), &QLineEdit::textChanged,
                   [&] { stored.push_back(Setting(keys::kFreeTableFolder)); });
  QTest::keyClicks(&folder_box(), "/ab");
  EXPECT_EQ(stored, (std::vector<std::string>{"/", "/a", "/ab"}));
  EXPECT_EQ(kind(), (Kind{"2", false, ""}));

  // Deleting the whole text stores the empty text and leaves the kind as the
  // DBC selection window last set it.
  WithDbcWindow([&](DbcWindow& dbc) {
    Type(dbc.path_box(), "/data/shop.dbc");
    Click(dbc, "PushButton1");
  });
  EXPECT_EQ(kind(), (Kind{"1", true, "/data/shop.dbc"}));
  Type(folder_box(), "");
  EXPECT_EQ(Setting(keys::kFreeTableFolder), "");
  EXPECT_EQ(kind(), (Kind{"1", true, "/data/shop.dbc"}));

  // A folder from "..." is a change like any other; a cancelled browser
  // changes nothing.
  toolkit_.folder_answers = {samples(), ""};
  Click(form1(), "PushButton4");
  EXPECT_EQ(folder_box().text(), QString::fromStdString(samples()));
  EXPECT_EQ(Setting(keys::kFreeTableFolder), samples());
  EXPECT_EQ(kind(), (Kind{"2", false, "/data/shop.dbc"}));
  Click(form1(), "PushButton4");
  EXPECT_EQ(folder_box().text(), QString::fromStdString(samples()));
  ASSERT_EQ(toolkit_.shown.size(), 2u);
  for (const auto& shown : toolkit_.shown) {
    EXPECT_EQ(shown.kind, quillon::ScriptedToolkit::Kind::kFolderBrowser);
    EXPECT_EQ(shown.text, "Please select folder:");
    EXPECT_EQ(shown.preset, "");
  }
}

TEST_F(DataSourceWindowTest, TheSampleButtonSelectsTheSamplesFolderBesideTheProgram) {
  Store(keys::kDBCFile, "/data/shop.dbc");
  Start();
  WithDbcWindow([&](DbcWindow& dbc) { Click(dbc, "PushButton1"); });  // "OK" with the stored path
  EXPECT_EQ(kind(), (Kind{"1", true, "/data/shop.dbc"}));

  Click(form1(), "PushButton6");
  EXPECT_EQ(folder_box().text(), QString::fromStdString(samples()));
  EXPECT_EQ(Setting(keys::kFreeTableFolder), samples());
  EXPECT_EQ(kind(), (Kind{"2", false, "/data/shop.dbc"}));

  // Again, with the box already showing it: the box is unchanged but the
  // kind is still switched to the folder.
  WithDbcWindow([&](DbcWindow& dbc) { Click(dbc, "PushButton1"); });
  Click(form1(), "PushButton6");
  EXPECT_EQ(folder_box().text(), QString::fromStdString(samples()));
  EXPECT_EQ(kind(), (Kind{"2", false, "/data/shop.dbc"}));
  EXPECT_TRUE(toolkit_.shown.empty());
}

TEST_F(DataSourceWindowTest, TheDbcWindowSwitchesTheKindOnOkAndCancelOnly) {
  Start();
  Type(folder_box(), samples());
  WithDbcWindow([&](DbcWindow& dbc) {
    EXPECT_EQ(dbc.windowTitle(), "Advanced Options");
    EXPECT_TRUE(dbc.isModal());
    EXPECT_EQ(Find<QGroupBox>(dbc, "Frame2").title(), "Advanced Option");
    EXPECT_EQ(Find<QLabel>(dbc, "Label1").text(), "DBC File:");
    EXPECT_EQ(dbc.focusWidget(), &dbc.path_box());
    EXPECT_EQ(dbc.path_box().text(), "");
    // "OK" with an empty path closes the window and changes nothing.
    Click(dbc, "PushButton1");
    EXPECT_FALSE(dbc.isVisible());
  });
  EXPECT_EQ(kind(), (Kind{"2", false, ""}));

  // A path typed is stored at every keystroke; the title bar's close box
  // keeps it without touching the kind.
  WithDbcWindow([&](DbcWindow& dbc) {
    Type(dbc.path_box(), container());
    EXPECT_EQ(Setting(keys::kDBCFile), container());
  });
  EXPECT_EQ(kind(), (Kind{"2", false, ""}));

  // Opened again, it shows the stored path; "OK" makes it the data source,
  // which "Test Connection" then tries at once.
  WithDbcWindow([&](DbcWindow& dbc) {
    EXPECT_EQ(dbc.path_box().text(), QString::fromStdString(container()));
    Click(dbc, "PushButton1");
  });
  EXPECT_EQ(kind(), (Kind{"1", true, container()}));
  Click(form1(), "PushButton3");
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"Connection successful."}));

  // "Cancel" after choosing another file with "...": the file is stored,
  // the path in use is not, and the kind goes back to the folder.
  toolkit_.dialog_answers = {"/elsewhere/other.dbc"};
  WithDbcWindow([&](DbcWindow& dbc) {
    Click(dbc, "PushButton5");
    EXPECT_EQ(dbc.path_box().text(), "/elsewhere/other.dbc");
    Click(dbc, "PushButton2");
  });
  EXPECT_EQ(Setting(keys::kDBCFile), "/elsewhere/other.dbc");
  EXPECT_EQ(kind(), (Kind{"2", false, container()}));
  ASSERT_EQ(toolkit_.shown.size(), 1u);
  const quillon::FileDialogRequest& asked = toolkit_.shown[0].dialog;
  EXPECT_EQ(asked.title, "Select Foxpro Database");
  EXPECT_EQ(asked.filter, "Microsoft Database (*.dbc)|*.dbc|");
  EXPECT_EQ(asked.flags, 0x280001u);
  EXPECT_EQ(asked.file_name, "");

  // A cancelled file dialog leaves the path box as it was.
  WithDbcWindow([&](DbcWindow& dbc) {
    Click(dbc, "PushButton5");
    EXPECT_EQ(dbc.path_box().text(), "/elsewhere/other.dbc");
  });
}

TEST_F(DataSourceWindowTest, TestConnectionSaysWhetherTheDataSourceCanBeReached) {
  Start();
  Click(form1(), "PushButton3");  // the container kind with no path
  Type(folder_box(), empty_folder());
  Click(form1(), "PushButton3");
  Type(folder_box(), samples());
  Click(form1(), "PushButton3");
  const auto messages = toolkit_.messages();
  ASSERT_EQ(messages.size(), 3u);
  EXPECT_EQ(messages[0].text, "Could not connect.");
  EXPECT_EQ(messages[1].text, "Could not connect.");
  EXPECT_EQ(messages[2].text, "Connection successful.");
  for (const auto& m : messages) {
    EXPECT_EQ(m.title, "Quillon");
    EXPECT_EQ(m.buttons, MessageButtons::kOk);
    EXPECT_EQ(m.icon, MessageIcon::kNone);
  }
  EXPECT_FALSE(quillon::IsBusyPointer(form1()));
  EXPECT_EQ(form1().main_window(), nullptr);
}

TEST_F(DataSourceWindowTest, NextGoesOnOnlyWithAUsableDataSourceAndSaysNothingOtherwise) {
  Start();
  Click(form1(), "PushButton2");
  Type(folder_box(), empty_folder());
  Click(form1(), "PushButton2");
  EXPECT_TRUE(form1().isVisible());
  EXPECT_EQ(form1().main_window(), nullptr);
  EXPECT_TRUE(toolkit_.shown.empty());

  Click(form1(), "PushButton6");
  Click(form1(), "PushButton2");
  EXPECT_FALSE(form1().isVisible());
  ASSERT_NE(form1().main_window(), nullptr);
  EXPECT_TRUE(form2().isVisible());
  EXPECT_EQ(form2().TableCount(), 3);
  EXPECT_TRUE(toolkit_.shown.empty());
}

TEST_F(DataSourceWindowTest, ClosingEitherWindowEndsTheProgram) {
  // The data source window, while the main window is loaded and hidden.
  Store(keys::kFreeTableFolder, samples());
  Start();
  Click(form2(), "PushButton5");  // "< Back"
  EXPECT_TRUE(form1().isVisible());
  form1().close();
  EXPECT_EQ(ends_, 1);
  EXPECT_TRUE(form1().closing());
  EXPECT_FALSE(form1().isVisible());
  EXPECT_FALSE(form2().isVisible());

  // The main window, while the data source window is hidden.
  Start();
  ASSERT_TRUE(form2().isVisible());
  form2().close();
  EXPECT_EQ(ends_, 2);
  EXPECT_TRUE(form1().closing());
  EXPECT_TRUE(form2().Closing());
  EXPECT_FALSE(form1().isVisible());
  EXPECT_FALSE(form2().isVisible());
}

}  // namespace
