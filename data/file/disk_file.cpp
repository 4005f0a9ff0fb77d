#include "data/file/disk_file.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <thread>

#include "data/file/utf8_path.h"
#include "data/util/error.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#endif

namespace fox {

namespace {

// "the memo file "/data/orders.fpt"" — how every message names the file.
std::string Describe(const std::string& what, const std::string& path) {
  return "the " + what + " \"" + path + "\"";
}

std::string Capitalized(std::string s) {
  if (!s.empty() && s[0] >= 'a' && s[0] <= 'z') s[0] = static_cast<char>(s[0] - 'a' + 'A');
  return s;
}

// Lock ranges reach up to 0x7FFFFFFF and beyond; every offset handed to the
// operating system must fit its signed 64-bit offset type.
// The file is described only when the check fails: reads are frequent.
void CheckRange(uint64_t offset, uint64_t length, const std::string& what, const std::string& path) {
  constexpr uint64_t kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (offset > kMax || length > kMax - offset) {
    throw Error(ErrorKind::kUsage,
                "A byte range of " + Describe(what, path) + " lies beyond the largest possible file offset.");
  }
}

}  // namespace

#ifdef _WIN32

// ---------------------------------------------------------------- Windows

std::string SystemErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::string text = n > 0 && buffer != nullptr ? Utf8FromWide(std::wstring_view(buffer, n)) : std::string();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.')) {
    text.pop_back();
  }
  if (text.empty()) text = "system error " + std::to_string(code);
  return text;
}

namespace {

std::wstring Widen(const std::string& utf8) { return WideFromUtf8(utf8); }

std::string SystemMessage(DWORD code) { return SystemErrorText(code); }

OVERLAPPED At(uint64_t offset) {
  OVERLAPPED ov{};
  ov.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
  ov.OffsetHigh = static_cast<DWORD>(offset >> 32);
  return ov;
}

HANDLE H(void* handle) { return static_cast<HANDLE>(handle); }

}  // namespace

DiskFile::DiskFile(const std::string& path, Mode mode, const std::string& what)
    : path_(path), what_(what), mode_(mode), handle_(INVALID_HANDLE_VALUE) {
  DWORD access = GENERIC_READ | (mode == Mode::kReadWrite ? GENERIC_WRITE : 0);
  // Other programs (Visual FoxPro among them) keep the same files open while
  // we work on them; sharing everything matches how FoxPro opens tables shared.
  HANDLE h = CreateFileW(Widen(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                         nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    DWORD code = GetLastError();
    std::string file = Describe(what_, path_);
    switch (code) {
      case ERROR_FILE_NOT_FOUND:
      case ERROR_PATH_NOT_FOUND:
      case ERROR_INVALID_NAME:
      case ERROR_BAD_NETPATH:
        throw Error(ErrorKind::kNotFound, Capitalized(file) + " does not exist.");
      case ERROR_ACCESS_DENIED:
      case ERROR_WRITE_PROTECT:
        if (mode == Mode::kReadWrite) {
          throw Error(ErrorKind::kReadOnly,
                      Capitalized(file) +
                          " cannot be opened for writing: it is read-only or access is denied (" +
                          SystemMessage(code) + ").");
        }
        break;
      case ERROR_SHARING_VIOLATION:
      case ERROR_LOCK_VIOLATION:
        throw Error(ErrorKind::kLocked, Capitalized(file) + " is opened exclusively by another program (" +
                                            SystemMessage(code) + ").");
      default:
        break;
    }
    throw Error(ErrorKind::kIo, "Cannot open " + file + ": " + SystemMessage(code) + ".");
  }
  handle_ = h;
}

DiskFile::~DiskFile() {
  if (H(handle_) != INVALID_HANDLE_VALUE) CloseHandle(H(handle_));
}

uint64_t DiskFile::Size() const {
  LARGE_INTEGER size;
  if (!GetFileSizeEx(H(handle_), &size)) {
    throw Error(ErrorKind::kIo, "Cannot read the size of " + Describe(what_, path_) + ": " +
                                    SystemMessage(GetLastError()) + ".");
  }
  return static_cast<uint64_t>(size.QuadPart);
}

size_t DiskFile::ReadAt(uint64_t offset, void* buffer, size_t n) const {
  CheckRange(offset, n, what_, path_);
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < n) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
    OVERLAPPED ov = At(offset + done);
    DWORD got = 0;
    if (!ReadFile(H(handle_), out + done, chunk, &got, &ov)) {
      DWORD code = GetLastError();
      if (code == ERROR_HANDLE_EOF) break;
      if (code == ERROR_LOCK_VIOLATION) {
        throw Error(ErrorKind::kLocked, "Cannot read " + Describe(what_, path_) +
                                            ": another program has locked that part of the file.");
      }
      throw Error(ErrorKind::kIo, "Cannot read " + Describe(what_, path_) + ": " + SystemMessage(code) + ".");
    }
    if (got == 0) break;
    done += got;
  }
  return done;
}

void DiskFile::WriteAt(uint64_t offset, const void* buffer, size_t n) {
  if (!writable()) {
    throw Error(ErrorKind::kReadOnly, Capitalized(Describe(what_, path_)) + " was opened read-only.");
  }
  CheckRange(offset, n, what_, path_);
  const auto* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < n) {
    DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - done, 1u << 30));
    OVERLAPPED ov = At(offset + done);
    DWORD put = 0;
    if (!WriteFile(H(handle_), in + done, chunk, &put, &ov)) {
      DWORD code = GetLastError();
      if (code == ERROR_LOCK_VIOLATION) {
        throw Error(ErrorKind::kLocked, "Cannot write " + Describe(what_, path_) +
                                            ": another program has locked that part of the file.");
      }
      throw Error(
          code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL ? ErrorKind::kFull : ErrorKind::kIo,
          "Cannot write " + Describe(what_, path_) + ": " + SystemMessage(code) + ".");
    }
    if (put == 0) {
      throw Error(ErrorKind::kIo, "Cannot write " + Describe(what_, path_) + ": the system wrote nothing.");
    }
    done += put;
  }
}

void DiskFile::StartSync(uint64_t, uint64_t) noexcept {}

void DiskFile::Truncate(uint64_t size) {
  CheckTruncate(size);
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
  if (!SetFileInformationByHandle(H(handle_), FileEndOfFileInfo, &end, sizeof end)) {
    throw Error(ErrorKind::kIo,
                "Cannot cut " + Describe(what_, path_) + " short: " + SystemMessage(GetLastError()) + ".");
  }
}

void DiskFile::Sync() {
  if (!writable()) return;
  if (!FlushFileBuffers(H(handle_))) {
    throw Error(ErrorKind::kIo, "Cannot flush " + Describe(what_, path_) +
                                    " to disk: " + SystemMessage(GetLastError()) + ".");
  }
}

bool DiskFile::TryLock(uint64_t offset, uint64_t length) {
  CheckRange(offset, length, what_, path_);
  if (length == 0) {
    throw Error(ErrorKind::kUsage, "Cannot lock an empty byte range of " + Describe(what_, path_) + ".");
  }
  if (!writable()) {
    // Refused as on POSIX, where an exclusive lock needs write access, so
    // the library behaves the same on both systems.
    throw Error(ErrorKind::kUsage,
                "Cannot lock " + Describe(what_, path_) + " for writing: it was opened read-only.");
  }
  OVERLAPPED ov = At(offset);
  if (LockFileEx(H(handle_), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0,
                 static_cast<DWORD>(length & 0xFFFFFFFFu), static_cast<DWORD>(length >> 32), &ov)) {
    return true;
  }
  DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return false;
  throw Error(ErrorKind::kIo, "Cannot lock " + Describe(what_, path_) + ": " + SystemMessage(code) + ".");
}

bool DiskFile::TryLockShared(uint64_t offset, uint64_t length) {
  CheckRange(offset, length, what_, path_);
  if (length == 0) {
    throw Error(ErrorKind::kUsage, "Cannot lock an empty byte range of " + Describe(what_, path_) + ".");
  }
  OVERLAPPED ov = At(offset);
  if (LockFileEx(H(handle_), LOCKFILE_FAIL_IMMEDIATELY, 0, static_cast<DWORD>(length & 0xFFFFFFFFu),
                 static_cast<DWORD>(length >> 32), &ov)) {
    return true;
  }
  DWORD code = GetLastError();
  if (code == ERROR_LOCK_VIOLATION || code == ERROR_IO_PENDING) return false;
  throw Error(ErrorKind::kIo, "Cannot lock " + Describe(what_, path_) + ": " + SystemMessage(code) + ".");
}

static bool WriteFileAs(const std::string& path, const std::string& bytes, const std::string& what,
                        DWORD how);

void DiskFile::WriteWholeFile(const std::string& path, const std::string& bytes, const std::string& what) {
  WriteFileAs(path, bytes, what, CREATE_ALWAYS);
}

bool DiskFile::CreateNewFile(const std::string& path, const std::string& bytes, const std::string& what) {
  return WriteFileAs(path, bytes, what, CREATE_NEW);
}

static bool WriteFileAs(const std::string& path, const std::string& bytes, const std::string& what,
                        DWORD how) {
  HANDLE h =
      CreateFileW(Widen(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, how, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE && how == CREATE_NEW && GetLastError() == ERROR_FILE_EXISTS) return false;
  if (h == INVALID_HANDLE_VALUE) {
    throw Error(ErrorKind::kIo,
                "Cannot write " + Describe(what, path) + ": " + SystemMessage(GetLastError()) + ".");
  }
  DWORD written = 0;
  const bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                  written == bytes.size() && FlushFileBuffers(h);
  const DWORD code = GetLastError();
  CloseHandle(h);
  if (!ok)
    throw Error(ErrorKind::kIo, "Cannot write " + Describe(what, path) + ": " + SystemMessage(code) + ".");
  return true;
}

void DiskFile::RemoveFile(const std::string& path, const std::string& what) {
  if (DeleteFileW(Widen(path).c_str())) return;
  const DWORD code = GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return;
  throw Error(ErrorKind::kIo, "Cannot remove " + Describe(what, path) + ": " + SystemMessage(code) + ".");
}

void DiskFile::Unlock(uint64_t offset, uint64_t length) {
  CheckRange(offset, length, what_, path_);
  if (length == 0) return;
  OVERLAPPED ov = At(offset);
  if (!UnlockFileEx(H(handle_), 0, static_cast<DWORD>(length & 0xFFFFFFFFu), static_cast<DWORD>(length >> 32),
                    &ov)) {
    throw Error(ErrorKind::kIo,
                "Cannot unlock " + Describe(what_, path_) + ": " + SystemMessage(GetLastError()) + ".");
  }
}

#else

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
  if (!writable()) {
    throw Error(ErrorKind::kReadOnly, Capitalized(Describe(what_, path_)) + " was opened read-only.");
  }
  CheckRange(offset, n, what_, path_);
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
  CheckRange(offset, length, what_, path_);
  if (length == 0) {
    // fcntl reads a length of 0 as "to the end of the file and beyond".
    throw Error(ErrorKind::kUsage, "Cannot lock an empty byte range of " + Describe(what_, path_) + ".");
  }
  if (!writable()) {
    // An exclusive fcntl lock needs a descriptor open for writing.
    throw Error(ErrorKind::kUsage,
                "Cannot lock " + Describe(what_, path_) + " for writing: it was opened read-only.");
  }
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

#endif

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
