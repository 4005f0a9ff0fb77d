// A memo file: the .fpt of a FoxPro table (or the .dbt of a dBase table) that
// holds the values of its memo, general and blob fields.
//
// FPT layout: a 512-byte header with the next free block (u32 big-endian at 0)
// and the block size (u16 big-endian at 6); block b starts at b * block size
// and holds a block type (u32 BE), a data length (u32 BE) and the data. DBT
// files have 512-byte blocks; dBase III values end with 0x1A 0x1A, dBase IV
// blocks start with FF FF 08 00 and a u32 little-endian length.
//
// Values are read through a read-ahead window, so that reading the values of
// consecutive records costs a few large reads rather than two small ones each.
//
// Values are never rewritten in place: a changed value goes into new blocks at
// the next free block, and the blocks and the advanced pointer are durable
// before Append returns, so the record that points at them can be written
// next: a reader sees either the old value or the new one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "data/disk_file.h"
#include "data/table_header.h"

namespace fox {

class MemoFile {
 public:
  // Opens and validates the memo file at `path`. `table` names the table in
  // error messages. Throws kNotFound, kCorrupt or kReadOnly.
  MemoFile(const std::string& path, MemoFormat format, DiskFile::Mode mode, const std::string& table);

  uint32_t block_size() const { return block_size_; }
  uint32_t next_free_block() const;  // read from the header now

  struct Value {
    uint32_t block_type = 1;  // FPT: 0 picture/binary, 1 text, 2 object
    std::string data;
  };

  // Reads the value stored at `block`. Throws Error(kCorrupt), naming the
  // table, the memo file and the block, when the block lies in the header or
  // outside the file or its length runs past the end of the file.
  Value Read(uint32_t block) const;
  // The same, into `out`, whose buffer is reused.
  void Read(uint32_t block, Value* out) const;

  // Appends `value` at the next free block and advances the pointer under the
  // memo file's lock (byte 0, taken only by writers). Returns the first block
  // of the new value. Throws kIo, kLocked, kReadOnly, kCorrupt (the header's
  // pointer lies inside the header or past a cut-off end) or kInvalidValue (a
  // dBase III value holding 0x1A, or a file that would pass 2 GB); on failure
  // the file's existing values are intact.
  uint32_t Append(const Value& value);

 private:
  uint32_t FirstDataBlock() const;
  Value ReadChecked(uint32_t block) const;
  // Points `bytes` at the file's bytes [offset, offset + n), reading ahead
  // into a window when they are not in it. Returns false when the file ends
  // before offset + n or n is larger than the largest window.
  bool Window(uint64_t offset, size_t n, const char** bytes) const;

  static constexpr size_t kSmallestWindow = 4 * 1024;
  static constexpr size_t kLargestWindow = 1024 * 1024;

  std::string table_;
  MemoFormat format_;
  std::unique_ptr<DiskFile> file_;
  uint32_t block_size_ = 512;
  // Read-ahead window: a copy of the file's bytes from ahead_offset_. Values
  // are read from it while another program may write the file; the window
  // lives no longer than the reading of about a megabyte of values, and a
  // value this program appends clears it.
  mutable std::string ahead_;
  mutable uint64_t ahead_offset_ = 0;
  mutable size_t window_ = kSmallestWindow;
};

}  // namespace fox
