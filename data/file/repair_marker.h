// The marker Quillon keeps beside a table while it changes it:
// "<table file>.quillon-repair", a short text file.
//
// Writing a batch of saves passes through states that a crash leaves behind
// (see Table::Save): records written before the index pages that go with
// them, index pages half written, or records part written when the crash
// came inside their write. The marker says that this may have happened. It
// is made, durably, before the first record or index page of the table is
// written, and with it each program's write-ahead file (WriteAheadFile),
// which is, or links to, the run log that holds the changed parts of the
// records it writes.
//
// Several Quillon programs may change one table at once. Each holds a shared
// lock on one byte of the table file far past anything FoxPro locks
// (kWriterByte) from before it makes the marker until after it has tried to
// remove it. When done, each makes its writes durable and removes its own
// write-ahead file; removing the marker takes that byte exclusively, so it
// is removed only when no other Quillon program is changing the table, and
// only when no write-ahead file is left: one that is left belongs to a
// program that stopped before it finished, and its records and the index
// must be repaired first. A program that opens the table and can take the
// byte exclusively knows that a marker it finds was left by a program that
// stopped: it puts back the records as the run logs of the write-ahead files
// left say the runs committed them,
// checks every tag and rebuilds those that do not agree with the records
// (Table::RepairInterruptedRun).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>

#include "data/file/disk_file.h"
#include "data/file/run_log.h"
#include "data/file/write_ahead_file.h"

namespace fox {

class RepairMarker {
 public:
  // The byte of the table file that Quillon's writers lock.
  static constexpr uint64_t kWriterByte = uint64_t{1} << 40;

  static std::string PathFor(const std::string& table_path) { return table_path + ".quillon-repair"; }

  // `table_file` (open for writing) must outlive the marker.
  RepairMarker(DiskFile& table_file, std::string table_name);
  // Leave, without flushing the files first: a marker that cannot be removed
  // safely stays.
  ~RepairMarker();
  RepairMarker(const RepairMarker&) = delete;
  RepairMarker& operator=(const RepairMarker&) = delete;

  // Takes the shared writer lock (waiting up to two seconds while another
  // Quillon program removes its marker) and makes the marker and this
  // program's write-ahead file, durably: a link to `run_log` (made, and
  // borrowed until Leave), or, when it is null, a run log of the table's
  // own. Throws Error(kLocked, kIo) saying that the table was not changed.
  void Enter(RunLog* run_log, std::time_t started);
  bool entered() const { return entered_; }
  // The run log the table's batches go to; only while entered.
  RunLog& log() { return *log_; }
  // After the last write: calls `flush` (which makes the table's writes
  // durable) and removes the write-ahead file; then, when no other Quillon
  // program changes the table and none left a write-ahead file, removes the
  // marker; then lets the writer lock go. A failure leaves the marker (and
  // the write-ahead file when flush failed), to be acted on when the table
  // is next opened; it is thrown.
  void Leave(const std::function<void()>& flush);

  // Whether a marker was left by a program that stopped before it finished:
  // it is there, and no Quillon program holds the writer lock. When true,
  // the writer byte stays locked exclusively until Release, so that no
  // Quillon program starts changing the table during the repair.
  bool TakeLeftOver();
  void Release() noexcept;

 private:
  DiskFile& file_;
  std::string path_;
  std::string table_;
  std::string ahead_;                // this program's write-ahead file
  std::unique_ptr<RunLog> own_log_;  // when it is a run log of its own
  RunLog* log_ = nullptr;
  bool entered_ = false;
  bool exclusive_ = false;
};

}  // namespace fox
