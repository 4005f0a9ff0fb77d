#include "ui/dbc_window.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/error_report.h"
#include "base/program_folder.h"
#include "base/settings_store.h"
#include "shell/pointer.h"
#include "shell/window_helpers.h"
#include "ui/data_source_window.h"
#include "ui/window_fonts.h"

namespace quillon {
namespace {

// The statements of Form_Load.
enum class FormLoadStep { kBackColors = 100, kIcon = 102, kPointerPicture = 104, kContainerPath = 106 };

// The statements of PushButton1_Click.
enum class OkStep { kContainerKind = 100, kContainerPath = 102, kSaveKind = 104, kClose = 106 };

// The statements of PushButton2_Click.
enum class CancelStep { kSaveKind = 100, kFolderKind = 102, kClose = 104 };

// The statements of PushButton5_Click.
enum class BrowseStep {
  kFileName = 100,
  kFlags = 102,
  kTitle = 104,
  kFilter = 106,
  kAskFile = 108,
  kShowFile = 110
};

}  // namespace

DbcWindow::DbcWindow(DataSourceWindow& data_source, Toolkit& toolkit, const std::string& program_folder,
                     QWidget* owner)
    : QDialog(owner), data_source_(data_source), toolkit_(toolkit) {
  BuildControls();
  Form_Load(program_folder);
}

void DbcWindow::BuildControls() {
  setObjectName("Form4");
  setWindowTitle(QString::fromUtf8(kCaption));
  setModal(true);
  resize(536, 110);

  frame2_ = new QGroupBox(QStringLiteral("Advanced Option"));
  frame2_->setObjectName("Frame2");
  frame2_->setFont(BoxFont());
  auto* label1 = new QLabel(QStringLiteral("DBC File:"));
  label1->setObjectName("Label1");
  label1->setFont(BoxFont());
  text1_ = new QLineEdit;
  text1_->setObjectName("Text1");
  text1_->setFont(BoxFont());
  SelectAllOnFocus(*text1_);
  browse_ = MakeButton("PushButton5", "...");
  ok_ = MakeButton("PushButton1", "OK");
  cancel_ = MakeButton("PushButton2", "Cancel");

  auto* row = new QHBoxLayout(frame2_);
  row->addWidget(label1);
  row->addWidget(text1_, 1);
  row->addWidget(browse_);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(ok_);
  buttons->addWidget(cancel_);
  auto* column = new QVBoxLayout(this);
  column->addWidget(frame2_);
  column->addLayout(buttons);

  setTabOrder(text1_, browse_);
  setTabOrder(browse_, ok_);
  setTabOrder(ok_, cancel_);

  connect(ok_, &QPushButton::clicked, this, &DbcWindow::PushButton1_Click);
  connect(cancel_, &QPushButton::clicked, this, &DbcWindow::PushButton2_Click);
  connect(browse_, &QPushButton::clicked, this, &DbcWindow::PushButton5_Click);
  connect(text1_, &QLineEdit::textChanged, this, &DbcWindow::Text1_Change);

  pointer_rule_ = new PointerRule(*this);
}

void DbcWindow::Form_Load(const std::string& program_folder) {
  ErrorTrap trap(toolkit_, kModule, "Form_Load");
  trap.Step(FormLoadStep::kBackColors, [&] { ResetBackColors(*this); });
  trap.Step(FormLoadStep::kIcon, [&] { setWindowIcon(ApplicationIcon()); });
  trap.Step(FormLoadStep::kPointerPicture,
            [&] { pointer_rule_->LoadPicture(BesideFolder(program_folder, kPointerFile)); });
  trap.Step(FormLoadStep::kContainerPath, [&] {
    text1_->setText(QString::fromStdString(GetSetting(settings::kDBCFile, settings::kDBCFileDefault)));
  });
  text1_->setFocus();
}

void DbcWindow::Text1_Change() {
  // Stored at every keystroke, without an error trap: a store that cannot be
  // written must not interrupt typing with a box per keystroke. "OK" still
  // takes the path from the box.
  try {
    SaveSetting(settings::kDBCFile, text1_->text().toStdString());
  } catch (const std::exception&) {
  }
}

void DbcWindow::PushButton1_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton1_Click");
  if (!text1_->text().isEmpty()) {
    trap.Step(OkStep::kContainerKind, [&] { data_source_.SetOptionDBC1(true); });
    trap.Step(OkStep::kContainerPath, [&] { data_source_.SetDBCPath1(text1_->text().toStdString()); });
    trap.Step(OkStep::kSaveKind, [&] { SaveSetting(settings::kFoxproOption, settings::kDBCKind); });
  }
  trap.Step(OkStep::kClose, [&] { accept(); });
}

void DbcWindow::PushButton2_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton2_Click");
  trap.Step(CancelStep::kSaveKind, [&] { SaveSetting(settings::kFoxproOption, settings::kFolderKind); });
  trap.Step(CancelStep::kFolderKind, [&] { data_source_.SetOptionDBC1(false); });
  trap.Step(CancelStep::kClose, [&] { reject(); });
}

void DbcWindow::PushButton5_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton5_Click");
  FileDialogRequest request;
  std::string chosen;
  trap.Step(BrowseStep::kFileName, [&] { request.file_name.clear(); });
  trap.Step(BrowseStep::kFlags, [&] { request.flags = kBrowseFlags; });
  trap.Step(BrowseStep::kTitle, [&] { request.title = kBrowseTitle; });
  trap.Step(BrowseStep::kFilter, [&] { request.filter = kBrowseFilter; });
  trap.Step(BrowseStep::kAskFile, [&] { chosen = toolkit_.ShowOpenDialog(request); });
  if (chosen.empty()) return;
  trap.Step(BrowseStep::kShowFile, [&] { text1_->setText(QString::fromStdString(chosen)); });
}

}  // namespace quillon
