// Starts Quillon. Until the data source window exists, an empty main window
// stands in for it.
#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  QWidget window;
  window.setWindowTitle("Quillon");
  window.resize(480, 320);
  window.show();
  return app.exec();
}
