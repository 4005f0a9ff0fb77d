#include "ui/main_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <climits>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <stdexcept>

#include "base/app_title.h"
#include "base/error.h"
#include "base/error_report.h"
#include "base/program_folder.h"
#include "base/settings_store.h"
#include "engine/change_log.h"
#include "engine/code_not_run.h"
#include "engine/undo_run.h"
#include "shell/pointer.h"
#include "shell/window_helpers.h"
#include "ui/combo_set_list.h"
#include "ui/data_source_window.h"
#include "ui/elided_label.h"
#include "ui/load_sets_window.h"
#include "ui/window_fonts.h"

namespace quillon {
namespace {

// The statements of Form_Load.
enum class FormLoadStep {
  kBackColors = 100,
  kTitle = 102,
  kIcon = 104,
  kPointerPicture = 106,
  kListTables = 108,
  kTickAll = 110,
  kTab = 112,
  kFindText = 114,
  kReplaceText = 116
};

// The statements of RefreshTableList.
enum class RefreshTableListStep { kClear = 100, kListTables = 102, kTickAll = 104 };

// The statements of PushButton8_Click.
enum class TickAllStep { kTickAll = 100 };

// The statements of PushButton9_Click.
enum class UntickAllStep { kUntickAll = 100 };

// The statements of PushButton5_Click.
enum class BackStep { kShowDataSource = 100, kHide = 102 };

// The status line of a run is refreshed at most this often within a table.
constexpr qint64 kProgressIntervalMs = 200;

// What a list or drop-down list says when asked for a row it does not have.
constexpr char kNoSuchRow[] = "Invalid property array index";

QLabel* MakeLabel(const char* name, const char* caption) {
  auto* label = new QLabel(QString::fromUtf8(caption));
  label->setObjectName(name);
  label->setFont(BoxFont());
  return label;
}

void CheckRow(int row, int count) {
  if (row < 0 || row >= count) throw Error(ErrorKind::kUsage, kNoSuchRow);
}

// Settings that mirror a box or the tab are written at every change, without
// an error trap: a store that cannot be written must not interrupt typing
// with a box per keystroke, and the run still reads the boxes themselves.
// Whether the user was told, in this session, that settings cannot be stored.
bool settings_failure_told = false;

}  // namespace

MainWindow::MainWindow(DataSourceWindow& data_source, Toolkit& toolkit, std::string program_folder)
    : data_source_(data_source), toolkit_(toolkit), program_folder_(std::move(program_folder)) {
  BuildControls();
  Form_Load(program_folder_);
}

MainWindow::~MainWindow() = default;

QWidget* MainWindow::BuildSingleTab() {
  auto* page = new QWidget;
  page->setObjectName("Tab0");
  text1_ = new QLineEdit;
  text1_->setObjectName("Text1");
  text1_->setFont(BoxFont());
  text2_ = new QLineEdit;
  text2_->setObjectName("Text2");
  text2_->setFont(BoxFont());
  auto* column = new QVBoxLayout(page);
  column->addWidget(MakeLabel("Label2", " Find what (exact case):"));
  column->addWidget(text1_);
  column->addWidget(MakeLabel("Label3", " Replace with:"));
  column->addWidget(text2_);
  column->addStretch();
  return page;
}

QWidget* MainWindow::BuildSetsTab() {
  auto* page = new QWidget;
  page->setObjectName("Tab1");
  combo1_ = new QComboBox;
  combo1_->setObjectName("Combo1");
  combo1_->setFont(BoxFont());
  combo2_ = new QComboBox;
  combo2_->setObjectName("Combo2");
  combo2_->setFont(BoxFont());
  add_set_ = MakeButton("PushButton10", "Add Set");
  load_sets_ = MakeButton("PushButton12", "Load Sets");
  save_sets_ = MakeButton("PushButton13", "Save Sets");
  remove_set_ = MakeButton("PushButton7", "Remove Selected Set");
  clear_sets_ = MakeButton("PushButton11", "Clear All Sets");

  auto* first_row = new QHBoxLayout;
  first_row->addWidget(add_set_);
  first_row->addWidget(load_sets_);
  first_row->addWidget(save_sets_);
  auto* second_row = new QHBoxLayout;
  second_row->addWidget(remove_set_);
  second_row->addWidget(clear_sets_);
  auto* column = new QVBoxLayout(page);
  column->addWidget(MakeLabel("Label4", " Find what (exact case):"));
  column->addWidget(combo1_);
  column->addWidget(MakeLabel("Label5", " Replace with:"));
  column->addWidget(combo2_);
  column->addLayout(first_row);
  column->addLayout(second_row);
  return page;
}

void MainWindow::BuildControls() {
  setObjectName("Form2");
  resize(520, 540);

  frame1_ = new QGroupBox(QStringLiteral("Select tables to find and replace within"));
  frame1_->setObjectName("Frame1");
  frame1_->setFont(BoxFont());
  list1_ = new QListWidget;
  list1_->setObjectName("List1");
  list1_->setFont(BoxFont());
  auto* frame_column = new QVBoxLayout(frame1_);
  frame_column->addWidget(list1_);

  select_all_ = MakeButton("PushButton8", "Select All");
  deselect_all_ = MakeButton("PushButton9", "Deselect All");
  auto* tick_row = new QHBoxLayout;
  tick_row->addWidget(select_all_);
  tick_row->addWidget(deselect_all_);

  tab_control1_ = new QTabWidget;
  tab_control1_->setObjectName("TabControl1");
  tab_control1_->setFont(BoxFont());
  tab_control1_->addTab(BuildSingleTab(), QStringLiteral("Find and replace"));
  tab_control1_->addTab(BuildSetsTab(), QStringLiteral("Multiple find and replace sets"));

  // Where a run is: shown only while one is under way, in space kept for it
  // so that the buttons below do not move.
  run_row_ = new QWidget;
  run_row_->setObjectName("RunStatusRow");
  run_status_ = new ElidedLabel;
  run_status_->setObjectName("RunStatus");
  run_status_->setFont(BoxFont());
  run_progress_ = new QProgressBar;
  run_progress_->setObjectName("RunProgress");
  run_progress_->setTextVisible(false);
  // The stretch factors alone share the row, two thirds for the text: the
  // Windows styles' progress bar would otherwise ask for most of it and
  // leave the text a few letters wide.
  run_progress_->setSizePolicy(QSizePolicy::Ignored, run_progress_->sizePolicy().verticalPolicy());
  auto* run_layout = new QHBoxLayout(run_row_);
  run_layout->setContentsMargins(0, 0, 0, 0);
  run_layout->addWidget(run_status_, 2);
  run_layout->addWidget(run_progress_, 1);
  QSizePolicy keep_space = run_row_->sizePolicy();
  keep_space.setRetainSizeWhenHidden(true);
  run_row_->setSizePolicy(keep_space);
  run_row_->hide();

  start_ = MakeButton("PushButton1", "Start Replacing");
  undo_ = MakeButton("UndoLastRun", "Undo Last Run");
  back_ = MakeButton("PushButton5", "< Back");
  auto* start_row = new QHBoxLayout;
  start_row->addWidget(start_, 3);
  start_row->addWidget(undo_, 1);

  auto* column = new QVBoxLayout(this);
  column->addWidget(frame1_, 1);
  column->addLayout(tick_row);
  column->addWidget(tab_control1_);
  column->addWidget(run_row_);
  column->addLayout(start_row);
  column->addWidget(back_);

  QWidget* order[] = {list1_,      select_all_, deselect_all_, tab_control1_, text1_,     text2_,
                      combo1_,     combo2_,     add_set_,      load_sets_,    save_sets_, remove_set_,
                      clear_sets_, start_,      undo_,         back_};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);

  set_list_ = &(new ComboSetList(*combo1_, *combo2_, toolkit_))->set_list();
  connect(add_set_, &QPushButton::clicked, this, [this] { set_list_->AddSet(); });
  connect(remove_set_, &QPushButton::clicked, this, [this] { set_list_->RemoveSelectedSet(); });
  connect(clear_sets_, &QPushButton::clicked, this, [this] { set_list_->ClearAllSets(); });
  connect(save_sets_, &QPushButton::clicked, this, [this] { set_list_->SaveSets(); });
  connect(load_sets_, &QPushButton::clicked, this,
          [this] { LoadSets(this, *set_list_, toolkit_, program_folder_); });

  connect(start_, &QPushButton::clicked, this, &MainWindow::PushButton1_Click);
  connect(undo_, &QPushButton::clicked, this, &MainWindow::UndoLastRun_Click);
  connect(back_, &QPushButton::clicked, this, &MainWindow::PushButton5_Click);
  connect(select_all_, &QPushButton::clicked, this, &MainWindow::PushButton8_Click);
  connect(deselect_all_, &QPushButton::clicked, this, &MainWindow::PushButton9_Click);
  connect(tab_control1_, &QTabWidget::currentChanged, this, &MainWindow::TabControl1_Click);
  connect(text1_, &QLineEdit::textChanged, this, &MainWindow::Text1_Change);
  connect(text2_, &QLineEdit::textChanged, this, &MainWindow::Text2_Change);

  pointer_rule_ = new PointerRule(*this);
  // Moves over the tab control, the text boxes and the drop-down lists leave
  // the pointer as it is.
  pointer_rule_->LeaveUnchangedOver(*tab_control1_);
}

void MainWindow::Form_Load(const std::string& program_folder) {
  ErrorTrap trap(toolkit_, kModule, "Form_Load");
  trap.Step(FormLoadStep::kBackColors, [&] { ResetBackColors(*this); });
  trap.Step(FormLoadStep::kTitle, [&] { setWindowTitle(QString::fromUtf8(kProductName)); });
  trap.Step(FormLoadStep::kIcon, [&] { setWindowIcon(ApplicationIcon()); });
  trap.Step(FormLoadStep::kPointerPicture,
            [&] { pointer_rule_->LoadPicture(BesideFolder(program_folder, kPointerFile)); });
  trap.Step(FormLoadStep::kListTables, [&] {
    listed_source_ = SourceKey();
    FoxPro(data_source_, toolkit_).AddTablesToFoxproListbox(*this);
  });
  trap.Step(FormLoadStep::kTickAll, [&] {
    for (int row = list1_->count() - 1; row >= 0; --row) list1_->item(row)->setCheckState(Qt::Checked);
  });
  trap.Step(FormLoadStep::kTab, [&] {
    const std::string stored = GetSetting(settings::kTabControl1, settings::kTabControl1Default);
    int index = -1;
    const auto [end, error] = std::from_chars(stored.data(), stored.data() + stored.size(), index);
    if (error != std::errc() || end != stored.data() + stored.size()) {
      throw Error(ErrorKind::kInput,
                  "Invalid property value: the stored tab \"" + stored + "\" is not a number.");
    }
    if (index < 0 || index >= tab_control1_->count())
      throw Error(ErrorKind::kInput, "Invalid property value");
    tab_control1_->setCurrentIndex(index);
  });
  trap.Step(FormLoadStep::kFindText, [&] {
    text1_->setText(QString::fromStdString(GetSetting(settings::kText1, settings::kText1Default)));
  });
  trap.Step(FormLoadStep::kReplaceText, [&] {
    text2_->setText(QString::fromStdString(GetSetting(settings::kText2, settings::kText2Default)));
  });
  RefreshUndoButton();
  list1_->setFocus();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  data_source_.EndProgram();
  event->accept();
}

void MainWindow::AddItem(const std::string& name) {
  const QString text = QString::fromStdString(name);
  int row = 0;
  while (row < list1_->count() && QString::compare(list1_->item(row)->text(), text, Qt::CaseInsensitive) <= 0)
    ++row;
  auto* item = new QListWidgetItem(text);
  item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
  item->setCheckState(Qt::Unchecked);
  // The run opens the table by the name exactly as the catalogue gave it.
  item->setData(Qt::UserRole, QByteArray::fromStdString(name));
  list1_->insertItem(row, item);
}

std::string MainWindow::SourceKey() const {
  return (data_source_.OptionDBC1() ? "dbc:" : "folder:") + ConnectionStringOf(data_source_.Current());
}

bool MainWindow::RefreshTableList() {
  if (running_ || SourceKey() == listed_source_) return false;
  ErrorTrap trap(toolkit_, kModule, "RefreshTableList");
  trap.Step(RefreshTableListStep::kClear, [&] { list1_->clear(); });
  trap.Step(RefreshTableListStep::kListTables, [&] {
    listed_source_ = SourceKey();
    FoxPro(data_source_, toolkit_).AddTablesToFoxproListbox(*this);
  });
  trap.Step(RefreshTableListStep::kTickAll, [&] { SetAllTicks(true); });
  return true;
}

void MainWindow::SetInputsEnabled(bool enabled) {
  for (QWidget* control :
       std::initializer_list<QWidget*>{list1_, select_all_, deselect_all_, tab_control1_, start_, back_}) {
    control->setEnabled(enabled);
  }
}

void MainWindow::SetAllTicks(bool ticked) {
  for (int row = 0; row < list1_->count(); ++row)
    list1_->item(row)->setCheckState(ticked ? Qt::Checked : Qt::Unchecked);
}

void MainWindow::PushButton8_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton8_Click");
  trap.Step(TickAllStep::kTickAll, [&] { SetAllTicks(true); });
}

void MainWindow::PushButton9_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton9_Click");
  trap.Step(UntickAllStep::kUntickAll, [&] { SetAllTicks(false); });
}

void MainWindow::PushButton5_Click() {
  ErrorTrap trap(toolkit_, kModule, "PushButton5_Click");
  trap.Step(BackStep::kShowDataSource, [&] { data_source_.show(); });
  trap.Step(BackStep::kHide, [&] { hide(); });
}

void MainWindow::PushButton1_Click() {
  // The controls are disabled while a run is under way; a click already
  // queued when they were disabled starts nothing either.
  if (running_) return;
  // The list shows the tables of the source it was filled from: a run never
  // opens same-named tables of another one.
  if (SourceKey() != listed_source_) {
    RefreshTableList();
    toolkit_.ShowMessage(
        "The data source has changed since the table list was filled, so nothing was replaced. The list now "
        "shows "
        "the tables of " +
        ConnectionStringOf(data_source_.Current()) + ": tick the tables and start again.");
    return;
  }
  running_ = true;
  // The run takes the ticks, the tab, the pair or the set list once; nothing
  // that could change them, nor "< Back" (another data source) nor a second
  // start, is enabled until it ends.
  SetInputsEnabled(false);
  undo_->setEnabled(false);
  shown_table_.clear();
  since_progress_shown_.invalidate();
  RunRequest request = Request();
  // A table of the folder whose database cannot be used is left as it is,
  // unless the user chooses, warned, to change it as a free table.
  const std::vector<std::string> unusable = ReplacementRun::UnusableContainers(request);
  if (!unusable.empty() && ReplacementRun::Refusal(request).empty()) {
    std::string text;
    for (const std::string& why : unusable) text += why + "\n";
    text +=
        "\nChange them as free tables? Warning: their database's validation rules, relations and triggers "
        "will not hold, so the changes may break what the database requires. \"No\" leaves them as they are.";
    if (toolkit_.ShowMessage(text, MessageButtons::kYesNo, MessageIcon::kWarning) == MessageAnswer::kYes)
      request.source.ignore_container = true;
  }
  // Tables whose trigger or record rule runs code Quillon cannot run are
  // changed only when the user says so, having seen which they are.
  if (ReplacementRun::Refusal(request).empty()) request.allow_triggers = AllowCodeNotRun(request);
  // A run refused before it starts (an empty find text) shows no progress.
  ShowRunStatus(ReplacementRun::Refusal(request).empty());

  ReplacementRun run(std::move(request), toolkit_, this);
  const RunEnd end = run.Run();
  if (!run.undo_journal().empty()) StoreSetting(settings::kLastUndoJournal, run.undo_journal());

  running_ = false;
  // Once the program is closing no window is shown again.
  if (Closing()) return;
  if (end != RunEnd::kDone) ShowRunStatus(false);
  SetInputsEnabled(true);
  RefreshUndoButton();
}

bool MainWindow::AllowCodeNotRun(const RunRequest& request) {
  std::vector<std::string> skipped;
  try {
    skipped = CodeNotRun::Foreseen(request.source, request.tables);
  } catch (const std::exception&) {
    // Nothing foreseen: the run refuses those tables and says so.
  }
  if (skipped.empty()) return false;
  std::string text =
      "These tables run code Quillon cannot run when their records change (a trigger or a rule that "
      "calls a procedure):\r\n";
  for (const std::string& line : skipped) text += "\r\n" + line;
  text +=
      "\r\n\r\nChange them all the same, without running that code? Their other rules still hold, and each "
      "table changed so is named when the run ends. \"No\" leaves them as they are.";
  return toolkit_.ShowMessage(text, MessageButtons::kYesNo, MessageIcon::kWarning) == MessageAnswer::kYes;
}

void MainWindow::RefreshUndoButton() {
  bool there = false;
  try {
    const std::string journal = GetSetting(settings::kLastUndoJournal, settings::kLastUndoJournalDefault);
    std::error_code ignored;
    there = !journal.empty() && std::filesystem::is_regular_file(std::filesystem::path(journal), ignored);
  } catch (const std::exception&) {
    // Settings that cannot be read leave nothing to undo.
  }
  undo_->setEnabled(there && !running_);
}

void MainWindow::UndoLastRun_Click() {
  if (running_) return;
  std::string journal;
  size_t changes = 0;
  std::string where;  // the tables the run changed, and their data source
  try {
    journal = GetSetting(settings::kLastUndoJournal, settings::kLastUndoJournalDefault);
    const UndoRun::Contents contents = UndoRun::Describe(journal);
    changes = contents.changes;
    const std::vector<std::string>& names = contents.tables;
    for (size_t i = 0; i < names.size(); ++i)
      where += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    if (!names.empty())
      where = (names.size() == 1 ? " to table " : " to tables ") + where + " of " + contents.catalogue;
  } catch (const std::exception& e) {
    toolkit_.ShowMessage(std::string(e.what()) + " The last run cannot be taken back.", MessageButtons::kOk,
                         MessageIcon::kWarning);
    RefreshUndoButton();
    return;
  }
  const std::string count = toolkit_.Counted(static_cast<int64_t>(changes), "change", "changes");
  if (toolkit_.ShowMessage("Take back the last run? Its " + count + where +
                               " will get their old values back, except fields changed since the run, which "
                               "are left as they are.\r\n\r\nUndo journal: " +
                               journal,
                           MessageButtons::kYesNo) != MessageAnswer::kYes) {
    return;
  }
  running_ = true;
  SetInputsEnabled(false);
  undo_->setEnabled(false);
  Busy(true);
  UndoRun undo(toolkit_);
  // The window stays responsive; closing it stops the undo between records.
  undo.StopWhen([this] {
    toolkit_.Yield();
    return Closing();
  });
  ShowRunStatus(true);
  run_status_->SetFullText(QStringLiteral("Undoing the last run"));
  run_progress_->setRange(0, 0);
  const RunEnd end = undo.Run(journal);
  // The button takes back the last replacement run once; the undo's own
  // journal stays where it is for the batch command.
  StoreSetting(settings::kLastUndoJournal, "");
  running_ = false;
  if (Closing()) return;
  if (end == RunEnd::kRefused) {
    ShowRunStatus(false);
  } else {
    // The row says what the undo did, no longer what the run did.
    run_status_->SetFullText(QString::fromStdString(UndoSummary(undo.tally(), toolkit_)));
    run_progress_->setRange(0, 1);
    run_progress_->setValue(1);
  }
  Busy(false);
  SetInputsEnabled(true);
  RefreshUndoButton();
}

QString MainWindow::RunEndText(const RunTally& tally) const {
  const std::string text = RunSummary(tally, toolkit_);
  return QString::fromStdString(text) + QString::fromUtf8(" \u2014 log: ") +
         QString::fromStdString(ChangeLogPath());
}

void MainWindow::Finished(const RunTally& tally) {
  run_status_->SetFullText(RunEndText(tally));
  run_progress_->setRange(0, 1);
  run_progress_->setValue(1);
  run_row_->setVisible(true);
}

void MainWindow::ShowRunStatus(bool shown) {
  if (!shown) {
    run_status_->SetFullText(QString());
    run_progress_->reset();
  }
  run_row_->setVisible(shown);
}

void MainWindow::RecordReached(const std::string& table, uint32_t record, uint32_t records) {
  const bool new_table = table != shown_table_;
  if (!new_table && since_progress_shown_.isValid() &&
      !since_progress_shown_.hasExpired(kProgressIntervalMs)) {
    return;
  }
  since_progress_shown_.start();
  if (new_table) shown_table_ = table;
  run_status_->SetFullText(QString::fromStdString(table + ": record " + toolkit_.FormatCount(record) +
                                                  " of " + toolkit_.FormatCount(records)));
  const int maximum = static_cast<int>(std::min<uint32_t>(std::max<uint32_t>(records, 1), INT_MAX));
  run_progress_->setRange(0, maximum);
  run_progress_->setValue(static_cast<int>(std::min<uint32_t>(record, static_cast<uint32_t>(maximum))));
}

// Settings written as the user types or switches tabs: a failure is told
// once per session (not once per keystroke), saying where the settings go.
void MainWindow::StoreSetting(const char* key, const std::string& value) {
  try {
    SaveSetting(key, value);
  } catch (const std::exception& e) {
    if (settings_failure_told) return;
    settings_failure_told = true;
    toolkit_.ShowMessage(
        std::string(e.what()) +
            " Quillon cannot store its settings: the texts and the tab chosen now will not be "
            "there the next time it starts.",
        MessageButtons::kOk, MessageIcon::kWarning);
  }
}

void MainWindow::TabControl1_Click() {
  StoreSetting(settings::kTabControl1, std::to_string(tab_control1_->currentIndex()));
}

void MainWindow::Text1_Change() {
  find_text_ = text1_->text().toStdString();
  StoreSetting(settings::kText1, find_text_);
}

void MainWindow::Text2_Change() {
  replace_text_ = text2_->text().toStdString();
  StoreSetting(settings::kText2, replace_text_);
}

int MainWindow::TableCount() const { return list1_->count(); }

std::string MainWindow::TableName(int row) const {
  CheckRow(row, list1_->count());
  return list1_->item(row)->data(Qt::UserRole).toByteArray().toStdString();
}

RunRequest MainWindow::Request() const {
  RunRequest request;
  request.source = data_source_.Current();
  for (int row = 0; row < list1_->count(); ++row) {
    if (list1_->item(row)->checkState() == Qt::Checked) request.tables.push_back(TableName(row));
  }
  const int tab = tab_control1_->currentIndex();
  if (tab == 0) request.pairs.Add(find_text_, replace_text_);
  if (tab == 1) {
    request.from_set_list = true;
    for (int row = 0; row < combo1_->count(); ++row) {
      request.pairs.Add(combo1_->itemText(row).toStdString(),
                        row < combo2_->count() ? combo2_->itemText(row).toStdString() : std::string());
    }
  }
  return request;
}

void MainWindow::Busy(bool busy) { quillon::SetBusyPointer(*this, busy); }

bool MainWindow::Closing() const { return data_source_.closing(); }

}  // namespace quillon
