#include "data/table/batch_writer.h"

#include <algorithm>
#include <system_error>

#include "data/table/save_failures.h"

namespace fox {

bool BatchWriter::Start() {
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void BatchWriter::Stop() {
  {
    MutexLock hold(&mutex_);
    stopping_ = true;
  }
  wake_.SignalAll();
  if (thread_.joinable()) thread_.join();
}

void BatchWriter::Nudge() {
  // Taken and let go so that the thread, between its look at the batch and
  // its wait, cannot miss this.
  { MutexLock hold(&mutex_); }
  wake_.SignalAll();
}

void BatchWriter::HandOff(SealedBatch sealed) {
  {
    MutexLock hold(&mutex_);
    flight_ = std::move(sealed);
    busy_ = true;
    started_ = false;
  }
  wake_.SignalAll();
}

std::exception_ptr BatchWriter::Finish(bool take_failure) {
  MutexLock hold(&mutex_);
  while (busy_) {
    if (started_) {
      wake_.Wait(&mutex_);
    } else {
      WriteSealed();
    }
  }
  if (!take_failure || !failure_) return nullptr;
  std::exception_ptr failure = std::move(failure_);
  failure_ = nullptr;
  return failure;
}

bool BatchWriter::FailedIdle() {
  MutexLock hold(&mutex_);
  return !busy_ && failure_;
}

bool BatchWriter::InFlight(uint32_t recno) {
  MutexLock hold(&mutex_);
  if (!busy_) return false;
  const auto& batch = flight_.batch;
  const auto at = std::lower_bound(batch.begin(), batch.end(), recno,
                                   [](const PendingSave& p, uint32_t n) { return p.recno < n; });
  return at != batch.end() && at->recno == recno;
}

std::vector<PendingSave> BatchWriter::TakeWritten() {
  MutexLock hold(&mutex_);
  std::vector<PendingSave> written = std::move(flight_.batch);
  flight_.batch.clear();
  return written;
}

size_t BatchWriter::busy_saves() {
  MutexLock hold(&mutex_);
  return busy_ ? flight_.batch.size() : 0;
}

void BatchWriter::WithFlight(const std::function<void(const std::vector<PendingSave>* saves)>& use) {
  MutexLock hold(&mutex_);
  use(busy_ ? &flight_.batch : nullptr);
}

void BatchWriter::WriteSealed() {
  started_ = true;
  // Not changed while busy_: written with the mutex let go.
  SealedBatch* flight = &flight_;
  mutex_.Unlock();
  std::exception_ptr failure;
  try {
    write_(*flight);
  } catch (...) {
    failure = std::current_exception();
  }
  // The locks go with the mutex let go: letting the table lock go wakes a
  // caller waiting to hold a record (Table::Hold).
  flight->locks = {};
  mutex_.Lock();
  // The saves keep their buffers, memo values included, for the next batch:
  // the saving thread that made them frees them when it reuses the saves
  // (freed here, each would go back to that thread's heap under its lock).
  failure_ = Combine(failure_, failure);
  busy_ = false;
  started_ = false;
  wake_.SignalAll();
}

// The thread writes the batches handed over to it, and seals a batch that
// has waited for its time limit (a message box shown during a run, say).
void BatchWriter::Run() {
  MutexLock hold(&mutex_);
  while (true) {
    if (busy_ && !started_) {
      WriteSealed();
      continue;
    }
    if (stopping_) return;
    if (!pending()) {
      wake_.Wait(&mutex_);
      continue;
    }
    const auto due = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(due_.load(std::memory_order_relaxed)));
    if (std::chrono::steady_clock::now() < due) {
      wake_.WaitUntil(&mutex_, due);
      continue;
    }
    // Never waits for the batch mutex: its holder may be waiting for this
    // thread to write a batch it has just sealed.
    mutex_.Unlock();
    const bool looked = seal_due_();
    mutex_.Lock();
    if (!looked && !busy_) wake_.WaitFor(&mutex_, std::chrono::milliseconds(1));
  }
}

}  // namespace fox
