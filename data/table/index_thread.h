// The index thread of a table's save path (Table::Options::index_ahead): it
// makes the index changes of the saves staged ahead, in save order, on a
// thread of its own while the saving thread reads and changes the next
// records.
//
// Threads: one owner (the table's saving thread, or its watchdog, never two
// at once: the table's batch mutex orders them) calls every public method;
// the thread started by Start runs Run and is the only other user of the
// maintainer while jobs wait or one is under way. Every other use of the
// maintainer waits until the jobs are done (Wait, TakeResults) or dropped
// (Drop) first.
// Locks: mutex_ guards the job queue and the results (every member marked
// GUARDED_BY); thread_ and thread_failed_ belong to the owner. mutex_ is
// taken last: no other lock is taken while it is held.
// Errors: a job's refusal is kept for TakeResults, never thrown; nothing
// here throws but the system's errors when a thread cannot be started
// (Start then says no).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "data/index/index_maintenance.h"
#include "data/util/error.h"
#include "data/util/mutex.h"

namespace fox {

class IndexThread {
 public:
  // One save's index changes: worked out by the saving thread (changes),
  // or else the record before and after and the columns changed, for the
  // thread to work them out from.
  struct Job {
    uint32_t recno = 0;
    std::vector<IndexMaintainer::KeyChange> changes;
    std::string before, after;
    std::vector<size_t> changed;
  };

  // `maintainer` and `table_name` (for messages) must outlive the thread.
  IndexThread(IndexMaintainer& maintainer, const std::string& table_name)
      : maintainer_(maintainer), table_name_(table_name) {}
  // Stops the thread (Stop).
  ~IndexThread() { Stop(); }
  IndexThread(const IndexThread&) = delete;
  IndexThread& operator=(const IndexThread&) = delete;

  // Starts the thread when it is first needed; false when it could not be
  // (then never again: the saving thread makes the changes itself).
  bool Start();
  // Whether the thread runs.
  bool running() const { return thread_.joinable(); }
  // Adds a job after those waiting.
  void Queue(Job job) EXCLUDES(mutex_);
  // Waits until every job is done.
  void Wait() EXCLUDES(mutex_);
  // Waits until every job is done; hands over the refusals met (the saves
  // not made in the index, with their errors) and the error by which the
  // changes waiting were lost (IndexMaintainer::lost()), and forgets them.
  void TakeResults(std::vector<std::pair<uint32_t, Error>>* refused, std::optional<Error>* lost)
      EXCLUDES(mutex_);
  // Drops the jobs not started, waits for the one under way, and forgets
  // every result.
  void Drop() EXCLUDES(mutex_);
  // Whether a refusal or a loss waits for TakeResults (read without the
  // mutex, as a hint).
  bool failed() const { return failed_.load(std::memory_order_relaxed); }
  // Lets the jobs waiting be done, then ends the thread.
  void Stop() EXCLUDES(mutex_);

 private:
  void Run() EXCLUDES(mutex_);
  // Makes one job's changes, with mutex_ let go; the refusal, if any.
  std::optional<Error> Apply(Job& job, bool* lost);
  // Forgets the refusals and the loss.
  void ClearResults() REQUIRES(mutex_);

  IndexMaintainer& maintainer_;
  const std::string& table_name_;
  std::thread thread_;
  bool thread_failed_ = false;

  static constexpr size_t kJobsPerWake = 64;
  Mutex mutex_;
  CondVar wake_;                              // the thread, when it is idle
  CondVar done_;                              // an owner waiting for the jobs (awaited_)
  std::vector<Job> jobs_ GUARDED_BY(mutex_);  // jobs_[next_, end) wait, in order
  size_t next_ GUARDED_BY(mutex_) = 0;
  bool idle_ GUARDED_BY(mutex_) = false;
  bool awaited_ GUARDED_BY(mutex_) = false;
  bool busy_ GUARDED_BY(mutex_) = false;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::vector<std::pair<uint32_t, Error>> refused_ GUARDED_BY(mutex_);
  std::optional<Error> lost_ GUARDED_BY(mutex_);
  std::atomic<bool> failed_{false};  // refused_ or lost_ holds something
};

}  // namespace fox
