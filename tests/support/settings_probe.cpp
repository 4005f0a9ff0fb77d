// A second program over the settings store, for the tests that check that a
// value written by one start of the program is what the next start reads.
//   settings_probe get KEY DEFAULT   prints the value
//   settings_probe set KEY VALUE     stores the value
// The store is wherever the environment puts it (XDG_CONFIG_HOME). On
// Windows, where the store is the registry, the variable names the folder of
// a Velmora.conf that stands in for it, as in the test programs.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>

#include "base/settings_store.h"

int main(int argc, char* argv[]) {
  if (argc != 4) return 2;
#ifdef _WIN32
  if (const char* folder = std::getenv("XDG_CONFIG_HOME"); folder != nullptr && *folder != '\0') {
    quillon::SetSettingsFolder(folder);
  }
#endif
  try {
    if (std::strcmp(argv[1], "get") == 0) {
      std::fputs(quillon::GetSetting(argv[2], argv[3]).c_str(), stdout);
      return 0;
    }
    if (std::strcmp(argv[1], "set") == 0) {
      quillon::SaveSetting(argv[2], argv[3]);
      return 0;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 1;
  }
  return 2;
}
