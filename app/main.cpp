// Starts Quillon: the data source window is created, and its load does the
// rest of the start-up (skin, titles, pointer picture, the last data source,
// and on to the main window when that source is usable). The program ends
// when either of the two windows is closed. No command line is read.
#include <QApplication>
#include <string>

#include "base/program_folder.h"
#include "shell/qt_toolkit.h"
#include "shell/window_helpers.h"
#include "ui/data_source_window.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  app.setWindowIcon(quillon::ApplicationIcon());

  quillon::QtToolkit toolkit;
  std::string program_folder;
  try {
    program_folder = quillon::ProgramFolder();
  } catch (const std::exception&) {
    // Without it the optional files beside the program are simply not found.
  }
  quillon::DataSourceWindow form1(toolkit, program_folder);
  return app.exec();
}
