// An empty settings store in a scratch folder for one test: Velmora.conf is
// kept in the sandbox's folder while the object lives.
#pragma once

#include <QSettings>
#include <QString>
#include <cstdlib>
#include <string>

#include "base/settings_store.h"
#include "tests/support/test_support.h"

namespace testing_support {

class SettingsSandbox {
 public:
  SettingsSandbox() { Point(dir_.path().string()); }
  // Back to the scratch folder of the whole test program (isolated_settings).
  ~SettingsSandbox() {
    const char* config_home = std::getenv("XDG_CONFIG_HOME");
    Point(config_home != nullptr ? config_home : "");
  }
  SettingsSandbox(const SettingsSandbox&) = delete;
  SettingsSandbox& operator=(const SettingsSandbox&) = delete;

  // The folder that holds the store, and the store's file.
  std::string folder() const { return dir_.path().string(); }
  std::string file() const { return dir_.Sub("Velmora.conf"); }

 private:
  static void Point(const std::string& folder) {
#ifdef _WIN32
    quillon::SetSettingsFolder(folder);
#else
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, QString::fromStdString(folder));
#endif
  }

  TempDir dir_;
};

}  // namespace testing_support
