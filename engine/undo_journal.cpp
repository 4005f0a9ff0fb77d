#include "engine/undo_journal.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "base/error.h"
#include "data/file/disk_file.h"
#include "data/file/run_log.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "data/util/crc32.h"
#include "data/util/error.h"
#include "data/util/hash.h"
#include "data/util/local_time.h"
#include "engine/change_log.h"

namespace quillon {

namespace {

constexpr uint32_t kVersion = 2;       // the last version of a file of the journal's own
constexpr uint32_t kFirstVersion = 1;  // no record identities, no end entry
constexpr size_t kHeaderSize = 32;
constexpr size_t kEntryHead = 8;
// No entry is larger: two stored forms of at most a memo value each, and
// three names.
constexpr uint32_t kLargestPayload = fox::RunLog::kLargestPayload;

enum EntryKind : unsigned char {
  kTable = 1,
  kChange = 2,
  kNotSaved = 3,
  kEnd = 4,
  // A change whose stored form after it is kept as its Hash64 and length
  // (version 3): an undo only compares the field with it, and a long value
  // (a memo) is then not journalled twice.
  kHashedChange = 6
};
// A stored form after the change longer than this is kept as its hash.
constexpr size_t kHashAfterLonger = 16;

using fox::Crc32;

void Put32(std::string* out, uint32_t v) {
  char bytes[4];
  fox::StoreLE32(bytes, v);
  out->append(bytes, sizeof bytes);
}
uint32_t Get32(const char* p) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}
uint64_t Get64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(p[i]);
  return v;
}

void PutBytes(std::string* out, std::string_view bytes) {
  Put32(out, static_cast<uint32_t>(bytes.size()));
  out->append(bytes.data(), bytes.size());
}

// Reads the fields of one payload; false when it ends early.
class PayloadReader {
 public:
  explicit PayloadReader(std::string_view payload) : rest_(payload) {}
  bool U8(unsigned char* v) {
    if (rest_.empty()) return false;
    *v = static_cast<unsigned char>(rest_[0]);
    rest_.remove_prefix(1);
    return true;
  }
  bool U32(uint32_t* v) {
    if (rest_.size() < 4) return false;
    *v = Get32(rest_.data());
    rest_.remove_prefix(4);
    return true;
  }
  bool Bytes(std::string* v) {
    uint32_t size = 0;
    if (!U32(&size) || rest_.size() < size) return false;
    v->assign(rest_.data(), size);
    rest_.remove_prefix(size);
    return true;
  }
  bool U64(uint64_t* v) {
    if (rest_.size() < 8) return false;
    *v = fox::LoadLE64(rest_.data());
    rest_.remove_prefix(8);
    return true;
  }
  bool done() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

// Reads a table entry's fields after its kind and adds the table to
// `tables`; false when the entry is malformed or not numbered next.
bool ReadTable(PayloadReader& in, std::vector<JournalTable>* tables) {
  uint32_t number = 0;
  unsigned char container = 0;
  JournalTable table;
  if (!(in.U32(&number) && in.U8(&container) && in.Bytes(&table.catalogue) && in.Bytes(&table.name) &&
        in.Bytes(&table.path) && in.done() && number == tables->size())) {
    return false;
  }
  table.container = container == 2;
  tables->push_back(std::move(table));
  return true;
}

std::string_view Slice(std::string_view bytes, size_t* at) {
  const uint32_t size = Get32(bytes.data() + *at);
  const std::string_view piece = bytes.substr(*at + 4, size);
  *at += 4 + size;
  return piece;
}

Error NotAJournal(const std::string& path, const std::string& why) {
  return Error(ErrorKind::kCorrupt, "\"" + path + "\" is not an undo journal of Quillon: " + why + ".");
}

}  // namespace

uint32_t RecordIdentity(const fox::Table& table, std::string_view record,
                        const std::vector<size_t>& changed) {
  std::string masked(record);
  auto blank = [&](const fox::FieldDescriptor& field) {
    if (field.offset + field.length <= masked.size())
      masked.replace(field.offset, field.length, field.length, '\0');
  };
  if (!masked.empty()) masked[0] = ' ';
  for (const fox::FieldDescriptor& field : table.header().fields) {
    if (field.is_memo()) blank(field);
  }
  for (size_t column : changed) {
    if (column < table.field_count()) blank(table.field(column));
  }
  return Crc32(masked.data(), masked.size());
}

bool JournalChange::IsAfter(std::string_view stored) const {
  if (!after_hash) return stored == after;
  return stored.size() == after_hash->length && fox::Hash64(stored) == after_hash->hash;
}

std::string UndoJournalName(std::time_t started, int serial) {
  const std::tm local = fox::LocalTime(started);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  std::string name = std::string(kUndoJournalPrefix) + stamp;
  if (serial > 1) name += "-" + std::to_string(serial);
  return name + kUndoJournalExtension;
}

UndoJournalReader::UndoJournalReader(const std::string& path) : path_(path) {
  try {
    file_ = std::make_unique<fox::DiskFile>(path, fox::DiskFile::Mode::kReadOnly, "undo journal");
    size_ = file_->Size();
  } catch (const fox::Error& e) {
    throw Error(KindOf(e), e.what());
  }
  const char* header = size_ >= kHeaderSize ? Fetch(0, kHeaderSize) : nullptr;
  if (header == nullptr || std::memcmp(header, fox::RunLog::kMagic, sizeof fox::RunLog::kMagic) != 0) {
    throw NotAJournal(path, "it does not start like one");
  }
  if (Crc32(header, 28) != Get32(header + 28)) throw NotAJournal(path, "its header is damaged");
  const uint32_t version = Get32(header + 8);
  version_ = version;
  if (version == fox::RunLog::kVersion) {
    ReadRunLog();
    return;
  }
  if (version != kVersion && version != kFirstVersion) {
    throw Error(ErrorKind::kInput, "The undo journal \"" + path + "\" is of version " +
                                       std::to_string(version) +
                                       ", which this Quillon does not know; use the Quillon that wrote it.");
  }
  started_ = static_cast<std::time_t>(static_cast<int64_t>(Get64(header + 16)));
  uint64_t at = Get32(header + 12);
  if (at < kHeaderSize || at > size_) throw NotAJournal(path, "its header is damaged");
  auto stop = [&](const std::string& why) { CutShort(at, why); };
  // Records marked not saved: their changes journalled before the mark go.
  struct Mark {
    uint32_t table, recno;
    size_t before;  // the changes before it (by index) are the ones it drops
  };
  std::vector<Mark> marks;
  // A journal of the first version cannot say that its run ended.
  ended_ = version == kFirstVersion;
  while (at < size_) {
    if (size_ - at < kEntryHead) {
      stop("the last entry is incomplete");
      torn_tail_ = true;
      break;
    }
    const char* head = Fetch(at, kEntryHead);
    const uint32_t size = Get32(head);
    const uint32_t crc = Get32(head + 4);
    if (size > kLargestPayload || size > size_ - at - kEntryHead) {
      stop("the last entry runs past the end of the file");
      torn_tail_ = size <= kLargestPayload;
      break;
    }
    const char* data = Fetch(at + kEntryHead, size);
    if (data == nullptr) {
      stop("the entry could not be read");
      break;
    }
    if (Crc32(data, size) != crc) {
      stop("an entry's checksum does not match");
      break;
    }
    PayloadReader in(std::string_view(data, size));
    unsigned char kind = 0;
    bool ok = in.U8(&kind);
    if (ok && kind == kTable) {
      ok = ReadTable(in, &tables_);
    } else if (ok && kind == kChange) {
      Entry entry{at, 0, 0, 0};
      ok = in.U32(&entry.table) && in.U32(&entry.recno) && in.U32(&entry.column) &&
           entry.table < tables_.size();
      if (ok) changes_.push_back(entry);
    } else if (ok && kind == kNotSaved) {
      Mark mark{0, 0, changes_.size()};
      ok = in.U32(&mark.table) && in.U32(&mark.recno) && in.done();
      if (ok) marks.push_back(mark);
    } else if (ok && kind == kEnd && version == kVersion) {
      ok = in.done() && at + kEntryHead + size == size_;
      ended_ = ok;
    } else {
      ok = false;
    }
    if (!ok) {
      stop("an entry is not one Quillon writes");
      break;
    }
    at += kEntryHead + size;
  }
  if (!marks.empty()) {
    // For each record, the last mark: its changes before it go.
    auto key = [](uint32_t table, uint32_t recno) { return (uint64_t{table} << 32) | recno; };
    std::sort(marks.begin(), marks.end(), [&](const Mark& a, const Mark& b) {
      return key(a.table, a.recno) != key(b.table, b.recno) ? key(a.table, a.recno) < key(b.table, b.recno)
                                                            : a.before < b.before;
    });
    std::vector<Entry> kept;
    for (size_t i = 0; i < changes_.size(); ++i) {
      const Entry& e = changes_[i];
      auto last = std::upper_bound(marks.begin(), marks.end(), key(e.table, e.recno),
                                   [&](uint64_t k, const Mark& m) { return k < key(m.table, m.recno); });
      const bool dropped = last != marks.begin() &&
                           key((last - 1)->table, (last - 1)->recno) == key(e.table, e.recno) &&
                           i < (last - 1)->before;
      if (!dropped) kept.push_back(e);
    }
    changes_ = std::move(kept);
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
}

void UndoJournalReader::CutShort(uint64_t at, const std::string& why) {
  cut_short_ = "the journal is cut short or damaged at byte " + std::to_string(at) + " (" + why +
               "); the changes before that point are whole";
}

void UndoJournalReader::ReadRunLog() {
  std::unique_ptr<fox::RunLogReader> log;
  try {
    log = std::make_unique<fox::RunLogReader>(path_);
  } catch (const fox::Error& e) {
    throw NotAJournal(path_, e.what());
  }
  started_ = log->started();
  if ((log->flags() & fox::RunLog::kKeptAsJournal) == 0) {
    throw Error(ErrorKind::kInput, "\"" + path_ +
                                       "\" is the log of a run told to keep no undo journal, kept only to "
                                       "recover its tables after a crash: it cannot take the run back.");
  }
  // The changes since the last commit entry wait for the next one: without
  // it their records were not written, or were given back their old bytes.
  std::vector<Entry> waiting;
  bool end_waiting = false;
  std::string_view payload;
  uint64_t offset = 0;
  uint64_t whole = kHeaderSize;  // where the last whole entry ends
  bool ok = true;
  while (ok && log->Next(&payload, &offset)) {
    whole = offset + kEntryHead + payload.size();
    PayloadReader in(payload);
    unsigned char kind = 0;
    ok = in.U8(&kind);
    if (ok && kind == fox::RunLog::kCommit) {
      changes_.insert(changes_.end(), waiting.begin(), waiting.end());
      waiting.clear();
      ended_ = ended_ || end_waiting;
    } else if (ok && (kind >= fox::RunLog::kFirstOwnKind || kind == kLinesEntry)) {
      // The log's own entries (files, images) are recovery's, the lines the
      // change log's.
    } else if (ok && kind == kTable) {
      ok = ReadTable(in, &tables_);
    } else if (ok && (kind == kChange || kind == kHashedChange)) {
      Entry entry{offset, 0, 0, 0};
      ok = in.U32(&entry.table) && in.U32(&entry.recno) && in.U32(&entry.column) &&
           entry.table < tables_.size();
      if (ok) waiting.push_back(entry);
    } else if (ok && kind == kEnd) {
      ok = in.done();
      end_waiting = ok;
    } else {
      ok = false;
    }
  }
  if (!ok) {
    CutShort(offset, "an entry is not one Quillon writes");
  } else if (log->torn()) {
    // A last entry cut off is what a crash while writing leaves.
    const char* head = size_ - whole >= kEntryHead ? Fetch(whole, kEntryHead) : nullptr;
    const uint32_t size = head ? Get32(head) : 0;
    if (head == nullptr) {
      torn_tail_ = true;
      CutShort(whole, "the last entry is incomplete");
    } else if (size > kLargestPayload || size > size_ - whole - kEntryHead) {
      torn_tail_ = size <= kLargestPayload;
      CutShort(whole, "the last entry runs past the end of the file");
    } else {
      CutShort(whole, "an entry's checksum does not match");
    }
  }
  buffer_.clear();
  buffer_.shrink_to_fit();
}

UndoJournalReader::~UndoJournalReader() = default;

const char* UndoJournalReader::Fetch(uint64_t at, size_t n) const {
  if (at < buffer_at_ || at + n > buffer_at_ + buffer_.size()) {
    // Read forward when the reads go forward (the first pass), backward
    // when they go back (an undo reads the newest changes first).
    constexpr size_t kReadAhead = 1u << 20;
    const uint64_t span = std::max<uint64_t>(n, kReadAhead);
    const bool backward = at < buffer_at_ && !buffer_.empty();
    const uint64_t start = backward ? (at + n > span ? at + n - span : 0) : at;
    buffer_.resize(static_cast<size_t>(std::min<uint64_t>(span, size_ - start)));
    buffer_at_ = start;
    try {
      if (buffer_.size() < at - start + n ||
          file_->ReadAt(start, buffer_.data(), buffer_.size()) != buffer_.size()) {
        buffer_.clear();
        return nullptr;
      }
    } catch (const fox::Error&) {
      buffer_.clear();
      return nullptr;
    }
  }
  return buffer_.data() + (at - buffer_at_);
}

JournalChange UndoJournalReader::Read(const Entry& entry) const {
  const char* head = Fetch(entry.offset, kEntryHead);
  const uint32_t size = head ? Get32(head) : 0;
  const uint32_t crc = head ? Get32(head + 4) : 0;
  const char* data = head ? Fetch(entry.offset + kEntryHead, size) : nullptr;
  JournalChange change;
  unsigned char kind = 0;
  bool ok = data != nullptr && Crc32(data, size) == crc;
  if (ok) {
    PayloadReader in(std::string_view(data, size));
    uint32_t record = 0;
    ok = in.U8(&kind) && (kind == kChange || kind == kHashedChange) && in.U32(&change.table) &&
         in.U32(&change.recno) && in.U32(&change.column) && (version_ == kFirstVersion || in.U32(&record)) &&
         in.Bytes(&change.column_name) && in.Bytes(&change.before);
    if (ok && kind == kHashedChange) {
      uint64_t hash = 0;
      uint32_t length = 0;
      ok = in.U64(&hash) && in.U32(&length) && in.done();
      change.after_hash = JournalChange::Hashed{hash, length};
    } else {
      ok = ok && in.Bytes(&change.after) && in.done();
    }
    if (version_ != kFirstVersion) change.record = record;
  }
  if (!ok) {
    throw Error(ErrorKind::kIo, "The undo journal \"" + path_ + "\" changed while it was read (byte " +
                                    std::to_string(entry.offset) + ").");
  }
  return change;
}

UndoJournal::UndoJournal() = default;

UndoJournal::~UndoJournal() = default;

void UndoJournal::Open(fox::RunLog& log) {
  std::lock_guard<std::mutex> hold(mutex_);
  log_ = &log;
}

bool UndoJournal::is_open() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return log_ != nullptr;
}

uint32_t UndoJournal::AddTable(const JournalTable& table) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!log_) return 0;
  std::string payload(1, static_cast<char>(kTable));
  Put32(&payload, static_cast<uint32_t>(tables_.size()));
  payload.push_back(static_cast<char>(table.container ? 2 : 1));
  PutBytes(&payload, table.catalogue);
  PutBytes(&payload, table.name);
  PutBytes(&payload, table.path);
  tables_.push_back(std::move(payload));
  return static_cast<uint32_t>(tables_.size() - 1);
}

void UndoJournal::Append(uint32_t table, uint32_t recno, uint32_t record, uint32_t column,
                         std::string_view column_name, std::string_view before, std::string_view after) {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!log_) return;
  // Made in place, behind its size: a run journals every change it saves.
  const bool hashed = after.size() > kHashAfterLonger;
  const size_t payload = 1 + 16 + 8 + column_name.size() + before.size() + (hashed ? 12 : 4 + after.size());
  held_[table].Hold(recno, [&](std::string* to) {
    to->reserve(to->size() + 4 + payload);
    Put32(to, static_cast<uint32_t>(payload));
    *to += static_cast<char>(hashed ? kHashedChange : kChange);
    Put32(to, table);
    Put32(to, recno);
    Put32(to, column);
    Put32(to, record);
    PutBytes(to, column_name);
    PutBytes(to, before);
    if (hashed) {
      char hash[8];
      fox::StoreLE64(hash, fox::Hash64(after));
      to->append(hash, 8);
      Put32(to, static_cast<uint32_t>(after.size()));
    } else {
      PutBytes(to, after);
    }
  });
}

size_t UndoJournal::Hand(uint32_t table, const std::vector<uint32_t>& records) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto held = held_.find(table);
  if (!log_ || held == held_.end()) return 0;
  std::string taken;
  const size_t handed = held->second.Move(
      [&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); }, &taken);
  if (handed == 0) return 0;
  // None of them is given when one is too large for the log: the batch then
  // fails whole.
  for (size_t at = 0; at < taken.size();) {
    if (Slice(taken, &at).size() > kLargestPayload) {
      throw fox::Error(fox::ErrorKind::kInvalidValue,
                       "a change is larger than the undo journal '" + log_->path() + "' takes");
    }
  }
  // The tables declared before this one go first, so that they are numbered
  // in order.
  for (; declared_ <= table && declared_ < tables_.size(); ++declared_) log_->Append(tables_[declared_]);
  for (size_t at = 0; at < taken.size();) log_->Append(Slice(taken, &at));
  return handed;
}

void UndoJournal::Committed(size_t handed) {
  std::lock_guard<std::mutex> hold(mutex_);
  changes_ += handed;
}

void UndoJournal::Drop(uint32_t table, const std::vector<uint32_t>& records) {
  std::lock_guard<std::mutex> hold(mutex_);
  const auto held = held_.find(table);
  if (held == held_.end()) return;
  held->second.Move([&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); },
                    nullptr);
}

uint64_t UndoJournal::changes() const {
  std::lock_guard<std::mutex> hold(mutex_);
  return changes_;
}

void UndoJournal::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!log_) return;
  fox::RunLog* log = log_;
  log_ = nullptr;
  held_.clear();
  if (changes_ == 0) return;
  try {
    log->Append(std::string(1, static_cast<char>(kEnd)));
    log->Commit();
  } catch (const fox::Error& e) {
    throw Error(KindOf(e), e.what());
  }
}

}  // namespace quillon
