// The disk file on POSIX systems: descriptors, pread and pwrite, record
// locks (open file description locks where there are).
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "data/file/disk_file.h"
#include "data/file/disk_file_messages.h"
#include "data/file/utf8_path.h"
#include "data/util/error.h"

namespace fox {

using disk_file::Capitalized;
using disk_file::CheckRange;
using disk_file::Describe;

// ---------------------------------------------------------------- POSIX

static_assert(sizeof(off_t) >= 8, "64-bit file offsets are required (build with _FILE_OFFSET_BITS=64)");

namespace {

std::string SystemMessage(int code) { return std::strerror(code); }

// Open-file-description locks belong to the open file, so two DiskFiles of
// one process exclude each other and closing one descriptor does not drop the
// locks of another. Kernels before 3.15 (and systems without them) only have
// process-owned locks; there the library falls back to those.
std::atomic<bool> g_ofd_locks_missing{false};

int SetLock(int fd, short type, uint64_t offset, uint64_t length) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = static_cast<off_t>(offset);
  fl.l_len = static_cast<off_t>(length);
  fl.l_pid = 0;  // must be 0 for open-file-description locks
  int rc;
#ifdef F_OFD_SETLK
  if (!g_ofd_locks_missing.load(std::memory_order_relaxed)) {
    do {
      rc = fcntl(fd, F_OFD_SETLK, &fl);
    } while (rc == -1 && errno == EINTR);
    if (rc == 0 || errno != EINVAL) return rc;
    g_ofd_locks_missing.store(true, std::memory_order_relaxed);
  }
#endif
  do {
    rc = fcntl(fd, F_SETLK, &fl);
  } while (rc == -1 && errno == EINTR);
  return rc;
}

}  // namespace

DiskFile::DiskFile(const std::string& path, Mode mode, const std::string& what)
    : path_(path), what_(what), mode_(mode), fd_(-1) {
  int flags = (mode == Mode::kReadWrite ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  int fd;
  do {
    fd = ::open(path.c_str(), flags);
  } while (fd == -1 && errno == EINTR);
  std::string file = Describe(what_, path_);
  if (fd == -1) {
    int code = errno;
    if (code == ENOENT || code == ENOTDIR) {
      throw Error(ErrorKind::kNotFound, Capitalized(file) + " does not exist.");
    }
    if (mode == Mode::kReadWrite && (code == EACCES || code == EROFS || code == EPERM)) {
      throw Error(ErrorKind::kReadOnly, Capitalized(file) +
                                            " cannot be opened for writing: it is read-only (" +
                                            SystemMessage(code) + ").");
    }
    throw Error(ErrorKind::kIo, "Cannot open " + file + ": " + SystemMessage(code) + ".");
  }
  struct stat st {};
  if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd);
    throw Error(ErrorKind::kIo, "Cannot open " + file + ": it is a folder, not a file.");
  }
  // A file whose owner may not write it is read-only, whoever opens it, as
  // a file with the read-only attribute is on Windows (and as a share shows
  // that attribute): the superuser's open succeeds, but must not write.
  if (mode == Mode::kReadWrite && (st.st_mode & S_IWUSR) == 0) {
    ::close(fd);
    throw Error(
        ErrorKind::kReadOnly,
        Capitalized(file) + " cannot be opened for writing: it is read-only (its owner may not write it).");
  }
  fd_ = fd;
}

DiskFile::~DiskFile() {
  if (fd_ >= 0) ::close(fd_);
}

uint64_t DiskFile::Size() const {
  struct stat st {};
  if (fstat(fd_, &st) != 0) {
    throw Error(ErrorKind::kIo,
                "Cannot read the size of " + Describe(what_, path_) + ": " + SystemMessage(errno) + ".");
  }
  return static_cast<uint64_t>(st.st_size);
}

size_t DiskFile::ReadAt(uint64_t offset, void* buffer, size_t n) const {
  CheckRange(offset, n, what_, path_);
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < n) {
    ssize_t got = ::pread(fd_, out + done, n - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      throw Error(ErrorKind::kIo,
                  "Cannot read " + Describe(what_, path_) + ": " + SystemMessage(errno) + ".");
    }
    if (got == 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

void DiskFile::WriteAt(uint64_t offset, const void* buffer, size_t n) {
  disk_file::CheckWrite(writable(), offset, n, what_, path_);
  const auto* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < n) {
    ssize_t put = ::pwrite(fd_, in + done, n - done, static_cast<off_t>(offset + done));
    if (put < 0) {
      if (errno == EINTR) continue;
      throw Error(errno == ENOSPC || errno == EDQUOT || errno == EFBIG ? ErrorKind::kFull : ErrorKind::kIo,
                  "Cannot write " + Describe(what_, path_) + ": " + SystemMessage(errno) + ".");
    }
    if (put == 0) {
      throw Error(ErrorKind::kIo, "Cannot write " + Describe(what_, path_) + ": the system wrote nothing.");
    }
    done += static_cast<size_t>(put);
  }
}

void DiskFile::Truncate(uint64_t size) {
  CheckTruncate(size);
  int rc;
  do {
    rc = ::ftruncate(fd_, static_cast<off_t>(size));
  } while (rc == -1 && errno == EINTR);
  if (rc != 0)
    throw Error(ErrorKind::kIo,
                "Cannot cut " + Describe(what_, path_) + " short: " + SystemMessage(errno) + ".");
}

void DiskFile::StartSync(uint64_t offset, uint64_t length) noexcept {
#ifdef __linux__
  if (writable()) {
    ::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
  }
#else
  (void)offset;
  (void)length;
#endif
}

void DiskFile::Sync() {
  if (!writable()) return;
  int rc;
  do {
    rc = ::fsync(fd_);
  } while (rc == -1 && errno == EINTR);
  if (rc != 0) {
    throw Error(ErrorKind::kIo,
                "Cannot flush " + Describe(what_, path_) + " to disk: " + SystemMessage(errno) + ".");
  }
}

bool DiskFile::TryLock(uint64_t offset, uint64_t length) {
  disk_file::CheckLock(writable(), offset, length, what_, path_);
  if (SetLock(fd_, F_WRLCK, offset, length) == 0) return true;
  int code = errno;
  if (code == EAGAIN || code == EACCES) return false;
  throw Error(ErrorKind::kIo, "Cannot lock " + Describe(what_, path_) + ": " + SystemMessage(code) + ".");
}

bool DiskFile::TryLockShared(uint64_t offset, uint64_t length) {
  CheckRange(offset, length, what_, path_);
  if (length == 0) {
    throw Error(ErrorKind::kUsage, "Cannot lock an empty byte range of " + Describe(what_, path_) + ".");
  }
  if (SetLock(fd_, F_RDLCK, offset, length) == 0) return true;
  int code = errno;
  if (code == EAGAIN || code == EACCES) return false;
  throw Error(ErrorKind::kIo, "Cannot lock " + Describe(what_, path_) + ": " + SystemMessage(code) + ".");
}

namespace {

// Makes the folder entries of `path` durable.
void SyncFolderOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(folder.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd == -1) return;  // the entry is made; only its durability is not sure
  while (::fsync(fd) == -1 && errno == EINTR) {
  }
  ::close(fd);
}

}  // namespace

static bool WriteFileAs(const std::string& path, const std::string& bytes, const std::string& what, int how);

void DiskFile::WriteWholeFile(const std::string& path, const std::string& bytes, const std::string& what) {
  WriteFileAs(path, bytes, what, O_TRUNC);
}

bool DiskFile::CreateNewFile(const std::string& path, const std::string& bytes, const std::string& what) {
  return WriteFileAs(path, bytes, what, O_EXCL);
}

static bool WriteFileAs(const std::string& path, const std::string& bytes, const std::string& what, int how) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_WRONLY | O_CREAT | how | O_CLOEXEC, 0666);
  } while (fd == -1 && errno == EINTR);
  auto fail = [&](int code) {
    return Error(ErrorKind::kIo, "Cannot write " + Describe(what, path) + ": " + SystemMessage(code) + ".");
  };
  if (fd == -1 && how == O_EXCL && errno == EEXIST) return false;
  if (fd == -1) throw fail(errno);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int code = n < 0 ? errno : ENOSPC;
      ::close(fd);
      throw fail(code);
    }
    done += static_cast<size_t>(n);
  }
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc == -1 && errno == EINTR);
  const int code = errno;
  ::close(fd);
  if (rc != 0) throw fail(code);
  SyncFolderOf(path);
  return true;
}

void DiskFile::RemoveFile(const std::string& path, const std::string& what) {
  if (::unlink(path.c_str()) != 0) {
    if (errno == ENOENT) return;
    throw Error(ErrorKind::kIo, "Cannot remove " + Describe(what, path) + ": " + SystemMessage(errno) + ".");
  }
  SyncFolderOf(path);
}

void DiskFile::Unlock(uint64_t offset, uint64_t length) {
  CheckRange(offset, length, what_, path_);
  if (length == 0) return;
  if (SetLock(fd_, F_UNLCK, offset, length) != 0) {
    throw Error(ErrorKind::kIo,
                "Cannot unlock " + Describe(what_, path_) + ": " + SystemMessage(errno) + ".");
  }
}

}  // namespace fox
