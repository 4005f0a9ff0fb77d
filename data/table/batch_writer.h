// The writer of a table's save path: one thread that writes each sealed
// batch (through the `write` function it is given) while the next batch
// gathers, and that, as the batch's watchdog, seals a batch that has waited
// past its due time (through `seal_due`). One batch at a time is sealed and
// not yet written.
//
// Threads: the owner (the table's saving thread, holding the table's batch
// mutex) calls every public method; the thread started by Start runs Run.
// A sealed batch is written by the thread that finds it not started: the
// writer, or an owner that waits for it (Finish), so that an owner never
// waits for a writer that waits for the owner's lock.
// Locks: mutex_ guards every member marked GUARDED_BY. The batch handed
// over (flight_) is not changed while busy_; the thread writing it uses it
// with mutex_ let go. Lock order:
//   1. the table's batch mutex (Table::batch_mutex_)
//   2. mutex_
// Run never waits for the batch mutex while holding mutex_ (seal_due only
// tries it), and `write` is called without mutex_.
// Errors: a failure of `write` is kept for Finish; Start says no when the
// thread cannot be started.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <thread>
#include <vector>

#include "data/table/sealed_batch.h"
#include "data/util/mutex.h"

namespace fox {

class BatchWriter {
 public:
  // `write` writes a sealed batch and throws what it could not write;
  // `seal_due` seals the gathering batch if it is due, unless the batch
  // mutex is taken, and returns false then (called from the thread).
  BatchWriter(std::function<void(SealedBatch&)> write, std::function<bool()> seal_due)
      : write_(std::move(write)), seal_due_(std::move(seal_due)) {}
  ~BatchWriter() { Stop(); }
  BatchWriter(const BatchWriter&) = delete;
  BatchWriter& operator=(const BatchWriter&) = delete;

  // Starts the thread; false when it cannot be started.
  bool Start();
  bool running() const { return thread_.joinable(); }
  // Ends the thread once the batch handed over is written.
  void Stop() EXCLUDES(mutex_);

  // The gathering batch's due time, and whether it holds saves: the
  // watchdog seals it once it holds saves past its due time.
  void SetDue(std::chrono::steady_clock::time_point due) {
    due_.store(due.time_since_epoch().count(), std::memory_order_relaxed);
  }
  bool Due() const {
    return std::chrono::steady_clock::now().time_since_epoch().count() >=
           due_.load(std::memory_order_relaxed);
  }
  void SetPending(bool pending) { pending_.store(pending, std::memory_order_release); }
  bool pending() const { return pending_.load(std::memory_order_acquire); }
  // Wakes the thread to look at the batch's due time again.
  void Nudge() EXCLUDES(mutex_);

  // Hands a sealed batch over to be written; none may be busy (Finish).
  void HandOff(SealedBatch sealed) EXCLUDES(mutex_);
  // Waits until the batch handed over is written (writing it here if the
  // thread has not started it); with `take_failure`, returns what it could
  // not write (and forgets it).
  std::exception_ptr Finish(bool take_failure) EXCLUDES(mutex_);
  // Whether no batch is busy and a failure waits for Finish.
  bool FailedIdle() EXCLUDES(mutex_);
  // Whether record `recno` is in the batch being written.
  bool InFlight(uint32_t recno) EXCLUDES(mutex_);
  // With no batch busy: the saves of the last one written, for their
  // buffers to serve again.
  std::vector<PendingSave> TakeWritten() EXCLUDES(mutex_);
  // Saves handed over and not yet written.
  size_t busy_saves() EXCLUDES(mutex_);
  // Calls `use` with the saves being written (nullptr when none) and
  // mutex_ held: the batch is not finished meanwhile.
  void WithFlight(const std::function<void(const std::vector<PendingSave>* saves)>& use) EXCLUDES(mutex_);

 private:
  void Run() EXCLUDES(mutex_);
  // Writes the batch handed over, letting mutex_ go meanwhile.
  void WriteSealed() REQUIRES(mutex_);

  const std::function<void(SealedBatch&)> write_;
  const std::function<bool()> seal_due_;
  std::thread thread_;  // the owner's
  std::atomic<std::chrono::steady_clock::rep> due_{0};
  std::atomic<bool> pending_{false};

  Mutex mutex_;
  CondVar wake_;
  SealedBatch flight_ GUARDED_BY(mutex_);
  bool busy_ GUARDED_BY(mutex_) = false;     // handed over, not yet written
  bool started_ GUARDED_BY(mutex_) = false;  // a thread is writing it
  std::exception_ptr failure_ GUARDED_BY(mutex_);
  bool stopping_ GUARDED_BY(mutex_) = false;
};

}  // namespace fox
