#include "data/index/index_maintenance.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <limits>
#include <map>
#include <system_error>
#include <thread>

#include "data/file/disk_file.h"
#include "data/index/index_tree.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {
namespace {

constexpr uint32_t kTagHeaderSize = 1024;
constexpr size_t kTagHeaderCheckedFrom = 12;  // root, free list and counter aside
constexpr uint64_t kIndexLockOffset = 0x7FFFFFFE;
constexpr size_t kCounterAt = 8;
constexpr size_t kNearStart = 8192;

constexpr uint8_t kBinarySignature = 5;
constexpr uint8_t kCollatedSignature = 2;
constexpr uint8_t kBitVector = 0x10;
constexpr uint8_t kCompactCompound = 0x60;
// Pages kept by a session beyond which it forgets its leaves (some 3 MB).
constexpr size_t kKeptPages = 4096;
// How long the index lock stays free after a session that ended because its
// time was up, before the next one begins: long enough for a program that
// tries to take the lock every few milliseconds (RangeLock tries every 2).
// Dense saves wait that long once per session.
constexpr std::chrono::milliseconds kPauseAfterLimit{5};

// True when a name in an index expression may refer to the field. Tables of a
// database name fields by their long names in expressions, and a table may be
// opened without its database, where only the ten-character short name is
// known; the match is then made on the short name's characters, erring
// towards "may refer" so that an index is never left stale.
bool NameMayReferTo(const std::string& name, const std::string& short_name, const std::string& long_name) {
  if (name == long_name || name == short_name) return true;
  if (name.size() > 10 && name.compare(0, 10, short_name) == 0) return true;
  const size_t stem = short_name.find_last_not_of("0123456789");
  return stem != std::string::npos && stem + 1 < short_name.size() && name.size() > 10 &&
         name.compare(0, stem + 1, short_name, 0, stem + 1) == 0;
}

[[noreturn]] void Unsupported(const std::string& why) { throw Error(ErrorKind::kUnsupported, why); }

}  // namespace

// Everything below `mutex` is guarded by it. ApplyChanges and the writes
// take it; the watchdog takes it to end a session whose time is up, unless changes
// wait to be written.
struct IndexMaintainer::Session {
  using Clock = std::chrono::steady_clock;

  explicit Session(std::chrono::milliseconds lock_limit)
      : limit(lock_limit), pause(std::min(kPauseAfterLimit, lock_limit / 10)) {}

  // Drops the kept pages and releases the lock. `by_limit`: the session's time
  // is up, and the next one waits for the pause.
  void End(bool by_limit) noexcept {
    WaitForWrites();
    due.store(kNever, std::memory_order_relaxed);
    if (pages) pages->Restart();
    roots.clear();
    lock.reset();
    prepared.clear();
    if (by_limit) pause_until = Clock::now() + pause;
  }

  // Pages read afresh from `file`; the store of the session before is taken
  // again, with its memory.
  void FreshPages(DiskFile& file) {
    if (pages) {
      pages->Restart();
    } else {
      windows.Clear();
      pages = std::make_unique<IndexPageStore>(file, &windows);
    }
  }

  void Watch() {
    std::unique_lock<std::mutex> hold(mutex);
    while (!stopping) {
      if (!lock || !prepared.empty()) {
        wake.wait(hold);
      } else if (pages_out.load() > 0) {
        // Ended once they are written; never waiting for the writer with
        // the session's mutex held, which the writer's caller may want.
        wake.wait_for(hold, std::chrono::milliseconds(2));
      } else if (Clock::now() >= deadline) {
        End(true);
      } else {
        wake.wait_until(hold, deadline);
      }
    }
  }

  // Pages handed over by TakePages wait to be written: the lock is held,
  // and the file not read again, until they are (or are dropped). Counted
  // under their own mutex, so that the writer never needs `mutex`.
  void WaitForWrites() noexcept {
    std::unique_lock<std::mutex> hold(writes_mutex);
    while (pages_out > 0) writes_done.wait(hold);
  }
  void PagesDone() noexcept {
    {
      std::lock_guard<std::mutex> hold(writes_mutex);
      --pages_out;
    }
    writes_done.notify_all();
  }

  const std::chrono::milliseconds limit;
  const std::chrono::milliseconds pause;
  std::mutex mutex;
  std::condition_variable wake;
  std::thread watchdog;  // started with the first session that can outlive a save
  bool stopping = false;

  std::unique_ptr<RangeLock> lock;        // set while a session is open
  PageWindows windows;                    // the file's bytes read in this session
  std::unique_ptr<IndexPageStore> pages;  // the pages read or written in this session
  std::map<uint32_t, uint32_t> roots;     // tag header offset -> root page, checked in this session
  Clock::time_point deadline;
  Clock::time_point pause_until;
  uint32_t counter = 0;  // the change counter as the session found it
  bool counter_written = false;
  // The changes made to `pages` and not yet written, in order, so that they
  // can be made again from the file when a later change fails half-way.
  std::vector<KeyChange> prepared;
  bool lost = false;

  std::mutex writes_mutex;
  std::condition_variable writes_done;
  std::atomic<int> pages_out{0};
  // The deadline while changes wait in an open session, for SessionDue.
  static constexpr Clock::rep kNever = std::numeric_limits<Clock::rep>::max();
  std::atomic<Clock::rep> due{kNever};
};

IndexMaintainer::IndexMaintainer(CompoundIndex& index, ExpressionSchema schema,
                                 std::chrono::milliseconds lock_limit)
    : index_(index), schema_(std::move(schema)), session_(std::make_unique<Session>(lock_limit)) {
  headers_near_start_ = kCounterAt + 4;
  for (const IndexTag& header : index.tags()) {
    Tag tag;
    tag.header = header;
    // Until the tag compiles, any column it names may change its keys, and
    // any column at all when it calls functions that are not FoxPro's own.
    std::set<std::string> names = NamesInExpression(header.key_expression);
    const std::set<std::string> filter_names = NamesInExpression(header.filter_expression);
    names.insert(filter_names.begin(), filter_names.end());
    const bool any =
        MayReadUnnamedFields(header.key_expression) || MayReadUnnamedFields(header.filter_expression);
    for (size_t c = 0; c < schema_.columns.size(); ++c) {
      const auto& column = schema_.columns[c];
      for (const std::string& name : names) {
        if (any || NameMayReferTo(name, column.short_name, column.long_name)) tag.columns.insert(c);
      }
      if (any) tag.columns.insert(c);
    }
    tag.reads_deleted_flag = true;
    try {
      tag.header_bytes.assign(kTagHeaderSize, '\0');
      index.file().ReadExactAt(header.header_offset, tag.header_bytes.data(), kTagHeaderSize,
                               "the header of tag " + header.name);
      tag.header_bytes.erase(0, kTagHeaderCheckedFrom);
      CompileTag(tag);
      tag.maintained = index.file().writable();
      if (!tag.maintained) tag.refusal = "the index file is open for reading only";
    } catch (const Error& e) {
      tag.refusal = e.what();
      tag.key.reset();
      tag.filter.reset();
    }
    if (header.header_offset + kTagHeaderSize <= kNearStart)
      headers_near_start_ = std::max<size_t>(headers_near_start_, header.header_offset + kTagHeaderSize);
    if (tag.maintained) {
      for (size_t c : tag.columns) reads_memos_ = reads_memos_ || schema_.columns[c].field.is_memo();
    }
    tags_.push_back(std::move(tag));
  }
}

IndexMaintainer::~IndexMaintainer() {
  {
    std::lock_guard<std::mutex> hold(session_->mutex);
    session_->stopping = true;
    session_->End(false);
  }
  session_->wake.notify_all();
  if (session_->watchdog.joinable()) session_->watchdog.join();
}

void IndexMaintainer::EndSession() noexcept {
  std::lock_guard<std::mutex> hold(session_->mutex);
  session_->End(false);
}

void IndexMaintainer::CompileTag(Tag& tag) const {
  const IndexTag& h = tag.header;
  if (h.signature == kBinarySignature) Unsupported("it is a binary (bitmap) index");
  if (h.signature != 1 && h.signature != kCollatedSignature)
    Unsupported("its header has the unknown signature " + std::to_string(h.signature));
  if ((h.options & kCompactCompound) != kCompactCompound || (h.options & kBitVector))
    Unsupported("its options (" + std::to_string(h.options) + ") are not those of a compact tag");
  IndexExpression key = IndexExpression::Compile(h.key_expression, schema_);
  std::optional<IndexExpression> filter;
  if (!h.filter_expression.empty()) {
    filter = IndexExpression::Compile(h.filter_expression, schema_);
    if (filter->type() != ExpressionValue::Type::kLogical) Unsupported("its FOR expression is not logical");
  }
  const ExpressionValue::Type type = key.type();
  if ((h.signature == kCollatedSignature || !h.collation.empty()) &&
      (type == ExpressionValue::Type::kCharacter || type == ExpressionValue::Type::kLogical)) {
    Unsupported("it sorts by the collation " +
                (h.collation.empty() ? std::string("of its header") : h.collation) +
                ", whose key weights Quillon does not produce");
  }
  tag.format = KeyFormatOf(type, h.key_length, h.options & IndexTag::kNullableKey);
  tag.columns = key.columns();
  tag.reads_deleted_flag = key.reads_deleted_flag();
  if (filter) {
    tag.columns.insert(filter->columns().begin(), filter->columns().end());
    tag.reads_deleted_flag = tag.reads_deleted_flag || filter->reads_deleted_flag();
  }
  tag.key = std::move(key);
  tag.filter = std::move(filter);
}

const IndexMaintainer::Tag* IndexMaintainer::RefusingTag(size_t column, bool as_if_writable) const {
  for (const Tag& tag : tags_) {
    // A tag whose expressions compiled is kept up to date by a run that can
    // write the index file.
    if (as_if_writable && tag.key) continue;
    if (!tag.maintained && tag.columns.count(column)) return &tag;
  }
  return nullptr;
}

std::optional<std::string> IndexMaintainer::KeyOf(const Tag& tag, std::string_view record,
                                                  const IndexExpression::MemoValues* pending_memos) const {
  if (!tag.key) Unsupported(tag.refusal);
  if (tag.filter) {
    const ExpressionValue in = tag.filter->Evaluate(record, pending_memos);
    if (in.null()) Unsupported("its FOR expression gives NULL");
    if (!in.logical) return std::nullopt;
  }
  return EncodeKey(tag.key->Evaluate(record, pending_memos), tag.format);
}

void IndexMaintainer::Refuse(const Tag& tag, uint32_t recno, const std::string& why) const {
  throw Error(ErrorKind::kIndexed, "The change to record " + std::to_string(recno) + " of table '" +
                                       index_.table() + "' was not saved: tag " + tag.header.name +
                                       " of its structural index cannot be kept up to date (" + why + ").");
}

bool IndexMaintainer::KeyChanges(std::string_view before, std::string_view after, uint32_t recno,
                                 const std::vector<size_t>& changed,
                                 const IndexExpression::MemoValues& after_memos,
                                 std::vector<KeyChange>* changes) const {
  const bool deleted_changed = before.substr(0, 1) != after.substr(0, 1);
  const size_t first = changes->size();
  try {
    for (const Tag& tag : tags_) {
      bool touched = deleted_changed && tag.reads_deleted_flag;
      for (size_t c : changed) touched = touched || tag.columns.count(c);
      if (!touched) continue;
      if (!tag.maintained) Refuse(tag, recno, tag.refusal);
      KeyChange change{&tag, recno, std::nullopt, std::nullopt};
      try {
        change.before = KeyOf(tag, before);
        change.after = KeyOf(tag, after, &after_memos);
      } catch (const Error& e) {
        Refuse(tag, recno, e.what());
      }
      if (change.before != change.after) changes->push_back(std::move(change));
    }
  } catch (...) {
    changes->resize(first);
    throw;
  }
  return changes->size() > first;
}

void IndexMaintainer::ApplyChanges(std::vector<KeyChange>& changes, uint32_t recno) {
  std::lock_guard<std::mutex> hold(session_->mutex);
  Session& s = *session_;
  const size_t waiting = s.prepared.size();
  try {
    BeginSession(recno);
    for (KeyChange& change : changes) {
      try {
        Apply(change, recno);
      } catch (const Error& e) {
        if (e.kind() == ErrorKind::kIndexed || e.kind() == ErrorKind::kIo) throw;
        if (e.kind() == ErrorKind::kCorrupt) {
          Refuse(*change.tag, recno,
                 std::string("it is damaged: ") + e.what() + "; reindex the table in FoxPro");
        }
        Refuse(*change.tag, recno, e.what());
      }
      s.prepared.push_back(change);
    }
    s.due.store(s.deadline.time_since_epoch().count(), std::memory_order_relaxed);
  } catch (...) {
    // The kept pages may hold part of this change: they are read again and
    // the changes waiting before it made again; without any, the session
    // ends as after any failure.
    s.prepared.resize(std::min(s.prepared.size(), waiting));
    if (s.prepared.empty()) {
      s.End(false);
    } else {
      try {
        Replay();
      } catch (...) {
        s.End(false);
        s.lost = true;
      }
    }
    throw;
  }
}

// Removes the change's old entry and inserts its new one in the session's
// pages, noting what was done so that Replay can do the same.
void IndexMaintainer::Apply(KeyChange& change, uint32_t recno) {
  const Tag& tag = *change.tag;
  IndexTree tree(*session_->pages, RootOf(tag), tag.header.key_length, tag.format.pad());
  const bool unique = tag.header.options & IndexTag::kUnique;
  const bool candidate = tag.header.options & IndexTag::kCandidate;
  if (change.after && candidate) {
    // Checked before anything changes: the record's own entry does not count.
    if (std::optional<uint32_t> other = tree.OtherRecordWithKey(*change.after, recno)) {
      throw Error(ErrorKind::kIndexed, "The change to record " + std::to_string(recno) + " of table '" +
                                           index_.table() + "' was not saved: tag " + tag.header.name +
                                           " of its structural index allows each key only once, and record " +
                                           std::to_string(*other) +
                                           " already has the key the change would give.");
    }
  }
  if (change.before) {
    change.removed = tree.Remove({*change.before, recno});
    if (!change.removed && !unique) {
      throw Error(ErrorKind::kCorrupt, "it does not hold the key of the record's stored values");
    }
  }
  if (change.after) {
    // A unique tag keeps the first record of a key.
    change.inserted = !unique || !tree.OtherRecordWithKey(*change.after, recno);
    if (change.inserted) tree.Insert({*change.after, recno});
  }
}

// Reads the pages afresh and makes the waiting changes again, exactly as
// they were made: the index lock has been held throughout, so the file is as
// it was when they were first made.
void IndexMaintainer::Replay() {
  Session& s = *session_;
  s.WaitForWrites();
  s.FreshPages(index_.file());
  for (const KeyChange& change : s.prepared) {
    const Tag& tag = *change.tag;
    IndexTree tree(*s.pages, RootOf(tag), tag.header.key_length, tag.format.pad());
    if (change.removed) tree.Remove({*change.before, change.recno});
    if (change.inserted) tree.Insert({*change.after, change.recno});
  }
}

bool IndexMaintainer::lost() const {
  std::lock_guard<std::mutex> hold(session_->mutex);
  return session_->lost;
}

bool IndexMaintainer::SessionDue() const {
  // Asked at every save: read without the session's mutex.
  const Session::Clock::rep due = session_->due.load(std::memory_order_relaxed);
  return due != Session::kNever && Session::Clock::now().time_since_epoch().count() >= due;
}

void IndexMaintainer::Discard() noexcept {
  std::lock_guard<std::mutex> hold(session_->mutex);
  session_->End(false);
  session_->lost = false;
}

void IndexMaintainer::BeginSession(uint32_t recno) {
  Session& s = *session_;
  const Session::Clock::time_point now = Session::Clock::now();
  if (s.lock && now >= s.deadline && s.prepared.empty()) s.End(true);
  if (s.lock) return;
  if (now < s.pause_until) std::this_thread::sleep_until(s.pause_until);
  s.lock = std::make_unique<RangeLock>(
      index_.file(), kIndexLockOffset, 1,
      "The change to record " + std::to_string(recno) + " of table '" + index_.table() +
          "' was not saved: another program is changing its index file (it is locked).");
  s.deadline = Session::Clock::now() + s.limit;
  s.FreshPages(index_.file());
  s.roots.clear();
  s.counter_written = false;
  // Everything is read afresh under the lock: other programs change the
  // index between sessions. The change counter and the headers of the tags
  // that lie near it (those of the first tags made) come in one read.
  std::string start(headers_near_start_, '\0');
  index_.file().ReadExactAt(0, start.data(), start.size(), "the header of the index file");
  s.counter = LoadBE32(start.data() + kCounterAt);
  for (const Tag& tag : tags_) {
    if (!tag.maintained || tag.header.header_offset + kTagHeaderSize > start.size()) continue;
    if (start.compare(tag.header.header_offset + kTagHeaderCheckedFrom, tag.header_bytes.size(),
                      tag.header_bytes) == 0)
      s.roots[tag.header.header_offset] = LoadLE32(start.data() + tag.header.header_offset);
  }
  if (s.limit.count() > 0 && !s.watchdog.joinable()) {
    try {
      s.watchdog = std::thread([&s] { s.Watch(); });
    } catch (const std::system_error&) {
      // Without a watchdog nothing would end an idle session: each save
      // then takes the lock for itself alone.
    }
  }
  s.wake.notify_all();
}

// The root page of a tag, from its header as read in this session; a header
// that differs from the one read when the table was opened is refused.
uint32_t IndexMaintainer::RootOf(const Tag& tag) {
  const auto known = session_->roots.find(tag.header.header_offset);
  if (known != session_->roots.end()) return known->second;
  std::string header(kTagHeaderSize, '\0');
  index_.file().ReadExactAt(tag.header.header_offset, header.data(), header.size(),
                            "the header of tag " + tag.header.name);
  if (header.compare(kTagHeaderCheckedFrom, std::string::npos, tag.header_bytes) != 0)
    Unsupported("another program has redefined it since the table was opened; open the table again");
  const uint32_t root = LoadLE32(header.data());
  session_->roots[tag.header.header_offset] = root;
  return root;
}

// ---------------------------------------------------------------------------

void IndexMaintainer::WriteNewPages() {
  std::lock_guard<std::mutex> hold(session_->mutex);
  Session& s = *session_;
  if (s.prepared.empty()) return;
  try {
    // Encoding first: writing then cannot fail half-way for a page that no
    // longer fits.
    s.pages->Encode();
    if (!s.pages->changed()) return;
    if (!s.counter_written) {
      // Programs that cache index pages compare this counter to notice changes.
      unsigned char counter[4];
      StoreBE32(counter, s.counter + 1);
      index_.file().WriteAt(kCounterAt, counter, sizeof counter);
      s.counter_written = true;
    }
    s.pages->WriteNewPages();
  } catch (...) {
    s.End(false);
    throw;
  }
}

IndexMaintainer::PageWrites IndexMaintainer::TakePages() {
  std::lock_guard<std::mutex> hold(session_->mutex);
  Session& s = *session_;
  PageWrites writes;
  if (s.prepared.empty()) return writes;
  s.prepared.clear();
  // Nothing waits now: a session past its time ends once these are written,
  // and the saves after it need not hurry.
  s.due.store(Session::kNever, std::memory_order_relaxed);
  if (s.pages->changed()) {
    // Pages forgotten now are read from the file when next needed, so they
    // may go only while no batch's pages are still on their way to it (the
    // batch before this one has been written, as a rule, by now); the pages
    // handed over below stay until they are written.
    if (s.pages_out.load() == 0) s.pages->Trim(kKeptPages);
    s.pages->TakeChangedPages(&writes.runs);
    s.pages->Commit();
  }
  std::lock_guard<std::mutex> count(s.writes_mutex);
  ++s.pages_out;
  writes.taken = true;
  return writes;
}

void IndexMaintainer::WritePages(PageWrites& writes) {
  if (!writes.taken) return;
  Session& s = *session_;
  std::string failure;
  ErrorKind kind = ErrorKind::kIo;
  try {
    IndexPageStore::WriteRuns(index_.file(), writes.runs);
  } catch (const Error& e) {
    failure = e.what();
    kind = e.kind();
  }
  writes.runs.clear();
  writes.taken = false;
  s.PagesDone();
  std::lock_guard<std::mutex> hold(s.mutex);
  if (!failure.empty()) {
    // The pages kept may be ahead of the file now: they go, with any
    // changes prepared on them since.
    if (!s.prepared.empty()) s.lost = true;
    s.End(false);
    throw Error(kind, "The records of table '" + index_.table() +
                          "' were saved, but its structural index \"" + index_.path() +
                          "\" could not be brought up to date (" + failure +
                          "). Reindex the table in FoxPro before using it.");
  }
  // A session whose time is up ends now, unless the next changes are being
  // prepared already; otherwise the watchdog or the next change ends it.
  if (!s.lock || !s.prepared.empty()) return;
  if (s.limit.count() == 0 || !s.watchdog.joinable()) {
    s.End(false);
  } else if (Session::Clock::now() >= s.deadline) {
    s.End(true);
  }
  s.wake.notify_all();
}

void IndexMaintainer::DropPages(PageWrites& writes) noexcept {
  if (!writes.taken) return;
  Session& s = *session_;
  writes.runs.clear();
  writes.taken = false;
  s.PagesDone();
  std::lock_guard<std::mutex> hold(s.mutex);
  if (!s.prepared.empty()) s.lost = true;
  s.End(false);
}

}  // namespace fox
