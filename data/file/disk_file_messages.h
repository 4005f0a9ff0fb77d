// The disk file's messages, shared by its platform files
// (disk_file_posix.cpp, disk_file_windows.cpp) and disk_file.cpp: how a
// file is named in them, and the check that a byte range fits the system's
// offsets and the checks before a write and a lock (throw Error). Not part of the library's interface.
#pragma once

#include <cstdint>
#include <string>

namespace fox::disk_file {

// "the memo file "/data/orders.fpt"" — how every message names the file.
std::string Describe(const std::string& what, const std::string& path);
std::string Capitalized(std::string s);
// Lock ranges reach up to 0x7FFFFFFF and beyond; every offset handed to the
// operating system must fit its signed 64-bit offset type.
// The file is described only when the check fails: reads are frequent.
void CheckRange(uint64_t offset, uint64_t length, const std::string& what, const std::string& path);
// Before a write: the file was opened for writing (else Error(kReadOnly))
// and the range fits.
void CheckWrite(bool writable, uint64_t offset, uint64_t length, const std::string& what,
                const std::string& path);
// Before a lock: the range fits and is not empty, and the file was opened
// for writing, which an exclusive lock needs on POSIX and is asked for on
// Windows too, so that the library behaves the same on both (else
// Error(kUsage)).
void CheckLock(bool writable, uint64_t offset, uint64_t length, const std::string& what,
               const std::string& path);

}  // namespace fox::disk_file
