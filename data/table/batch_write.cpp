#include "data/table/batch_write.h"

#include <ctime>
#include <optional>

#include "data/table/save_failures.h"
#include "data/util/local_time.h"

namespace fox {

BatchWrite::BatchWrite(const Target& target, SealedBatch& flight) : target_(target), flight_(flight) {
  for (const PendingSave& p : flight_.batch) records_.push_back(p.recno);
}

void BatchWrite::Write() {
  SyncMemo();
  Recheck();
  WriteAhead();
  WriteRecords();
  WritePages();
}

void BatchWrite::Fail(const Error& e, size_t written, bool retryable) {
  if (committed_) TakeBack(written);
  if (target_.maintainer) target_.maintainer->DropPages(flight_.pages);
  flight_.locks = {};
  std::vector<uint32_t> unsaved(records_.begin() + static_cast<std::ptrdiff_t>(written), records_.end());
  std::string message = NotSaved(unsaved, target_.name, e.what());
  if (written > 0 && target_.maintainer) {
    message +=
        " The records before them were saved, but the structural index was not brought up to date: "
        "reindex the table in FoxPro before using it.";
  }
  SaveError failure(e.kind(), message, unsaved, ShortCause(e.what()));
  if (retryable) failure.set_retryable(std::move(unsaved));
  throw failure;
}

// Step 1's flush: the memo values are durable before any record points at
// them. Their writing to the disk is started first, then what the caller
// must make durable before the records (write_ahead), so that the two
// flushes wait for the disk together rather than one after the other.
void BatchWrite::SyncMemo() {
  if (flight_.sync_memo) target_.memo->StartSync();
  if (target_.write_ahead) target_.write_ahead();
  if (flight_.sync_memo) {
    try {
      target_.memo->Sync();
    } catch (const Error& e) {
      Fail(e, 0);
    }
  }
}

// Right before the records are written, each is compared once more with
// what was read: a program that writes records without taking their locks
// may have changed one since the batch was sealed. Its change is kept, and
// none of the batch is written, since the batch's index changes were
// worked out with that record; every record of it can be read and changed
// again.
void BatchWrite::Recheck() {
  std::optional<uint32_t> changed;
  try {
    if (target_.before_recheck) target_.before_recheck();
    changed = ChangedOnDisk();
  } catch (const Error& e) {
    Fail(e, 0);
  }
  if (changed) {
    Fail(
        Error(ErrorKind::kConflict, "another program changed record " + std::to_string(*changed) +
                                        " without locking it after Quillon read it, and its change was kept"),
        0, true);
  }
}

std::optional<uint32_t> BatchWrite::ChangedOnDisk() {
  const std::vector<PendingSave>& batch = flight_.batch;
  const TableHeader& header = target_.header;
  const size_t length = header.record_length;
  std::string on_disk;
  for (size_t i = 0; i < batch.size();) {
    size_t j = i + 1;
    while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
    const uint32_t first = batch[i].recno, last = batch[j - 1].recno;
    on_disk.resize(size_t{last - first + 1} * length);
    target_.file.ReadExactAt(header.record_offset(first), on_disk.data(), on_disk.size(),
                             "records " + std::to_string(first) + " to " + std::to_string(last) +
                                 " of table '" + target_.name + "'");
    for (size_t k = i; k < j; ++k) {
      if (on_disk.compare((k - i) * length, length, batch[k].original) != 0) return batch[k].recno;
    }
    i = j;
  }
  return std::nullopt;
}

// Step 3's first part: the caller's entries about the batch (its change log
// and undo journal) and the changed part of each record, as it is on disk
// and as it will be, go to the run log and are committed with one flush, so
// that a crash inside the records' write leaves no record part written: the
// next open writes them as the log says.
void BatchWrite::WriteAhead() {
  const std::vector<PendingSave>& batch = flight_.batch;
  if (target_.before_write && !batch.empty() && !target_.before_write(records_)) {
    Fail(Error(ErrorKind::kIo, "the change log or the undo journal could not be written first"), 0);
  }
  if (!target_.marker || !target_.marker->entered() || batch.empty()) return;
  const size_t length = target_.header.record_length;
  uint64_t position = 0;
  try {
    RunLog& log = target_.marker->log();
    const uint32_t file = log.FileNumber(target_.file.path());
    for (const PendingSave& p : batch) {
      // The bytes outside a record's changed part are written as they are:
      // a cut-short write leaves them so.
      size_t first = 0, end = length;
      while (first < length && p.original[first] == p.record[first]) ++first;
      while (end > first && p.original[end - 1] == p.record[end - 1]) --end;
      if (first == end) continue;
      const std::string_view before(p.original), after(p.record);
      log.AddImage(file, target_.header.record_offset(p.recno) + first, before.substr(first, end - first),
                   after.substr(first, end - first));
    }
    position = log.Commit();
    committed_ = true;
  } catch (const Error& e) {
    Fail(e, 0);
  }
  if (target_.after_commit) target_.after_commit(records_, position);
}

void BatchWrite::TakeBack(size_t written) noexcept {
  const std::vector<PendingSave>& batch = flight_.batch;
  if (written >= batch.size()) return;
  try {
    RunLog& log = target_.marker->log();
    const uint32_t file = log.FileNumber(target_.file.path());
    for (size_t i = written; i < batch.size(); ++i) {
      const PendingSave& p = batch[i];
      if (p.original == p.record) continue;
      log.AddImage(file, target_.header.record_offset(p.recno), p.record, p.original);
    }
    log.Commit();
  } catch (const Error&) {
    // The log takes nothing more: a recovery writes those records as the
    // batch meant them only where they hold nothing but its bytes.
  }
}

// Step 3: the records, runs of consecutive records in one write each, then
// the header's date.
void BatchWrite::WriteRecords() {
  const std::vector<PendingSave>& batch = flight_.batch;
  const size_t length = target_.header.record_length;
  std::string run;
  try {
    for (size_t i = 0; i < batch.size();) {
      size_t j = i + 1;
      while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
      if (j - i == 1) {
        target_.file.WriteAt(target_.header.record_offset(batch[i].recno), batch[i].record.data(), length);
      } else {
        run.clear();
        for (size_t k = i; k < j; ++k) run += batch[k].record;
        target_.file.WriteAt(target_.header.record_offset(batch[i].recno), run.data(), run.size());
      }
      written_ = j;
      i = j;
    }
    if (written_ > 0) WriteHeaderDate();
  } catch (const Error& e) {
    Fail(e, written_);
  }
}

// Step 4, then the record locks go. A table with a repair marker is flushed
// once, when it is closed, before the marker goes (until then the run log
// holds what a crash would lose): the records' writeback starts now, so
// that the flush then waits for little.
void BatchWrite::WritePages() {
  try {
    if (target_.maintainer) target_.maintainer->WritePages(flight_.pages);
  } catch (...) {
    flight_.locks = {};
    throw;
  }
  flight_.locks = {};
  if (target_.marker && written_ > 0) {
    const std::vector<PendingSave>& batch = flight_.batch;
    const uint64_t first = target_.header.record_offset(batch.front().recno);
    target_.file.StartSync(
        first, target_.header.record_offset(batch.back().recno) + target_.header.record_length - first);
  }
}

void BatchWrite::WriteHeaderDate() {
  TableHeader& header = target_.header;
  const std::tm local = LocalTime(std::time(nullptr));
  const unsigned char date[3] = {static_cast<unsigned char>(local.tm_year % 100),
                                 static_cast<unsigned char>(local.tm_mon + 1),
                                 static_cast<unsigned char>(local.tm_mday)};
  if (date[0] == header.last_update_year && date[1] == header.last_update_month &&
      date[2] == header.last_update_day) {
    return;
  }
  target_.file.WriteAt(1, date, sizeof date);
  header.last_update_year = date[0];
  header.last_update_month = date[1];
  header.last_update_day = date[2];
}

}  // namespace fox
