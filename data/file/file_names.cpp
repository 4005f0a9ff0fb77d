#include "data/file/file_names.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "data/file/utf8_path.h"

namespace fox {

namespace fs = std::filesystem;

namespace {

fs::path ToPath(const std::string& utf8) { return PathFromUtf8(utf8); }

std::string FromPath(const fs::path& path) { return Utf8FromPath(path); }

char LowerChar(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::optional<fs::path> FindEntry(const fs::path& folder, const std::string& name) {
  if (name.empty()) return std::nullopt;
  std::error_code ec;
  const fs::path dir = folder.empty() ? fs::path(".") : folder;
  if (fs::exists(dir / ToPath(name), ec)) return folder / ToPath(name);

  // Several entries may differ only in case (ORDERS.FPT and orders.fpt);
  // take the first in byte order so that the choice does not depend on the
  // order the file system lists them in.
  std::optional<std::string> best;
  fs::directory_iterator it(dir, ec);
  if (ec) return std::nullopt;
  for (const fs::directory_entry& entry : it) {
    std::string candidate = FromPath(entry.path().filename());
    if (EqualIgnoringCase(candidate, name) && (!best || candidate < *best)) best = candidate;
  }
  if (!best) return std::nullopt;
  return folder / ToPath(*best);
}

bool IsDriveLetter(const std::string& component) {
  return component.size() == 2 && component[1] == ':' &&
         ((component[0] >= 'A' && component[0] <= 'Z') || (component[0] >= 'a' && component[0] <= 'z'));
}

}  // namespace

std::string LowerAscii(std::string s) {
  for (char& c : s) c = LowerChar(c);
  return s;
}

bool EqualIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerChar(a[i]) != LowerChar(b[i])) return false;
  }
  return true;
}

std::optional<std::string> FindFileIgnoringCase(const std::string& folder, const std::string& name) {
  std::optional<fs::path> found = FindEntry(ToPath(folder), name);
  if (!found) return std::nullopt;
  return FromPath(*found);
}

std::optional<std::string> FindCompanionFile(const std::string& path, const std::string& extension) {
  fs::path p = ToPath(path);
  std::string stem = FromPath(p.stem());
  if (stem.empty()) return std::nullopt;
  std::string wanted = stem + (extension.empty() || extension[0] == '.' ? extension : "." + extension);
  std::optional<fs::path> found = FindEntry(p.parent_path(), wanted);
  if (!found) return std::nullopt;
  return FromPath(*found);
}

std::optional<std::string> ResolveStoredPath(const std::string& folder, const std::string& stored) {
  std::vector<std::string> parts;
  std::string current;
  for (char c : stored) {
    if (c == '\\' || c == '/') {
      parts.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  parts.push_back(current);

  fs::path at = ToPath(folder).lexically_normal();
  if (at.has_relative_path() && !at.has_filename()) at = at.parent_path();  // "a/b/" -> "a/b"
  size_t first = 0;
  if (IsDriveLetter(parts[0])) {
#ifdef _WIN32
    at = ToPath(parts[0] + "\\");
    first = 1;
#else
    // A drive of the machine that wrote the file; it means nothing here.
    return std::nullopt;
#endif
  } else if (parts[0].empty() && parts.size() > 1) {
    at = at.root_path().empty() ? fs::path("/") : at.root_path();
    first = 1;
  }

  bool named_something = false;
  for (size_t i = first; i < parts.size(); ++i) {
    const std::string& part = parts[i];
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      // Windows resolves ".." by name, not through links; do the same.
      if (at.empty() || at == ".") {
        at = "..";
      } else if (at.filename() == "..") {
        at /= "..";
      } else if (at.has_filename()) {
        at = at.parent_path();
      }
      // At the root, ".." stays at the root.
      continue;
    }
    std::optional<fs::path> found = FindEntry(at, part);
    if (!found) return std::nullopt;
    at = *found;
    named_something = true;
  }
  if (!named_something) return std::nullopt;
  return FromPath(at);
}

}  // namespace fox
