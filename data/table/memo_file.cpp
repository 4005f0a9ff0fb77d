#include "data/table/memo_file.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <vector>

#include "data/file/utf8_path.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {

namespace {

constexpr uint32_t kHeaderSize = 512;
constexpr uint32_t kDbtBlockSize = 512;
constexpr char kDbaseEnd = 0x1A;  // ends a dBase III value (written twice)
constexpr unsigned char kDbaseIVMark[4] = {0xFF, 0xFF, 0x08, 0x00};
constexpr uint32_t kBlockHeaderSize = 8;  // FPT and dBase IV blocks
// FoxPro and dBase address files with signed 32-bit offsets; a memo file
// grown past this could no longer be read by them.
constexpr uint64_t kLargestFile = 0x7FFFFFFF;

}  // namespace

MemoFile::MemoFile(const std::string& path, MemoFormat format, DiskFile::Mode mode, const std::string& table)
    : table_(table), format_(format) {
  if (format == MemoFormat::kNone) {
    throw Error(ErrorKind::kUsage, "The table \"" + table + "\" has no memo file to open.");
  }
  file_ = std::make_unique<DiskFile>(path, mode, "memo file");

  const std::string where = "The memo file \"" + path + "\" of the table \"" + table_ + "\"";
  uint64_t size = file_->Size();
  if (size < kHeaderSize) {
    throw Error(ErrorKind::kCorrupt,
                where + " is too short (" + std::to_string(size) + " bytes) to hold its 512-byte header.");
  }
  unsigned char header[kHeaderSize];
  file_->ReadExactAt(0, header, kHeaderSize, "its header");
  switch (format_) {
    case MemoFormat::kFpt:
      block_size_ = LoadBE16(header + 6);
      if (block_size_ == 0) throw Error(ErrorKind::kCorrupt, where + " gives a block size of 0.");
      break;
    case MemoFormat::kDbaseIII:
      block_size_ = kDbtBlockSize;
      break;
    case MemoFormat::kDbaseIV:
      block_size_ = LoadLE16(header + 20);
      if (block_size_ == 0) block_size_ = kDbtBlockSize;  // older writers leave it empty
      break;
    case MemoFormat::kNone:
      break;
  }
}

uint32_t MemoFile::FirstDataBlock() const { return (kHeaderSize + block_size_ - 1) / block_size_; }

uint32_t MemoFile::next_free_block() const {
  unsigned char bytes[4];
  file_->ReadExactAt(0, bytes, 4, "its header");
  return format_ == MemoFormat::kFpt ? LoadBE32(bytes) : LoadLE32(bytes);
}

bool MemoFile::Window(uint64_t offset, size_t n, const char** bytes) const {
  const uint64_t end = ahead_offset_ + ahead_.size();
  if (offset >= ahead_offset_ && offset + n <= end) {
    *bytes = ahead_.data() + (offset - ahead_offset_);
    return true;
  }
  if (n > kLargestWindow) return false;
  // Values are usually read in the order they were written: a read just past
  // the window doubles the next one, a jump elsewhere starts small again.
  const bool forward = offset >= ahead_offset_ && offset < end + kLargestWindow && !ahead_.empty();
  window_ = forward ? std::min(window_ * 2, kLargestWindow) : kSmallestWindow;
  ahead_.resize(std::max(window_, n));
  ahead_offset_ = offset;
  try {
    ahead_.resize(file_->ReadAt(offset, ahead_.data(), ahead_.size()));
  } catch (...) {
    ahead_.clear();
    throw;
  }
  *bytes = ahead_.data();
  return ahead_.size() >= n;
}

MemoFile::Value MemoFile::Read(uint32_t block) const {
  Value value;
  Read(block, &value);
  return value;
}

void MemoFile::ForgetReadAhead() const {
  std::lock_guard<std::mutex> hold(window_mutex_);
  ahead_.clear();
}

void MemoFile::Read(uint32_t block, Value* out) const {
  if (MayBeStaged(block) && !staged_.empty()) {
    const uint64_t at = static_cast<uint64_t>(block - staged_first_) * block_size_;
    if (at < staged_.size()) {
      *out = StagedValue(static_cast<size_t>(at));
      return;
    }
  }
  std::lock_guard<std::mutex> hold(window_mutex_);
  // The common case, a whole value inside the file, is served from the
  // read-ahead window; everything else takes the checked path.
  if (format_ == MemoFormat::kFpt && block >= FirstDataBlock()) {
    const uint64_t offset = static_cast<uint64_t>(block) * block_size_;
    const char* bytes = nullptr;
    if (Window(offset, kBlockHeaderSize, &bytes)) {
      const uint32_t length = LoadBE32(reinterpret_cast<const unsigned char*>(bytes) + 4);
      if (length <= kLargestWindow && Window(offset, kBlockHeaderSize + length, &bytes) &&
          (written_runs_.empty() || !IntoWritten(block, offset + kBlockHeaderSize + length))) {
        out->block_type = LoadBE32(reinterpret_cast<const unsigned char*>(bytes));
        out->data.assign(bytes + kBlockHeaderSize, length);
        return;
      }
    }
  }
  *out = ReadChecked(block);
}

MemoFile::Value MemoFile::ReadChecked(uint32_t block) const {
  const uint64_t size = file_->Size();
  const uint64_t offset = static_cast<uint64_t>(block) * block_size_;
  auto corrupt = [&](const std::string& why) {
    return Error(ErrorKind::kCorrupt, "The memo of the table \"" + table_ + "\" at block " +
                                          std::to_string(block) + " of the memo file \"" + file_->path() +
                                          "\" " + why + ".");
  };
  if (block < FirstDataBlock()) throw corrupt("lies inside the file's header");
  if (offset >= size) {
    throw corrupt("lies beyond the end of the file (" + std::to_string(size) + " bytes)");
  }

  Value value;
  unsigned char head[kBlockHeaderSize] = {};
  bool has_block_header = false;
  uint64_t length = 0;

  if (format_ == MemoFormat::kFpt) {
    if (offset + kBlockHeaderSize > size) throw corrupt("is cut off by the end of the file");
    file_->ReadExactAt(offset, head, kBlockHeaderSize, "the memo block header");
    value.block_type = LoadBE32(head);
    length = LoadBE32(head + 4);
    has_block_header = true;
  } else if (format_ == MemoFormat::kDbaseIV && offset + kBlockHeaderSize <= size) {
    file_->ReadExactAt(offset, head, kBlockHeaderSize, "the memo block header");
    if (std::equal(head, head + 4, kDbaseIVMark)) {
      uint32_t stored = LoadLE32(head + 4);  // counts the 8 header bytes too
      if (stored < kBlockHeaderSize) {
        throw corrupt("gives a length of " + std::to_string(stored) + ", shorter than its own header");
      }
      length = stored - kBlockHeaderSize;
      has_block_header = true;
    }
    // Without the mark the value was written the dBase III way; read it so.
  }

  if (has_block_header) {
    if (offset + kBlockHeaderSize + length > size) {
      throw corrupt("gives a length of " + std::to_string(length) +
                    " bytes, which runs past the end of the file");
    }
    if (std::optional<std::string> why = IntoWritten(block, offset + kBlockHeaderSize + length))
      throw corrupt(*why);
    value.data.resize(static_cast<size_t>(length));
    file_->ReadExactAt(offset + kBlockHeaderSize, value.data.data(), value.data.size(), "the memo");
    return value;
  }

  // dBase III: the value runs to the first 0x1A (normally written twice), or
  // to the end of the file when a writer left the terminator out.
  if (std::optional<std::string> why = IntoWritten(block, offset + 1)) throw corrupt(*why);
  value.block_type = 1;
  std::vector<char> chunk(64 * 1024);
  uint64_t at = offset;
  while (at < size) {
    size_t got = file_->ReadAt(at, chunk.data(), chunk.size());
    if (got == 0) break;
    for (size_t i = 0; i < got; ++i) {
      if (chunk[i] == kDbaseEnd) {
        value.data.append(chunk.data(), i);
        return value;
      }
    }
    value.data.append(chunk.data(), got);
    at += got;
  }
  return value;
}

std::optional<std::string> MemoFile::IntoWritten(uint32_t block, uint64_t end) const {
  // The first run that ends after the block.
  const auto run =
      std::upper_bound(written_runs_.begin(), written_runs_.end(), block,
                       [](uint32_t b, const std::pair<uint32_t, uint32_t>& r) { return b < r.second; });
  if (run == written_runs_.end()) return std::nullopt;
  if (block >= run->first) {
    if (std::binary_search(written_starts_.begin(), written_starts_.end(), block)) return std::nullopt;
    return std::string(
        "lies among the values Quillon added to the file after it was opened, where no value "
        "starts: the pointer was damaged before (it pointed past the end of the file)");
  }
  if (end > static_cast<uint64_t>(run->first) * block_size_) {
    return std::string(
        "runs on into the values Quillon added to the file after it was opened: its length was "
        "damaged before (it ran past the end of the file)");
  }
  return std::nullopt;
}

MemoFile::~MemoFile() { Discard(); }

bool MemoFile::SpanMayHold(uint32_t first, uint32_t last, std::string_view bytes) const {
  if (format_ == MemoFormat::kDbaseIII || first < FirstDataBlock() || last < first || MayBeStaged(last))
    return true;
  std::lock_guard<std::mutex> hold(window_mutex_);
  const uint64_t start = static_cast<uint64_t>(first) * block_size_;
  const uint64_t last_at = static_cast<uint64_t>(last) * block_size_;
  if (last_at - start > kLargestWindow) return true;
  // The span up to the last value's header first, from where the window
  // then reads ahead.
  unsigned char head[kBlockHeaderSize];
  const char* at = nullptr;
  if (!Window(start, static_cast<size_t>(last_at - start) + kBlockHeaderSize, &at)) return true;
  std::memcpy(head, at + (last_at - start), kBlockHeaderSize);
  uint64_t length = format_ == MemoFormat::kFpt ? LoadBE32(head + 4) : LoadLE32(head + 4);
  if (format_ == MemoFormat::kDbaseIV) {
    if (!std::equal(head, head + 4, kDbaseIVMark)) return true;
    length = length < kBlockHeaderSize ? 0 : length - kBlockHeaderSize;
  }
  // Spans follow each other through the file: they are read through the
  // read-ahead window and searched where they lie. A span larger than the
  // window, or cut off by the end of the file (the values' own reads report
  // that), is left to the values one by one.
  const uint64_t end = last_at + kBlockHeaderSize + length;
  const char* data = nullptr;
  if (end - start > kLargestWindow || !Window(start, static_cast<size_t>(end - start), &data)) return true;
  return std::string_view(data, static_cast<size_t>(end - start)).find(bytes) != std::string_view::npos;
}

uint64_t MemoFile::FileSize() const { return file_->Size(); }

bool MemoFile::RunsPastEnd(uint32_t block, uint64_t file_size) const {
  if (block < FirstDataBlock()) return false;
  const uint64_t offset = static_cast<uint64_t>(block) * block_size_;
  if (offset >= file_size) return true;
  if (format_ == MemoFormat::kDbaseIII) return !EndMarkBefore(offset, file_size);
  std::unique_lock<std::mutex> hold(window_mutex_);
  const char* bytes = nullptr;
  // A value past the end of the file, or cut off by it, would be completed
  // by appended bytes just the same.
  if (!Window(offset, kBlockHeaderSize, &bytes)) return true;
  const auto* head = reinterpret_cast<const unsigned char*>(bytes);
  uint64_t length = 0;
  if (format_ == MemoFormat::kFpt) {
    length = LoadBE32(head + 4);
  } else if (std::equal(head, head + 4, kDbaseIVMark)) {
    length = std::max<uint32_t>(LoadLE32(head + 4), kBlockHeaderSize) - kBlockHeaderSize;
  } else {
    hold.unlock();
    return !EndMarkBefore(offset, file_size);  // written the dBase III way
  }
  return offset + kBlockHeaderSize + length > file_size;
}

bool MemoFile::EndMarkBefore(uint64_t offset, uint64_t file_size) const {
  std::vector<char> chunk(64 * 1024);
  for (uint64_t at = offset; at < file_size;) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), file_size - at));
    const size_t got = file_->ReadAt(at, chunk.data(), want);
    if (got == 0) break;
    if (std::memchr(chunk.data(), kDbaseEnd, got) != nullptr) return true;
    at += got;
  }
  return false;
}

bool MemoFile::EndsWithStoredLength(uint64_t size) const {
  if (format_ != MemoFormat::kDbaseIV) return false;
  // The last value that starts with a block header, looked for back from
  // the last block (a megabyte at most): when nothing follows it, the file
  // ends with a value whose length is stored.
  unsigned char head[kBlockHeaderSize];
  for (uint64_t at = (size - 1) / block_size_ * block_size_; at >= kHeaderSize && size - at <= (1u << 20);
       at -= block_size_) {
    if (file_->ReadAt(at, head, sizeof head) == sizeof head && std::equal(head, head + 4, kDbaseIVMark)) {
      const uint64_t end = at + LoadLE32(head + 4);
      return (end + block_size_ - 1) / block_size_ * block_size_ >= size;
    }
    if (at < block_size_) break;
  }
  return false;
}

MemoFile::Value MemoFile::StagedValue(size_t at) const {
  const auto* bytes = reinterpret_cast<const unsigned char*>(staged_.data()) + at;
  Value value;
  if (format_ == MemoFormat::kDbaseIII) {
    const size_t end = staged_.find(kDbaseEnd, at);
    value.data.assign(staged_, at, end - at);
  } else if (format_ == MemoFormat::kDbaseIV) {
    value.data.assign(staged_, at + kBlockHeaderSize, LoadLE32(bytes + 4) - kBlockHeaderSize);
  } else {
    value.block_type = LoadBE32(bytes);
    value.data.assign(staged_, at + kBlockHeaderSize, LoadBE32(bytes + 4));
  }
  return value;
}

std::string MemoFile::Where() const {
  return "the memo file \"" + file_->path() + "\" of the table \"" + table_ + "\"";
}

void MemoFile::AppendBlocks(uint32_t block_type, std::string_view data, std::string& blocks) const {
  const size_t start = blocks.size();
  const size_t n = data.size();
  switch (format_) {
    case MemoFormat::kFpt: {
      if (n > 0xFFFFFFFFu - kBlockHeaderSize) {
        throw Error(ErrorKind::kInvalidValue,
                    "A memo of " + std::to_string(n) + " bytes is too long for " + Where() + ".");
      }
      unsigned char head[kBlockHeaderSize];
      StoreBE32(head, block_type);
      StoreBE32(head + 4, static_cast<uint32_t>(n));
      blocks.append(reinterpret_cast<const char*>(head), kBlockHeaderSize);
      blocks += data;
      break;
    }
    case MemoFormat::kDbaseIII:
      // The value ends at the first 0x1A when read back; storing one would
      // silently cut it short.
      if (data.find(kDbaseEnd) != std::string_view::npos) {
        throw Error(ErrorKind::kInvalidValue,
                    "A memo containing the byte 0x1A cannot be stored in the dBase III memo file \"" +
                        file_->path() + "\" of the table \"" + table_ + "\": that byte ends a memo there.");
      }
      blocks.append(data);
      blocks += kDbaseEnd;
      blocks += kDbaseEnd;
      break;
    case MemoFormat::kDbaseIV: {
      if (n > 0xFFFFFFFFu - kBlockHeaderSize) {
        throw Error(ErrorKind::kInvalidValue,
                    "A memo of " + std::to_string(n) + " bytes is too long for " + Where() + ".");
      }
      unsigned char head[kBlockHeaderSize];
      std::copy(kDbaseIVMark, kDbaseIVMark + 4, head);
      StoreLE32(head + 4, static_cast<uint32_t>(n + kBlockHeaderSize));
      blocks.append(reinterpret_cast<const char*>(head), kBlockHeaderSize);
      blocks += data;
      break;
    }
    case MemoFormat::kNone:
      throw Error(ErrorKind::kUsage, "The table \"" + table_ + "\" has no memo file.");
  }
  // Zero the slack up to the end of the last block, so that no stale bytes
  // of an earlier value linger behind the new one.
  const uint64_t count = (blocks.size() - start + block_size_ - 1) / block_size_;
  blocks.resize(start + static_cast<size_t>(count * block_size_), '\0');
}

uint32_t MemoFile::Stage(const Value& value) { return Stage(value.data, value.block_type); }

uint32_t MemoFile::Stage(std::string_view data, uint32_t block_type) {
  if (!file_->writable())
    throw Error(ErrorKind::kReadOnly, "Cannot add a memo to " + Where() + ": it is open read-only.");

  if (!staging_) {
    // Looked at without the allocation lock, so that a value the file
    // cannot take is refused now; Write looks again under the lock.
    const uint32_t first = next_free_block();
    const uint64_t size = file_->Size();
    if (std::optional<std::string> damage = DamageAt(first, size)) throw Error(ErrorKind::kCorrupt, *damage);
    estimated_first_ =
        append_after_tail_ ? std::max<uint64_t>(first, (size + block_size_ - 1) / block_size_) : first;
    staging_ = true;
    staged_first_ = kProvisional;
    staged_.clear();
    staged_starts_.clear();
    staged_from_.store(kProvisional, std::memory_order_release);
  }
  // The value's blocks go straight after the staged ones, and are taken
  // back when the file cannot hold them.
  const size_t at = staged_.size();
  const uint64_t block = staged_first_ + at / block_size_;
  try {
    AppendBlocks(block_type, data, staged_);
  } catch (...) {
    staged_.resize(at);
    if (staged_.empty()) Discard();
    throw;
  }
  if ((estimated_first_ + staged_.size() / block_size_) * block_size_ > kLargestFile + 1) {
    staged_.resize(at);
    if (staged_.empty()) Discard();
    throw Error(ErrorKind::kFull, "Cannot add a memo of " + std::to_string(data.size()) + " bytes to " +
                                      Where() + ": the file would grow past 2 GB, the most FoxPro can read.");
  }
  // The read-ahead window stays: it never holds bytes past the end of the
  // file as it was read, and staged values are read from staged_.
  staged_starts_.push_back(static_cast<uint32_t>(block));
  return static_cast<uint32_t>(block);
}

// The next-free pointer must lie past every value: inside the header it
// would overwrite the header, inside the data the values stored past it.
// Some writers end the file right after the last value instead of at a
// block boundary (Commit fills that gap); a gap of a whole block or more
// means the header counts blocks that are not there: the file was cut short,
// and the values it lost may still be referenced by the table.
std::optional<std::string> MemoFile::Damage() const { return DamageAt(next_free_block(), file_->Size()); }

bool MemoFile::HasTailPastNextFree() const {
  return static_cast<uint64_t>(next_free_block()) * block_size_ < file_->Size();
}

std::optional<std::string> MemoFile::DamageAt(uint32_t first, uint64_t size) const {
  const std::string said =
      "The header of " + Where() + " gives block " + std::to_string(first) + " as the next free block";
  if (first < FirstDataBlock()) return said + ", which lies inside the header.";
  const uint64_t offset = static_cast<uint64_t>(first) * block_size_;
  if (size < offset && offset - size >= block_size_)
    return said + ", but the file ends at byte " + std::to_string(size) + ": it has been cut short.";
  if (offset < size && !append_after_tail_) {
    return said + ", but the file goes on to byte " + std::to_string(size) +
           ": values stored past that block would be overwritten. The memo file is damaged; Quillon changes "
           "no memo value of this table until it is repaired (PACK MEMO in FoxPro).";
  }
  return std::nullopt;
}

void MemoFile::Unstage(size_t bytes) {
  if (bytes < staged_.size()) staged_.resize(bytes);
  const uint64_t end = staged_first_ + staged_.size() / block_size_;
  while (!staged_starts_.empty() && staged_starts_.back() >= end) staged_starts_.pop_back();
}

void MemoFile::Discard() noexcept {
  staged_from_.store(0xFFFFFFFFu, std::memory_order_release);
  staged_.clear();
  staged_starts_.clear();
  staging_ = false;
}

uint32_t MemoFile::Commit() {
  const bool any = staging_ && !staged_.empty();
  const uint32_t first = Write();
  if (any) Sync();
  return first;
}

void MemoFile::StartSync() noexcept { file_->StartSync(0, 0); }

void MemoFile::Sync() { file_->Sync(); }

uint32_t MemoFile::Write() {
  if (!staging_ || staged_.empty()) {
    Discard();
    return 0;
  }
  try {
    // Byte 0 is the memo file's allocation lock; readers do not take it. It
    // is held while the blocks are placed and the pointer advanced, no
    // longer, so that other programs adding values wait for little.
    const RangeLock lock(*file_, 0, 1,
                         "Cannot add a memo to " + Where() +
                             ": another program is adding one at the moment (the file is locked).");
    uint32_t first = next_free_block();
    const uint64_t size = file_->Size();
    if (std::optional<std::string> damage = DamageAt(first, size)) throw Error(ErrorKind::kCorrupt, *damage);
    if (append_after_tail_)
      first = static_cast<uint32_t>(std::max<uint64_t>(first, (size + block_size_ - 1) / block_size_));
    // A dBase III value has no stored length (nor has a dBase IV value
    // written the dBase III way, without its block header): one the writer
    // left without its end mark would run on into the values appended after
    // it. It is ended where the file ends now, which is where it ends when
    // read.
    std::optional<uint64_t> terminate_at;
    if ((format_ == MemoFormat::kDbaseIII || format_ == MemoFormat::kDbaseIV) && size > kHeaderSize) {
      const uint64_t from = std::max<uint64_t>(kHeaderSize, (size - 1) / block_size_ * block_size_);
      std::string tail(static_cast<size_t>(size - from), '\0');
      file_->ReadExactAt(from, tail.data(), tail.size(), "the memo file's last block");
      if (tail.find(kDbaseEnd) == std::string::npos && !EndsWithStoredLength(size)) {
        terminate_at = size;
        first = std::max<uint32_t>(first, static_cast<uint32_t>((size + 2 + block_size_ - 1) / block_size_));
      }
    }
    const uint64_t next64 = uint64_t{first} + staged_.size() / block_size_;
    if (next64 * block_size_ > kLargestFile + 1) {
      throw Error(ErrorKind::kFull, "Cannot add " + std::to_string(staged_.size()) + " bytes of memos to " +
                                        Where() +
                                        ": the file would grow past 2 GB, the most FoxPro can read.");
    }
    const uint64_t offset = static_cast<uint64_t>(first) * block_size_;
    // The disk must take the values whole: a write cut short by a full
    // disk would leave a tail past the next free block.
    std::error_code unknown;
    const std::filesystem::space_info space = std::filesystem::space(PathFromUtf8(file_->path()), unknown);
    const uint64_t needed = offset + staged_.size() - std::min(size, offset + staged_.size());
    if (!unknown && space.available < needed + kSpareRoom) {
      throw Error(ErrorKind::kFull, "Cannot add " + std::to_string(staged_.size()) + " bytes of memos to " +
                                        Where() + ": the disk has only " + std::to_string(space.available) +
                                        " bytes free.");
    }
    // The values and the advanced pointer are made durable together (Sync),
    // before the caller writes the records that point at them. A crash before
    // the flush can leave the pointer advanced over blocks that never reached
    // the disk; nothing refers to them, so that only wastes space.
    try {
      if (terminate_at) file_->WriteAt(*terminate_at, "\x1A\x1A", 2);
      const uint64_t end = std::max(size, terminate_at ? *terminate_at + 2 : 0);
      if (end < offset) {
        std::string zeros(static_cast<size_t>(offset - end), '\0');
        file_->WriteAt(end, zeros.data(), zeros.size());
      }
      file_->WriteAt(offset, staged_.data(), staged_.size());
    } catch (const Error&) {
      // Nothing points past the old end, and the lock is still held: the
      // part written goes, so that the file keeps no tail.
      try {
        if (file_->Size() > size) file_->Truncate(size);
      } catch (const Error&) {
      }
      throw;
    }
    const auto next = static_cast<uint32_t>(next64);
    unsigned char pointer[4];
    if (format_ == MemoFormat::kFpt) {
      StoreBE32(pointer, next);
    } else {
      StoreLE32(pointer, next);
    }
    file_->WriteAt(0, pointer, 4);
    std::lock_guard<std::mutex> hold(window_mutex_);
    if (!written_runs_.empty() && written_runs_.back().second == first) {
      written_runs_.back().second = next;
    } else {
      written_runs_.emplace_back(first, next);
      if (written_runs_.size() > 1 && written_runs_[written_runs_.size() - 2].first > first) {
        std::sort(written_runs_.begin(), written_runs_.end());
      }
    }
    const size_t from = written_starts_.size();
    for (uint32_t start : staged_starts_) written_starts_.push_back(start - kProvisional + first);
    if (from > 0 && written_starts_[from - 1] > written_starts_[from]) {
      std::sort(written_starts_.begin(), written_starts_.end());
    }
    if (written_starts_.size() > kRememberedStarts) {
      // The values written longest ago are forgotten, runs and starts
      // alike, so that memory stays bounded however many values a run
      // writes: a pointer into them reads as one into any other value.
      const uint32_t keep_from = written_starts_[written_starts_.size() - kRememberedStarts / 2];
      written_starts_.erase(written_starts_.begin(), written_starts_.end() - kRememberedStarts / 2);
      std::vector<std::pair<uint32_t, uint32_t>> runs;
      for (const auto& [run_first, run_end] : written_runs_) {
        if (run_end > keep_from) runs.emplace_back(std::max(run_first, keep_from), run_end);
      }
      written_runs_ = std::move(runs);
    }
    Discard();
    return first;
  } catch (...) {
    Discard();
    throw;
  }
}

uint32_t MemoFile::Append(const Value& value) {
  const uint32_t block = Stage(value);
  return Placed(block, Commit());
}

}  // namespace fox
