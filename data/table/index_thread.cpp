#include "data/table/index_thread.h"

#include <exception>
#include <system_error>

#include "data/util/full_stop.h"

namespace fox {

bool IndexThread::Start() {
  if (thread_failed_) return false;
  if (!thread_.joinable()) {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      thread_failed_ = true;
      return false;
    }
  }
  return true;
}

void IndexThread::Queue(Job job) {
  bool idle = false;
  {
    MutexLock hold(&mutex_);
    jobs_.push_back(std::move(job));
    idle = idle_ && jobs_.size() - next_ >= kJobsPerWake;
  }
  // An idle thread is woken for a handful of jobs at a time (or when the
  // batch is sealed), a busy one finds them itself: waking it for each would
  // cost more than the job.
  if (idle) wake_.Signal();
}

void IndexThread::Run() {
  MutexLock hold(&mutex_);
  for (;;) {
    if (next_ == jobs_.size()) {
      jobs_.clear();
      next_ = 0;
      if (stopping_) return;
      idle_ = true;
      wake_.Wait(&mutex_);
      idle_ = false;
      continue;
    }
    Job job = std::move(jobs_[next_++]);
    busy_ = true;
    // Once the changes waiting are lost, the batch is dropped: the jobs
    // after it are not made.
    const bool skip = lost_.has_value();
    std::optional<Error> refusal;
    bool lost = false;
    if (!skip) {
      mutex_.Unlock();
      refusal = Apply(job, &lost);
      mutex_.Lock();
    }
    busy_ = false;
    if (refusal) {
      if (lost) {
        lost_ = std::move(refusal);
      } else {
        refused_.emplace_back(job.recno, std::move(*refusal));
      }
      failed_.store(true, std::memory_order_relaxed);
    }
    if (next_ == jobs_.size() && awaited_) done_.SignalAll();
  }
}

std::optional<Error> IndexThread::Apply(Job& job, bool* lost) {
  std::optional<Error> refusal;
  try {
    static const IndexExpression::MemoValues kNoMemos;
    if (job.changes.empty()) {
      maintainer_.KeyChanges(job.before, job.after, job.recno, job.changed, kNoMemos, &job.changes);
    }
    if (!job.changes.empty()) maintainer_.ApplyChanges(job.changes, job.recno);
  } catch (const Error& e) {
    refusal = e;
  } catch (const std::exception& e) {
    refusal =
        Error(ErrorKind::kIo, WithFullStop("The change to record " + std::to_string(job.recno) +
                                           " of table '" + table_name_ + "' was not saved: " + e.what()));
  }
  if (refusal) *lost = maintainer_.lost();
  return refusal;
}

void IndexThread::Wait() {
  if (!thread_.joinable()) return;
  MutexLock hold(&mutex_);
  if (idle_ && next_ < jobs_.size()) wake_.Signal();
  awaited_ = true;
  while (!(next_ == jobs_.size() && !busy_)) done_.Wait(&mutex_);
  awaited_ = false;
}

void IndexThread::TakeResults(std::vector<std::pair<uint32_t, Error>>* refused, std::optional<Error>* lost) {
  if (!thread_.joinable()) return;
  Wait();
  MutexLock hold(&mutex_);
  *refused = std::move(refused_);
  *lost = std::move(lost_);
  ClearResults();
}

void IndexThread::Drop() {
  if (!thread_.joinable()) return;
  MutexLock hold(&mutex_);
  jobs_.clear();
  next_ = 0;
  awaited_ = true;
  while (busy_) done_.Wait(&mutex_);
  awaited_ = false;
  ClearResults();
}

void IndexThread::ClearResults() {
  refused_.clear();
  lost_.reset();
  failed_.store(false, std::memory_order_relaxed);
}

void IndexThread::Stop() {
  if (!thread_.joinable()) return;
  {
    MutexLock hold(&mutex_);
    stopping_ = true;
  }
  wake_.SignalAll();
  thread_.join();
}

}  // namespace fox
