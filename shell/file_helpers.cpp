#include "shell/file_helpers.h"

#include <cstdio>
#include <stdexcept>
#include <system_error>

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

// Index of the character after the one at `i`. On Linux names are UTF-8, so a
// character is a lead byte and its continuation bytes; "?" must take all of
// them. The Windows ANSI code pages need no such step.
size_t NextCharacter([[maybe_unused]] const std::string& s, size_t i) {
  ++i;
#ifndef _WIN32
  while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
#endif
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

std::runtime_error ListingFailed(const std::string& folder, const std::error_code& ec) {
  return std::runtime_error("Cannot list the files of the folder \"" + folder + "\": " + ec.message());
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
  fs::directory_iterator it(fs::path(base), ec);
  if (ec) {
    if (ec == std::errc::no_such_file_or_directory) return names;
    throw ListingFailed(base, ec);
  }
  for (const fs::directory_iterator end; it != end;) {
    std::string name;
    try {
      name = it->path().filename().string();
    } catch (const std::system_error&) {
      // A name the narrow code page cannot represent could not be opened by
      // its narrow path either; it is not a candidate.
    }
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
    if (!fs::is_regular_file(fs::path(path), ec)) return false;
  } catch (const std::exception&) {
    return false;
  }
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::fclose(file);
  return true;
}

bool FileExists(const std::string& path) noexcept {
  try {
    std::error_code ec;
    (void)fs::last_write_time(fs::path(path), ec);
    return !ec;
  } catch (...) {
    return false;
  }
}

}  // namespace quillon
