// The program's windows as a user meets them, for tests under
// QT_QPA_PLATFORM=offscreen: a program folder of its own with a copy of the
// sample tables, an empty settings store, the change log in a scratch folder
// and the scripted toolkit answering every box, prompt and dialog.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QEnterEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/settings_store.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/gui_support.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/settings_sandbox.h"
#include "tests/support/test_support.h"
#include "ui/data_source_window.h"
#include "ui/dbc_window.h"
#include "ui/main_window.h"

namespace ui_testing {

namespace fs = std::filesystem;

// A control of `window` by its name; fails the test when there is none.
template <typename Control = QWidget>
Control& Find(QWidget& window, const char* name) {
  auto* control = window.findChild<Control*>(QString::fromLatin1(name));
  if (control == nullptr) throw std::runtime_error(std::string("no control named ") + name);
  return *control;
}

inline void Click(QWidget& window, const char* name) {
  QTest::mouseClick(&Find<QPushButton>(window, name), Qt::LeftButton);
}

// Replaces the text of a box by typing, key by key, as the user does.
inline void Type(QLineEdit& box, const std::string& text) {
  box.selectAll();
  QTest::keyClick(&box, Qt::Key_Delete);
  QTest::keyClicks(&box, QString::fromStdString(text));
}

// The mouse entering `over` and moving over it, reported as Qt does.
inline void MoveOver(QWidget& over) {
  const QPoint local = over.rect().center();
  QEnterEvent entered(local, local, over.mapToGlobal(local));
  QApplication::sendEvent(&over, &entered);
  QMouseEvent move(QEvent::MouseMove, local, over.mapToGlobal(local), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(&over, &move);
}

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() {
    fs::create_directory(samples());
    for (const auto& entry : fs::directory_iterator(QUILLON_SAMPLES)) {
      const std::string ext = entry.path().extension().string();
      if (ext == ".dbf" || ext == ".fpt")
        fs::copy_file(entry.path(), fs::path(samples()) / entry.path().filename());
    }
  }

  // Starts the program as main() does: creates the data source window, whose
  // load does the rest.
  quillon::DataSourceWindow& Start() {
    form1_.reset();
    form1_ = std::make_unique<quillon::DataSourceWindow>(toolkit_, program_folder(), [this] { ++ends_; });
    return *form1_;
  }

  quillon::DataSourceWindow& form1() { return *form1_; }
  quillon::MainWindow& form2() {
    if (form1_->main_window() == nullptr) throw std::runtime_error("the main window was never shown");
    return *form1_->main_window();
  }

  std::string program_folder() const { return program_dir_.path().string(); }
  // The copy of the sample tables beside the program, joined with the
  // platform's separator as the program joins it.
  std::string samples() const { return program_dir_.Sub("Samples"); }
  std::string sample(const std::string& table) const { return samples() + "/" + table + ".dbf"; }
  // A folder without tables.
  std::string empty_folder() const { return other_.path().string(); }

  static std::string Setting(const char* key) { return quillon::GetSetting(key, "<missing>"); }
  static void Store(const char* key, const std::string& value) { quillon::SaveSetting(key, value); }

  // Texts of the messages shown so far; forgets them.
  std::vector<std::string> TakeMessages() {
    std::vector<std::string> texts;
    for (const auto& m : toolkit_.messages()) texts.push_back(m.text);
    toolkit_.shown.clear();
    return texts;
  }

  // Presses "dbc" and runs `act` on the DBC selection window while it is
  // open; the window is cancelled from its title bar afterwards if `act` left
  // it open.
  void WithDbcWindow(const std::function<void(quillon::DbcWindow&)>& act) {
    bool opened = false;
    QTimer::singleShot(0, [&] {
      for (QWidget* top : QApplication::topLevelWidgets()) {
        auto* window = qobject_cast<quillon::DbcWindow*>(top);
        if (window == nullptr || !window->isVisible()) continue;
        opened = true;
        act(*window);
        if (window->isVisible()) window->close();
      }
    });
    Click(form1(), "PushButton12");
    EXPECT_TRUE(opened) << "the DBC selection window did not open";
  }

  // The live records of a table as python3-dbfread reads them (JSON).
  static std::string Dbfread(const std::string& path) {
    return testing_support::RunPythonTool("read_table.py", {"dbfread", path});
  }

  // The change log's lines without their date and time.
  std::vector<std::string> LogEntries() const {
    std::vector<std::string> entries;
    const std::string path = log_dir_.Sub("backups.log");
    if (!fs::exists(path)) return entries;
    for (const std::string& line : engine_testing::SplitLines(testing_support::ReadFileBytes(path))) {
      const size_t start = line.find("] - ") + 4;
      entries.push_back(line.substr(start, line.size() - start - 1));  // without the CR
    }
    return entries;
  }

  testing_support::WithApplication app_;
  testing_support::SettingsSandbox settings_;
  testing_support::TempDir program_dir_;
  testing_support::TempDir other_;
  testing_support::TempDir log_dir_;
  engine_testing::TempVariable temp_{log_dir_.path().string()};
  quillon::ScriptedToolkit toolkit_;
  // How often the program was ended.
  int ends_ = 0;
  std::unique_ptr<quillon::DataSourceWindow> form1_;
};

}  // namespace ui_testing
