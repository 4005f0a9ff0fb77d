#include "ui/load_sets_window.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "base/error_report.h"
#include "base/file_helpers.h"
#include "base/program_folder.h"
#include "base/settings_store.h"
#include "sets/set_file.h"
#include "shell/pointer.h"
#include "shell/window_helpers.h"

namespace quillon {
namespace {

// The statements of Form_Load.
enum class LoadSetsFormLoadStep {
  kBackColors = 100,
  kIcon = 102,
  kPointerRule = 104,
  kPointerPicture = 106,
  kSeparator = 108,
  kClearFile = 110
};

// The statements of PushButton1_Click.
enum class LoadStep {
  kReadSeparator = 100,
  kEmptySeparator = 102,
  kReadFileName = 104,
  kNotFound = 106,
  kReadFile = 108,
  kParse = 110,
  kBadLines = 112,
  kAppend = 114,
  kClose = 116
};

// The statements of PushButton2_Click.
enum class CancelStep { kClose = 100 };

// The statements of PushButton3_Click.
enum class SeparatorHelpStep { kShowHelp = 100 };

// The statements of PushButton16_Click.
enum class BrowseStep { kRequest = 100, kAskFileName = 102, kShowFileName = 104 };

// The statements of PushButton12_Click.
enum class LoadSetsStep { kShowWindow = 100 };

bool IsBlank(const std::string& text) { return text.find_first_not_of(' ') == std::string::npos; }

}  // namespace

const std::string& LoadSetsWindow::SeparatorHelp() {
  static const std::string help =
      "If the text file you are loading looks like this:\r\n"
      "\r\n"
      "hi::hello\r\n"
      "peter::pete\r\n"
      "\r\n"
      "then use :: as a Separator\r\n"
      "\r\n"
      "If the text file you are loading looks like this:\r\n"
      "\r\n"
      "hi,hello\r\n"
      "peter,pete\r\n"
      "\r\n"
      "then use , as a Separator\r\n"
      "\r\n"
      "NOTE: The 'Save Sets' feature in this software always saves in this format:\r\n"
      "\r\n"
      "hi::hello\r\n"
      "peter::pete";
  return help;
}

LoadSetsWindow::LoadSetsWindow(SetList& sets, Toolkit& toolkit, const std::string& program_folder,
                               QWidget* owner)
    : QDialog(owner), sets_(sets), toolkit_(toolkit) {
  BuildControls();
  Form_Load(program_folder);
}

void LoadSetsWindow::BuildControls() {
  setObjectName("Form3");
  setWindowTitle(kCaption);

  auto* label1 = new QLabel("File To Load:");
  label1->setObjectName("Label1");
  text1_ = new QLineEdit;
  text1_->setObjectName("Text1");
  SelectAllOnFocus(*text1_);
  browse_ = new QPushButton("...");
  browse_->setObjectName("PushButton16");
  browse_->setAutoDefault(false);

  auto* label2 = new QLabel("Separator:");
  label2->setObjectName("Label2");
  text2_ = new QLineEdit;
  text2_->setObjectName("Text2");
  help_ = new QPushButton("?");
  help_->setObjectName("PushButton3");
  help_->setAutoDefault(false);

  load_ = new QPushButton("Load");
  load_->setObjectName("PushButton1");
  load_->setDefault(true);
  cancel_ = new QPushButton("Cancel");
  cancel_->setObjectName("PushButton2");
  cancel_->setAutoDefault(false);

  auto* grid = new QGridLayout(this);
  grid->addWidget(label1, 0, 0);
  grid->addWidget(text1_, 0, 1);
  grid->addWidget(browse_, 0, 2);
  grid->addWidget(label2, 1, 0);
  grid->addWidget(text2_, 1, 1);
  grid->addWidget(help_, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  buttons->addWidget(load_);
  buttons->addWidget(cancel_);
  grid->addLayout(buttons, 2, 0, 1, 3);
  grid->setColumnMinimumWidth(1, 280);

  // Label1 lets a click on it put the cursor into the file box.
  label1->setBuddy(text1_);
  label2->setBuddy(text2_);

  connect(load_, &QPushButton::clicked, this, &LoadSetsWindow::PushButton1_Click);
  connect(cancel_, &QPushButton::clicked, this, &LoadSetsWindow::PushButton2_Click);
  connect(help_, &QPushButton::clicked, this, &LoadSetsWindow::PushButton3_Click);
  connect(browse_, &QPushButton::clicked, this, &LoadSetsWindow::PushButton16_Click);
  connect(text2_, &QLineEdit::textChanged, this, &LoadSetsWindow::Text2_Change);
}

void LoadSetsWindow::Form_Load(const std::string& program_folder) {
  ErrorTrap trap(toolkit_, kModule, "Form_Load");
  trap.Step(LoadSetsFormLoadStep::kBackColors, [&] { ResetBackColors(*this); });
  trap.Step(LoadSetsFormLoadStep::kIcon, [&] { setWindowIcon(ApplicationIcon()); });
  trap.Step(LoadSetsFormLoadStep::kPointerRule, [&] { pointer_rule_ = new PointerRule(*this); });
  trap.Step(LoadSetsFormLoadStep::kPointerPicture, [&] {
    if (pointer_rule_ != nullptr) pointer_rule_->LoadPicture(BesideFolder(program_folder, kPointerFile));
  });
  trap.Step(LoadSetsFormLoadStep::kSeparator, [&] {
    text2_->setText(QString::fromStdString(
        GetSetting(settings::kLoadSetsSeparator, settings::kLoadSetsSeparatorDefault)));
  });
  trap.Step(LoadSetsFormLoadStep::kClearFile, [&] { text1_->clear(); });
}

void LoadSetsWindow::Text2_Change() {
  // Stored at every keystroke. This handler has no error trap: a store that
  // cannot be written must not interrupt typing with a box per keystroke, and
  // the separator in the box is still used for this load.
  try {
    SaveSetting(settings::kLoadSetsSeparator, text2_->text().toStdString());
  } catch (const std::exception&) {
  }
}

void LoadSetsWindow::PushButton1_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton1_Click");
  std::string separator;
  std::string file;
  std::string text;
  ParsedSets parsed;
  trap.Step(LoadStep::kReadSeparator, [&] { separator = text2_->text().toStdString(); });
  if (separator.empty()) {
    trap.Step(LoadStep::kEmptySeparator, [&] { toolkit_.ShowMessage(kEmptySeparator); });
    return;
  }
  trap.Step(LoadStep::kReadFileName, [&] { file = text1_->text().toStdString(); });
  if (IsBlank(file)) return;
  if (!FileExists(file)) {
    trap.Step(LoadStep::kNotFound, [&] { toolkit_.ShowMessage(text1_->text().toStdString() + kNotFound); });
    return;
  }
  trap.Step(LoadStep::kReadFile, [&] { text = ReadTextFile(file); });
  trap.Step(LoadStep::kParse, [&] { parsed = ParseSets(text, separator); });
  if (!parsed.bad_lines.empty()) {
    // Lines that are not sets (a wrong separator, a file that is not a set
    // file) are named, and the user decides: the file's sets without them,
    // or nothing. Nothing loaded, the window stays open for another file or
    // separator.
    bool load = false;
    trap.Step(LoadStep::kBadLines, [&] {
      const std::string lines = BadSetLinesText(file, parsed.bad_lines, separator, "\r\n");
      if (parsed.sets.empty()) {
        toolkit_.ShowMessage(lines + "\r\n\r\nThe file holds no set: nothing was loaded.");
        return;
      }
      const std::string question = lines + "\r\n\r\nLoad the file's " +
                                   toolkit_.Counted(static_cast<int64_t>(parsed.sets.size()), "set", "sets") +
                                   " and skip these lines?";
      load = toolkit_.ShowMessage(question, MessageButtons::kYesNo) == MessageAnswer::kYes;
    });
    if (!load) return;
  }
  for (const ReplaceSet& set : parsed.sets) {
    // A full list would refuse every further set alike: one report is enough.
    if (!trap.Step(LoadStep::kAppend, [&] { sets_.Append(set); })) break;
  }
  trap.Step(LoadStep::kClose, [&] { accept(); });
}

void LoadSetsWindow::PushButton2_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton2_Click");
  trap.Step(CancelStep::kClose, [&] { reject(); });
}

void LoadSetsWindow::PushButton3_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton3_Click");
  trap.Step(SeparatorHelpStep::kShowHelp, [&] { toolkit_.ShowMessage(SeparatorHelp()); });
}

void LoadSetsWindow::PushButton16_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton16_Click");
  FileDialogRequest request;
  std::string chosen;
  trap.Step(BrowseStep::kRequest, [&] {
    request.file_name = "";
    request.title = kBrowseTitle;
    request.filter = kBrowseFilter;
  });
  trap.Step(BrowseStep::kAskFileName, [&] { chosen = toolkit_.ShowOpenDialog(request); });
  if (chosen.empty()) return;
  trap.Step(BrowseStep::kShowFileName, [&] { text1_->setText(QString::fromStdString(chosen)); });
}

void LoadSets(QWidget* owner, SetList& sets, Toolkit& toolkit, const std::string& program_folder) {
  ErrorTrap trap(toolkit, SetList::kModule, "PushButton12_Click");
  trap.Step(LoadSetsStep::kShowWindow, [&] {
    LoadSetsWindow window(sets, toolkit, program_folder, owner);
    window.exec();
  });
}

}  // namespace quillon
