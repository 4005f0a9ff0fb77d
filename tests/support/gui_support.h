// Helpers for tests that drive real widgets (QT_QPA_PLATFORM=offscreen).
#pragma once

#include <QApplication>

namespace testing_support {

// Creates the QApplication of the test program on first use; it lives until
// the program ends. File and folder dialogs are Qt's own, which a test can
// answer: on Windows the program shows the system's dialogs, which it cannot.
inline void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
  QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
  static int argc = 1;
  static char name[] = "quillon_test";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);
}

// A member to put first in a test fixture that holds widgets.
struct WithApplication {
  WithApplication() { EnsureApplication(); }
};

}  // namespace testing_support
