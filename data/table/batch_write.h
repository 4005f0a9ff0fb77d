// Writes one sealed batch to a table's files, in the order its crash safety
// rests on (see Table::Save for what a crash after each step leaves):
//   1. the memo values' flush (their writing started first, then the
//      caller's write_ahead, so that the two flushes wait together),
//   2. each record compared once more with the disk,
//   3. the caller's entries about the batch (before_write) and the changed
//      part of each record go to the run log, committed with one flush
//      (after_commit is told), then the records and the header's date,
//   4. the changed index pages; the record locks are released, the
//      records' writeback started.
// Made for one batch on the thread that writes it (the writer, or the
// saving thread without one); it holds no lock of its own and uses the
// table's files, which no other thread writes meanwhile. The batch is
// borrowed; its record locks are released whatever happens.
// Throws SaveError naming the records not written (and saying when earlier
// ones were, the index then needing a REINDEX), or Error(kIo) when only the
// index pages could not be written.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "data/file/disk_file.h"
#include "data/file/repair_marker.h"
#include "data/index/index_maintenance.h"
#include "data/record/table_header.h"
#include "data/table/memo_file.h"
#include "data/table/sealed_batch.h"
#include "data/util/error.h"

namespace fox {

class BatchWrite {
 public:
  // The table's files and the caller's hooks (Table::Options), borrowed.
  struct Target {
    DiskFile& file;
    TableHeader& header;
    MemoFile* memo;
    IndexMaintainer* maintainer;
    RepairMarker* marker;
    const std::string& name;
    const std::function<void()>& write_ahead;
    const std::function<void()>& before_recheck;
    const std::function<bool(const std::vector<uint32_t>&)>& before_write;
    const std::function<void(const std::vector<uint32_t>&, uint64_t)>& after_commit;
  };

  BatchWrite(const Target& target, SealedBatch& flight);
  // Steps 1 to 4.
  void Write();

 private:
  void SyncMemo();
  void Recheck();
  void WriteAhead();
  void WriteRecords();
  void WritePages();
  // The first record whose bytes on disk are no longer those read.
  std::optional<uint32_t> ChangedOnDisk();
  void WriteHeaderDate();
  // Throws the batch's failure: `written` of its records were written.
  [[noreturn]] void Fail(const Error& e, size_t written, bool retryable = false);

  const Target& target_;
  SealedBatch& flight_;
  std::vector<uint32_t> records_;  // the batch's, ascending
  bool committed_ = false;         // the batch's images are committed in the run log
  // After a failure of the records' write: logs the records not written
  // back to the bytes they hold, so that a recovery does not write them.
  void TakeBack(size_t written) noexcept;
  size_t written_ = 0;  // records written
};

}  // namespace fox
