// What the program's base asks of the operating system, in one file per
// system (system_posix.cpp, system_windows.cpp). The other functions those
// files define are declared with their kin: WriteFileAtomically in
// file_helpers.h, SystemToUtf8 and Utf8ToSystem in text_encoding.h.
#pragma once

#include <string>
#include <vector>

namespace quillon {

// The full path of the running program's file, as UTF-8. Throws
// Error(kIo) when the system does not say.
std::string ProgramFile();

// Whether a directory search for `path` would find it as an ordinary file: it
// exists, is not a folder and is not hidden (on Windows the hidden or system
// attribute, elsewhere a name that begins with ".").
bool IsVisiblePlainFile(const std::string& path);

// The program's arguments after its name, as UTF-8: on Windows from the
// wide command line (argv holds them in the ANSI code page, which cannot
// hold every text or file name), and the console is told that what is
// printed is UTF-8; elsewhere argv as it is.
std::vector<std::string> ProgramArguments(int argc, char* argv[]);

}  // namespace quillon
