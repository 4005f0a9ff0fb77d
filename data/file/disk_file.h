// An open file on disk, with positioned reads and writes, durability and
// byte-range locks. This is the only place in the library that talks to the
// operating system about file contents; it has a POSIX and a Windows branch.
//
// Locks are advisory on POSIX and mandatory on Windows, exactly as other
// programs sharing the files (Visual FoxPro among them) use them. On Linux the
// locks belong to the open file, not to the process, so two DiskFiles of the
// same process exclude each other just as two programs would.
#pragma once

#include <cstdint>
#include <string>

namespace fox {

class DiskFile {
 public:
  enum class Mode { kReadOnly, kReadWrite };

  // Opens an existing file. Throws Error (kNotFound, kReadOnly when write
  // access is refused, kLocked when another program has it open exclusively
  // (Windows), kIo otherwise) naming `what` (e.g. "memo file") and the path.
  DiskFile(const std::string& path, Mode mode, const std::string& what);
  ~DiskFile();
  DiskFile(const DiskFile&) = delete;
  DiskFile& operator=(const DiskFile&) = delete;

  const std::string& path() const { return path_; }
  bool writable() const { return mode_ == Mode::kReadWrite; }

  // Current size in bytes.
  uint64_t Size() const;

  // Reads up to n bytes at offset; returns the number read (less only at end
  // of file). Throws kIo on an operating-system failure.
  size_t ReadAt(uint64_t offset, void* buffer, size_t n) const;

  // Reads exactly n bytes at offset or throws kCorrupt saying that the file
  // ends before `what` is complete.
  void ReadExactAt(uint64_t offset, void* buffer, size_t n, const std::string& what) const;

  // Writes all n bytes at offset (extending the file if needed). Throws kIo,
  // kFull when the disk (or the user's quota, or the system's file size
  // limit) has no room, or kReadOnly when the file was opened read-only.
  void WriteAt(uint64_t offset, const void* buffer, size_t n);

  // Cuts the file to `size` bytes (a size past the end is refused: kUsage).
  // Throws kIo, or kReadOnly when the file was opened read-only.
  void Truncate(uint64_t size);

  // Makes written data durable before later writes depend on it.
  void Sync();
  // Starts writing [offset, offset + length) to the disk (length 0: to the
  // end of the file) without waiting for it, so that a later Sync has less
  // to wait for. Does nothing where the
  // system has no such call. Never fails: Sync reports what goes wrong.
  void StartSync(uint64_t offset, uint64_t length) noexcept;

  // Takes an exclusive lock on [offset, offset + length) without waiting.
  // Returns false when another open file holds a conflicting lock. The range
  // may lie beyond the end of the file; it must not be empty, and the file
  // must be open for writing (kUsage otherwise). Locking a range this object
  // already holds succeeds on POSIX but fails on Windows: do not nest locks.
  bool TryLock(uint64_t offset, uint64_t length);
  // The same, a shared lock: other shared locks on the range are allowed,
  // exclusive ones are not. Needs read access only.
  bool TryLockShared(uint64_t offset, uint64_t length);
  // Releases a range taken by TryLock. Throws kIo.
  void Unlock(uint64_t offset, uint64_t length);

  // Writes `bytes` as the whole content of the file at `path` (made when
  // missing) and makes it durable, its folder entry included. Throws kIo
  // naming `what`.
  static void WriteWholeFile(const std::string& path, const std::string& bytes, const std::string& what);
  // The same for a file that must not exist yet: false, nothing written,
  // when it does.
  static bool CreateNewFile(const std::string& path, const std::string& bytes, const std::string& what);
  // Removes the file at `path` (nothing when it is missing), durably.
  // Throws kIo naming `what`.
  static void RemoveFile(const std::string& path, const std::string& what);

 private:
  void CheckTruncate(uint64_t size) const;
  std::string path_;
  std::string what_;
  Mode mode_;
#ifdef _WIN32
  void* handle_;
#else
  int fd_;
#endif
};

// Holds a byte-range lock for its lifetime, retrying for about 200 ms when
// another program holds it. Throws Error(kLocked) with `message` when it
// cannot.
class RangeLock {
 public:
  RangeLock(DiskFile& file, uint64_t offset, uint64_t length, const std::string& message);
  ~RangeLock();
  RangeLock(const RangeLock&) = delete;
  RangeLock& operator=(const RangeLock&) = delete;

 private:
  DiskFile& file_;
  uint64_t offset_;
  uint64_t length_;
};

#ifdef _WIN32
// The system's text for a Windows error code (GetLastError), as UTF-8
// without its closing period.
std::string SystemErrorText(unsigned long code);
#endif

}  // namespace fox
