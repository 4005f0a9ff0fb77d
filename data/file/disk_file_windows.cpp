// The disk file on Windows: handles, overlapped offsets, LockFileEx.
#include "data/file/disk_file.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <string>

#include "data/file/disk_file_messages.h"
#include "data/file/utf8_path.h"
#include "data/util/error.h"

namespace fox {

using disk_file::Capitalized;
using disk_file::CheckRange;
using disk_file::Describe;

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
  disk_file::CheckWrite(writable(), offset, n, what_, path_);
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
  disk_file::CheckLock(writable(), offset, length, what_, path_);
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

}  // namespace fox
