// The operating system's part of the change log on Windows (see
// platform.h).
#include <windows.h>
#include <io.h>

#include <string_view>

#include "base/file_helpers.h"
#include "data/file/utf8_path.h"
#include "engine/change_log.h"
#include "engine/platform.h"

namespace quillon {

std::string SystemShortDatePattern() {
  wchar_t buffer[128];
  const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SSHORTDATE, buffer, 128);
  if (n > 1) return fox::Utf8FromWide(std::wstring_view(buffer, static_cast<size_t>(n - 1)));
  return "M/d/yyyy";
}

namespace platform {

std::string SystemTemporaryFolder() {
  wchar_t buffer[MAX_PATH + 2];
  const DWORD n = GetTempPathW(MAX_PATH + 2, buffer);
  if (n > 0 && n <= MAX_PATH + 1)
    return WithoutTrailingSeparator(fox::Utf8FromWide(std::wstring_view(buffer, n)));
  return ".";
}

long long FileEnd(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  return _ftelli64(file);
}

bool CutBack(std::FILE* file, long long size) { return _chsize_s(_fileno(file), size) == 0; }

bool MakeDurable(std::FILE* file) { return _commit(_fileno(file)) == 0; }

}  // namespace platform
}  // namespace quillon
