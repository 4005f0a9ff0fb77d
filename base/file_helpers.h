// File-system helpers of the data access and the windows: listing the table
// files of a folder, and the two existence tests.
//
// Paths are UTF-8 strings on every system (see data/file/utf8_path.h). None of these functions reports an
// error to the user; a failure of the directory listing itself is thrown to the caller, whose error trap
// reports it.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillon {

// The separator that GetPath and ListFiles append to a folder.
inline constexpr char kPathSeparator = static_cast<char>(std::filesystem::path::preferred_separator);

// `folder` followed by kPathSeparator unless its last character already is one
// ("" gives the separator alone).
std::string WithTrailingSeparator(std::string folder);

// Whether `c` separates the folders of a path: '/' everywhere, '\\' too on
// Windows.
bool IsPathSeparator(char c);

// `folder` without its trailing separators ('/' or '\\'), except a root's
// ("/", "C:\\").
std::string WithoutTrailingSeparator(std::string folder);

// Bare names of the plain files in `folder` (with or without a trailing
// separator) that match the wildcard `pattern`, in the order the platform
// enumerates them, unsorted. "*" matches any run of characters and "?" one
// character, ignoring case as Windows does; a pattern ending in ".*" also
// matches names without an extension. Hidden (dot) files are included; folders
// are not, and neither is a candidate that IsExistingFile refuses.
// A folder that does not exist, or no match, gives an empty list. Any other
// failure to list the folder (no permission, not a folder) throws
// quillon::Error naming the folder and the reason.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern);

// True when `path` opens as a regular file for reading; the file is closed at
// once. Folders, devices and files that cannot be opened give false.
bool IsExistingFile(const std::string& path);

// True when the last-modified time of the entry at `path` can be read,
// whatever kind of entry it is (an existing folder gives true). False for an
// empty path and on every failure; never throws.
bool FileExists(const std::string& path) noexcept;

// Replaces the content of the file at `path` (made when missing) with
// `bytes` so that it is wholly old or wholly new after a crash: the bytes go
// to a new file beside it, which is flushed and then renamed over it.
// Throws quillon::Error with the system's reason.
void WriteFileAtomically(const std::string& path, const std::string& bytes);

// Whether `name` matches the wildcard `pattern` under the rules of ListFiles.
bool MatchesWildcard(const std::string& name, const std::string& pattern);

}  // namespace quillon
