// The main window driven through its real controls on a copy of the sample
// tables: its load, the ticks, the tab and the single pair kept across
// starts, "< Back" and return, and whole runs checked with python3-dbfread.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QTabBar>
#include <QTabWidget>
#include <regex>

#include "sets/set_list.h"
#include "shell/pointer.h"
#include "tests/support/test_support.h"
#include "tests/ui/ui_test_support.h"

namespace {

using quillon::MainWindow;
using ui_testing::Click;
using ui_testing::Find;
using ui_testing::MoveOver;
using ui_testing::Type;
namespace fs = std::filesystem;
namespace keys = quillon::settings;

class MainWindowTest : public ui_testing::ProgramTest {
 protected:
  // Starts with the sample folder stored, so the main window opens at once.
  MainWindow& StartOnSamples() {
    Store(keys::kFreeTableFolder, samples());
    Start();
    EXPECT_FALSE(form1().isVisible());
    return form2();
  }
  QListWidget& list() { return Find<QListWidget>(form2(), "List1"); }
  QTabWidget& tabs() { return Find<QTabWidget>(form2(), "TabControl1"); }
  QLineEdit& find_box() { return Find<QLineEdit>(form2(), "Text1"); }
  QLineEdit& replace_box() { return Find<QLineEdit>(form2(), "Text2"); }
  QComboBox& finds() { return Find<QComboBox>(form2(), "Combo1"); }
  QComboBox& replaces() { return Find<QComboBox>(form2(), "Combo2"); }
  QPushButton& start_button() { return Find<QPushButton>(form2(), "PushButton1"); }

  std::vector<std::string> Ticked() {
    std::vector<std::string> ticked;
    for (int row = 0; row < list().count(); ++row) {
      if (list().item(row)->checkState() == Qt::Checked)
        ticked.push_back(list().item(row)->text().toStdString());
    }
    return ticked;
  }
  std::vector<std::string> Items(QComboBox& box) {
    std::vector<std::string> items;
    for (int i = 0; i < box.count(); ++i) items.push_back(box.itemText(i).toStdString());
    return items;
  }
  void ChooseTab(int index) {
    QTabBar* bar = tabs().tabBar();
    QTest::mouseClick(bar, Qt::LeftButton, Qt::NoModifier, bar->tabRect(index).center());
  }
  // Toggles the tick of a table entry with the space bar, as the keyboard
  // user does.
  void ToggleTick(int row) {
    list().setCurrentRow(row);
    QTest::keyClick(list().viewport(), Qt::Key_Space);
  }
  void AddSet(const std::string& answer) {
    toolkit_.prompt_answers.push_back(answer);
    Click(form2(), "PushButton10");
  }

  // The dump of a table before a run with `replacements` applied to every
  // value, in order: what the run must leave.
  static std::string Replaced(std::string dump,
                              const std::vector<std::pair<std::string, std::string>>& replacements) {
    for (const auto& [find, replace] : replacements) {
      for (size_t at = dump.find(find); at != std::string::npos; at = dump.find(find, at + replace.size())) {
        dump.replace(at, find.size(), replace);
      }
    }
    return dump;
  }
};

TEST_F(MainWindowTest, AtFirstItOpensOnTheFirstTabWithEveryTableTicked) {
  MainWindow& w = StartOnSamples();
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.windowTitle(), "Quillon");
  EXPECT_FALSE(w.windowIcon().isNull());
  EXPECT_EQ(Find<QGroupBox>(w, "Frame1").title(), "Select tables to find and replace within");
  EXPECT_EQ(Ticked(), (std::vector<std::string>{"customers", "orders", "products"}));
  EXPECT_EQ(tabs().currentIndex(), 0);
  EXPECT_EQ(tabs().tabText(0), "Find and replace");
  EXPECT_EQ(tabs().tabText(1), "Multiple find and replace sets");
  EXPECT_EQ(find_box().text(), "");
  EXPECT_EQ(replace_box().text(), "");
  EXPECT_EQ(finds().count(), 0);
  EXPECT_FALSE(finds().isEditable());
  EXPECT_FALSE(replaces().isEditable());
  std::vector<QString> labels;
  for (const char* name : {"Label2", "Label3", "Label4", "Label5"})
    labels.push_back(Find<QLabel>(w, name).text());
  EXPECT_EQ(labels, (std::vector<QString>{" Find what (exact case):", " Replace with:",
                                          " Find what (exact case):", " Replace with:"}));
  std::vector<QString> captions;
  for (const char* name : {"PushButton8", "PushButton9", "PushButton10", "PushButton12", "PushButton13",
                           "PushButton7", "PushButton11", "PushButton1", "PushButton5"}) {
    captions.push_back(Find<QPushButton>(w, name).text());
  }
  EXPECT_EQ(captions,
            (std::vector<QString>{"Select All", "Deselect All", "Add Set", "Load Sets", "Save Sets",
                                  "Remove Selected Set", "Clear All Sets", "Start Replacing", "< Back"}));
  EXPECT_FALSE(Find<QWidget>(w, "RunStatusRow").isVisible());
  EXPECT_TRUE(toolkit_.shown.empty());
}

TEST_F(MainWindowTest, SelectAllAndDeselectAllSetEveryTick) {
  StartOnSamples();
  Click(form2(), "PushButton9");
  EXPECT_TRUE(Ticked().empty());
  ToggleTick(1);
  EXPECT_EQ(Ticked(), (std::vector<std::string>{"orders"}));
  Click(form2(), "PushButton8");
  EXPECT_EQ(Ticked(), (std::vector<std::string>{"customers", "orders", "products"}));
}

TEST_F(MainWindowTest, TheTabAndTheSinglePairComeBackAtTheNextStartAndTheSetsDoNot) {
  StartOnSamples();
  Type(find_box(), "Kings");
  EXPECT_EQ(Setting(keys::kText1), "Kings");
  Type(replace_box(), "Queens");
  ChooseTab(1);
  EXPECT_EQ(Setting(keys::kTabControl1), "1");
  AddSet("a::b");

  StartOnSamples();
  EXPECT_EQ(tabs().currentIndex(), 1);
  EXPECT_EQ(find_box().text(), "Kings");
  EXPECT_EQ(replace_box().text(), "Queens");
  EXPECT_EQ(finds().count(), 0);
  EXPECT_EQ(Find<QLineEdit>(form1(), "Text2").text(), QString::fromStdString(samples()));

  ChooseTab(0);
  EXPECT_EQ(Setting(keys::kTabControl1), "0");
  StartOnSamples();
  EXPECT_EQ(tabs().currentIndex(), 0);
}

TEST_F(MainWindowTest, BackAndReturnKeepTheTicksTheTabTheTextsAndTheSetsAndAnotherSourceRefillsTheList) {
  MainWindow& first = StartOnSamples();
  ToggleTick(2);
  Type(find_box(), "Kingsbridge");
  Type(replace_box(), "Kingsford");
  AddSet("Portwen::Porthwen");
  AddSet("Eastmere::East Mere");
  ChooseTab(1);
  auto back_and_next = [&](const std::string& folder) {
    Click(form2(), "PushButton5");
    EXPECT_TRUE(form1().isVisible());
    EXPECT_FALSE(first.isVisible());
    Find<QLineEdit>(form1(), "Text2").setText(QString::fromStdString(folder));
    Click(form1(), "PushButton2");
    EXPECT_EQ(&form2(), &first);
    EXPECT_TRUE(first.isVisible());
    EXPECT_FALSE(form1().isVisible());
    EXPECT_EQ(tabs().currentIndex(), 1);
    EXPECT_EQ(find_box().text(), "Kingsbridge");
    EXPECT_EQ(Items(finds()), (std::vector<std::string>{"Portwen", "Eastmere"}));
    EXPECT_EQ(Items(replaces()), (std::vector<std::string>{"Porthwen", "East Mere"}));
  };

  back_and_next(samples());
  EXPECT_EQ(list().count(), 3);
  EXPECT_EQ(Ticked(), (std::vector<std::string>{"customers", "orders"}));

  // Another folder with a same-named table: the list shows that folder's
  // tables, every one ticked, and a run changes that folder's table only.
  const std::string other = empty_folder();
  for (const char* ext : {".dbf", ".fpt"}) {
    fs::copy_file(samples() + "/customers" + ext, other + "/customers" + ext);
    fs::copy_file(samples() + "/products" + ext, other + "/gamma" + ext);
  }
  const std::string before = Dbfread(sample("customers"));
  back_and_next(other);
  EXPECT_EQ(Ticked(), (std::vector<std::string>{"customers", "gamma"}));
  ChooseTab(0);
  Click(form2(), "PushButton1");
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"Done."}));
  EXPECT_EQ(Dbfread(sample("customers")), before);
  EXPECT_NE(Dbfread(other + "/customers.dbf").find("Kingsford"), std::string::npos);
}

TEST_F(MainWindowTest, ARunOnTheFirstTabReplacesTheNameInTheTickedTablesAndLogsEachField) {
  StartOnSamples();
  const std::string customers = Dbfread(sample("customers"));
  const std::string orders = Dbfread(sample("orders"));
  const std::string products = Dbfread(sample("products"));
  ToggleTick(2);  // products left out
  Type(find_box(), "Old Market Street");
  Type(replace_box(), "Market Square");
  // When "Done." appears, the status row already tells how the run ended:
  // elided to the window's width, whole in its tooltip; the window keeps its
  // size.
  const QSize size = form2().size();
  std::string row_at_done;
  int bar_at_done = -1;
  toolkit_.on_message = [&](const quillon::ScriptedToolkit::Shown& shown) {
    if (shown.text != "Done.") return;
    row_at_done = Find<QLabel>(form2(), "RunStatus").toolTip().toStdString();
    const QProgressBar& bar = Find<QProgressBar>(form2(), "RunProgress");
    bar_at_done = bar.value() == bar.maximum() ? 100 : bar.value();
  };
  Click(form2(), "PushButton1");

  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"Done."}));
  EXPECT_EQ(row_at_done, "2 tables, 5 fields changed \u2014 log: " + log_dir_.Sub("backups.log"));
  EXPECT_EQ(form2().size(), size);
  EXPECT_EQ(bar_at_done, 100);
  EXPECT_EQ(Dbfread(sample("customers")), Replaced(customers, {{"Old Market Street", "Market Square"}}));
  EXPECT_EQ(Dbfread(sample("orders")), Replaced(orders, {{"Old Market Street", "Market Square"}}));
  EXPECT_NE(Dbfread(sample("orders")), orders);
  EXPECT_EQ(Dbfread(sample("products")), products);
  const std::string line = "Old Market Street was replace to Market Square at table ";
  EXPECT_EQ(LogEntries(),
            (std::vector<std::string>{
                line + "(customers) and column (street)", line + "(customers) and column (notes)",
                line + "(customers) and column (notes)", line + "(orders) and column (comment)",
                line + "(orders) and column (comment)"}));
  // The window is ready for the next run.
  EXPECT_TRUE(start_button().isEnabled());
  EXPECT_TRUE(Find<QPushButton>(form2(), "PushButton5").isEnabled());
  EXPECT_FALSE(quillon::IsBusyPointer(form2()));
  EXPECT_TRUE(Find<QWidget>(form2(), "RunStatusRow").isVisible());

  // A run refused before it starts shows no status row.
  find_box().clear();
  Click(form2(), "PushButton1");
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"Please enter the text to find."}));
  EXPECT_FALSE(Find<QWidget>(form2(), "RunStatusRow").isVisible());
}

TEST_F(MainWindowTest, UndoLastRunAsksNamingTheChangesThenTakesTheRunBack) {
  StartOnSamples();
  QPushButton& undo = Find<QPushButton>(form2(), "UndoLastRun");
  EXPECT_FALSE(undo.isEnabled()) << "no run yet";
  const std::string customers = Dbfread(sample("customers"));
  const std::string orders = Dbfread(sample("orders"));
  Type(find_box(), "Old Market Street");
  Type(replace_box(), "Market Square");
  Click(form2(), "PushButton1");
  TakeMessages();
  ASSERT_TRUE(undo.isEnabled());

  // "No" changes nothing; "Yes" takes the five changes back.
  toolkit_.message_answers.push_back(quillon::MessageAnswer::kNo);
  Click(form2(), "UndoLastRun");
  std::vector<std::string> shown = TakeMessages();
  ASSERT_EQ(shown.size(), 1u);
  EXPECT_EQ(shown[0].rfind("Take back the last run? Its 5 changes to tables customers and orders of " +
                               samples() + " will get their old values back",
                           0),
            0u)
      << shown[0];
  EXPECT_NE(Dbfread(sample("customers")), customers);
  toolkit_.message_answers.push_back(quillon::MessageAnswer::kYes);
  Click(form2(), "UndoLastRun");
  shown = TakeMessages();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_NE(shown[1].find(": 5 changes taken back."), std::string::npos) << shown[1];
  // The status row tells the undo, no longer the run.
  EXPECT_EQ(Find<QLabel>(form2(), "RunStatus").toolTip(), "5 fields restored");
  EXPECT_EQ(Dbfread(sample("customers")), customers);
  EXPECT_EQ(Dbfread(sample("orders")), orders);
  EXPECT_FALSE(undo.isEnabled()) << "the run is taken back once";
  EXPECT_TRUE(start_button().isEnabled());
  EXPECT_FALSE(quillon::IsBusyPointer(form2()));
}

// A table whose record rule calls a procedure, reached by a cascade, is
// named in a question before the run: "No" leaves it as it is (its
// parent's key change is refused), "Yes" changes it without that rule.
TEST_F(MainWindowTest, ARunAsksBeforeChangingTablesWithoutTheirCode) {
  const std::string foxprodb = testing_support::CopyFixtureFolder(other_, "ruby-dbf/foxprodb");
  const std::string container = foxprodb + "/FOXPRO-DB-TEST.DBC";
  engine_testing::SetReferentialIntegrity(container, "CRR");
  engine_testing::AddTableProperty(container, "calls", 9, "checkcall()");
  Store(keys::kFoxproOption, keys::kDBCKind);
  Store(keys::kDBCFile, container);
  Start();
  for (int row = 0; row < list().count(); ++row)
    list().item(row)->setCheckState(list().item(row)->text() == "contacts" ? Qt::Checked : Qt::Unchecked);
  Type(find_box(), "4");
  Type(replace_box(), "44");
  const std::string calls = Dbfread(foxprodb + "/calls.dbf");
  Click(form2(), "PushButton1");
  std::vector<std::string> shown = TakeMessages();
  ASSERT_FALSE(shown.empty());
  EXPECT_NE(shown[0].find("calls: its record validation rule (a rule Quillon cannot evaluate: it calls "
                          "checkcall())"),
            std::string::npos)
      << shown[0];
  EXPECT_EQ(Dbfread(foxprodb + "/calls.dbf"), calls) << "No: the contact's new key does not reach calls";

  toolkit_.message_answers.push_back(quillon::MessageAnswer::kYes);
  Click(form2(), "PushButton1");
  shown = TakeMessages();
  EXPECT_NE(std::find_if(shown.begin(), shown.end(),
                         [](const std::string& m) {
                           return m.rfind(
                                      "Table 'calls' was changed without checking its record validation rule",
                                      0) == 0;
                         }),
            shown.end());
  EXPECT_NE(Dbfread(foxprodb + "/calls.dbf").find("\"CONTACT_ID\": \"44.0\""), std::string::npos);
}

// A table of the folder linked to a database that is not there is
// named in a warning before the run: "No" leaves it as it is (reported),
// "Yes" changes it as a free table.
TEST_F(MainWindowTest, ATableWhoseDatabaseCannotBeUsedIsChangedOnlyWhenTheUserSaysSo) {
  fs::copy_file(testing_support::Fixture("foxbin2prg/vw_local_encuestas.dbf"), sample("vw_local_encuestas"));
  fs::permissions(sample("vw_local_encuestas"), fs::perms::owner_write, fs::perm_options::add);
  StartOnSamples();
  const std::string before = Dbfread(sample("vw_local_encuestas"));
  Type(find_box(), "PEPE");
  Type(replace_box(), "PEDRO");
  toolkit_.message_answers.push_back(quillon::MessageAnswer::kNo);
  Click(form2(), "PushButton1");
  std::vector<std::string> shown = TakeMessages();
  ASSERT_EQ(shown.size(), 3u);
  EXPECT_EQ(shown[0].rfind("Table 'vw_local_encuestas' belongs to the database '", 0), 0u) << shown[0];
  EXPECT_NE(shown[0].find("which cannot be found"), std::string::npos) << shown[0];
  EXPECT_NE(shown[0].find("Change them as free tables? Warning:"), std::string::npos) << shown[0];
  EXPECT_NE(shown[1].find("which cannot be found"), std::string::npos) << shown[1];
  EXPECT_EQ(shown[2], "Done.");
  EXPECT_EQ(Dbfread(sample("vw_local_encuestas")), before);

  toolkit_.message_answers.push_back(quillon::MessageAnswer::kYes);
  Click(form2(), "PushButton1");
  shown = TakeMessages();
  ASSERT_EQ(shown.size(), 2u);
  EXPECT_EQ(shown[1], "Done.");
  EXPECT_EQ(Dbfread(sample("vw_local_encuestas")), Replaced(before, {{"PEPE", "PEDRO"}}));
}

TEST_F(MainWindowTest, ARunOnTheSecondTabAppliesTheSetsInOrderAndLeavesTheSinglePairAlone) {
  StartOnSamples();
  const std::string customers = Dbfread(sample("customers"));
  const std::string orders = Dbfread(sample("orders"));
  Type(find_box(), "Portwen");  // not used: the second tab is chosen
  Type(replace_box(), "Nowhere");
  ChooseTab(1);
  AddSet("Lindqvist::Lindquist");
  AddSet("Lindquist Print::Lindquist Printing");
  AddSet("Kingsbridge::Kingsford");
  Click(form2(), "PushButton1");

  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"Done."}));
  EXPECT_EQ(Dbfread(sample("customers")), Replaced(customers, {{"Lindqvist", "Lindquist"},
                                                               {"Lindquist Print", "Lindquist Printing"},
                                                               {"Kingsbridge", "Kingsford"}}));
  EXPECT_EQ(Dbfread(sample("orders")), orders);
  // Two contacts, the one company that both Lindqvist sets meet, three cities.
  EXPECT_EQ(LogEntries().size(), 7u);
}

TEST_F(MainWindowTest, DuringARunTheWindowShowsWhereItIsKeepsTheHourglassAndStartsNoSecondRun) {
  StartOnSamples();
  Type(find_box(), "Kestrel");
  Type(replace_box(), "Falcon");
  QPushButton& back = Find<QPushButton>(form2(), "PushButton5");
  QLabel& status = Find<QLabel>(form2(), "RunStatus");
  QProgressBar& progress = Find<QProgressBar>(form2(), "RunProgress");
  std::vector<std::string> seen;
  int clicks_refused = 0;
  toolkit_.on_yield = [&](long n) {
    EXPECT_TRUE(quillon::IsBusyPointer(form2()));
    if (n == 1) {
      EXPECT_TRUE(status.isVisible());
      // Customers 1 to 5 hold no "Kestrel": they were passed over together.
      EXPECT_EQ(progress.value(), 6);
      EXPECT_EQ(progress.maximum(), 8);
      // Over a button the hourglass stays.
      MoveOver(start_button());
      MoveOver(back);
      EXPECT_EQ(form2().cursor().shape(), Qt::WaitCursor);
      // The start button is disabled: a click starts no second run; going
      // back to pick another data source is disabled too.
      EXPECT_FALSE(start_button().isEnabled());
      EXPECT_FALSE(back.isEnabled());
      // The run took the ticks and the pair when it started: neither can be
      // changed until it ends.
      for (QWidget* input : std::initializer_list<QWidget*>{&list(), &find_box(), &replace_box(), &finds()})
        EXPECT_FALSE(input->isEnabled());
      QTest::mouseClick(&start_button(), Qt::LeftButton);
      form2().PushButton1_Click();  // a click queued before the button was disabled
      ++clicks_refused;
    }
    if (seen.empty() || seen.back() != status.text().toStdString())
      seen.push_back(status.text().toStdString());
  };
  Click(form2(), "PushButton1");

  EXPECT_EQ(clicks_refused, 1);
  EXPECT_EQ(TakeMessages(), (std::vector<std::string>{"Done."}));
  // Customer 6, which holds the find text, is walked field by field, one
  // yield a field; the others, and the orders and products, which hold none,
  // are passed over in stretches, one yield each.
  EXPECT_EQ(toolkit_.yields, 15);
  ASSERT_GE(seen.size(), 3u);
  EXPECT_EQ(seen[0], "customers: record 6 of 8");
  const auto first_of = [&](const std::string& table) {
    for (const std::string& text : seen) {
      if (text.rfind(table, 0) == 0) return text;
    }
    return std::string("(never shown)");
  };
  EXPECT_EQ(first_of("orders"), "orders: record 10 of 10");
  EXPECT_EQ(first_of("products"), "products: record 6 of 6");
  const std::regex shape("(customers|orders|products): record [0-9]+ of (8|10|6)");
  for (const std::string& text : seen) EXPECT_TRUE(std::regex_match(text, shape)) << text;

  for (QWidget* input : std::initializer_list<QWidget*>{&list(), &find_box(), &start_button(), &back})
    EXPECT_TRUE(input->isEnabled());
  // Afterwards the rule applies again: the hand over a button.
  EXPECT_FALSE(quillon::IsBusyPointer(form2()));
  MoveOver(back);
  EXPECT_EQ(form2().cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(MainWindowTest, ClosingTheWindowDuringARunEndsTheProgramWithoutSavingTheRecordInProgress) {
  StartOnSamples();
  Click(form2(), "PushButton9");
  ToggleTick(0);  // customers only
  const std::string before = Dbfread(sample("customers"));
  Type(find_box(), "Kingsbridge");
  Type(replace_box(), "Kingsford");
  // Customer 3 (Kingsbridge, 11 fields a record): close at its last field,
  // after its city was assigned. Customer 1 takes 11 yields; customer 2,
  // passed over, one.
  toolkit_.on_yield = [&](long n) {
    if (n == 11 + 1 + 11) form2().close();
  };
  Click(form2(), "PushButton1");

  EXPECT_EQ(ends_, 1);
  EXPECT_EQ(toolkit_.yields, 11 + 1 + 11);
  EXPECT_TRUE(TakeMessages().empty());  // no "Done."
  EXPECT_FALSE(form2().isVisible());
  EXPECT_FALSE(form1().isVisible());
  // Customer 1 was saved when the run moved on; customer 3 was not.
  const std::string after = Dbfread(sample("customers"));
  const std::string first = R"("CITY": "Kingsford", "COMPANY": "Harbour Lights Trading")";
  const std::string third = R"("CITY": "Kingsbridge", "COMPANY": "Café Olé")";
  EXPECT_NE(after.find(first), std::string::npos) << after;
  EXPECT_NE(after.find(third), std::string::npos) << after;
  // Only customer 1's change has its line: customer 3's was never saved.
  EXPECT_EQ(LogEntries().size(), 1u);
  EXPECT_NE(after, before);
}

}  // namespace
