// Mutexes the compiler can check (thread_annotations.h): Mutex over
// std::mutex, RecursiveMutex over std::recursive_mutex, MutexLock holding
// either for a scope, CondVar over std::condition_variable waiting on a held
// Mutex. None of them throws but what the standard ones throw (a
// system_error when the system refuses a lock).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "data/util/thread_annotations.h"

namespace fox {

// A standard mutex (std::mutex or std::recursive_mutex) the analysis knows.
template <typename Standard>
class CAPABILITY("mutex") BasicMutex {
 public:
  BasicMutex() = default;
  BasicMutex(const BasicMutex&) = delete;
  BasicMutex& operator=(const BasicMutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }
  bool TryLock() TRY_ACQUIRE(true) { return mutex_.try_lock(); }
  // Tells the analysis that the caller holds the mutex (checked nowhere).
  void AssertHeld() ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  Standard mutex_;
};

using Mutex = BasicMutex<std::mutex>;
// A mutex the thread holding it may take again (each Lock needs its Unlock).
using RecursiveMutex = BasicMutex<std::recursive_mutex>;

// Holds a Mutex or RecursiveMutex from construction to destruction.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex->Lock(); }
  explicit MutexLock(RecursiveMutex* mutex) ACQUIRE(mutex) : recursive_(mutex) { mutex->Lock(); }
  ~MutexLock() RELEASE() {
    if (mutex_) mutex_->Unlock();
    if (recursive_) recursive_->Unlock();
  }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex* mutex_ = nullptr;
  RecursiveMutex* recursive_ = nullptr;
};

// Waits on a Mutex the caller holds, named at each wait so that the
// compiler checks it is held; the mutex is let go while waiting and held
// again when the wait returns (wakes may be spurious: wait in a loop).
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  void Wait(Mutex* mutex) REQUIRES(mutex) {
    std::unique_lock<std::mutex> hold(mutex->mutex_, std::adopt_lock);
    cv_.wait(hold);
    hold.release();
  }
  void WaitUntil(Mutex* mutex, std::chrono::steady_clock::time_point deadline) REQUIRES(mutex) {
    std::unique_lock<std::mutex> hold(mutex->mutex_, std::adopt_lock);
    cv_.wait_until(hold, deadline);
    hold.release();
  }
  void WaitFor(Mutex* mutex, std::chrono::milliseconds time) REQUIRES(mutex) {
    std::unique_lock<std::mutex> hold(mutex->mutex_, std::adopt_lock);
    cv_.wait_for(hold, time);
    hold.release();
  }
  void Signal() { cv_.notify_one(); }
  void SignalAll() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace fox
