// The marker Quillon keeps beside a table while it changes it:
// "<table file>.quillon-repair", a short text file.
//
// Writing a batch of saves passes through states that a crash leaves behind
// (see Table::Save): records written before the index pages that go with
// them, or index pages half written. Every one of them leaves the records
// whole and the memo values in place, but a tag may miss keys until it is
// rebuilt. The marker says that this may have happened. It is made, durably,
// before the first record or index page of the table is written, and removed
// once the table and its index are flushed, by the last Quillon program that
// changes the table when it closes it.
//
// Several Quillon programs may change one table at once. Each holds a shared
// lock on one byte of the table file far past anything FoxPro locks
// (kWriterByte) from before it makes the marker until after it has tried to
// remove it; removing takes that byte exclusively, so a marker is removed
// only when no other Quillon program is changing the table. A program that
// opens the table and can take the byte exclusively knows that a marker it
// finds was left by a program that stopped before it finished: it checks
// every tag and rebuilds those that do not agree with the records
// (Table::RepairInterruptedRun).
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "data/file/disk_file.h"

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
  // Quillon program removes its marker) and makes the marker, durably.
  // Throws Error(kLocked, kIo) saying that the table was not changed.
  void Enter();
  bool entered() const { return entered_; }
  // After the last write: when no other Quillon program changes the table,
  // calls `flush` (which makes the table's writes durable) and removes the
  // marker; then lets the writer lock go. A failure of either leaves the
  // marker, to be acted on when the table is next opened; it is thrown.
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
  bool entered_ = false;
  bool exclusive_ = false;
};

}  // namespace fox
