// The program's base on Windows (see system.h).
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/file_helpers.h"
#include "base/system.h"
#include "base/text_encoding.h"
#include "data/file/disk_file.h"
#include "data/file/utf8_path.h"

namespace quillon {

std::string ProgramFile() {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) throw Error(ErrorKind::kIo, "The program's own path is not available.");
    if (length < buffer.size()) return fox::Utf8FromWide(std::wstring_view(buffer.data(), length));
    buffer.resize(buffer.size() * 2);  // the name was cut off
  }
}

bool IsVisiblePlainFile(const std::string& path) {
  if (path.empty()) return false;
  // The path is UTF-8: the wide call on its UTF-16 form, as the file layer
  // makes it, finds a file whose folder name is not in the ANSI code page.
  const std::wstring wide = fox::WideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  return (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0;
}

std::vector<std::string> ProgramArguments(int, char*[]) {
  std::vector<std::string> args;
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 1; i < count; ++i) args.push_back(fox::Utf8FromWide(wide[i]));
    LocalFree(wide);
  }
  SetConsoleOutputCP(CP_UTF8);
  return args;
}

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  const std::wstring target = fox::WideFromUtf8(path);
  std::wstring temp;
  HANDLE h = INVALID_HANDLE_VALUE;
  for (int serial = 0; h == INVALID_HANDLE_VALUE; ++serial) {
    temp = target + L".quillon-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(serial);
    h = CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE && (GetLastError() != ERROR_FILE_EXISTS || serial >= 100))
      throw Error(ErrorKind::kIo, fox::SystemErrorText(GetLastError()));
  }
  DWORD written = 0;
  bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
            written == bytes.size() && FlushFileBuffers(h);
  DWORD code = GetLastError();
  CloseHandle(h);
  if (ok) {
    ok = MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    code = GetLastError();
  }
  if (!ok) {
    DeleteFileW(temp.c_str());
    throw Error(ErrorKind::kIo, fox::SystemErrorText(code));
  }
}

std::string SystemToUtf8(std::string_view bytes) {
  if (bytes.empty()) return {};
  const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
  return fox::Utf8FromWide(wide);
}

bool Utf8ToSystem(std::string_view utf8, std::string* out) {
  out->clear();
  if (utf8.empty()) return true;
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  BOOL lossy = FALSE;
  const int m = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()),
                                    nullptr, 0, nullptr, &lossy);
  if (lossy || m <= 0) return false;
  out->resize(static_cast<size_t>(m));
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), static_cast<int>(wide.size()), out->data(),
                      m, nullptr, &lossy);
  return !lossy;
}

}  // namespace quillon
