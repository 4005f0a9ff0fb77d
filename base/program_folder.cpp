#include "base/program_folder.h"

#include <stdexcept>

#include "base/error.h"
#include "base/file_helpers.h"
#include "data/file/utf8_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <cerrno>
#include <cstring>
#endif

namespace quillon {
namespace {

// The full path of the program file.
std::string ProgramFile() {
#ifdef _WIN32
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) throw Error(ErrorKind::kIo, "The program's own path is not available.");
    if (length < buffer.size()) return fox::Utf8FromWide(std::wstring_view(buffer.data(), length));
    buffer.resize(buffer.size() * 2);  // the name was cut off
  }
#else
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length < 0) {
      throw Error(ErrorKind::kIo,
                  std::string("The program's own path is not available: ") + std::strerror(errno));
    }
    if (static_cast<size_t>(length) < buffer.size()) return buffer.substr(0, static_cast<size_t>(length));
    buffer.resize(buffer.size() * 2);
  }
#endif
}

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

}  // namespace

std::string ProgramFolder() {
  const std::string file = ProgramFile();
  size_t end = file.size();
  while (end > 0 && !IsSeparator(file[end - 1])) --end;  // cut the file name
  if (end == 0) return file;
  std::string folder = file.substr(0, end);
  // Keep the separator only where the folder is a root: "/" or "C:\".
  const bool root = folder.size() == 1 || (folder.size() == 3 && folder[1] == ':');
  if (!root) folder.pop_back();
  return folder;
}

std::string BesideFolder(const std::string& folder, const std::string& relative) {
  std::string path = WithTrailingSeparator(folder);
  for (char c : relative) path += (c == '/') ? kPathSeparator : c;
  return path;
}

}  // namespace quillon
