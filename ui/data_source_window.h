// The data source window (Form1): the first window of the program, where the
// user names the folder of free tables or, through the DBC selection window,
// a database container. It holds the current data source for the whole
// program (DataSourceView) and owns the main window.
//
//   [                     Help  PushButton1                      ]
//   +- FoxPro Login  Frame1 --------------------------------------+
//   | Folder containing DBF/s:  [Text2                  ] [...]   |
//   | [Load Sample/Example Database] [Test Connection]   [dbc]    |
//   +-------------------------------------------------------------+
//   [                     Next >  PushButton2                    ]
//
// Its load does the program-wide start-up (skin, title, application title,
// pointer picture), restores the last data source and, when that source is
// usable, goes straight on to the main window and stays hidden. The window
// lives until the program ends; closing it, or the main window, ends the
// program.
#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <string>

#include "access/foxpro_module.h"
#include "base/toolkit.h"
#include "shell/skin.h"

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quillon {

class MainWindow;
class PointerRule;

class DataSourceWindow : public QWidget, public DataSourceView {
  Q_OBJECT

 public:
  static constexpr char kModule[] = "Form1";
  static constexpr char kHelp[] =
      "Make sure FoxPro is closed while using this application.\r\n\r\n"
      "This program may not be able to find and replace within a field with a Text data type.";
  static constexpr char kBrowsePrompt[] = "Please select folder:";
  static constexpr char kConnected[] = "Connection successful.";
  static constexpr char kNotConnected[] = "Could not connect.";

  // Builds the window and runs its load. `toolkit` is borrowed and serves
  // every window of the program; `program_folder` is where the skin, the
  // pointer file and the sample folder are looked for (normally
  // ProgramFolder()). `end_program` is called once when the program ends
  // (closing this window or the main window); by default it leaves the event
  // loops of the application.
  DataSourceWindow(Toolkit& toolkit, std::string program_folder, std::function<void()> end_program = {});
  ~DataSourceWindow() override;

  // The current data source: its kind (OptionDBC1), the container's path
  // (DBCPath1) and the folder box's text.
  bool OptionDBC1() const { return option_dbc1_; }
  std::string DBCPath1() const { return dbc_path1_; }
  std::string FolderText() const;
  DataSource Current() const override;
  // Written by this window and the DBC selection window.
  void SetOptionDBC1(bool dbc) { option_dbc1_ = dbc; }
  void SetDBCPath1(std::string path) { dbc_path1_ = std::move(path); }

  // The main window, or nullptr until it is first shown.
  MainWindow* main_window() const { return main_window_.get(); }

  // Ends the program: hides both windows, marks the program as closing (a
  // run under way stops at its next field) and calls `end_program`. Only the
  // first call does anything.
  void EndProgram();
  bool closing() const { return closing_; }

  PointerRule& pointer_rule() { return *pointer_rule_; }

  // The handlers; all but PushButton3_Click carry the error trap.
  void PushButton1_Click();   // "Help"
  void PushButton2_Click();   // "Next >"
  void PushButton3_Click();   // "Test Connection", with its own failure path
  void PushButton4_Click();   // "..."
  void PushButton6_Click();   // "Load Sample/Example Database"
  void PushButton12_Click();  // "dbc"

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  void Form_Load();
  // Shows the main window, creating and loading it the first time.
  void ShowMainWindow();
  void Text2_Change();

  Toolkit& toolkit_;
  const std::string program_folder_;
  std::function<void()> end_program_;
  bool option_dbc1_ = false;
  std::string dbc_path1_;
  bool closing_ = false;
  Skin skin_;  // SkinFramework1

  QPushButton* help_ = nullptr;
  QGroupBox* frame1_ = nullptr;
  QLabel* label1_ = nullptr;
  QLineEdit* text2_ = nullptr;
  QPushButton* browse_ = nullptr;
  QPushButton* sample_ = nullptr;
  QPushButton* test_ = nullptr;
  QPushButton* dbc_ = nullptr;
  QPushButton* next_ = nullptr;
  PointerRule* pointer_rule_ = nullptr;

  std::unique_ptr<MainWindow> main_window_;
};

}  // namespace quillon
