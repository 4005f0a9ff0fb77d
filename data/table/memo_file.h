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
// before the record that points at them is written: a reader sees either the
// old value or the new one. Values are staged in memory and written together
// (Stage, then Commit: one write and one flush for a batch of saves), or one
// by one with Append.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/file/disk_file.h"
#include "data/record/table_header.h"

namespace fox {

class MemoFile {
 public:
  // Opens and validates the memo file at `path`. `table` names the table in
  // error messages. Throws kNotFound, kCorrupt or kReadOnly.
  MemoFile(const std::string& path, MemoFormat format, DiskFile::Mode mode, const std::string& table);
  // Drops staged values that were not committed.
  ~MemoFile();

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
  // The same, into `out`, whose buffer is reused. Values are read through a
  // read-ahead window, which another program's rewrite of a value in its own
  // block does not reach until ForgetReadAhead.
  void Read(uint32_t block, Value* out) const;
  // Drops the read-ahead window, so that the next reads see the file as it
  // is now.
  void ForgetReadAhead() const;

  // Whether the values stored from block `first` up to and including the
  // value at block `last` may contain `bytes`: false only when the file's
  // bytes over that whole span, as read now, do not hold them. True without
  // searching when the span is larger than the read-ahead window, a dBase
  // III value ends it (its length is not stored), or it reaches staged
  // values. Throws kIo.
  bool SpanMayHold(uint32_t first, uint32_t last, std::string_view bytes) const;

  // Stages `value` to be appended: returns its provisional block, a number
  // past every block of a file FoxPro can read (kProvisional on), that
  // Placed turns into its block once Write has placed the staged values.
  // No lock is taken: the values are placed under the memo file's
  // allocation lock when they are written, wherever the file ends then.
  // Staged values read back through Read. Throws kReadOnly, kCorrupt (the
  // header's pointer lies inside the header or past a cut-off end) or
  // kInvalidValue (a dBase III value holding 0x1A, or a file that would pass
  // 2 GB); a failed Stage stages nothing.
  uint32_t Stage(const Value& value);
  uint32_t Stage(std::string_view data, uint32_t block_type = 1);
  // Bytes staged so far; Unstage(n) drops what was staged after the count
  // was n.
  size_t staged_bytes() const { return staged_.size(); }
  // Whether `block` may belong to a staged value. Safe to ask from any
  // thread; reading a value for which it is true must not overlap a Commit
  // or Discard in another thread.
  bool MayBeStaged(uint32_t block) const { return block >= staged_from_.load(std::memory_order_acquire); }
  void Unstage(size_t bytes);
  // Why values cannot be appended safely: the header's next-free pointer
  // lies inside the header, inside the stored values, or past a cut-off
  // end. Nothing when it lies where it should. Throws kIo.
  std::optional<std::string> Damage() const;
  // Whether the file goes on past the block the header gives as the next
  // free one: values appended by a writer that stopped before it advanced
  // the pointer, or a pointer set back. Throws kIo.
  bool HasTailPastNextFree() const;
  // No record points at or past the next free block (the caller has looked
  // at every record): the bytes there are no value's, and new values are
  // appended after the end of the file, leaving them as they are, instead of
  // the file being refused as damaged.
  void AppendAfterTail() { append_after_tail_ = true; }
  // Whether the value stored at `block` lies past the end of the file or
  // gives a length that runs past it: values appended to the file would then
  // seem to complete it. A value stored the dBase III way (in a .dbt of
  // dBase III, or without its block header in one of dBase IV), whose length
  // is not stored, runs past the end when no end mark (0x1A) follows it in
  // the file. False for a block inside the header. `file_size` is the
  // file's size (FileSize), taken once for a scan of many values. Throws
  // kIo.
  bool RunsPastEnd(uint32_t block, uint64_t file_size) const;
  // Whether an end mark (0x1A) lies in [offset, file_size) of the file.
  bool EndMarkBefore(uint64_t offset, uint64_t file_size) const;
  uint64_t FileSize() const;
  // Takes the memo file's allocation lock (byte 0, taken only by writers),
  // writes the staged values from the next free block on and the advanced
  // next-free pointer, releases the lock and makes them durable with one
  // flush. Returns the block the first staged value went to (0 when nothing
  // was staged): see Placed. Throws kLocked (another program holds the lock
  // for longer than a moment), kCorrupt, kInvalidValue (past 2 GB) or kIo;
  // on failure nothing staged is kept (nothing on disk refers to it) and the
  // file's existing values are intact.
  uint32_t Commit();
  // Commit in two steps: Write writes and releases the lock (the values can
  // be read back at once); Sync makes what was written durable, and may run
  // in another thread while values are staged again. Nothing may point at
  // the values on disk before Sync returns.
  uint32_t Write();
  // The staged values' provisional blocks from kProvisional on; Placed
  // gives the block such a value went to, given what Write returned.
  static constexpr uint32_t kProvisional = 0x80000000u;
  static bool IsProvisional(uint32_t block) { return block >= kProvisional; }
  static uint32_t Placed(uint32_t provisional, uint32_t first) { return provisional - kProvisional + first; }
  // Starts what Write wrote on its way to the disk, without waiting.
  void StartSync() noexcept;
  void Sync();
  // Drops the staged values and releases the lock. Writes nothing.
  void Discard() noexcept;

  // Stages `value` and commits it: durable when Append returns.
  uint32_t Append(const Value& value);

 private:
  uint32_t FirstDataBlock() const;
  Value ReadChecked(uint32_t block) const;
  // Points `bytes` at the file's bytes [offset, offset + n), reading ahead
  // into a window when they are not in it. Returns false when the file ends
  // before offset + n or n is larger than the largest window.
  bool Window(uint64_t offset, size_t n, const char** bytes) const;

  static constexpr size_t kSmallestWindow = 4 * 1024;
  // What a write of values leaves free on the disk at least, for the
  // records, the index and the other programs that write there.
  static constexpr uint64_t kSpareRoom = 1 << 20;
  static constexpr size_t kLargestWindow = 1024 * 1024;

  // The staged value whose blocks start `at` bytes into staged_.
  Value StagedValue(size_t at) const;
  // The blocks `value` takes, laid out, slack zeroed.
  void AppendBlocks(uint32_t block_type, std::string_view data, std::string& blocks) const;
  // Damage() for the next-free block `first` and a file of `size` bytes.
  std::optional<std::string> DamageAt(uint32_t first, uint64_t size) const;
  // With window_mutex_ held: why the value at `block`, whose bytes end at
  // byte `end`, cannot be what was stored there, when it lies among the
  // values this program wrote without being one of them.
  std::optional<std::string> IntoWritten(uint32_t block, uint64_t end) const;
  // dBase IV: whether the file of `size` bytes ends with a value that starts
  // with a block header (its length stored), nothing after it.
  bool EndsWithStoredLength(uint64_t size) const;
  std::string Where() const;

  std::string table_;
  MemoFormat format_;
  std::unique_ptr<DiskFile> file_;
  // Values staged for the next Commit: their provisional blocks from
  // staged_first_ (kProvisional) on.
  bool staging_ = false;
  std::string staged_;
  bool append_after_tail_ = false;
  uint32_t staged_first_ = 0;
  // Where the staged values would go, as the file was when the first was
  // staged: for the 2 GB limit.
  uint64_t estimated_first_ = 0;
  // Where each staged value starts, in staging order.
  std::vector<uint32_t> staged_starts_;
  // The values this program wrote since the file was opened (under
  // window_mutex_): their blocks, as runs [first, end), and where each
  // starts. A pointer stored into them that is not such a start, or a value
  // that runs on into them, was damaged before they were written (it
  // pointed, or ran, past the end of the file): it must not read as their
  // bytes now.
  std::vector<std::pair<uint32_t, uint32_t>> written_runs_;
  std::vector<uint32_t> written_starts_;
  static constexpr size_t kRememberedStarts = 1 << 18;
  // staged_first_ while values are staged, else beyond every block.
  std::atomic<uint32_t> staged_from_{0xFFFFFFFFu};
  uint32_t block_size_ = 512;
  // Read-ahead window: a copy of the file's bytes from ahead_offset_. Values
  // are read from it while another program may write the file; the window
  // lives no longer than the reading of about a megabyte of values, and a
  // value this program appends clears it.
  // The window is read by the thread that saves and by one that writes an
  // idle batch of saves (index keys on memo fields read memo values).
  mutable std::mutex window_mutex_;
  mutable std::string ahead_;
  mutable uint64_t ahead_offset_ = 0;
  mutable size_t window_ = kSmallestWindow;
};

}  // namespace fox
