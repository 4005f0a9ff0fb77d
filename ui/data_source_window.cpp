#include "ui/data_source_window.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>

#include "base/app_title.h"
#include "base/error_report.h"
#include "base/program_folder.h"
#include "base/settings_store.h"
#include "shell/pointer.h"
#include "shell/window_helpers.h"
#include "ui/dbc_window.h"
#include "ui/main_window.h"
#include "ui/window_fonts.h"

namespace quillon {
namespace {

// The statements of Form_Load.
enum class FormLoadStep {
  kSkin = 100,
  kTitle = 102,
  kIcon = 104,
  kAppTitle = 106,
  kPointerPicture = 108,
  kContainerPath = 110,
  kFolder = 112,
  kKind = 114,
  kCheckSource = 116,
  kShowMainWindow = 118,
  kHide = 120,
  kShow = 122
};

// The statements of Text2_Change.
enum class FolderChangeStep { kSaveFolder = 100, kSaveKind = 102, kFolderKind = 104 };

// The statements of PushButton1_Click.
enum class HelpStep { kShowHelp = 100 };

// The statements of PushButton2_Click.
enum class NextStep { kCheckSource = 100, kShowMainWindow = 102, kHide = 104 };

// The statements of PushButton4_Click.
enum class BrowseStep { kAskFolder = 100, kShowFolder = 102 };

// The statements of PushButton6_Click.
enum class SamplesStep { kSaveKind = 100, kFolderKind = 102, kShowSamples = 104 };

// The statements of PushButton12_Click.
enum class ContainerStep { kShowWindow = 100 };

// Paths are kept as the platform's narrow strings; the settings store holds
// UTF-8 text.
std::string PathOf(const QString& text) { return text.toStdString(); }

}  // namespace

DataSourceWindow::DataSourceWindow(Toolkit& toolkit, std::string program_folder,
                                   std::function<void()> end_program)
    : toolkit_(toolkit), program_folder_(std::move(program_folder)), end_program_(std::move(end_program)) {
  if (!end_program_) end_program_ = [] { QCoreApplication::exit(0); };
  BuildControls();
  Form_Load();
}

DataSourceWindow::~DataSourceWindow() = default;

void DataSourceWindow::BuildControls() {
  setObjectName("Form1");
  resize(536, 175);

  help_ = MakeButton("PushButton1", "Help");
  frame1_ = new QGroupBox(QStringLiteral("FoxPro Login"));
  frame1_->setObjectName("Frame1");
  frame1_->setFont(BoxFont());
  label1_ = new QLabel(QStringLiteral("Folder containing DBF/s:"));
  label1_->setObjectName("Label1");
  label1_->setFont(BoxFont());
  text2_ = new QLineEdit;
  text2_->setObjectName("Text2");
  text2_->setFont(BoxFont());
  SelectAllOnFocus(*text2_);
  browse_ = MakeButton("PushButton4", "...");
  sample_ = MakeButton("PushButton6", "Load Sample/Example Database");
  test_ = MakeButton("PushButton3", "Test Connection");
  dbc_ = MakeButton("PushButton12", "dbc");
  next_ = MakeButton("PushButton2", "Next >");

  // "..." and "dbc" are the small buttons at the right, of one width.
  const int small = std::max(browse_->sizeHint().width(), dbc_->sizeHint().width());
  browse_->setFixedWidth(small);
  dbc_->setFixedWidth(small);

  auto* folder_row = new QHBoxLayout;
  folder_row->addWidget(label1_);
  folder_row->addWidget(text2_, 1);
  folder_row->addWidget(browse_);
  auto* button_row = new QHBoxLayout;
  button_row->addWidget(sample_, 3);
  button_row->addWidget(test_, 2);
  button_row->addWidget(dbc_);
  auto* rows = new QVBoxLayout(frame1_);
  rows->addLayout(folder_row);
  rows->addLayout(button_row);

  auto* column = new QVBoxLayout(this);
  column->addWidget(help_);
  column->addWidget(frame1_);
  column->addWidget(next_);

  setTabOrder(text2_, browse_);
  setTabOrder(browse_, test_);
  setTabOrder(test_, next_);
  setTabOrder(next_, help_);
  setTabOrder(help_, sample_);
  setTabOrder(sample_, dbc_);

  connect(help_, &QPushButton::clicked, this, &DataSourceWindow::PushButton1_Click);
  connect(next_, &QPushButton::clicked, this, &DataSourceWindow::PushButton2_Click);
  connect(test_, &QPushButton::clicked, this, &DataSourceWindow::PushButton3_Click);
  connect(browse_, &QPushButton::clicked, this, &DataSourceWindow::PushButton4_Click);
  connect(sample_, &QPushButton::clicked, this, &DataSourceWindow::PushButton6_Click);
  connect(dbc_, &QPushButton::clicked, this, &DataSourceWindow::PushButton12_Click);
  connect(text2_, &QLineEdit::textChanged, this, &DataSourceWindow::Text2_Change);

  pointer_rule_ = new PointerRule(*this);
}

void DataSourceWindow::Form_Load() {
  ErrorTrap trap(toolkit_, kModule, "Form_Load");
  trap.Step(FormLoadStep::kSkin, [&] { ApplySkin(*this, skin_, program_folder_); });
  trap.Step(FormLoadStep::kTitle, [&] { setWindowTitle(QString::fromUtf8(kProductName)); });
  trap.Step(FormLoadStep::kIcon, [&] { setWindowIcon(ApplicationIcon()); });
  trap.Step(FormLoadStep::kAppTitle, [&] { SetAppTitle(); });
  trap.Step(FormLoadStep::kPointerPicture,
            [&] { pointer_rule_->LoadPicture(BesideFolder(program_folder_, kPointerFile)); });
  trap.Step(FormLoadStep::kContainerPath, [&] {
    dbc_path1_ = PathOf(QString::fromStdString(GetSetting(settings::kDBCFile, settings::kDBCFileDefault)));
  });
  // A non-empty folder is a change of the box: its rule stores the folder
  // kind before the kind is read below.
  trap.Step(FormLoadStep::kFolder, [&] {
    text2_->setText(
        QString::fromStdString(GetSetting(settings::kFreeTableFolder, settings::kFreeTableFolderDefault)));
  });
  trap.Step(FormLoadStep::kKind, [&] {
    option_dbc1_ =
        GetSetting(settings::kFoxproOption, settings::kFoxproOptionDefault) != settings::kFolderKind;
  });
  text2_->setFocus();
  bool usable = false;
  trap.Step(FormLoadStep::kCheckSource, [&] { usable = FoxPro(*this, toolkit_).IsValidFoxProConnection(); });
  // Should the main window fail to open, this window stays in view, so that
  // the program is never left running without a window.
  if (usable) usable = trap.Step(FormLoadStep::kShowMainWindow, [&] { ShowMainWindow(); });
  if (usable) {
    trap.Step(FormLoadStep::kHide, [&] { hide(); });
  } else {
    trap.Step(FormLoadStep::kShow, [&] { show(); });
  }
}

std::string DataSourceWindow::FolderText() const { return PathOf(text2_->text()); }

DataSource DataSourceWindow::Current() const {
  return DataSource{option_dbc1_ ? DataSourceKind::kDbc : DataSourceKind::kFreeTables, dbc_path1_,
                    FolderText()};
}

void DataSourceWindow::ShowMainWindow() {
  if (!main_window_) {
    main_window_ = std::make_unique<MainWindow>(*this, toolkit_, program_folder_);
  } else {
    main_window_->RefreshTableList();
  }
  main_window_->show();
}

void DataSourceWindow::EndProgram() {
  if (closing_) return;
  closing_ = true;
  if (main_window_) main_window_->hide();
  hide();
  end_program_();
}

void DataSourceWindow::closeEvent(QCloseEvent* event) {
  EndProgram();
  event->accept();
}

void DataSourceWindow::Text2_Change() {
  ErrorTrap trap(toolkit_, kModule, "Text2_Change");
  const QString text = text2_->text();
  trap.Step(FolderChangeStep::kSaveFolder,
            [&] { SaveSetting(settings::kFreeTableFolder, text.toStdString()); });
  if (text.isEmpty()) return;
  trap.Step(FolderChangeStep::kSaveKind,
            [&] { SaveSetting(settings::kFoxproOption, settings::kFolderKind); });
  trap.Step(FolderChangeStep::kFolderKind, [&] { option_dbc1_ = false; });
}

void DataSourceWindow::PushButton1_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton1_Click");
  trap.Step(HelpStep::kShowHelp, [&] { toolkit_.ShowMessage(kHelp); });
}

void DataSourceWindow::PushButton2_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton2_Click");
  bool usable = false;
  trap.Step(NextStep::kCheckSource, [&] { usable = FoxPro(*this, toolkit_).IsValidFoxProConnection(); });
  if (!usable) return;
  trap.Step(NextStep::kShowMainWindow, [&] { ShowMainWindow(); });
  trap.Step(NextStep::kHide, [&] { hide(); });
}

void DataSourceWindow::PushButton3_Click() {
  // Any failure here means the data source cannot be reached: it is said as
  // such, not as an error report.
  try {
    SetBusyPointer(*this, true);
    const bool usable = FoxPro(*this, toolkit_).IsValidFoxProConnection();
    toolkit_.ShowMessage(usable ? kConnected : kNotConnected);
    SetBusyPointer(*this, false);
  } catch (...) {
    toolkit_.ShowMessage(kNotConnected);
    SetBusyPointer(*this, false);
  }
}

void DataSourceWindow::PushButton4_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton4_Click");
  std::string folder;
  trap.Step(BrowseStep::kAskFolder, [&] { folder = toolkit_.BrowseForFolder(kBrowsePrompt, ""); });
  if (folder.empty()) return;
  trap.Step(BrowseStep::kShowFolder, [&] { text2_->setText(QString::fromStdString(folder)); });
}

void DataSourceWindow::PushButton6_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton6_Click");
  trap.Step(SamplesStep::kSaveKind, [&] { SaveSetting(settings::kFoxproOption, settings::kFolderKind); });
  trap.Step(SamplesStep::kFolderKind, [&] { option_dbc1_ = false; });
  trap.Step(SamplesStep::kShowSamples,
            [&] { text2_->setText(QString::fromStdString(BesideFolder(program_folder_, kSamplesFolder))); });
}

void DataSourceWindow::PushButton12_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton12_Click");
  trap.Step(ContainerStep::kShowWindow, [&] {
    DbcWindow window(*this, toolkit_, program_folder_, this);
    window.exec();
  });
}

}  // namespace quillon
