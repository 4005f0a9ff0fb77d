#include "data/table/table_lock.h"

#include <algorithm>

namespace fox {

std::unique_ptr<TableLock> TableLock::TryTake(DiskFile& file, const TableHeader& header, uint32_t highest,
                                              std::function<void()> released) {
  constexpr uint64_t kHeaderByte = 0x7FFFFFFEull;  // record n's byte is kHeaderByte - n
  const uint64_t most =
      ((uint64_t{1} << 31) - header.header_length - 2) / (uint64_t{header.record_length} + 1);
  const uint64_t length = std::max<uint64_t>(most, uint64_t{highest} + 1);
  const uint64_t offset = kHeaderByte + 1 - length;
  if (!file.TryLock(offset, length)) return nullptr;
  return std::unique_ptr<TableLock>(new TableLock(file, offset, length, std::move(released)));
}

TableLock::~TableLock() {
  try {
    file_.Unlock(offset_, length_);
  } catch (...) {
    // Closing the file releases the lock in any case.
  }
  if (released_) released_();
}

}  // namespace fox
