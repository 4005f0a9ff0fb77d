// The writer of the table's save path: it writes each sealed batch (the
// memo flush, the records, the changed index pages) while the next batch
// gathers, and its watchdog seals a batch that has waited long enough.
#include <algorithm>
#include <chrono>
#include <exception>

#include "data/table/save_failures.h"
#include "data/table/table.h"
#include "data/util/error.h"

namespace fox {

bool Table::InFlight(uint32_t recno) const {
  std::lock_guard<std::mutex> flight(flight_mutex_);
  if (!flight_busy_) return false;
  const auto& batch = flight_.batch;
  const auto at = std::lower_bound(batch.begin(), batch.end(), recno,
                                   [](const Pending& p, uint32_t n) { return p.recno < n; });
  return at != batch.end() && at->recno == recno;
}

void Table::WriteSealed(std::unique_lock<std::mutex>& hold) {
  flight_started_ = true;
  hold.unlock();
  std::exception_ptr failure;
  try {
    WriteFlight(flight_);
  } catch (...) {
    failure = std::current_exception();
  }
  hold.lock();
  // The saves keep their buffers, memo values included, for the next batch:
  // the saving thread that made them frees them when it reuses the saves
  // (freed here, each would go back to that thread's heap under its lock).
  flight_.locks.clear();
  flight_failure_ = Combine(flight_failure_, failure);
  flight_busy_ = false;
  flight_started_ = false;
  flight_wake_.notify_all();
}

void Table::WaitForFlight(bool throw_failure) {
  std::exception_ptr failure;
  {
    // A sealed batch the writer has not started is written here: the writer
    // may be waiting for batch_mutex_, which the caller holds.
    std::unique_lock<std::mutex> flight(flight_mutex_);
    while (flight_busy_) {
      if (flight_started_) {
        flight_wake_.wait(flight);
      } else {
        WriteSealed(flight);
      }
    }
    if (!throw_failure || !flight_failure_) return;
    failure = std::move(flight_failure_);
    flight_failure_ = nullptr;
  }
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

void Table::WriteFlight(Flight& flight) {
  std::vector<Pending>& batch = flight.batch;
  std::vector<uint32_t> records;
  for (const Pending& p : batch) records.push_back(p.recno);
  bool ahead_written = false;  // the batch's block is in the write-ahead file
  auto fail = [&](const Error& e, size_t written, bool retryable = false) {
    if (ahead_written && written == 0) {
      // None of the batch is written: its records must not be put back by
      // a repair either.
      try {
        marker_->ahead().TakeBack();
      } catch (const Error&) {
        // Left, a block whose records are still as it says before: a repair
        // writes them only where the record holds nothing else.
      }
    }
    if (maintainer_) maintainer_->DropPages(flight.pages);
    flight.locks.clear();
    std::vector<uint32_t> unsaved(records.begin() + static_cast<std::ptrdiff_t>(written), records.end());
    std::string message = NotSaved(unsaved, name_, e.what());
    if (written > 0 && maintainer_) {
      message +=
          " The records before them were saved, but the structural index was not brought up to date: "
          "reindex the table in FoxPro before using it.";
    }
    SaveError failure(e.kind(), message, unsaved, ShortCause(e.what()));
    if (retryable) failure.set_retryable(std::move(unsaved));
    throw failure;
  };

  // Step 1's flush: the memo values are durable before any record points
  // at them. Their writing to the disk is started first, then what the
  // caller must make durable before the records (write_ahead), so that the
  // two flushes wait for the disk together rather than one after the other.
  if (flight.sync_memo) memo_->StartSync();
  if (options_.write_ahead) options_.write_ahead();
  if (flight.sync_memo) {
    try {
      memo_->Sync();
    } catch (const Error& e) {
      fail(e, 0);
    }
  }

  // Right before the records are written, each is compared once more with
  // what was read: a program that writes records without taking their locks
  // may have changed one since the batch was sealed. Its change is kept, and
  // none of the batch is written, since the batch's index changes were
  // worked out with that record; every record of it can be read and changed
  // again.
  try {
    if (options_.before_recheck) options_.before_recheck();
    if (std::optional<uint32_t> changed = ChangedOnDisk(batch)) {
      fail(Error(ErrorKind::kConflict,
                 "another program changed record " + std::to_string(*changed) +
                     " without locking it after Quillon read it, and its change was kept"),
           0, true);
    }
  } catch (const SaveError&) {
    throw;
  } catch (const Error& e) {
    fail(e, 0);
  }

  // Step 3: the records, runs of consecutive records in one write each,
  // once the change log and the undo journal hold the batch (a repair may
  // write its records: only changes they tell of), and then the write-ahead
  // file, so that a crash inside the write leaves no record part written.
  if (options_.before_write && !batch.empty() && !options_.before_write(records)) {
    fail(Error(ErrorKind::kIo, "the change log or the undo journal could not be written first"), 0);
  }
  const size_t length = header_.record_length;
  if (marker_ && marker_->entered() && !batch.empty()) {
    try {
      WriteAheadFile& ahead = marker_->ahead();
      if (ahead.size() >= kAheadLimit) {
        // The blocks before are written in place: once those writes are
        // durable the file starts again, so that it stays small.
        file_->Sync();
        ahead.Clear();
      }
      ahead.Begin();
      for (const Pending& p : batch) {
        // The bytes outside a record's changed part are written as they
        // are: a cut-short write leaves them so.
        size_t first = 0, end = length;
        while (first < length && p.original[first] == p.record[first]) ++first;
        while (end > first && p.original[end - 1] == p.record[end - 1]) --end;
        if (first == end) continue;
        const std::string_view before(p.original), after(p.record);
        ahead.Add(header_.record_offset(p.recno) + first, before.substr(first, end - first),
                  after.substr(first, end - first));
      }
      ahead_written = true;
      ahead.Write();
      ahead.Sync();
    } catch (const Error& e) {
      fail(e, 0);
    }
  }
  std::string run;
  size_t written = 0;
  try {
    for (size_t i = 0; i < batch.size();) {
      size_t j = i + 1;
      while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
      if (j - i == 1) {
        file_->WriteAt(header_.record_offset(batch[i].recno), batch[i].record.data(), length);
      } else {
        run.clear();
        for (size_t k = i; k < j; ++k) run += batch[k].record;
        file_->WriteAt(header_.record_offset(batch[i].recno), run.data(), run.size());
      }
      written = j;
      i = j;
    }
    if (written > 0) WriteHeaderDate();
  } catch (const Error& e) {
    fail(e, written);
  }

  // Step 4.
  try {
    if (maintainer_) maintainer_->WritePages(flight.pages);
  } catch (...) {
    flight.locks.clear();
    throw;
  }
  flight.locks.clear();
  // A table with a repair marker is flushed once, when it is closed, before
  // the marker goes: the records' writeback starts now, so that the flush
  // then waits for little.
  if (marker_ && written > 0) {
    const uint64_t first = header_.record_offset(batch.front().recno);
    file_->StartSync(first, header_.record_offset(batch.back().recno) + length - first);
  }
}

// The watchdog writes the batches handed over to it, and seals a batch that
// has waited for its time limit (a message box shown during a run, say).
void Table::WatchBatch() {
  std::unique_lock<std::mutex> flight(flight_mutex_);
  while (true) {
    if (flight_busy_ && !flight_started_) {
      WriteSealed(flight);
      continue;
    }
    if (stopping_) return;
    if (!batch_pending_.load(std::memory_order_acquire)) {
      flight_wake_.wait(flight);
      continue;
    }
    const auto due = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(batch_due_.load(std::memory_order_relaxed)));
    if (std::chrono::steady_clock::now() < due) {
      flight_wake_.wait_until(flight, due);
      continue;
    }
    // Never waits for batch_mutex_: its holder may be waiting for this
    // thread to write a batch it has just sealed.
    flight.unlock();
    std::unique_lock<std::recursive_mutex> hold(batch_mutex_, std::try_to_lock);
    if (hold.owns_lock()) {
      const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
      if (!batch_.empty() && now >= batch_due_.load(std::memory_order_relaxed)) {
        try {
          FlushLocked();
        } catch (...) {
          deferred_ = Combine(deferred_, std::current_exception());
        }
      }
      hold.unlock();
      flight.lock();
    } else {
      flight.lock();
      if (!flight_busy_) flight_wake_.wait_for(flight, std::chrono::milliseconds(1));
    }
  }
}
}  // namespace fox
