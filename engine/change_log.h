// The change log: "backups.log" in the temporary folder, one line appended per
// field found to contain a find text. The program only ever appends to it; it
// is the only record of what a run changed.
#pragma once

#include <string>

namespace quillon {

inline constexpr char kChangeLogName[] = "backups.log";

// The folder of the change log: the value of the environment variable "TEMP"
// when it is set and not empty, otherwise the platform's temporary folder
// (TMPDIR, else /tmp, on Linux).
std::string ChangeLogFolder();

// ChangeLogFolder(), the path separator and kChangeLogName.
std::string ChangeLogPath();

// The current local date and time in the system locale's short date and time
// format, as the change log shows it.
std::string ChangeLogDateTime();

// One change log line, without its line end:
//   "[" date_time "] - " find " was replace to " replace " at table (" table ") and column (" column ")"
std::string ChangeLogLine(const std::string& date_time, const std::string& find, const std::string& replace,
                          const std::string& table, const std::string& column);

// Appends `line` and CR LF to the change log, creating the file when it is
// missing. The file is opened and closed around the line, so other programs
// can read it at any time. The line is written as UTF-8 on Linux and in the
// system's code page on Windows. Throws std::runtime_error naming the file and
// the reason when the line cannot be written.
void AppendToBackupsLog(const std::string& line);

}  // namespace quillon
