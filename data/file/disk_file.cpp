#include "data/file/disk_file.h"

#include <chrono>
#include <limits>
#include <thread>

#include "data/file/disk_file_messages.h"
#include "data/util/error.h"

namespace fox {

namespace disk_file {

std::string Describe(const std::string& what, const std::string& path) {
  return "the " + what + " \"" + path + "\"";
}

std::string Capitalized(std::string s) {
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

void CheckRange(uint64_t offset, uint64_t length, const std::string& what, const std::string& path) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (offset > kMax || length > kMax - offset) {
    throw Error(ErrorKind::kUsage,
                "A byte range of " + Describe(what, path) + " lies beyond the largest possible file offset.");
  }
}

void CheckWrite(bool writable, uint64_t offset, uint64_t length, const std::string& what,
                const std::string& path) {
  if (!writable)
    throw Error(ErrorKind::kReadOnly, Capitalized(Describe(what, path)) + " was opened read-only.");
  CheckRange(offset, length, what, path);
}

void CheckLock(bool writable, uint64_t offset, uint64_t length, const std::string& what,
               const std::string& path) {
  CheckRange(offset, length, what, path);
  if (length == 0) {
    // fcntl reads a length of 0 as "to the end of the file and beyond".
    throw Error(ErrorKind::kUsage, "Cannot lock an empty byte range of " + Describe(what, path) + ".");
  }
  if (!writable) {
    throw Error(ErrorKind::kUsage,
                "Cannot lock " + Describe(what, path) + " for writing: it was opened read-only.");
  }
}

}  // namespace disk_file

using disk_file::Capitalized;
using disk_file::Describe;

// ---------------------------------------------------------------- shared

void DiskFile::CheckTruncate(uint64_t size) const {
  if (!writable())
    throw Error(ErrorKind::kReadOnly, Capitalized(Describe(what_, path_)) + " was opened read-only.");
  if (size > Size())
    throw Error(ErrorKind::kUsage, "Cannot cut " + Describe(what_, path_) + " to a size past its end.");
}

void DiskFile::ReadExactAt(uint64_t offset, void* buffer, size_t n, const std::string& what) const {
  size_t got = ReadAt(offset, buffer, n);
  if (got != n) {
    throw Error(ErrorKind::kCorrupt, Capitalized(Describe(what_, path_)) + " ends before " + what +
                                         " is complete (" + std::to_string(got) + " of " + std::to_string(n) +
                                         " bytes at offset " + std::to_string(offset) + ").");
  }
}

RangeLock::RangeLock(DiskFile& file, uint64_t offset, uint64_t length, const std::string& message)
    : file_(file), offset_(offset), length_(length) {
  // Other programs hold such locks only for the moment of a write, so a short
  // wait usually succeeds; a longer one would freeze the user's window. The
  // attempts come often: a program keeping a lock across many writes (as
  // this one keeps an index lock for up to 150 ms) may leave it free between
  // two such spells for a few milliseconds only.
  constexpr int kAttempts = 100;
  constexpr auto kPause = std::chrono::milliseconds(2);
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    if (file_.TryLock(offset_, length_)) return;
    if (attempt + 1 < kAttempts) std::this_thread::sleep_for(kPause);
  }
  throw Error(ErrorKind::kLocked, message);
}

RangeLock::~RangeLock() {
  try {
    file_.Unlock(offset_, length_);
  } catch (...) {
    // Closing the file releases the lock in any case.
  }
}

}  // namespace fox
