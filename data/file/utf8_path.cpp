#include "data/file/utf8_path.h"

#include <cstdlib>

#include "data/text/utf8.h"
#include "data/util/error.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fox {

std::filesystem::path PathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8FromPath(const std::filesystem::path& path) {
  const std::u8string u8 = path.u8string();
  return std::string(u8.begin(), u8.end());
}

#ifdef _WIN32

std::wstring WideFromUtf8(std::string_view utf8) {
  if (utf8.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()),
                                    nullptr, 0);
  if (n <= 0) throw Error(ErrorKind::kUsage, "The name \"" + std::string(utf8) + "\" is not valid UTF-8.");
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), static_cast<int>(utf8.size()), wide.data(),
                      n);
  return wide;
}

std::string Utf8FromWide(std::wstring_view wide) { return Utf8FromUtf16(wide.data(), wide.size()); }

std::FILE* OpenFileUtf8(const std::string& path, const char* mode) {
  try {
    return _wfopen(WideFromUtf8(path).c_str(), WideFromUtf8(mode).c_str());
  } catch (const Error&) {
    errno = EINVAL;
    return nullptr;
  }
}

std::string EnvironmentUtf8(const char* name) {
  const wchar_t* value = _wgetenv(WideFromUtf8(name).c_str());
  return value == nullptr ? std::string() : Utf8FromWide(value);
}

#else

std::FILE* OpenFileUtf8(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

std::string EnvironmentUtf8(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

#endif

}  // namespace fox
