// An open table: its file, memo file and structural index, with the record
// reads, text forms and the one save path through which every change goes.
//
// Saving is optimistic. Each edit remembers the record bytes as read; saving
// locks the record the way Visual FoxPro does (one byte at 0x7FFFFFFE - n in
// the table file), re-reads it, and refuses with Error(kConflict) if another
// program changed it meanwhile, keeping that program's change. Changed memo
// values are appended to the memo file and made durable before the record that
// points at them is written, so a crash leaves the old value or the new one.
// Only the record's bytes and the header's last-update date are written, and
// the structural index, whose tags are kept in line with the record.
//
// Saves are gathered in batches (group commit): a save is checked and worked
// out at once, under its record lock, and the batch is written together, with
// one flush for all its memo values, when it is full, when it has waited for
// its time limit (a watchdog thread writes an idle batch), and before any
// refusal is reported. A full batch is sealed by the saving thread (records
// locked and checked, memo values and new index pages written) and the
// writer thread finishes it (the flush, the records, the changed index
// pages) while the next batch gathers; one batch at a time is being
// written. With Options::index_ahead, a third thread makes each save's
// changes to the index pages while the saving thread goes on with the next
// records; the batch is sealed once it has caught up. See Save for the order
// of the writes and what a crash leaves.
//
// table.cpp opens the table and reads, searches and edits records; the save
// path is table_save.cpp (saves, batches, sealing), BatchWriter (the writer
// thread and the watchdog), BatchWrite (one sealed batch's writes, in
// order) and IndexThread (the index thread).
//
// Threads: a Table is used by one thread at a time (the caller's; calls from
// two threads must be ordered by the caller). Its own threads (writer,
// watchdog, index thread) are internal; the locks that order them with the
// caller's thread are listed with the save path's members below.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "data/file/disk_file.h"
#include "data/file/repair_marker.h"
#include "data/file/run_log.h"
#include "data/index/compound_index.h"
#include "data/index/index_maintenance.h"
#include "data/record/field_codec.h"
#include "data/record/table_header.h"
#include "data/table/batch_writer.h"
#include "data/table/index_thread.h"
#include "data/table/left_records.h"
#include "data/table/memo_file.h"
#include "data/table/probe_store.h"
#include "data/table/sealed_batch.h"
#include "data/util/error.h"
#include "data/util/mutex.h"

namespace fox {

class Table {
 public:
  struct Options {
    DiskFile::Mode mode = DiskFile::Mode::kReadOnly;
    std::string display_name;             // name used in messages; default: file base name
    std::vector<std::string> long_names;  // container long field names, column order
    // How long the structural index stays locked at most once a save has
    // taken its lock (see IndexMaintainer); zero locks it for each save alone.
    std::chrono::milliseconds index_lock_limit = IndexMaintainer::kDefaultLockLimit;
    // How many saves a batch gathers at most before it is written; 1 writes
    // each save before Save returns.
    size_t batch_records = 1;
    // How long the first save of a batch waits at most to be written.
    std::chrono::milliseconds batch_delay{100};
    // The record and memo bytes a batch holds in memory at most.
    size_t batch_bytes = 8 << 20;
    // With batches (batch_records above 1): a save's changes to the index
    // pages are made on a thread of their own while the next records are
    // read and changed (see Save for what that means for its refusals).
    bool index_ahead = false;
    // Whether a table whose header says it has a structural index may be
    // changed while the index file is missing (the index must then be
    // rebuilt); otherwise every change to it is refused.
    bool allow_missing_index = false;
    // Called before a batch's records are written (from the thread that
    // writes them: the caller's or the writer), so that whatever must reach
    // the disk before them (a log of the changes) gets there first. Returns
    // false when that could not be written: the batch's records are then
    // not written (SaveError). `records` are the numbers of the records about
    // to be written, ascending. Must not throw.
    using BeforeWrite = std::function<bool(const std::vector<uint32_t>& records)>;
    BeforeWrite before_write;
    // The run log the batches go to (see RunLog), shared by every table of
    // a run and borrowed; when it is null or not made yet, the table keeps
    // a log of its own beside it while it changes.
    RunLog* run_log = nullptr;
    // Called after a batch's entries are committed in the run log (which
    // Commit left `position` long) and before its records are written in
    // place, from the thread that writes them. Must not throw.
    using AfterCommit = std::function<void(const std::vector<uint32_t>& records, uint64_t position)>;
    AfterCommit after_commit;
    // Called by the writer when it starts on a batch, before it waits for
    // the batch's memo values to reach the disk, so that what before_write
    // must make durable can be on its way meanwhile. Must not throw.
    using WriteAhead = std::function<void()>;
    WriteAhead write_ahead;
    // Called by the writer right before it compares a batch's records with
    // the disk one last time; tests act there as a program that writes
    // records without locking them.
    std::function<void()> before_recheck;
  };
  // Batch limits for bulk runs: thousands of saves (scattered records too: a
  // batch whose records no other program holds is written under one table
  // lock), or 100 ms, or a megabyte of records (as read and as changed, with
  // their memo values). A run may hold several tables' batches at once (a
  // cascade's parent and children), each while the one before is written
  // and copied once more for the write: the megabyte keeps the run's memory
  // flat however wide the records are, and a batch of narrow records still
  // holds thousands.
  static constexpr size_t kBulkBatchRecords = 8192;
  static constexpr size_t kBulkBatchBytes = size_t{1} << 20;

  // Opens the table file at `path` with its memo file and structural index.
  // A table file that is read-only, opened for writing, is opened for
  // reading instead: every column then refuses to change (ColumnRefusal).
  // Throws Error: kNotFound, kReadOnly, kCorrupt, kUnsupported.
  Table(const std::string& path, const Options& options);
  // Writes the current batch (call Flush first to learn of a failure),
  // stops the watchdog and releases the structural index's lock.
  ~Table();

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  const TableHeader& header() const { return header_; }
  const FieldCodec& codec() const { return codec_; }

  // Record count when the table was opened; later appends are not seen.
  uint32_t record_count() const { return record_count_; }

  // The fields a user sees (system fields such as _NullFlags left out).
  size_t field_count() const { return visible_.size(); }
  const FieldDescriptor& field(size_t column) const { return header_.fields[visible_[column]]; }
  // Lower-case field name: the container's long name for database tables.
  const std::string& field_name(size_t column) const { return names_[column]; }
  // The table's columns as key, filter and rule expressions see them (short
  // and long names, the codec, memo values read from the memo file). It
  // refers to the table, which must outlive the expressions compiled with it.
  ExpressionSchema expression_schema() const;

  // Reads `count` whole records starting at `first` (1-based) into `out`;
  // records saved in the current batch read as saved.
  void ReadRecords(uint32_t first, uint32_t count, std::string* out) const;
  // Calls `visit(recno, record)` for every record, deleted ones included,
  // reading a few thousand at a time (ReadRecords). Throws what it throws.
  void VisitRecords(const std::function<void(uint32_t recno, std::string_view record)>& visit) const;

  bool IsDeleted(std::string_view record) const { return !record.empty() && record[0] == '*'; }

  // A record being edited: the bytes as read, the bytes as changed, and the
  // memo values that saving will append.
  struct Edit {
    uint32_t recno = 0;
    std::string original;
    std::string working;
    std::map<size_t, std::string> memo_text;  // column -> new encoded memo data
    // Column -> Hash64 of the memo value that memo_text replaces, as it was
    // read: saving refuses the change as a conflict when another program
    // rewrote that value in its own block since.
    std::map<size_t, uint64_t> memo_read;
    bool changed() const { return !memo_text.empty() || working != original; }
  };

  // The text form of a column of an edited record; nothing for NULL and for
  // values without a text form. Throws Error(kCorrupt) for unreadable values.
  std::optional<std::string> Text(const Edit& edit, size_t column) const;

  // The stored form of a column: what is kept to take a change back exactly.
  // One byte holding the column's bits in _NullFlags (FieldCodec::FlagBits)
  // when it has any, then, for a memo, the value's bytes as the memo file
  // holds them (empty without a value), for other columns the field's bytes
  // in the record. `original`: of the record as read, otherwise as edited.
  // Throws Error(kCorrupt) when the memo value cannot be read.
  // Made in `out`, its storage reused.
  void StoredForm(const Edit& edit, size_t column, bool original, std::string* out) const;
  // Forgets the memo value kept from the last read, so that a record read
  // afresh has its memo values read afresh too (another program may have
  // rewritten one in its block).
  void ForgetMemoValue() const {
    memo_value_block_ = 0;
    if (memo_) memo_->ForgetReadAhead();
  }
  // The columns whose stored form the edit changes, in order.
  void EditedColumns(const Edit& edit, std::vector<size_t>* columns) const;
  // When the edit leaves the column's stored form as it was read (pairs that
  // came back to the value they began with, a text equal to the one
  // replaced), gives the column back its bytes as read, so that it is not
  // saved, and returns true; false when the column holds another value.
  // Throws Error(kCorrupt) when the memo value as read cannot be read.
  // Puts the value `column` had when the record was read back into `edit`.
  void RevertColumn(Edit& edit, size_t column) const;
  bool RevertIfUnchanged(Edit& edit, size_t column) const;
  // Gives the column the stored form `stored` (as StoredForm made it), to be
  // saved like any change. Throws Error(kInvalidValue) when it cannot be one
  // of this column: the wrong length, or a memo value longer than FoxPro
  // holds.
  void SetStoredForm(Edit& edit, size_t column, std::string_view stored);

  // Whether the text form of a column contains `text` (compared exactly):
  // the same answer as Text(edit, column) holding `text`, false for NULL and
  // for values without a text form. Character and memo values of single-byte
  // code pages are searched in their stored bytes, without being decoded.
  // Throws like Text.
  bool Contains(const Edit& edit, size_t column, std::string_view text) const;

  // False only when no column of the record can contain `text` in its text
  // form, so that a caller may pass over the whole record; true when some
  // column may (Contains then tells which). Character, varchar and numeric
  // values are tested together by one search of the stored record, memo
  // values one by one, and dates, times, logicals and binary numbers only when
  // `text` is made of characters their text forms can show.
  // `memos_hold_none`: the caller knows (from RecordsMayContain) that no memo
  // value of the record holds `text`, so they are not read. `columns`, when
  // given, is set to one flag per column: 0 when that column cannot contain
  // `text`, 1 when it may, 2 when it does (found by Contains); every column
  // is then looked at.
  bool RecordMayContain(const Edit& edit, std::string_view text, bool memos_hold_none = false,
                        std::vector<char>* columns = nullptr) const;

  // The same question for whole records as read (ReadRecords' bytes),
  // deleted ones included: false only when none of them can contain `text`.
  // Their bytes are searched in one go and their memo values in one span of
  // the memo file, so that a run over records that hold no find text costs
  // little more than reading them.
  // `memos_may` (when given) tells whether their memo values may contain it.
  bool RecordsMayContain(std::string_view records, std::string_view text, bool* memos_may = nullptr) const;

  // Assigns the text to a column. Assigning the column's current text form
  // changes nothing. Throws Error naming the table and field: kInvalidValue
  // when the text does not fit, kReadOnly for an autoincrement field or a
  // table opened read-only, kIndexed when a tag of the structural index that
  // cannot be kept up to date refers to the field. On error the edit is
  // unchanged.
  void Assign(Edit& edit, size_t column, const std::string& text) const;

  // Why a value cannot be assigned: `reason` is the same for every value
  // refused alike (for one column: "is not a date (YYYY-MM-DD)", "it is an
  // autoincrement field, ..."), `message` names the table, the field and the
  // value.
  struct Refusal {
    ErrorKind kind;
    std::string reason;
    std::string message;
  };
  // Assign without throwing for a value the column refuses: returns the
  // refusal instead (the edit then unchanged). Throws only when the current
  // value cannot be read.
  std::optional<Refusal> TryAssign(Edit& edit, size_t column, const std::string& text) const;
  // Why no value can ever be assigned to `column` in this table as it is
  // open (binary data, a read-only table file, the table open read-only, an
  // autoincrement field, a
  // tag that cannot be kept up to date), or nothing. `as_if_writable`
  // leaves out the table and its index being open read-only (a dry run opens
  // them so).
  std::optional<Refusal> ColumnRefusal(size_t column, bool as_if_writable = false) const;
  // Whether `column` could take `text` if the table were open for writing,
  // as far as its type, width and code page tell (and ColumnRefusal);
  // nothing is assigned.
  std::optional<Refusal> CheckValue(size_t column, const std::string& text) const;

  // Saves a changed edit: locks the record, checks that nobody changed it
  // since it was read, stages its memo values and works out its index
  // changes, then adds it to the current batch, which is written when full
  // or due (at once with batch_records 1). Throws SaveError naming the
  // record, of kind kConflict, kLocked, kIo, kInvalidValue (a memo the memo
  // file cannot take), or kIndexed naming the tag when the change would
  // duplicate a candidate key or a tag cannot be kept up to date: the record
  // then keeps its values on disk, and the saves batched before it are
  // written first. A batch that cannot be written throws SaveError naming
  // its records, none of which was written (or, when only the index could
  // not be written after the records were, Error(kIo) saying that the table
  // needs a REINDEX); a failure of a batch sealed by the watchdog or written
  // by the writer thread is thrown by the next Save or Flush, and drops the
  // batch gathered since (its records named too). Once saved, the edit
  // holds the record as it will be written.
  // A save that changes the index keeps the index lock for the saves that
  // follow, for a short while; an error releases it.
  // With Options::index_ahead, the refusals that only the index's pages can
  // tell (a damaged tag, the index locked by another program) come once the
  // index thread has made the save's changes; a change to a column of a
  // candidate tag is still worked out by the save itself, which refuses a
  // candidate key taken at once. The later refusals are thrown like a
  // batch's failure, as SaveError naming the record, by a later Save or
  // Flush: the first after the index thread reached the save, or the one
  // that seals its batch. The rest of the batch is written without the
  // record, which keeps its values on disk.
  void Save(Edit& edit);

  // Writes the current batch now (throws as Save does for a batch), and any
  // failure of a batch written by the watchdog.
  void Flush();
  // Saves not yet written: those of the current batch and of the one being
  // written.
  size_t pending_saves() const;

  // Writes the current batch (a failure is thrown by the next Save or
  // Flush), then releases the structural index's lock now, if a save still
  // holds it: when no more saves are coming soon.
  void ReleaseIndex() noexcept;

  // Columns that a tag of the structural index refers to.
  const std::set<size_t>& indexed_columns() const { return indexed_; }
  // The tags of the structural index and how they are kept; nullptr when the
  // table has none.
  const IndexMaintainer* index_maintainer() const { return maintainer_.get(); }
  // The file name of the structural index the header announces, when that
  // file is missing; "" otherwise.
  const std::string& missing_index() const { return missing_index_; }
  // The file name of an index file beside a table whose header says it has
  // no structural index ("" when there is none): saves do not keep it.
  const std::string& unnamed_index() const { return unnamed_index_; }

  // When a Quillon program stopped before it finished changing this table
  // (its marker is left, see RepairMarker) and none changes it now: writes
  // whole the records its write-ahead file holds (each under its record
  // lock, and only where the record holds nothing but the bytes of the
  // record as it was and as it was being written: a record another program
  // changed since is left, and named), checks every tag of the structural
  // index against the records, rebuilds those that do not agree, removes
  // the marker and returns what it did, for the user; "" when there was
  // nothing to do. Call it right after opening the
  // table for writing, before any save. Throws Error, the table unchanged,
  // when the index cannot be checked or repaired.
  std::string RepairInterruptedRun();
  // What the last RepairInterruptedRun did; "" when nothing.
  const std::string& repair_notice() const { return repair_notice_; }
  // The run logs the last RepairInterruptedRun put records back from (a
  // table's own log, removed since, left out): their runs stopped, and
  // what they logged beside the records (a change log's lines) may need
  // completing.
  const std::vector<std::string>& repaired_logs() const { return repaired_logs_; }

  // Takes record `recno`'s lock, as another program would see it, and keeps
  // it until ReleaseHolds: another program can then neither lock nor save
  // the record, while this table's own saves of it go through. Lets a caller
  // make sure, before it changes something else, that a record it must
  // change afterwards can be changed. Throws Error(kLocked) when another
  // program holds the lock; holding a record twice is one hold.
  void Hold(uint32_t recno);
  void ReleaseHolds() noexcept;

 private:
  // The save path. Saves are gathered in batch_ under batch_mutex_; a full
  // or due batch is sealed (FlushLocked) by the saving thread or by the
  // writer's watchdog, handed to writer_ and written by BatchWrite. Lock
  // order (each taken only after those above it, never the other way):
  //   1. batch_mutex_ (recursive: a save reads records and memo values,
  //      which take it too)
  //   2. writer_'s mutex, or held_mutex_, or index_thread_'s mutex, never
  //      two of them at once
  // The maintainer, memo file and repair marker lock themselves.
  using Pending = PendingSave;
  void Queue(Edit& edit) REQUIRES(batch_mutex_);
  // Stages the pending save's memo values and works out its index changes;
  // on failure nothing of it stays staged. `ahead`: the changes to the
  // index pages are left to the index thread (their refusals come later,
  // see IndexThread::TakeResults), the keys are worked out here.
  void Stage(Pending& pending, bool ahead = false) REQUIRES(batch_mutex_);
  // Locks the table, as FoxPro's bulk commands do, or, when that cannot be
  // had at once, the batch's records (a run of consecutive records with one
  // lock), and checks each record against the record as it was read.
  // Returns the locks; the records that cannot be saved are taken out of
  // `batch` into `refused` with the reason.
  BatchLocks LockAndCheck(std::vector<Pending>& batch, std::vector<std::pair<uint32_t, Error>>* refused);
  // The table lock reaching record `highest`, unless another program holds
  // a record or the table, or this table holds records (Hold): a lock of
  // this table's own must not lie inside it.
  std::unique_ptr<TableLock> TryTableLock(uint32_t highest) EXCLUDES(held_mutex_);
  // Whether a memo value the pending save replaces is no longer, on disk,
  // the value its change was worked out from (Edit::memo_read): another
  // program rewrote it in its own block. With the record locked.
  bool MemoRewritten(const Pending& pending);
  MemoFile::Value recheck_memo_;  // MemoRewritten's buffer
  // Whether the bytes of record `recno` on disk are no longer `original`,
  // those read (false when they cannot be read).
  bool ChangedSinceRead(uint32_t recno, const std::string& original) const;
  // Seals the batch and hands it to the writer (writes it here when there
  // is no writer thread); throws SaveError for the records refused when it
  // was sealed, and for a failure of the batch written before it.
  void FlushLocked() REQUIRES(batch_mutex_);
  // FlushLocked's steps. Takes the current batch out, sorted, leaving the
  // written batch's saves in its place for their buffers.
  std::vector<Pending> TakeBatch() REQUIRES(batch_mutex_);
  // Takes the saves the index thread refused out of `batch` and returns
  // their failure; throws SaveError for the whole batch when the index
  // changes waiting were lost.
  std::exception_ptr TakeIndexRefusals(std::vector<Pending>& batch) REQUIRES(batch_mutex_);
  // Step 0: locks and checks the records (LockAndCheck); when any is
  // refused, stages the others again. Throws SaveError for the batch.
  BatchLocks LockAndRestage(std::vector<Pending>& batch, const std::exception_ptr& index_failure,
                            std::vector<std::pair<uint32_t, Error>>* refused) REQUIRES(batch_mutex_);
  // Steps 1 and 2: the memo values (not flushed) and the new index pages.
  // Throws SaveError for the batch.
  SealedBatch WriteStaged(std::vector<Pending>& batch, const std::vector<std::pair<uint32_t, Error>>& refused,
                          const std::exception_ptr& index_failure) REQUIRES(batch_mutex_);
  // The failure for the records refused when the batch was sealed.
  std::exception_ptr RefusedFailure(std::vector<std::pair<uint32_t, Error>>& refused) const;
  // FlushLocked, then waits until the batch is written; throws what either
  // could not do.
  void FlushAndWait() REQUIRES(batch_mutex_);
  // Writes a sealed batch (BatchWrite).
  void WriteFlight(SealedBatch& flight);
  // Waits until the writer has finished the batch it holds; with
  // `throw_failure`, throws what it could not write (dropping the current
  // batch, which was worked out on top of it).
  void WaitForFlight(bool throw_failure) REQUIRES(batch_mutex_);
  // Drops the current batch and everything staged for it; returns its
  // records, ascending.
  std::vector<uint32_t> DropBatch() REQUIRES(batch_mutex_);
  void ThrowDeferred() REQUIRES(batch_mutex_);
  // From the watchdog: seals the batch if it is due, unless batch_mutex_ is
  // taken (then returns false).
  bool SealIfDue() EXCLUDES(batch_mutex_);
  // The columns whose values differ between the records `before` and
  // `after` (with the memo values `memo_text` not yet written), ascending;
  // only those of `among` when given.
  void ChangedColumns(std::string_view before, std::string_view after,
                      const std::map<size_t, std::string>* memo_text, const std::set<size_t>* among,
                      std::vector<size_t>* changed) const;
  // The error for a value that cannot be read: names the field, the record
  // and the table, then the cause.
  Error Unreadable(const Edit& edit, size_t column, const Error& cause) const;
  // The stored bytes of a memo value: the pending new value or a view of
  // memo_value_, valid until the next read.
  std::string_view MemoBytes(const Edit& edit, size_t column) const;
  // Reads the memo value at `block` of the edit's column; throws Unreadable.
  void ReadMemoValue(const Edit& edit, size_t column, uint32_t block, MemoFile::Value* value) const;
  // How RecordMayContain looks for `text` in a record, made on first use
  // and kept; its one_by_one numbers a list in probe_columns_ (the columns
  // searched through Contains), which few texts tell apart. It stays
  // valid until kMaxProbes texts have been probed and the probes start again.
  const ProbeStore::Probe& ProbeFor(std::string_view text) const;
  static constexpr size_t kMaxProbes = size_t{1} << 20;
  uint64_t RecordLockOffset(uint32_t recno) const { return 0x7FFFFFFEull - recno; }
  // The records held (Hold) and their locks; read by the writer thread.
  mutable Mutex held_mutex_;
  std::map<uint32_t, std::unique_ptr<RangeLock>> held_ GUARDED_BY(held_mutex_);
  // Whether a batch holds the table lock (TryTableLock): Hold waits until it
  // is released, since a record lock taken inside it would go with it.
  bool table_locked_ GUARDED_BY(held_mutex_) = false;
  CondVar table_released_;
  bool Held(uint32_t recno) const EXCLUDES(held_mutex_);

  std::string path_;
  std::string name_;
  // The table file itself is read-only (its attribute, or a share that
  // allows reading only): opened for writing, the table was opened for
  // reading instead, and no column of it can change. Set as file_ opens,
  // so declared before it.
  bool read_only_file_ = false;
  std::unique_ptr<DiskFile> file_;
  TableHeader header_;
  FieldCodec codec_;
  uint32_t record_count_ = 0;
  std::vector<size_t> visible_;  // indexes into header_.fields
  std::vector<std::string> names_;
  std::unique_ptr<MemoFile> memo_;
  std::unique_ptr<CompoundIndex> index_;
  std::unique_ptr<IndexMaintainer> maintainer_;
  std::set<size_t> indexed_;
  std::set<size_t> candidate_columns_;  // the columns of maintained candidate tags
  // Beside a table that this program writes, with its write-ahead file.
  std::unique_ptr<RepairMarker> marker_;
  std::string repair_notice_;
  std::vector<std::string> repaired_logs_;
  // The records of the write-ahead files left beside the table put back
  // (PutBackLeftRecords); the files then go. Throws Error.
  LeftRecords PutBackRecords();

  Options options_;
  // The current batch; writer_ knows whether it holds saves and when it is
  // due.
  mutable RecursiveMutex batch_mutex_;
  std::vector<Pending> batch_ GUARDED_BY(batch_mutex_);
  // Pendings of written batches, whose record buffers the next saves reuse.
  std::vector<Pending> spare_ GUARDED_BY(batch_mutex_);
  size_t batch_bytes_ GUARDED_BY(batch_mutex_) = 0;
  uint32_t batch_max_recno_ GUARDED_BY(batch_mutex_) = 0;
  size_t batch_runs_ GUARDED_BY(batch_mutex_) = 0;  // runs of consecutive records in the batch
  // A batch written under record locks holds one lock per run, and the
  // system's lock list grows with each: after a batch that could not have
  // the table lock, the next holds a bounded number of runs.
  static constexpr size_t kBatchRuns = 512;
  bool record_locked_ GUARDED_BY(batch_mutex_) = false;
  // A failure of a batch the watchdog sealed, or of a batch written after
  // a save was refused, for the next call.
  std::exception_ptr deferred_ GUARDED_BY(batch_mutex_);
  // The writer thread and watchdog.
  mutable BatchWriter writer_{[this](SealedBatch& flight) { WriteFlight(flight); },
                              [this] { return SealIfDue(); }};

  // The index thread (Options::index_ahead), made when first needed.
  std::unique_ptr<IndexThread> index_thread_;
  bool IndexAhead();  // starts the thread when it is first needed

  std::vector<size_t> changed_ GUARDED_BY(batch_mutex_);  // Stage's
  // Reused from value to value by Contains.
  mutable MemoFile::Value memo_value_;
  // Which value memo_value_ holds: block, record and edit (0: none).
  mutable uint32_t memo_value_block_ = 0;
  mutable uint32_t memo_value_recno_ = 0;
  mutable const Edit* memo_value_edit_ = nullptr;
  // Map nodes and buffers of memo values written, for the next values
  // (SetMemoText); taken back by Queue from the saves of a written batch.
  mutable std::vector<std::map<size_t, std::string>::node_type> memo_nodes_;
  void SetMemoText(Edit& edit, size_t column, std::string&& bytes) const;
  void KeepMemoNodes(std::map<size_t, std::string>& values);
  // Probes of the texts searched: a set list searches every record for
  // each of its find texts, which may be many thousands.
  mutable ProbeStore probes_;
  mutable std::deque<std::vector<size_t>> probe_columns_;  // the probes' lists of columns, each once
  // Why the memo file cannot take values safely (MemoFile::Damage), as first
  // seen.
  const std::optional<std::string>& MemoDamage() const;
  // Why no change may be saved while the structural index file is missing.
  std::optional<std::string> MissingIndexRefusal() const;
  // The refusal of `text` for `column`, naming the table, field and value.
  Refusal ValueRefusal(size_t column, const std::string& text, ErrorKind kind, const std::string& reason,
                       const std::string& why) const;
  std::string missing_index_;  // the structural index's file name, when it is missing
  std::string unnamed_index_;  // an index file the header does not name
  // Opened for reading only: why the table could not be opened for writing.
  std::string unchangeable_;
  // Throws Error(kCorrupt) when a memo value runs past the end of the memo
  // file (MemoDamage then tells it); looks once.
  void CheckMemoEnds() const;
  // CheckMemoEnds for a dry run, which tells what the real run would find.
  bool MemoRunsPastEnd() const;
  // Whether a record's memo pointer lies at or past the memo file's next
  // free block. True when the records cannot be read.
  bool MemoTailReferenced() const;
  // Calls `visit(recno, column, block)` for the memo pointer of every memo
  // column of every record on disk that is not NULL (a malformed pointer,
  // which points nowhere, is passed over), a megabyte of records
  // at a time, until it returns true; returns whether it did. Throws what
  // reading the records throws.
  template <typename Visit>
  bool FindMemoPointer(Visit visit) const;
  mutable bool memo_ends_checked_ = false;
  mutable bool memo_damage_checked_ = false;
  mutable std::optional<std::string> memo_damage_;
  // By column: the text form of a field that is not text, with the bytes it
  // was made from (Contains).
  struct TextForm {
    std::string raw;  // empty until made
    std::optional<std::string> text;
  };
  mutable std::vector<TextForm> text_forms_;
};

}  // namespace fox
