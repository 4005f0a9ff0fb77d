// The main window (Form2): the tables to work on, what to replace, and the
// run.
//
//   +- Select tables to find and replace within  Frame1 ------+
//   | [x] customers                                    List1   |
//   | [x] orders                                               |
//   +----------------------------------------------------------+
//   [ Select All  PushButton8 ] [ Deselect All  PushButton9 ]
//   +- TabControl1 ---------------------------------------------+
//   | Find and replace | Multiple find and replace sets          |
//   |  tab 0: find box Text1, replace box Text2                  |
//   |  tab 1: find list Combo1, replace list Combo2,             |
//   |         Add Set (10), Load Sets (12), Save Sets (13),      |
//   |         Remove Selected Set (7), Clear All Sets (11)       |
//   +----------------------------------------------------------+
//   (while a run is under way: the table and record reached)
//   [       Start Replacing  PushButton1      ][ Undo Last Run  UndoLastRun ]
//   [              < Back  PushButton5                         ]
//
// Created and loaded by the data source window the first time it is shown; it
// then lives until the program ends, so "< Back" and a return keep the ticks,
// the tab, the texts and the set list. Its load fills the table list from the
// data source; shown again for another data source, it fills the list again
// (RefreshTableList), so that a run only ever opens tables of the source the
// list shows. The window hands the run what it asks of it (Request) when it
// starts, and every control that could change them stays disabled until it
// ends.
#pragma once

#include <QElapsedTimer>
#include <QWidget>
#include <string>

#include "access/foxpro_module.h"
#include "base/toolkit.h"
#include "engine/replacement_run.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTabWidget;

namespace quillon {

class DataSourceWindow;
class ElidedLabel;
class PointerRule;
class SetList;

class MainWindow : public QWidget, public RunObserver, public TableList {
  Q_OBJECT

 public:
  static constexpr char kModule[] = "Form2";

  // Builds the window and runs its load. `data_source` owns this window and
  // holds the data source; it and `toolkit` are borrowed. `program_folder`
  // is where the pointer file is looked for.
  MainWindow(DataSourceWindow& data_source, Toolkit& toolkit, std::string program_folder);
  ~MainWindow() override;

  SetList& set_list() { return *set_list_; }
  // Fills the table list again, every table ticked, when the data source is
  // no longer the one it was filled from (another folder text, container or
  // kind); the data source window calls it before it shows this window
  // again. Returns whether it did.
  bool RefreshTableList();
  PointerRule& pointer_rule() { return *pointer_rule_; }
  // Whether "Start Replacing" is under way.
  bool running() const { return running_; }
  // The status row's text once a run is over, counts as the toolkit writes
  // them: "3 tables, 1,204 fields changed, 3 refused — log: /tmp/backups.log".
  QString RunEndText(const RunTally& tally) const;

  // The handlers. PushButton1_Click is the run, which reports its own
  // failures; the others carry the error trap.
  void PushButton1_Click();  // "Start Replacing"
  void PushButton5_Click();  // "< Back"
  void PushButton8_Click();  // "Select All"
  void PushButton9_Click();  // "Deselect All"
  // "Undo Last Run": takes back the last run that changed data, after asking
  // (naming how many changes), through its undo journal (UndoRun), which
  // tells at the end what was taken back and what was left.
  void UndoLastRun_Click();

  // The table list (List1): its rows and the name of each.
  int TableCount() const;
  std::string TableName(int row) const;
  // What "Start Replacing" asks of a run now: the data source, the ticked
  // tables in list order, the single pair (Text1, Text2) or the set list
  // (Combo1, Combo2) as the selected tab says.
  RunRequest Request() const;
  // True once the user has closed the program.
  bool Closing() const;

  // RunObserver: the busy pointer, the status line, the end of the run, and
  // a stop when the program closes.
  void Busy(bool busy) override;
  void RecordReached(const std::string& table, uint32_t record, uint32_t records) override;
  void Finished(const RunTally& tally) override;
  bool StopRequested() override { return Closing(); }

  // TableList: the table catalogue adds the data source's tables here, each
  // with an empty tick. The list is kept in name order (ignoring case).
  void AddItem(const std::string& name) override;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void BuildControls();
  QWidget* BuildSingleTab();
  QWidget* BuildSetsTab();
  void Form_Load(const std::string& program_folder);
  void SetAllTicks(bool ticked);
  // The data source as the table list knows it: its kind and connection
  // string.
  std::string SourceKey() const;
  // Enables or disables every control through which the user could change
  // what a run works on or start another, while a run or an undo is under
  // way.
  void SetInputsEnabled(bool enabled);
  void StoreSetting(const char* key, const std::string& value);
  void TabControl1_Click();
  void Text1_Change();
  void Text2_Change();
  void ShowRunStatus(bool shown);
  // "Undo Last Run" is enabled when no run is under way and the last run's
  // journal is there.
  void RefreshUndoButton();
  // Asks, naming the tables of `request` whose trigger or record rule runs
  // code Quillon cannot run (CodeNotRun::Foreseen), whether to change them
  // without it; true on "Yes". No question, and false, when there are none.
  bool AllowCodeNotRun(const RunRequest& request);

  DataSourceWindow& data_source_;
  Toolkit& toolkit_;
  const std::string program_folder_;

  QGroupBox* frame1_ = nullptr;
  QListWidget* list1_ = nullptr;
  QPushButton* select_all_ = nullptr;
  QPushButton* deselect_all_ = nullptr;
  QTabWidget* tab_control1_ = nullptr;
  QLineEdit* text1_ = nullptr;
  QLineEdit* text2_ = nullptr;
  QComboBox* combo1_ = nullptr;
  QComboBox* combo2_ = nullptr;
  QPushButton* add_set_ = nullptr;
  QPushButton* load_sets_ = nullptr;
  QPushButton* save_sets_ = nullptr;
  QPushButton* remove_set_ = nullptr;
  QPushButton* clear_sets_ = nullptr;
  QWidget* run_row_ = nullptr;
  ElidedLabel* run_status_ = nullptr;
  QProgressBar* run_progress_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* undo_ = nullptr;
  QPushButton* back_ = nullptr;
  PointerRule* pointer_rule_ = nullptr;
  SetList* set_list_ = nullptr;

  // The single pair as UTF-8, kept in step with the boxes at every change.
  std::string find_text_;
  std::string replace_text_;

  // SourceKey() when the table list was last filled.
  std::string listed_source_;
  bool running_ = false;
  std::string shown_table_;
  QElapsedTimer since_progress_shown_;
};

}  // namespace quillon
