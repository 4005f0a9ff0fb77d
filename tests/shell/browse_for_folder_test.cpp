// The folder browser of the Qt toolkit, as the data source window's "..." button opens it.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QTimer>
#include <filesystem>
#include <functional>

#include "shell/qt_toolkit.h"
#include "tests/support/gui_support.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using testing_support::TempDir;

namespace {

using testing_support::EnsureApplication;

// Runs `answer` on the folder browser as soon as it is shown.
void WhenBrowserOpens(std::function<void(QFileDialog*)> answer) {
  auto* timer = new QTimer;
  timer->setInterval(10);
  QObject::connect(timer, &QTimer::timeout, [timer, answer] {
    if (auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget())) {
      timer->stop();
      timer->deleteLater();
      answer(dialog);
    }
  });
  timer->start();
}

}  // namespace

TEST(BrowseForFolderTest, ShowsThePromptOnTheStartFolderAndReturnsTheChoice) {
  EnsureApplication();
  quillon::QtToolkit toolkit;
  TempDir dir;
  fs::create_directory(dir.path() / "tables");
  const QString start = QString::fromStdString(dir.path().string());
  QString title;
  QString opened_on;
  WhenBrowserOpens([&](QFileDialog* dialog) {
    title = dialog->windowTitle();
    opened_on = dialog->directory().absolutePath();
    dialog->setDirectory(start + "/tables");
    static_cast<QDialog*>(dialog)->accept();  // the file dialog checks the choice first
  });

  const std::string chosen = toolkit.BrowseForFolder("Please select folder:", dir.path().string());
  EXPECT_EQ(title, "Please select folder:");
  EXPECT_EQ(opened_on, QDir(start).absolutePath());
  EXPECT_EQ(fs::path(chosen), dir.path() / "tables");
}

TEST(BrowseForFolderTest, CancelGivesEmptyText) {
  EnsureApplication();
  quillon::QtToolkit toolkit;
  TempDir dir;
  WhenBrowserOpens([](QFileDialog* dialog) { dialog->reject(); });
  EXPECT_EQ(toolkit.BrowseForFolder("Please select folder:", dir.path().string()), "");
}
