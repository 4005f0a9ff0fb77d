// The table's save path: saves checked and worked out under their record
// locks, gathered in batches (group commit), sealed and handed to the writer
// (BatchWriter, BatchWrite), with their index changes made ahead by the index
// thread when there is one (IndexThread).
#include <algorithm>
#include <chrono>
#include <ctime>
#include <exception>

#include "data/table/batch_write.h"
#include "data/table/save_failures.h"
#include "data/table/table.h"
#include "data/util/error.h"
#include "data/util/hash.h"

namespace fox {

// Write order for a batch, and what a crash after each step leaves. Steps 1
// and 2 are done when the batch is sealed, the rest by the writer thread
// while the next batch gathers (the next is sealed only once this one is
// written):
// 1. the memo values of the whole batch, appended with the advanced
//    next-free pointer: the old records with their old keys; the new memo
//    blocks are unreferenced.
// 2. the change counter (first change of an index session only) and the
//    index pages added by splits, appended at the end of the index file:
//    the same, plus index pages nothing refers to. Then one flush makes the
//    memo values durable, before any record points at them.
// 3. each record compared once more with the disk (a program that ignores
//    the locks may have changed it: then nothing of the batch is written,
//    see WriteFlight), the caller's entries about the batch and the changed
//    part of each record, old and new, in the run log, committed with one
//    flush, then the records, consecutive ones in one write (not flushed
//    until the table is closed): a crash leaves records part written or
//    not written, which the repair on the next open writes as the run log
//    says; new records with old keys, which a plain REINDEX repairs.
// 4. the changed index pages: some keys old, some new, which a plain
//    REINDEX repairs.
// After step 4 the records and every tag agree again; the record locks are
// released only then. Steps 2 to 4 are not flushed (a flush per batch for
// them would double the cost of a run), so after a crash of the system (not
// only of this program) the disk may hold any mix of them: one of the
// states above, or a tree pointing to added pages that never arrived.
// REINDEX repairs every one of them, since it rebuilds each tag from the tag
// directory and the tag headers, which are never written here. Only the
// memo values must reach the disk before the records that point to them,
// since nothing rebuilds those.
// A failure in steps 1 and 2 (a full disk, say) leaves every record of the
// batch as it was (SaveError); steps 3 and 4 can fail with records written,
// and say so.
void Table::Save(Edit& edit) {
  if (!edit.changed()) return;
  if (std::optional<std::string> why = MissingIndexRefusal()) {
    throw SaveError(ErrorKind::kNotFound, NotSaved({edit.recno}, name_, *why) + ".", {edit.recno}, *why);
  }
  MutexLock hold(&batch_mutex_);
  // A failure of the saves before this one (a batch the watchdog sealed or
  // the writer wrote, or one written now because it is due) does not keep
  // this one from its batch: it is thrown once this one is there.
  std::exception_ptr earlier = std::move(deferred_);
  deferred_ = nullptr;
  try {
    // A failure of the writer drops the current batch, worked out on top of
    // the batch it could not write: this save starts the next one.
    if (writer_.FailedIdle()) WaitForFlight(true);
  } catch (...) {
    earlier = Combine(earlier, std::current_exception());
  }
  try {
    // Records usually come in ascending order: only a record at or below the
    // batch's highest may be in it already.
    const bool in_batch =
        !batch_.empty() && edit.recno <= batch_max_recno_ &&
        std::any_of(batch_.begin(), batch_.end(), [&](const Pending& p) { return p.recno == edit.recno; });
    if (!batch_.empty() && (in_batch || writer_.Due() || (maintainer_ && maintainer_->SessionDue()) ||
                            (index_thread_ && index_thread_->failed()))) {
      FlushLocked();
    }
    // A record being written is saved again once it is on disk.
    if (writer_.InFlight(edit.recno)) WaitForFlight(true);
  } catch (...) {
    earlier = Combine(earlier, std::current_exception());
    ReleaseIndex();
  }
  try {
    Queue(edit);
  } catch (const Error& refusal) {
    // The saves before it go out first, so that another program waiting for
    // a lock gets in while the caller reports the refusal.
    std::exception_ptr failure = earlier;
    try {
      FlushAndWait();
    } catch (...) {
      failure = Combine(failure, std::current_exception());
    }
    ReleaseIndex();
    SaveError refused(refusal.kind(), refusal.what(), {edit.recno}, ShortCause(refusal.what()));
    if (refusal.kind() == ErrorKind::kConflict) refused.set_retryable({edit.recno});
    if (failure) {
      try {
        std::rethrow_exception(failure);
      } catch (const SaveError&) {
        std::rethrow_exception(Combine(failure, std::make_exception_ptr(refused)));
      } catch (...) {
        deferred_ = Combine(deferred_, failure);  // told at the next call
      }
    }
    throw refused;
  }
  try {
    if (batch_.size() >= std::max<size_t>(1, options_.batch_records) ||
        batch_bytes_ >= options_.batch_bytes || (record_locked_ && batch_runs_ >= kBatchRuns)) {
      FlushLocked();
    } else if (batch_.size() == 1) {
      writer_.SetDue(std::chrono::steady_clock::now() + options_.batch_delay);
      if (!writer_.running() && !writer_.Start()) {
        // Without a watchdog an idle batch could wait for ever: write each
        // save at once instead.
        options_.batch_records = 1;
        FlushLocked();
      }
      writer_.Nudge();
    }
  } catch (...) {
    ReleaseIndex();
    deferred_ = Combine(earlier, deferred_);
    throw;
  }
  if (earlier) std::rethrow_exception(earlier);
}

bool Table::IndexAhead() {
  if (!options_.index_ahead || options_.batch_records <= 1 || !maintainer_) return false;
  if (!index_thread_) index_thread_ = std::make_unique<IndexThread>(*maintainer_, name_);
  // A thread that cannot be started leaves the changes to the saving thread.
  return index_thread_->Start();
}

void Table::Queue(Edit& edit) {
  // The edit keeps its buffers, which the next record read into it reuses;
  // the copies go into the buffers of a written batch's save.
  Pending pending;
  if (!spare_.empty()) {
    pending = std::move(spare_.back());
    spare_.pop_back();
  }
  pending.recno = edit.recno;
  pending.original.assign(edit.original);
  KeepMemoNodes(pending.memo_text);
  pending.memo_text = std::move(edit.memo_text);
  pending.memo_read = std::move(edit.memo_read);
  pending.record.assign(edit.working);
  // A refused save leaves the edit as it was.
  auto give_back = [&] {
    edit.memo_text = std::move(pending.memo_text);
    edit.memo_read = std::move(pending.memo_read);
  };
  const bool ahead = IndexAhead();
  try {
    Stage(pending, ahead);
  } catch (const Error& e) {
    give_back();
    if (maintainer_ && maintainer_->lost()) {
      // The index changes of the saves before this one could not be worked
      // out again: none of them can be written.
      std::vector<uint32_t> records = DropBatch();
      records.push_back(edit.recno);
      std::sort(records.begin(), records.end());
      const std::string message = NotSaved(records, name_, e.what());
      throw SaveError(e.kind(), message, std::move(records), ShortCause(e.what()));
    }
    // A record another program changed since it was read may no longer have
    // the keys the index changes start from: say what really happened.
    if (ChangedSinceRead(edit.recno, edit.original)) {
      throw Error(ErrorKind::kConflict, NotSaved({edit.recno}, name_, kChangedMeanwhile) + ".");
    }
    throw;
  }
  batch_bytes_ += sizeof(Pending) + 2 * pending.record.size();
  for (const auto& [column, data] : pending.memo_text) batch_bytes_ += 2 * data.size();
  edit.original.assign(pending.record);
  edit.working.assign(pending.record);
  edit.memo_text.clear();
  edit.memo_read.clear();
  memo_value_block_ = 0;  // the edit now points at staged values
  // Records not next to the one before take a lock of their own when the
  // batch is written under record locks (see kBatchRuns).
  if (batch_.empty() || pending.recno != batch_.back().recno + 1) ++batch_runs_;
  if (batch_.empty()) batch_runs_ = 1;
  batch_max_recno_ = batch_.empty() ? pending.recno : std::max(batch_max_recno_, pending.recno);
  if (batch_.empty()) batch_.reserve(std::min<size_t>(options_.batch_records, 4096));
  batch_.push_back(std::move(pending));
  writer_.SetPending(true);
}

void Table::Stage(Pending& pending, bool ahead) {
  // The memo values are staged, then everything the index needs is worked
  // out: a refusal (a candidate key taken, a tag that cannot be kept up to
  // date, a damaged tag) drops this save's values and leaves every file as
  // it was. The index lock is held from here on: taken now, or still held
  // by an earlier save of the same session. Ahead, the index thread makes
  // the changes to the pages (and takes the lock), and its refusals are
  // taken care of when the batch is sealed (FlushLocked).
  const size_t staged = memo_ ? memo_->staged_bytes() : 0;
  if (!pending.memo_text.empty() && !memo_ends_checked_) {
    MemoDamage();  // looked at once: values a stopped writer left past the next free block are passed over
    CheckMemoEnds();
  }
  try {
    for (const auto& [column, data] : pending.memo_text) {
      codec_.SetMemoBlock(pending.record, field(column), memo_->Stage(data));
    }
    if (maintainer_) {
      IndexThread::Job job;
      job.recno = pending.recno;
      const bool deleted_changed = pending.original[0] != pending.record[0];
      if (ahead) {
        ChangedColumns(pending.original, pending.record, &pending.memo_text, &indexed_, &changed_);
        if (changed_.empty() && !deleted_changed) return;
        // A change that may take a candidate key is worked out here, after
        // the jobs before it, so that its refusal is told by this save, as
        // without the index thread: where such refusals are told in a run
        // depends on nothing but the data.
        const bool candidate = (deleted_changed && !candidate_columns_.empty()) ||
                               std::any_of(changed_.begin(), changed_.end(),
                                           [&](size_t c) { return candidate_columns_.count(c) != 0; });
        if (!candidate) {
          if (!maintainer_->reads_memos()) {
            // The keys too are worked out by the index thread, from copies
            // of the record, as they need no memo value (read here only).
            job.before = pending.original;
            job.after = pending.record;
            job.changed = changed_;
            index_thread_->Queue(std::move(job));
          } else if (maintainer_->KeyChanges(pending.original, pending.record, pending.recno, changed_,
                                             pending.memo_text, &job.changes)) {
            index_thread_->Queue(std::move(job));
          }
          return;
        }
        index_thread_->Wait();
      } else {
        ChangedColumns(pending.original, pending.record, &pending.memo_text, nullptr, &changed_);
      }
      if (maintainer_->KeyChanges(pending.original, pending.record, pending.recno, changed_,
                                  pending.memo_text, &job.changes)) {
        maintainer_->ApplyChanges(job.changes, pending.recno);
      }
    }
  } catch (...) {
    if (memo_) memo_->Unstage(staged);
    throw;
  }
}

bool Table::MemoRewritten(const Pending& pending) {
  for (const auto& [column, read] : pending.memo_read) {
    const uint32_t block = codec_.MemoBlock(pending.original, field(column));
    if (block == 0) continue;
    try {
      memo_->Read(block, &recheck_memo_);
      if (Hash64(recheck_memo_.data) != read) return true;
    } catch (const Error&) {
      return true;  // read before, not now: not the value the change was worked out from
    }
  }
  return false;
}

std::unique_ptr<TableLock> Table::TryTableLock(uint32_t highest) {
  MutexLock hold(&held_mutex_);
  if (!held_.empty()) return nullptr;
  std::unique_ptr<TableLock> lock = TableLock::TryTake(*file_, header_, highest, [this] {
    {
      MutexLock released(&held_mutex_);
      table_locked_ = false;
    }
    table_released_.SignalAll();
  });
  table_locked_ = lock != nullptr;
  return lock;
}

// With the table lock, one lock for the whole batch, whose records no other
// program can then hold; otherwise the record locks, as before.
BatchLocks Table::LockAndCheck(std::vector<Pending>& batch,
                               std::vector<std::pair<uint32_t, Error>>* refused) {
  const size_t length = header_.record_length;
  BatchLocks taken;
  if (!batch.empty()) taken.table = TryTableLock(batch.back().recno);
  std::vector<std::unique_ptr<RangeLock>>& locks = taken.records;
  size_t kept = 0;  // batch[0, kept) are the records checked and kept
  std::string on_disk;
  for (size_t i = 0; i < batch.size();) {
    size_t j = i + 1;
    while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
    const uint32_t first = batch[i].recno, last = batch[j - 1].recno;
    // One lock for the run: record n's lock byte lies at 0x7FFFFFFE - n, so
    // the bytes of consecutive records are consecutive. When another program
    // holds one of them, each record is locked on its own.
    std::vector<bool> locked(j - i, true);
    // A record this table holds (Hold) is locked already: the others are
    // locked one by one around it, as a lock is not taken twice.
    bool holds_one = false;
    for (size_t k = i; k < j && !holds_one && !taken.table; ++k) holds_one = Held(batch[k].recno);
    if (taken.table) {
      // Every record of the batch is locked already.
    } else if (holds_one) {
      for (size_t k = i; k < j; ++k) {
        if (Held(batch[k].recno)) continue;
        try {
          locks.push_back(std::make_unique<RangeLock>(*file_, RecordLockOffset(batch[k].recno), 1, ""));
        } catch (const Error& single) {
          if (single.kind() != ErrorKind::kLocked) throw;
          locked[k - i] = false;
        }
      }
    } else
      try {
        locks.push_back(std::make_unique<RangeLock>(*file_, RecordLockOffset(last), last - first + 1, ""));
      } catch (const Error& e) {
        if (e.kind() != ErrorKind::kLocked || j - i == 1) {
          if (e.kind() != ErrorKind::kLocked) throw;
          locked[0] = false;
        } else {
          for (size_t k = i; k < j; ++k) {
            try {
              locks.push_back(std::make_unique<RangeLock>(*file_, RecordLockOffset(batch[k].recno), 1, ""));
            } catch (const Error& single) {
              if (single.kind() != ErrorKind::kLocked) throw;
              locked[k - i] = false;
            }
          }
        }
      }
    // The memo values replaced are compared as they are now that the records
    // are locked, not as the read-ahead window kept them.
    if (memo_ && std::any_of(batch.begin() + static_cast<std::ptrdiff_t>(i),
                             batch.begin() + static_cast<std::ptrdiff_t>(j),
                             [](const Pending& p) { return !p.memo_read.empty(); })) {
      memo_->ForgetReadAhead();
    }
    on_disk.resize((last - first + 1) * length);
    file_->ReadExactAt(
        header_.record_offset(first), on_disk.data(), on_disk.size(),
        "records " + std::to_string(first) + " to " + std::to_string(last) + " of table '" + name_ + "'");
    for (size_t k = i; k < j; ++k) {
      if (!locked[k - i]) {
        refused->emplace_back(batch[k].recno,
                              Error(ErrorKind::kLocked, "another program has locked the record"));
      } else if (on_disk.compare((k - i) * length, length, batch[k].original) != 0 ||
                 MemoRewritten(batch[k])) {
        refused->emplace_back(batch[k].recno, Error(ErrorKind::kConflict, kChangedMeanwhile));
      } else {
        if (kept != k) batch[kept] = std::move(batch[k]);
        ++kept;
      }
    }
    i = j;
  }
  batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(kept), batch.end());
  return taken;
}

bool Table::Held(uint32_t recno) const {
  MutexLock hold(&held_mutex_);
  return held_.count(recno) != 0;
}

void Table::Hold(uint32_t recno) {
  MutexLock hold(&held_mutex_);
  if (held_.count(recno) != 0) return;
  // A batch being written under the table lock lets it go once its records
  // are written.
  while (table_locked_) table_released_.Wait(&held_mutex_);
  held_.emplace(recno, std::make_unique<RangeLock>(*file_, RecordLockOffset(recno), 1,
                                                   "Record " + std::to_string(recno) + " of table '" + name_ +
                                                       "' is locked by another program."));
}

void Table::ReleaseHolds() noexcept {
  MutexLock hold(&held_mutex_);
  held_.clear();
}

void Table::Flush() {
  MutexLock hold(&batch_mutex_);
  ThrowDeferred();
  FlushAndWait();
}

void Table::FlushAndWait() {
  std::exception_ptr failure;
  try {
    FlushLocked();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    WaitForFlight(true);
  } catch (...) {
    failure = Combine(failure, std::current_exception());
  }
  if (failure) std::rethrow_exception(failure);
}

size_t Table::pending_saves() const {
  MutexLock hold(&batch_mutex_);
  return batch_.size() + writer_.busy_saves();
}

void Table::ThrowDeferred() {
  if (!deferred_) return;
  std::exception_ptr failure = std::move(deferred_);
  deferred_ = nullptr;
  std::rethrow_exception(failure);
}

std::vector<uint32_t> Table::DropBatch() {
  std::vector<uint32_t> records;
  for (const Pending& p : batch_) records.push_back(p.recno);
  std::sort(records.begin(), records.end());
  batch_.clear();
  batch_bytes_ = 0;
  batch_runs_ = 0;
  writer_.SetPending(false);
  if (index_thread_) index_thread_->Drop();
  if (memo_) memo_->Discard();
  if (maintainer_) maintainer_->Discard();
  return records;
}

// Seals the current batch: the records are locked and checked, the memo
// values and new index pages written (steps 0 to 2 of Save), and the rest is
// handed to the writer. The batch before it is finished first.
void Table::FlushLocked() {
  WaitForFlight(true);
  if (batch_.empty()) return;
  std::vector<Pending> batch = TakeBatch();
  struct Done {  // whatever happens, the batch is no longer pending when this returns or throws
    BatchWriter& writer;
    ~Done() { writer.SetPending(false); }
  } done{writer_};
  std::exception_ptr failure = TakeIndexRefusals(batch);
  std::vector<std::pair<uint32_t, Error>> refused;
  BatchLocks locks = LockAndRestage(batch, failure, &refused);
  SealedBatch sealed = WriteStaged(batch, refused, failure);
  sealed.batch = std::move(batch);
  sealed.locks = std::move(locks);
  if (writer_.running()) {
    writer_.HandOff(std::move(sealed));
  } else {
    // No writer thread (saves written one by one): written here.
    WriteFlight(sealed);
  }
  if (!refused.empty()) failure = Combine(failure, RefusedFailure(refused));
  if (failure) std::rethrow_exception(failure);
}

std::vector<Table::Pending> Table::TakeBatch() {
  std::vector<Pending> batch = std::move(batch_);
  // The written batch's saves serve the next batch's: a walk writes many
  // batches, and freeing and taking their buffers each time costs.
  batch_ = std::move(spare_);
  batch_.clear();
  spare_ = writer_.TakeWritten();
  batch_bytes_ = 0;
  batch_runs_ = 0;
  const auto by_recno = [](const Pending& a, const Pending& b) { return a.recno < b.recno; };
  if (!std::is_sorted(batch.begin(), batch.end(), by_recno)) std::sort(batch.begin(), batch.end(), by_recno);
  return batch;
}

// The index thread's work on the batch: a save it refused is taken out (and
// the others staged again by LockAndRestage); when it lost the changes
// waiting, none of the batch can be written.
std::exception_ptr Table::TakeIndexRefusals(std::vector<Pending>& batch) {
  std::vector<std::pair<uint32_t, Error>> index_refused;
  std::optional<Error> index_lost;
  if (index_thread_) index_thread_->TakeResults(&index_refused, &index_lost);
  if (index_lost) {
    std::vector<uint32_t> all;
    for (const Pending& p : batch) all.push_back(p.recno);
    if (memo_) memo_->Discard();
    if (maintainer_) maintainer_->Discard();
    throw SaveError(index_lost->kind(), NotSaved(all, name_, index_lost->what()), std::move(all),
                    ShortCause(index_lost->what()));
  }
  std::exception_ptr index_failure;
  std::sort(index_refused.begin(), index_refused.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  for (const auto& [recno, refusal] : index_refused) {
    const auto at = std::lower_bound(batch.begin(), batch.end(), recno,
                                     [](const Pending& p, uint32_t n) { return p.recno < n; });
    // A record another program changed since it was read may no longer
    // have the keys the index changes start from: said as what really
    // happened, as for a save refused at once.
    const bool conflict = at != batch.end() && at->recno == recno && ChangedSinceRead(recno, at->original);
    const std::string message =
        conflict ? NotSaved({recno}, name_, kChangedMeanwhile) + "." : std::string(refusal.what());
    SaveError refused(conflict ? ErrorKind::kConflict : refusal.kind(), message, {recno},
                      ShortCause(message));
    if (conflict) refused.set_retryable({recno});
    index_failure = Combine(index_failure, std::make_exception_ptr(refused));
    if (at != batch.end() && at->recno == recno) batch.erase(at);
  }
  return index_failure;
}

// Step 0: the records are locked until they are written, and each must be
// as it was read: another program's change is kept.
BatchLocks Table::LockAndRestage(std::vector<Pending>& batch, const std::exception_ptr& index_failure,
                                 std::vector<std::pair<uint32_t, Error>>* refused) {
  std::vector<uint32_t> records;
  for (const Pending& p : batch) records.push_back(p.recno);
  // Declared outside the try: on a failure the records stay locked until
  // the staged changes are discarded.
  BatchLocks locks;
  try {
    locks = LockAndCheck(batch, refused);
    record_locked_ = !locks.table;
    if (!refused->empty() || index_failure) {
      // The staged values and index changes of the refused records must not
      // be written: everything is worked out again for the others. A record
      // whose index change no longer fits without them is refused too.
      if (memo_) memo_->Discard();
      if (maintainer_) maintainer_->Discard();
      std::vector<Pending> kept;
      for (Pending& p : batch) {
        try {
          Stage(p);
          kept.push_back(std::move(p));
        } catch (const Error& e) {
          if (maintainer_ && maintainer_->lost()) throw;
          refused->emplace_back(p.recno, e);
        }
      }
      batch = std::move(kept);
    }
    return locks;
  } catch (const Error& e) {
    if (memo_) memo_->Discard();
    if (maintainer_) maintainer_->Discard();
    const std::string message = NotSaved(records, name_, e.what());
    std::rethrow_exception(Combine(
        index_failure,
        std::make_exception_ptr(SaveError(e.kind(), message, std::move(records), ShortCause(e.what())))));
  }
}

// Steps 1 and 2: the memo values (not yet flushed) and the new index pages;
// nothing of the records written yet.
SealedBatch Table::WriteStaged(std::vector<Pending>& batch,
                               const std::vector<std::pair<uint32_t, Error>>& refused,
                               const std::exception_ptr& index_failure) {
  SealedBatch sealed;
  try {
    // Nothing of the table or its index is written before the marker is
    // there.
    if (marker_ && !marker_->entered()) {
      RunLog* run_log = options_.run_log && options_.run_log->is_open() ? options_.run_log : nullptr;
      marker_->Enter(run_log, std::time(nullptr));
    }
    sealed.sync_memo = memo_ && memo_->staged_bytes() > 0;
    if (memo_) {
      // The values go where the memo file ends now: the records point at
      // their blocks from here on.
      if (const uint32_t first = memo_->Write()) {
        for (Pending& p : batch) {
          for (const auto& [column, data] : p.memo_text) {
            const uint32_t block = codec_.MemoBlock(p.record, field(column));
            if (MemoFile::IsProvisional(block))
              codec_.SetMemoBlock(p.record, field(column), MemoFile::Placed(block, first));
          }
        }
      }
    }
    if (maintainer_) maintainer_->WriteNewPages();
    if (maintainer_) sealed.pages = maintainer_->TakePages();
  } catch (const Error& e) {
    if (memo_) memo_->Discard();
    if (maintainer_) maintainer_->Discard();
    std::vector<uint32_t> records;
    for (const Pending& p : batch) records.push_back(p.recno);
    for (const auto& r : refused) records.push_back(r.first);
    std::sort(records.begin(), records.end());
    const std::string message = NotSaved(records, name_, e.what());
    std::rethrow_exception(Combine(
        index_failure,
        std::make_exception_ptr(SaveError(e.kind(), message, std::move(records), ShortCause(e.what())))));
  }
  return sealed;
}

std::exception_ptr Table::RefusedFailure(std::vector<std::pair<uint32_t, Error>>& refused) const {
  std::sort(refused.begin(), refused.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> which, retryable;
  std::vector<std::string> causes;
  std::string why;
  ErrorKind kind = refused.front().second.kind();
  for (const auto& [recno, error] : refused) {
    which.push_back(recno);
    causes.push_back(ShortCause(error.what()));
    if (why.find(error.what()) == std::string::npos)
      why += (why.empty() ? "" : "; ") + std::string(error.what());
    if (error.kind() == ErrorKind::kConflict) kind = ErrorKind::kConflict;
    // A record another program has locked is read and changed again, as
    // one it changed: the lock is usually held for a moment.
    if (error.kind() == ErrorKind::kConflict || error.kind() == ErrorKind::kLocked)
      retryable.push_back(recno);
  }
  const std::string message = NotSaved(which, name_, why) + ".";
  SaveError failure(kind, message, std::move(which), std::move(causes));
  failure.set_retryable(std::move(retryable));
  return std::make_exception_ptr(failure);
}

void Table::WriteFlight(SealedBatch& flight) {
  const BatchWrite::Target target{*file_,
                                  header_,
                                  memo_.get(),
                                  maintainer_.get(),
                                  marker_.get(),
                                  name_,
                                  options_.write_ahead,
                                  options_.before_recheck,
                                  options_.before_write,
                                  options_.after_commit};
  BatchWrite(target, flight).Write();
}

void Table::WaitForFlight(bool throw_failure) {
  // A sealed batch the writer has not started is written here: the writer
  // may be waiting for batch_mutex_, which the caller holds.
  std::exception_ptr failure = writer_.Finish(throw_failure);
  if (!failure) return;
  // The current batch's memo values follow the failed batch's, and its index
  // changes were made on top of that batch's: none of it can be written.
  if (!batch_.empty()) {
    // When another program's change held the batch back, these records can
    // be read and changed again as well.
    bool retry = false;
    try {
      std::rethrow_exception(failure);
    } catch (const SaveError& e) {
      retry = !e.retryable().empty();
    } catch (...) {
    }
    const std::vector<uint32_t> failed = DropBatch();
    SaveError dropped(ErrorKind::kIo,
                      NotSaved(failed, name_, "they were to be written after the batch that failed") + ".",
                      failed, "it was to be written after a batch that failed");
    if (retry) dropped.set_retryable(failed);
    failure = Combine(failure, std::make_exception_ptr(dropped));
  }
  std::rethrow_exception(failure);
}

bool Table::SealIfDue() {
  if (!batch_mutex_.TryLock()) return false;
  if (!batch_.empty() && writer_.Due()) {
    try {
      FlushLocked();
    } catch (...) {
      deferred_ = Combine(deferred_, std::current_exception());
    }
  }
  batch_mutex_.Unlock();
  return true;
}

bool Table::ChangedSinceRead(uint32_t recno, const std::string& original) const {
  std::string on_disk(header_.record_length, '\0');
  return file_->ReadAt(header_.record_offset(recno), on_disk.data(), on_disk.size()) == on_disk.size() &&
         on_disk != original;
}

void Table::ChangedColumns(std::string_view before, std::string_view after,
                           const std::map<size_t, std::string>* memo_text, const std::set<size_t>* among,
                           std::vector<size_t>* changed) const {
  changed->clear();
  auto differs = [&](size_t c) {
    const FieldDescriptor& f = field(c);
    return (memo_text && memo_text->count(c)) ||
           before.substr(f.offset, f.length) != after.substr(f.offset, f.length) ||
           codec_.IsNull(before, f) != codec_.IsNull(after, f);
  };
  if (among) {
    for (size_t c : *among) {
      if (differs(c)) changed->push_back(c);
    }
  } else {
    for (size_t c = 0; c < visible_.size(); ++c) {
      if (differs(c)) changed->push_back(c);
    }
  }
}

}  // namespace fox
