// The index thread of the table's save path (Options::index_ahead): it makes
// the index changes of the saves staged ahead, in save order, while the
// saving thread reads and changes the next records.
#include <algorithm>
#include <exception>

#include "data/table/save_failures.h"
#include "data/table/table.h"
#include "data/util/error.h"

namespace fox {

bool Table::IndexAhead() {
  if (!options_.index_ahead || options_.batch_records <= 1 || !maintainer_ || index_thread_failed_)
    return false;
  if (!index_thread_.joinable()) {
    try {
      index_thread_ = std::thread([this] { WorkOutIndexJobs(); });
    } catch (const std::system_error&) {
      index_thread_failed_ = true;  // the saving thread makes the changes itself
      return false;
    }
  }
  return true;
}

void Table::QueueIndexJob(IndexJob job) {
  bool idle = false;
  {
    std::lock_guard<std::mutex> jobs(jobs_mutex_);
    jobs_.push_back(std::move(job));
    idle = jobs_idle_ && jobs_.size() - jobs_next_ >= kJobsPerWake;
  }
  // An idle thread is woken for a handful of jobs at a time (or when the
  // batch is sealed), a busy one finds them itself: waking it for each would
  // cost more than the job.
  if (idle) jobs_wake_.notify_one();
}

void Table::WorkOutIndexJobs() {
  std::unique_lock<std::mutex> hold(jobs_mutex_);
  for (;;) {
    if (jobs_next_ == jobs_.size()) {
      jobs_.clear();
      jobs_next_ = 0;
      if (jobs_stopping_) return;
      jobs_idle_ = true;
      jobs_wake_.wait(hold);
      jobs_idle_ = false;
      continue;
    }
    IndexJob job = std::move(jobs_[jobs_next_++]);
    jobs_busy_ = true;
    // Once the changes waiting are lost, the batch is dropped: the jobs
    // after it are not made.
    const bool skip = jobs_lost_.has_value();
    hold.unlock();
    std::optional<Error> refusal;
    bool lost = false;
    if (!skip) {
      try {
        static const IndexExpression::MemoValues kNoMemos;
        if (job.changes.empty()) {
          maintainer_->KeyChanges(job.before, job.after, job.recno, job.changed, kNoMemos, &job.changes);
        }
        if (!job.changes.empty()) maintainer_->ApplyChanges(job.changes, job.recno);
      } catch (const Error& e) {
        refusal = e;
      } catch (const std::exception& e) {
        refusal = Error(ErrorKind::kIo, "The change to record " + std::to_string(job.recno) + " of table '" +
                                            name_ + "' was not saved: " + e.what() + ".");
      }
      if (refusal) lost = maintainer_->lost();
    }
    hold.lock();
    jobs_busy_ = false;
    if (refusal) {
      if (lost) {
        jobs_lost_ = std::move(refusal);
      } else {
        jobs_refused_.emplace_back(job.recno, std::move(*refusal));
      }
      jobs_failed_.store(true, std::memory_order_relaxed);
    }
    if (jobs_next_ == jobs_.size() && jobs_awaited_) jobs_done_.notify_all();
  }
}

void Table::WaitForIndexJobs() {
  if (!index_thread_.joinable()) return;
  std::unique_lock<std::mutex> hold(jobs_mutex_);
  if (jobs_idle_ && jobs_next_ < jobs_.size()) jobs_wake_.notify_one();
  jobs_awaited_ = true;
  jobs_done_.wait(hold, [this] { return jobs_next_ == jobs_.size() && !jobs_busy_; });
  jobs_awaited_ = false;
}

void Table::IndexJobsDone(std::vector<std::pair<uint32_t, Error>>* refused, std::optional<Error>* lost) {
  if (!index_thread_.joinable()) return;
  WaitForIndexJobs();
  std::lock_guard<std::mutex> hold(jobs_mutex_);
  *refused = std::move(jobs_refused_);
  jobs_refused_.clear();
  *lost = std::move(jobs_lost_);
  jobs_lost_.reset();
  jobs_failed_.store(false, std::memory_order_relaxed);
}

void Table::DropIndexJobs() {
  if (!index_thread_.joinable()) return;
  std::unique_lock<std::mutex> hold(jobs_mutex_);
  jobs_.clear();
  jobs_next_ = 0;
  jobs_awaited_ = true;
  jobs_done_.wait(hold, [this] { return !jobs_busy_; });
  jobs_awaited_ = false;
  jobs_refused_.clear();
  jobs_lost_.reset();
  jobs_failed_.store(false, std::memory_order_relaxed);
}
}  // namespace fox
