#include "base/file_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "base/error.h"
#include "data/file/disk_file.h"
#include "data/file/utf8_path.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#endif

namespace fs = std::filesystem;

namespace quillon {

namespace {

bool IsSeparator(char c) {
#ifdef _WIN32
  return c == '\\' || c == '/';
#else
  return c == '/';
#endif
}

char FoldCase(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Index of the character after the one at `i`. Names are UTF-8, so a
// character is a lead byte and its continuation bytes; "?" must take all of
// them.
size_t NextCharacter(const std::string& s, size_t i) {
  ++i;
  while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
  return i;
}

// Classic wildcard match with one backtracking point: on a mismatch the last
// "*" takes one more character and matching resumes after it.
bool MatchPlain(const std::string& name, const std::string& pattern) {
  size_t n = 0, p = 0;
  size_t star_p = std::string::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      star_p = ++p;
      star_n = n;
    } else if (p < pattern.size() && pattern[p] == '?') {
      n = NextCharacter(name, n);
      ++p;
    } else if (p < pattern.size() && FoldCase(pattern[p]) == FoldCase(name[n])) {
      ++n;
      ++p;
    } else if (star_p != std::string::npos) {
      star_n = NextCharacter(name, star_n);
      n = star_n;
      p = star_p;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

Error ListingFailed(const std::string& folder, const std::error_code& ec) {
  return Error(ErrorKind::kIo, "Cannot list the files of the folder \"" + folder + "\": " + ec.message());
}

}  // namespace

std::string WithTrailingSeparator(std::string folder) {
  if (folder.empty() || !IsSeparator(folder.back())) folder += kPathSeparator;
  return folder;
}

bool MatchesWildcard(const std::string& name, const std::string& pattern) {
  if (MatchPlain(name, pattern)) return true;
  // Windows lets "name.*" (and "*.*") match a name that has no extension.
  const size_t n = pattern.size();
  return n >= 2 && pattern.compare(n - 2, 2, ".*") == 0 && MatchPlain(name, pattern.substr(0, n - 2));
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern) {
  const std::string base = WithTrailingSeparator(folder);
  std::vector<std::string> names;

  std::error_code ec;
  fs::directory_iterator it(fox::PathFromUtf8(base), ec);
  if (ec) {
    // Windows says a file named as a folder is missing: it is not a folder.
    std::error_code file_ec;
    if (ec == std::errc::no_such_file_or_directory && !folder.empty() &&
        fs::is_regular_file(fox::PathFromUtf8(folder), file_ec)) {
      throw ListingFailed(base, std::make_error_code(std::errc::not_a_directory));
    }
    if (ec == std::errc::no_such_file_or_directory) return names;
    throw ListingFailed(base, ec);
  }
  for (const fs::directory_iterator end; it != end;) {
    const std::string name = fox::Utf8FromPath(it->path().filename());
    std::error_code type_ec;
    if (!name.empty() && !it->is_directory(type_ec) && MatchesWildcard(name, pattern) &&
        IsExistingFile(base + name)) {
      names.push_back(std::move(name));
    }
    it.increment(ec);
    if (ec) throw ListingFailed(base, ec);
  }
  return names;
}

bool IsExistingFile(const std::string& path) {
  if (path.empty()) return false;
  try {
    // Opening a FIFO or a device for reading could block or have effects;
    // only regular files (symbolic links followed) are candidates.
    std::error_code ec;
    if (!fs::is_regular_file(fox::PathFromUtf8(path), ec)) return false;
  } catch (const std::exception&) {
    return false;
  }
  std::FILE* file = fox::OpenFileUtf8(path, "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool FileExists(const std::string& path) noexcept {
  try {
    std::error_code ec;
    (void)fs::last_write_time(fox::PathFromUtf8(path), ec);
    return !ec;
  } catch (...) {
    return false;
  }
}

#ifdef _WIN32

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

#else

void WriteFileAtomically(const std::string& path, const std::string& bytes) {
  std::string temp = path + ".quillon-XXXXXX";
  const int fd = ::mkstemp(temp.data());
  if (fd == -1) throw Error(ErrorKind::kIo, std::strerror(errno));
  int error = 0;
  for (size_t done = 0; done < bytes.size() && error == 0;) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += static_cast<size_t>(n);
  }
  // The file keeps its permissions; a new one gets those a new file gets
  // (mkstemp makes it readable by its owner only).
  struct stat old {};
  mode_t mode;
  if (::stat(path.c_str(), &old) == 0) {
    mode = old.st_mode & 07777;
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode = 0666 & ~mask;
  }
  if (error == 0 && ::fchmod(fd, mode) != 0) error = errno;
  if (error == 0 && ::fsync(fd) != 0) error = errno;
  if (::close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && std::rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) {
    ::unlink(temp.c_str());
    throw Error(ErrorKind::kIo, std::strerror(error));
  }
  // The rename itself is made durable with the folder.
  std::string folder = path;
  while (!folder.empty() && folder.back() != '/') folder.pop_back();
  const int dir = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir != -1) {
    ::fsync(dir);
    ::close(dir);
  }
}

#endif

}  // namespace quillon
