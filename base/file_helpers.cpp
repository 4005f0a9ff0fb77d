#include "base/file_helpers.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include "base/error.h"
#include "data/file/disk_file.h"
#include "data/file/utf8_path.h"

namespace fs = std::filesystem;

namespace quillon {

namespace {

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

bool IsPathSeparator(char c) { return c == '/' || (kPathSeparator == '\\' && c == '\\'); }

std::string WithoutTrailingSeparator(std::string folder) {
  while (folder.size() > 1 && (folder.back() == '/' || folder.back() == '\\') &&
         !(folder.size() == 3 && folder[1] == ':')) {
    folder.pop_back();
  }
  return folder;
}

std::string WithTrailingSeparator(std::string folder) {
  if (folder.empty() || !IsPathSeparator(folder.back())) folder += kPathSeparator;
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

}  // namespace quillon
