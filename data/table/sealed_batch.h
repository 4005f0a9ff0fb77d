// What a table's save path hands from stage to stage: one save waiting in a
// batch (PendingSave) and a batch sealed for writing (SealedBatch). Plain
// data; whoever holds one owns it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "data/file/disk_file.h"
#include "data/index/index_maintenance.h"
#include "data/table/table_lock.h"

namespace fox {

// One save waiting in the batch: the record as read, its new memo values,
// and the record as edited, which staging gives the new values' memo
// pointers: as it will be written.
struct PendingSave {
  uint32_t recno;
  std::string original;
  std::map<size_t, std::string> memo_text;
  std::map<size_t, uint64_t> memo_read;  // see Table::Edit::memo_read
  std::string record;
};

// The locks a batch holds from its check until its records are written:
// the table's lock, or, when another program held a record or the table (or
// this table holds records itself, see Table::Hold), its record locks.
struct BatchLocks {
  std::unique_ptr<TableLock> table;
  std::vector<std::unique_ptr<RangeLock>> records;
};

// A sealed batch: its records locked, its memo values written but not yet
// flushed, its new index pages written and the changed ones kept.
struct SealedBatch {
  std::vector<PendingSave> batch;  // sorted by record number
  BatchLocks locks;
  IndexMaintainer::PageWrites pages;
  bool sync_memo = false;
};

}  // namespace fox
