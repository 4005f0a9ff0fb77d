// What the change log and the undo journal ask of the operating system, in
// one file per system (platform_posix.cpp, platform_windows.cpp): the path
// separator, the system's temporary folder, and the end, cutting back and
// flushing to disk of an open C file. Nothing here throws; a call that fails
// says so by its result. (The user's short date pattern,
// SystemShortDatePattern in change_log.h, is defined there too.)
#pragma once

#include <cstdio>
#include <string>

namespace quillon::platform {

#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The system's temporary folder without a trailing separator: GetTempPathW
// on Windows ("." when it fails), TMPDIR or else /tmp elsewhere.
std::string SystemTemporaryFolder();

// The size of the open file, or -1.
long long FileEnd(std::FILE* file);

// Cuts the file back to `size` bytes: what a failed write left of its lines.
bool CutBack(std::FILE* file, long long size);

// Makes what was written to the file durable.
bool MakeDurable(std::FILE* file);

}  // namespace quillon::platform
