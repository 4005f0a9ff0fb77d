// The change log: "backups.log" in the temporary folder, one line appended per
// field found to contain a find text. The program only ever appends to it; it
// is the only record of what a run changed.
#pragma once

#include <cstdio>
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

// The change log as one run writes it. Each line (with CR LF) goes to the file
// in a single write as soon as it is appended, as UTF-8 on Linux and in the
// system's code page on Windows, so other programs can read it at any time and
// nothing is lost if the program ends. The file, created when missing, stays
// open from the first line to Close (or the end of the object), so a run that
// changes many fields does not open and close it for each of them; after a
// failed write the next line opens it afresh.
class ChangeLog {
 public:
  ChangeLog() = default;
  ~ChangeLog();
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;

  // Throws std::runtime_error naming the file and the reason when the line
  // cannot be written.
  void Append(const std::string& line);
  void Close();

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};

// Appends one line to the change log: opens the file, writes the line and
// CR LF, closes it. Throws like ChangeLog::Append.
void AppendToBackupsLog(const std::string& line);

}  // namespace quillon
