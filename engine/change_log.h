// The change log: "backups.log" in the temporary folder, one line appended per
// field found to contain a find text. The program only ever appends to it; it
// is the only record of what a run changed.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/held_by_record.h"

namespace quillon {

inline constexpr char kChangeLogName[] = "backups.log";

// The folder of the change log: the value of the environment variable "TEMP"
// when it is set and not empty, otherwise the platform's temporary folder
// (TMPDIR, else /tmp, on Linux).
std::string ChangeLogFolder();

// ChangeLogFolder(), the path separator and kChangeLogName.
std::string ChangeLogPath();

// The current local date and time as the change log shows it: the date in
// the order and separators of the system's short date with a four-digit
// year, then the time as hh:mm:ss (31/08/2021 14:05:09 for "dd/MM/yy",
// 8/31/2021 14:05:09 for "M/d/yyyy").
std::string ChangeLogDateTime();
// The same for any moment (local time) and short date pattern: d, dd, M, MM,
// MMM, MMMM, ddd, dddd, any run of y, text in single quotes ('' for a quote),
// anything else as it is.
std::string ChangeLogDateTime(const std::tm& moment, std::string_view short_date_pattern);
// The system's short date pattern: the user's locale setting on Windows, the
// date format of the locale (LC_TIME, LANG) elsewhere.
std::string SystemShortDatePattern();

// One change log line, without its line end:
//   "[" date_time "] - " find " was replace to " replace " at table (" table ") and column (" column ")"
std::string ChangeLogLine(const std::string& date_time, const std::string& find, const std::string& replace,
                          const std::string& table, const std::string& column);
// The line for a record whose changes, logged before, could not be saved:
//   "[" date_time "] - Record " recno " of table (" table ") was not saved: " cause
std::string NotSavedLine(const std::string& date_time, uint32_t recno, const std::string& table,
                         const std::string& cause);
// ChangeLogLine, made in `line` (its storage reused from line to line).
void ChangeLogLine(std::string* line, const std::string& date_time, const std::string& find,
                   const std::string& replace, const std::string& table, const std::string& column);

// The change log as one run writes it, as UTF-8 on every system (the ANSI
// code page of Windows cannot hold every text a run may find and replace),
// each line ending in CR LF. The file, created when
// missing, stays open from the first line to Close (or the end of the
// object), so a run that changes many fields does not open and close it for
// each of them; after a failed write the next line opens it afresh.
//
// Lines are gathered and written together by Flush: the run's tables call it
// before they write a batch of saved records (see fox::Table::Options), so a
// line always reaches the file before the change it describes, and a run
// that changes a field in every record costs one write per batch rather than
// one per line. Close flushes too. Append and Flush may be called from
// different threads.
//
// A line may belong to a record: it is then held until that record is
// written (Flush with the record's number), so that a record another
// program's change kept from being saved, and which the run changes again,
// leaves no line for the change that was not saved (Withdraw).
class ChangeLog {
 public:
  ChangeLog() = default;
  ~ChangeLog();
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;

  // Adds a line. Throws quillon::Error naming the file and the reason
  // when the file cannot be opened, or when writing earlier lines failed
  // (those lines are lost; this one is kept for the next write).
  void Append(const std::string& line);
  // Adds a line about a change of record `recno`, held until the record is
  // written; throws like Append.
  void Append(const std::string& line, uint32_t recno);
  // Adds `count` lines from `lines` about one change of record `recno` (the
  // lines of one field), held together until the record is written and
  // withdrawn together; throws like Append.
  void AppendChange(const std::string* lines, size_t count, uint32_t recno);
  // How many changes (AppendChange, or Append with a record) of `records`
  // (ascending) are held, or went to the file with the last batch of
  // records flushed; those of the last batch are counted once.
  size_t Changes(const std::vector<uint32_t>& records);
  // Opens (creates) the file now, so that a run finds out before it changes
  // anything that its lines cannot be written. Throws quillon::Error
  // naming the file and the reason.
  void Open();
  // Writes the lines gathered so far; false when they could not be. A
  // failure is remembered and thrown by the next Append or Close.
  bool Flush() noexcept;
  // The same, holding back the lines of records other than `records`
  // (ascending): the records of the batch about to be written.
  bool Flush(const std::vector<uint32_t>& records) noexcept;
  // Drops the held lines of `records` (ascending): changes that were not
  // saved. Returns how many changes were dropped.
  size_t Withdraw(const std::vector<uint32_t>& records);
  // Flushes and closes; throws a failure to write.
  void Close();

 private:
  // With mutex_ held: opens the file when it is not open (false, with the
  // error, when it cannot be); writes the gathered lines (`durable`: and
  // flushes them to the disk) and returns why that failed, or "": a write
  // that fails part-way is cut back, so that no line of it stays.
  bool OpenFile(int* error);
  std::string WritePending(bool durable = false);
  void CloseFile() noexcept;

  std::mutex mutex_;
  std::string path_;
  std::FILE* file_ = nullptr;
  // Flush, writing the held lines of the records for which `take` is true.
  template <typename Take>
  bool FlushHeld(Take take, std::vector<uint32_t>* records = nullptr) noexcept;
  void Enqueue(const std::string& line, std::string* to);

  std::string pending_;                 // lines not written yet
  HeldByRecord held_;                   // lines of records not written yet
  std::vector<uint32_t> last_flushed_;  // the record of each change the last Flush(records) wrote
  std::string failure_;                 // why the last write failed, until reported
  bool created_empty_ = false;          // Open made the file, and no line has been written to it
  // A write failed since Open: no held line (of a change) is written after
  // it, since the run stops and those changes are not saved.
  bool broken_ = false;
};

}  // namespace quillon
