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
  trap.Step(100, [&] { ResetBackColors(*this); });
  trap.Step(102, [&] { setWindowIcon(ApplicationIcon()); });
  trap.Step(104, [&] { pointer_rule_->LoadPicture(BesideFolder(program_folder, kPointerFile)); });
  trap.Step(106, [&] {
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
    trap.Step(100, [&] { data_source_.SetOptionDBC1(true); });
    trap.Step(102, [&] { data_source_.SetDBCPath1(text1_->text().toStdString()); });
    trap.Step(104, [&] { SaveSetting(settings::kFoxproOption, settings::kDBCKind); });
  }
  trap.Step(106, [&] { accept(); });
}

void DbcWindow::PushButton2_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton2_Click");
  trap.Step(100, [&] { SaveSetting(settings::kFoxproOption, settings::kFolderKind); });
  trap.Step(102, [&] { data_source_.SetOptionDBC1(false); });
  trap.Step(104, [&] { reject(); });
}

void DbcWindow::PushButton5_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton5_Click");
  FileDialogRequest request;
  std::string chosen;
  trap.Step(100, [&] { request.file_name.clear(); });
  trap.Step(102, [&] { request.flags = kBrowseFlags; });
  trap.Step(104, [&] { request.title = kBrowseTitle; });
  trap.Step(106, [&] { request.filter = kBrowseFilter; });
  trap.Step(108, [&] { chosen = toolkit_.ShowOpenDialog(request); });
  if (chosen.empty()) return;
  trap.Step(110, [&] { text1_->setText(QString::fromStdString(chosen)); });
}

}  // namespace quillon
