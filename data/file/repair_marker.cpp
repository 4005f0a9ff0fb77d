#include "data/file/repair_marker.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "data/file/utf8_path.h"
#include "data/util/error.h"

namespace fox {

RepairMarker::RepairMarker(DiskFile& table_file, std::string table_name)
    : file_(table_file), path_(PathFor(table_file.path())), table_(std::move(table_name)) {}

RepairMarker::~RepairMarker() {
  Release();
  if (!entered_) return;
  try {
    file_.Unlock(kWriterByte, 1);
  } catch (...) {
    // Closing the file lets it go.
  }
}

void RepairMarker::Enter(RunLog* run_log, std::time_t started) {
  if (entered_) return;
  // A program removing its marker holds the byte exclusively for a moment.
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!file_.TryLockShared(kWriterByte, 1)) {
    if (std::chrono::steady_clock::now() >= until) {
      throw Error(ErrorKind::kLocked,
                  "Table '" + table_ +
                      "' was not changed: another Quillon program is finishing its changes "
                      "to it. Try again in a moment.");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  try {
    DiskFile::WriteWholeFile(
        path_,
        "Quillon is changing the table \"" + table_ +
            "\". If this file is left behind, a run stopped before it finished: the next time "
            "Quillon opens the table it writes whole the records that run was writing (kept in "
            "its write-ahead file), checks every tag of the structural index against the "
            "records and rebuilds those that need it.\r\n",
        "marker file");
    if (run_log) {
      ahead_ = WriteAheadFile::MakeLink(file_.path(), run_log->path());
      log_ = run_log;
    } else {
      auto own = std::make_unique<RunLog>();
      ahead_ = WriteAheadFile::MakeOwn(file_.path(), [&](const std::string& path) {
        std::error_code error;
        if (std::filesystem::exists(PathFromUtf8(path), error)) return false;
        own->Create(path, started, 0);
        return true;
      });
      own_log_ = std::move(own);
      log_ = own_log_.get();
    }
  } catch (const Error& e) {
    file_.Unlock(kWriterByte, 1);
    throw Error(e.kind(), "Table '" + table_ + "' was not changed: " + e.what());
  }
  entered_ = true;
}

void RepairMarker::Leave(const std::function<void()>& flush) {
  if (!entered_) return;
  // This program's writes are durable before its write-ahead file goes;
  // when either fails, both stay for the repair (the destructor lets the
  // writer lock go).
  flush();
  if (own_log_) {
    own_log_->Remove();
    own_log_.reset();
  } else {
    DiskFile::RemoveFile(ahead_, "write-ahead file");
  }
  log_ = nullptr;
  entered_ = false;
  // The shared lock goes, then the byte is taken exclusively: that works
  // only when no other writer holds it, and otherwise the last one removes
  // the marker. A writer starting in between makes the marker again.
  file_.Unlock(kWriterByte, 1);
  if (!file_.TryLock(kWriterByte, 1)) return;
  exclusive_ = true;
  struct Let {
    RepairMarker& marker;
    ~Let() { marker.Release(); }
  } let{*this};
  // A write-ahead file left by a program that stopped: the marker stays
  // until the repair has put back its records and checked the index.
  if (!WriteAheadFile::Find(file_.path()).empty()) return;
  DiskFile::RemoveFile(path_, "marker file");
}

bool RepairMarker::TakeLeftOver() {
  std::error_code ignored;
  if (!std::filesystem::exists(PathFromUtf8(path_), ignored)) return false;
  if (!file_.TryLock(kWriterByte, 1)) return false;  // a Quillon program changes the table now
  exclusive_ = true;
  return true;
}

void RepairMarker::Release() noexcept {
  if (!exclusive_) return;
  exclusive_ = false;
  try {
    file_.Unlock(kWriterByte, 1);
  } catch (...) {
  }
}

}  // namespace fox
