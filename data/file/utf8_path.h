// File names travel through Quillon as UTF-8 on every system. On Windows the
// system takes them as UTF-16 (the wide API), and a plain std::string given
// to std::filesystem or fopen would be read in the ANSI code page, which
// cannot name every file. Every path handed to the system goes through here.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace fox {

std::filesystem::path PathFromUtf8(std::string_view utf8);
std::string Utf8FromPath(const std::filesystem::path& path);

// std::fopen for a UTF-8 path; nullptr with errno set when it fails.
std::FILE* OpenFileUtf8(const std::string& path, const char* mode);

// The value of an environment variable as UTF-8; empty when it is not set.
std::string EnvironmentUtf8(const char* name);

#ifdef _WIN32
// UTF-8 and UTF-16 both ways; invalid UTF-8 throws Error(kUsage).
std::wstring WideFromUtf8(std::string_view utf8);
std::string Utf8FromWide(std::wstring_view wide);
#endif

}  // namespace fox
