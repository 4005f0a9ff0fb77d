// Starts Quillon. Until the data source window exists, an empty main window
// stands in for it.
#include <QApplication>
#include <QWidget>

#include "shell/window_helpers.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  app.setWindowIcon(quillon::ApplicationIcon());
  QWidget window;
  window.setWindowTitle("Quillon");
  window.resize(480, 320);
  window.show();
  return app.exec();
}
