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
  if (ahead_written_ && written == 0) {
    // None of the batch is written: its records must not be put back by
    // a repair either.
    try {
      target_.marker->ahead().TakeBack();
    } catch (const Error&) {
      // Left, a block whose records are still as it says before: a repair
      // writes them only where the record holds nothing else.
    }
  }
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

// Step 3's first part: the change log and the undo journal hold the batch
// (a repair may write its records: only changes they tell of), and then the
// write-ahead file, so that a crash inside the records' write leaves no
// record part written.
void BatchWrite::WriteAhead() {
  const std::vector<PendingSave>& batch = flight_.batch;
  if (target_.before_write && !batch.empty() && !target_.before_write(records_)) {
    Fail(Error(ErrorKind::kIo, "the change log or the undo journal could not be written first"), 0);
  }
  if (!target_.marker || !target_.marker->entered() || batch.empty()) return;
  const size_t length = target_.header.record_length;
  try {
    WriteAheadFile& ahead = target_.marker->ahead();
    if (ahead.size() >= kAheadLimit) {
      // The blocks before are written in place: once those writes are
      // durable the file starts again, so that it stays small.
      target_.file.Sync();
      ahead.Clear();
    }
    ahead.Begin();
    for (const PendingSave& p : batch) {
      // The bytes outside a record's changed part are written as they are:
      // a cut-short write leaves them so.
      size_t first = 0, end = length;
      while (first < length && p.original[first] == p.record[first]) ++first;
      while (end > first && p.original[end - 1] == p.record[end - 1]) --end;
      if (first == end) continue;
      const std::string_view before(p.original), after(p.record);
      ahead.Add(target_.header.record_offset(p.recno) + first, before.substr(first, end - first),
                after.substr(first, end - first));
    }
    ahead_written_ = true;
    ahead.Write();
    ahead.Sync();
  } catch (const Error& e) {
    Fail(e, 0);
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
// once, when it is closed, before the marker goes: the records' writeback
// starts now, so that the flush then waits for little.
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
