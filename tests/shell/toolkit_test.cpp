// The toolkit over Qt, answered by timers as a user would answer it.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <functional>

#include "base/app_title.h"
#include "shell/qt_toolkit.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

using quillon::MessageAnswer;
using quillon::MessageButtons;
using quillon::MessageIcon;
using quillon::QtToolkit;

namespace {

using testing_support::EnsureApplication;

// Runs `answer` on the first modal widget of type T as soon as it shows.
template <typename T>
void WhenShown(std::function<void(T*)> answer) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, answer] {
    if (auto* widget = qobject_cast<T*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      answer(widget);
    }
  });
  timer->start();
}

}  // namespace

TEST(QtToolkitTest, MessageBoxesShowTextTitleIconAndButtons) {
  EnsureApplication();
  QtToolkit toolkit;
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::Information;
  WhenShown<QMessageBox>([&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  EXPECT_EQ(toolkit.ShowMessage("Done."), MessageAnswer::kOk);
  EXPECT_EQ(title, QString::fromStdString(quillon::ApplicationTitle()));
  EXPECT_EQ(text, "Done.");
  EXPECT_EQ(icon, QMessageBox::NoIcon);

  WhenShown<QMessageBox>([&](QMessageBox* box) {
    title = box->windowTitle();
    text = box->text();
    icon = box->icon();
    box->button(QMessageBox::Ok)->click();
  });
  toolkit.ShowErrorReport("Application Error", "It failed\r\nin Brenlow2021/08/31.Form2.X at line 100");
  EXPECT_EQ(title, "Application Error");
  EXPECT_EQ(text, "It failed\nin Brenlow2021/08/31.Form2.X at line 100");
  EXPECT_EQ(icon, QMessageBox::Warning);

  for (auto [button, answer] :
       {std::pair{QMessageBox::Yes, MessageAnswer::kYes}, std::pair{QMessageBox::No, MessageAnswer::kNo}}) {
    WhenShown<QMessageBox>([button = button](QMessageBox* box) { box->button(button)->click(); });
    EXPECT_EQ(toolkit.ShowMessage("Overwrite?", MessageButtons::kYesNo, MessageIcon::kNone, "Save"), answer);
  }
}

TEST(QtToolkitTest, PromptReturnsTheTypedTextOrNothingWhenCancelled) {
  EnsureApplication();
  QtToolkit toolkit;
  QString title, preset;
  WhenShown<QInputDialog>([&](QInputDialog* dialog) {
    title = dialog->windowTitle();
    preset = dialog->textValue();
    dialog->setTextValue("typed");
    dialog->accept();
  });
  EXPECT_EQ(toolkit.Prompt("Find what:", "", "old"), "typed");
  EXPECT_EQ(title, QString::fromStdString(quillon::ApplicationTitle()));
  EXPECT_EQ(preset, "old");
  WhenShown<QInputDialog>([](QInputDialog* dialog) { dialog->reject(); });
  EXPECT_EQ(toolkit.Prompt("Find what:", "Add", ""), "");
}

TEST(QtToolkitTest, FileDialogsTakeTitleAndFilterAndReturnThePath) {
  EnsureApplication();
  QtToolkit toolkit;
  quillon::FileDialogRequest request;
  request.title = "Save";
  request.filter = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|";
  testing_support::TempDir dir;
  request.file_name = dir.Sub("sets.txt");  // in the platform's own form
  QString title;
  QStringList filters;
  WhenShown<QFileDialog>([&](QFileDialog* dialog) {
    title = dialog->windowTitle();
    filters = dialog->nameFilters();
    static_cast<QDialog*>(dialog)->accept();
  });
  EXPECT_EQ(toolkit.ShowSaveDialog(request), dir.Sub("sets.txt"));
  EXPECT_EQ(title, "Save");
  EXPECT_EQ(filters, (QStringList{"Text Files (*.txt)", "All Files (*)"}));

  WhenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_EQ(toolkit.ShowOpenDialog(request), "");
  EXPECT_EQ(QtToolkit::NameFilters("Text Files (*.txt)|*.txt|"), "Text Files (*.txt)");
  EXPECT_EQ(QtToolkit::NameFilters("Tables|*.dbf;*.DBF"), "Tables (*.dbf *.DBF)");
}

// A run yields once per field; the yield must let the window handle what the
// user did, however often it is called.
TEST(QtToolkitTest, YieldLetsPendingEventsThrough) {
  EnsureApplication();
  QtToolkit toolkit;
  for (int round = 0; round < 3; ++round) {
    bool handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    QElapsedTimer limit;
    limit.start();
    while (!handled && !limit.hasExpired(10000)) toolkit.Yield();
    EXPECT_TRUE(handled) << "round " << round;
  }
}

TEST(QtToolkitTest, CountsAreGroupedAsTheLocaleGroupsThem) {
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
  EXPECT_EQ(quillon::QtToolkit().FormatCount(12000), "12,000");
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  EXPECT_EQ(quillon::QtToolkit().FormatCount(1234567), "1.234.567");
  QLocale::setDefault(before);
}
