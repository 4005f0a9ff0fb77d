// Linked into every test program that can reach the settings store. Before
// main runs, the store is moved to a scratch folder, so that no test, and no
// program a test starts, ever reads or writes the user's own settings.
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "base/settings_store.h"

namespace {

class IsolatedSettings {
 public:
  IsolatedSettings() {
    std::random_device rd;
    folder_ = std::filesystem::temp_directory_path() / ("quillon-settings-" + std::to_string(rd()));
    std::filesystem::create_directories(folder_);
#ifdef _WIN32
    // The registry cannot be redirected; the store becomes a file instead.
    // The variable tells SettingsSandbox where to go back to.
    _putenv_s("XDG_CONFIG_HOME", folder_.string().c_str());
    quillon::SetSettingsFolder(folder_.string());
#else
    setenv("XDG_CONFIG_HOME", folder_.c_str(), 1);
#endif
  }
  ~IsolatedSettings() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }

 private:
  std::filesystem::path folder_;
};

const IsolatedSettings isolated_settings;

}  // namespace
