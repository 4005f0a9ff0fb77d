// The DBC selection window (Form4, "Advanced Options"): the user names a
// database container file. The path is remembered in the setting DBCFile as it
// is typed; "OK" switches the data source window to that database, "Cancel"
// switches it back to the folder of free tables.
//
//   +- Advanced Option  Frame2 -----------------------------------+
//   | DBC File:  [Text1                                  ] [...]   |
//   +--------------------------------------------------------------+
//   [        OK  PushButton1        ] [      Cancel  PushButton2    ]
//
// Opened modal by the data source window's "dbc" button, a new window each
// time. Closing it from its title bar leaves the data source kind alone.
#pragma once

#include <QDialog>
#include <string>

#include "base/toolkit.h"

class QGroupBox;
class QLineEdit;
class QPushButton;

namespace quillon {

class DataSourceWindow;
class PointerRule;

class DbcWindow : public QDialog {
  Q_OBJECT

 public:
  static constexpr char kModule[] = "Form4";
  static constexpr char kCaption[] = "Advanced Options";
  static constexpr char kBrowseTitle[] = "Select Foxpro Database";
  static constexpr char kBrowseFilter[] = "Microsoft Database (*.dbc)|*.dbc|";
  // Read-only box ticked, Explorer style, long file names; neither the file
  // nor its folder needs to exist.
  static constexpr unsigned kBrowseFlags = 0x280001;

  // Builds the window and runs its load. `data_source` receives the choice;
  // it and `toolkit` are borrowed. `program_folder` is where the pointer
  // file is looked for.
  DbcWindow(DataSourceWindow& data_source, Toolkit& toolkit, const std::string& program_folder,
            QWidget* owner = nullptr);

  QLineEdit& path_box() { return *text1_; }

  // The handlers; each carries the error trap.
  void PushButton1_Click();  // "OK"
  void PushButton2_Click();  // "Cancel"
  void PushButton5_Click();  // "..."

 private:
  void BuildControls();
  void Form_Load(const std::string& program_folder);
  void Text1_Change();

  DataSourceWindow& data_source_;
  Toolkit& toolkit_;
  QGroupBox* frame2_ = nullptr;
  QLineEdit* text1_ = nullptr;
  QPushButton* browse_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
  PointerRule* pointer_rule_ = nullptr;
};

}  // namespace quillon
