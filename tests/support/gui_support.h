// Helpers for tests that drive real widgets (QT_QPA_PLATFORM=offscreen).
#pragma once

#include <QApplication>

namespace testing_support {

// Creates the QApplication of the test program on first use; it lives until
// the program ends.
inline void EnsureApplication() {
  if (QApplication::instance() != nullptr) return;
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
