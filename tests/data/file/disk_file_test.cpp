// DiskFile: positioned reads and writes, the errors that name the file, and
// byte-range locks that exclude other open files even within one process.
#include "data/file/disk_file.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <chrono>

#include "data/util/error.h"
#include "tests/support/test_support.h"

namespace {

using fox::DiskFile;
using fox::Error;
using fox::ErrorKind;
using fox::RangeLock;
using testing_support::ErrorOf;
using testing_support::ReadFileBytes;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

TEST(DiskFile, ReadsAndWritesAtOffsets) {
  TempDir dir;
  std::string path = dir.Sub("data.bin");
  WriteFileBytes(path, "0123456789");
  DiskFile file(path, DiskFile::Mode::kReadWrite, "table");
  EXPECT_EQ(file.Size(), 10u);

  file.WriteAt(2, "ab", 2);
  file.WriteAt(12, "xy", 2);  // past the end: the gap reads as zeros
  file.Sync();
  EXPECT_EQ(file.Size(), 14u);
  EXPECT_EQ(ReadFileBytes(path), std::string("01ab456789\0\0xy", 14));

  char buffer[8] = {};
  EXPECT_EQ(file.ReadAt(10, buffer, 8), 4u);  // short only at the end of the file
  EXPECT_EQ(std::string(buffer, 4), std::string("\0\0xy", 4));
  EXPECT_EQ(file.ReadAt(100, buffer, 8), 0u);

  Error e = ErrorOf([&] { file.ReadExactAt(8, buffer, 8, "record 3"); });
  EXPECT_EQ(e.kind(), ErrorKind::kCorrupt);
  EXPECT_NE(std::string(e.what()).find("record 3"), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
}

TEST(DiskFile, OpeningErrorsNameTheFile) {
  TempDir dir;
  std::string missing = dir.Sub("nothing.fpt");
  Error e = ErrorOf([&] { DiskFile f(missing, DiskFile::Mode::kReadOnly, "memo file"); });
  EXPECT_EQ(e.kind(), ErrorKind::kNotFound);
  EXPECT_NE(std::string(e.what()).find("memo file"), std::string::npos) << e.what();
  EXPECT_NE(std::string(e.what()).find(missing), std::string::npos) << e.what();
  EXPECT_EQ(
      ErrorOf([&] { DiskFile f(dir.Sub("no/such/dir/x.dbf"), DiskFile::Mode::kReadWrite, "table"); }).kind(),
      ErrorKind::kNotFound);
  EXPECT_EQ(ErrorOf([&] { DiskFile f(dir.path().string(), DiskFile::Mode::kReadOnly, "table"); }).kind(),
            ErrorKind::kIo);

  std::string path = dir.Sub("t.dbf");
  WriteFileBytes(path, "abc");
  DiskFile reader(path, DiskFile::Mode::kReadOnly, "table");
  EXPECT_FALSE(reader.writable());
  EXPECT_EQ(ErrorOf([&] { reader.WriteAt(0, "x", 1); }).kind(), ErrorKind::kReadOnly);
  EXPECT_EQ(ReadFileBytes(path), "abc");
}

#ifndef _WIN32
// A file without write permission opens for reading but not for writing.
// Root ignores permission bits, so there the check runs in a child process
// that has given up root.
TEST(DiskFile, ReadOnlyFileRefusesWriteAccess) {
  TempDir dir;
  chmod(dir.path().c_str(), 0755);
  std::string path = dir.Sub("locked.dbf");
  WriteFileBytes(path, "abc");
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);

  auto check = [&]() -> int {
    try {
      DiskFile reader(path, DiskFile::Mode::kReadOnly, "table");
    } catch (const Error&) {
      return 1;
    }
    try {
      DiskFile writer(path, DiskFile::Mode::kReadWrite, "table");
    } catch (const Error& e) {
      std::string text = e.what();
      if (e.kind() != ErrorKind::kReadOnly) return 2;
      if (text.find(path) == std::string::npos || text.find("read-only") == std::string::npos) return 3;
      return 0;
    }
    return 4;
  };

  // Read-only whoever opens it, the superuser too.
  EXPECT_EQ(check(), 0);
  if (geteuid() != 0) return;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(5);
    _exit(check());
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1 read failed, 2 wrong kind, 3 vague text, 4 opened, 5 setuid";
}
#endif

TEST(DiskFileLocks, TwoOpenFilesInOneProcessExcludeEachOther) {
  TempDir dir;
  std::string path = dir.Sub("t.dbf");
  WriteFileBytes(path, "abc");
  DiskFile a(path, DiskFile::Mode::kReadWrite, "table");
  DiskFile b(path, DiskFile::Mode::kReadWrite, "table");

  // Offsets far beyond the end of the file, where FoxPro locks records.
  ASSERT_TRUE(a.TryLock(0x7FFFFFFE, 1));
  EXPECT_FALSE(b.TryLock(0x7FFFFFFE, 1));
  EXPECT_FALSE(b.TryLock(0x7FFFFFF0, 0x20));  // overlapping
  EXPECT_TRUE(b.TryLock(0x7FFFFFFD, 1));      // the neighbouring record
  EXPECT_FALSE(a.TryLock(0x7FFFFFFD, 1));
  EXPECT_TRUE(b.TryLock(0x80000000, 0x100));  // beyond 2 GB

  a.Unlock(0x7FFFFFFE, 1);
  EXPECT_TRUE(b.TryLock(0x7FFFFFFE, 1));

  // Closing a file releases its locks, and only its own.
  {
    DiskFile c(path, DiskFile::Mode::kReadWrite, "table");
    ASSERT_TRUE(c.TryLock(10, 1));
    EXPECT_FALSE(a.TryLock(10, 1));
  }
  EXPECT_TRUE(a.TryLock(10, 1));
  EXPECT_FALSE(a.TryLock(0x7FFFFFFD, 1));
}

TEST(DiskFileLocks, MisuseIsRefused) {
  TempDir dir;
  std::string path = dir.Sub("t.dbf");
  WriteFileBytes(path, "abc");
  DiskFile reader(path, DiskFile::Mode::kReadOnly, "table");
  EXPECT_EQ(ErrorOf([&] { reader.TryLock(0, 1); }).kind(), ErrorKind::kUsage);
  DiskFile writer(path, DiskFile::Mode::kReadWrite, "table");
  EXPECT_EQ(ErrorOf([&] { writer.TryLock(0, 0); }).kind(), ErrorKind::kUsage);
  EXPECT_EQ(ErrorOf([&] { writer.TryLock(0xFFFFFFFFFFFFFFF0ull, 1); }).kind(), ErrorKind::kUsage);
}

TEST(RangeLock, HoldsForItsLifetimeAndGivesUpAfterAShortWait) {
  TempDir dir;
  std::string path = dir.Sub("t.fpt");
  WriteFileBytes(path, "abc");
  DiskFile a(path, DiskFile::Mode::kReadWrite, "memo file");
  DiskFile b(path, DiskFile::Mode::kReadWrite, "memo file");
  {
    RangeLock held(a, 0, 1, "busy");
    EXPECT_FALSE(b.TryLock(0, 1));

    auto start = std::chrono::steady_clock::now();
    Error e = ErrorOf([&] { RangeLock second(b, 0, 1, "The memo file is in use."); });
    auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(e.kind(), ErrorKind::kLocked);
    EXPECT_STREQ(e.what(), "The memo file is in use.");
    EXPECT_GE(waited, std::chrono::milliseconds(150));
    EXPECT_LT(waited, std::chrono::seconds(2));
  }
  EXPECT_TRUE(b.TryLock(0, 1));
}

}  // namespace
