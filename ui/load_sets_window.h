// The Load Sets window (Form3): the user names a text file and the separator
// that splits each of its lines into find text and replace text; "Load"
// appends the file's sets to the main window's set list and closes the
// window. When some lines of the file are not sets, "Load" names them and
// asks whether to load the other sets without them; on No nothing is loaded
// and the window stays open.
//
//   File To Load:  [Text1                    ] [...]  PushButton16
//   Separator:     [Text2                    ] [?]    PushButton3
//                               [Load] PushButton1  [Cancel] PushButton2
//
// The separator is remembered in the setting "Form2.Text2" at every change.
// Controls carry their names as object names, so tests and the main window
// can find them.
#pragma once

#include <QDialog>
#include <string>

#include "base/toolkit.h"
#include "sets/set_list.h"

class QLineEdit;
class QPushButton;

namespace quillon {

class PointerRule;

class LoadSetsWindow : public QDialog {
  Q_OBJECT

 public:
  static constexpr char kModule[] = "Form3";
  static constexpr char kCaption[] = "Load Sets";
  static constexpr char kEmptySeparator[] = "You must enter separating character(s).";
  static constexpr char kNotFound[] = " not found.";
  static constexpr char kBrowseTitle[] = "Select Text File";
  static constexpr char kBrowseFilter[] = "Text Files (*.txt)|*.txt|";
  // The separator help of the "?" button, lines joined by CR LF.
  static const std::string& SeparatorHelp();

  // Builds the window and runs its load: colour step, application icon,
  // pointer picture from the cursor file in `program_folder`, separator from
  // the settings, empty file box. `sets` and `toolkit` are borrowed.
  LoadSetsWindow(SetList& sets, Toolkit& toolkit, const std::string& program_folder,
                 QWidget* owner = nullptr);

  QLineEdit& file_box() { return *text1_; }
  QLineEdit& separator_box() { return *text2_; }
  PointerRule& pointer_rule() { return *pointer_rule_; }

  // The handlers of the buttons; each carries the error trap.
  void PushButton1_Click();   // "Load"
  void PushButton2_Click();   // "Cancel"
  void PushButton3_Click();   // "?"
  void PushButton16_Click();  // "..."

 private:
  void BuildControls();
  void Form_Load(const std::string& program_folder);
  void Text2_Change();

  SetList& sets_;
  Toolkit& toolkit_;
  QLineEdit* text1_ = nullptr;
  QLineEdit* text2_ = nullptr;
  QPushButton* load_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* help_ = nullptr;
  QPushButton* browse_ = nullptr;
  PointerRule* pointer_rule_ = nullptr;
};

// "Load Sets" of the main window (PushButton12_Click): opens the Load Sets
// window over `owner` and waits until it closes. `program_folder` is where
// the pointer file is looked for (normally ProgramFolder()).
void LoadSets(QWidget* owner, SetList& sets, Toolkit& toolkit, const std::string& program_folder);

}  // namespace quillon
