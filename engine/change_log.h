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

namespace fox {
class RunLog;
}  // namespace fox

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

// The run log's entry that holds the change log lines of a batch (the
// caller's entry kind 5 of fox::RunLog). A batch's lines repeat a few
// texts (one date and time, pair, table and column for many records), so
// the entry holds each text once: the kind, the number of texts (u32), each
// text (u32 size and the bytes, without its line end), the number of lines
// (u32) and, for each line in order, the number of its text (u32).
inline constexpr unsigned char kLinesEntry = 5;
// The entry for `lines` (each ending in CR LF, as the change log holds
// them).
std::string LinesEntry(std::string_view lines);

// After a run stopped before it finished: appends to the change log the
// lines that the run log at `run_log` holds for committed batches and that
// the log's last part does not hold (each line as many times as the run
// log has it), in order, durably; returns how many it added. Throws
// quillon::Error when a file cannot be read or written.
size_t CompleteChangeLog(const std::string& run_log);
// CompleteChangeLog for each of `run_logs` (those a table's repair used,
// fox::Table::repaired_logs), told in a sentence for the repair's notice
// ("" when no line was missing); never throws.
std::string CompleteChangeLogs(const std::vector<std::string>& run_logs);

// The change log as one run writes it, as UTF-8 on every system (the ANSI
// code page of Windows cannot hold every text a run may find and replace),
// each line ending in CR LF. The file, created when
// missing, stays open from the first line to Close (or the end of the
// object), so a run that changes many fields does not open and close it for
// each of them; after a failed write the next line opens it afresh.
//
// A line may belong to a record: it is then held until that record's batch
// is committed in the run's log (fox::RunLog; Committed, from the tables'
// after-commit hook), and written once the log's commit covers it, by the
// thread that committed: a line tells only of a change that was saved. The
// lines of a record that is not saved are dropped (Withdraw). Lines are not
// flushed one batch at a time: the file is made durable when it is closed.
// Every member may be called from any thread.
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
  // (ascending) are held, or were taken by the last batch committed; those
  // of the last batch are counted once.
  size_t Changes(const std::vector<uint32_t>& records);
  // Opens (creates) the file now, so that a run finds out before it changes
  // anything that its lines cannot be written. Throws quillon::Error
  // naming the file and the reason.
  void Open();
  // Takes the commits of `log` (borrowed for the object's life): held lines
  // wait for them. Without it a committed line is written at once.
  void Attach(fox::RunLog& log);
  // Whether a batch may be written: no write of the log has failed.
  bool usable();
  // The records (ascending) of a batch committed in the run's log, which
  // returned `position`: their held lines are written once the log's
  // commits reach that position.
  void Committed(const std::vector<uint32_t>& records, uint64_t position) noexcept;
  // Appends the held lines of `records` (ascending) to `to`, keeping them
  // held: what the run log keeps with their batch, so that the lines of a
  // committed change can be written after a crash (CompleteChangeLog).
  void CopyHeld(const std::vector<uint32_t>& records, std::string* to);
  // Writes the lines the log's commits up to `committed` cover (the log's
  // commit listener).
  void Release(uint64_t committed) noexcept;
  // Whether lines of changes committed (saved) could not be written: the
  // run log keeps them (CompleteChangeLog).
  bool lost_saved_lines();
  // Makes the lines written so far durable (the run log's leave listener:
  // before a table lets go of its link to the log). A failure is thrown by
  // Close.
  void Sync() noexcept;
  // Writes the lines gathered so far that are not held; false when they
  // could not be. A failure is remembered and thrown by the next Append or
  // Close.
  bool Flush() noexcept;
  // Drops the held lines of `records` (ascending): changes that were not
  // saved. Returns how many changes were dropped.
  size_t Withdraw(const std::vector<uint32_t>& records);
  // Writes the lines committed, drops those of changes not committed,
  // makes the file durable and closes; throws a failure to write.
  void Close();

 private:
  // With mutex_ held: opens the file when it is not open (false, with the
  // error, when it cannot be); writes the gathered lines (`durable`: and
  // flushes them to the disk) and returns why that failed, or "": a write
  // that fails part-way is cut back, so that no line of it stays.
  bool OpenFile(int* error);
  std::string WritePending(bool durable = false);
  void CloseFile() noexcept;

  // With mutex_ held: moves the queued lines `committed` covers to
  // pending_ and writes it.
  void ReleaseQueued(uint64_t committed) noexcept;
  void Enqueue(const std::string& line, std::string* to);

  std::mutex mutex_;
  std::string path_;
  std::FILE* file_ = nullptr;
  fox::RunLog* run_log_ = nullptr;
  std::string pending_;  // lines not written yet
  HeldByRecord held_;    // lines of records not committed yet
  // The lines of committed batches, each with the log's position its
  // commit must reach.
  struct Queued {
    uint64_t position;
    std::string lines;
  };
  std::vector<Queued> queued_;
  std::vector<uint32_t> last_flushed_;  // the record of each change the last Committed took
  std::string failure_;                 // why the last write failed, until reported
  bool created_empty_ = false;          // Open made the file, and no line has been written to it
  bool wrote_ = false;                  // lines were written since the file was opened
  // A write failed since Open: no held line (of a change) is written after
  // it, since the run stops and those changes are not saved.
  bool broken_ = false;
  bool lost_ = false;  // lines of committed changes were lost
};

}  // namespace quillon
