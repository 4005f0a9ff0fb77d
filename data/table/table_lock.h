// The lock of a whole table as FoxPro takes it (FLOCK(), and its bulk
// commands such as REPLACE ALL): one byte-range lock over the lock bytes of
// the header (0x7FFFFFFE) and of the most records the table could hold,
// N = (2^31 - header length - 2) / (record length + 1), so the bytes
// 0x7FFFFFFF - N to 0x7FFFFFFE, which lie past the end of any table of that
// shape. While it is held, no other program holds or takes a record lock or
// the table lock.
// Taken at once or not at all (TryTake); released when destroyed, which then
// calls `released`. Borrows the file, which must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "data/file/disk_file.h"
#include "data/record/table_header.h"

namespace fox {

class TableLock {
 public:
  // The lock, or nullptr when another program holds part of its range (a
  // record or the table). The range reaches record `highest` in any case.
  // Throws Error as DiskFile::TryLock does for anything else.
  static std::unique_ptr<TableLock> TryTake(DiskFile& file, const TableHeader& header, uint32_t highest,
                                            std::function<void()> released);
  ~TableLock();
  TableLock(const TableLock&) = delete;
  TableLock& operator=(const TableLock&) = delete;

 private:
  TableLock(DiskFile& file, uint64_t offset, uint64_t length, std::function<void()> released)
      : file_(file), offset_(offset), length_(length), released_(std::move(released)) {}
  DiskFile& file_;
  uint64_t offset_;
  uint64_t length_;
  std::function<void()> released_;
};

}  // namespace fox
