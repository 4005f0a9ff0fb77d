#include "data/table/left_records.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "data/file/repair_marker.h"
#include "data/file/utf8_path.h"
#include "data/file/write_ahead_file.h"
#include "data/util/error.h"

namespace fox {

namespace {

using Image = WriteAheadFile::Image;

uint64_t RecordLockOffset(uint32_t recno) { return 0x7FFFFFFEull - recno; }

// The bytes record `recno` is to hold in [lo, hi) of the file, worked out
// from its images (in the order written) and the bytes `on_disk` there;
// false when a byte holds something none of its images had.
bool Target(const std::vector<const Image*>& images, uint64_t lo, const std::string& on_disk,
            std::string* target) {
  *target = on_disk;
  std::vector<char> settled(on_disk.size(), 0);  // a committed image covers it
  std::vector<char> covered(on_disk.size(), 0);
  for (const Image* image : images) {
    const size_t from = static_cast<size_t>(image->offset - lo);
    for (size_t i = 0; i < image->after.size(); ++i) {
      const size_t p = from + i;
      if (image->committed) {
        (*target)[p] = image->after[i];
        settled[p] = 1;
      } else if (!settled[p] && !covered[p]) {
        (*target)[p] = image->before[i];
      }
      covered[p] = 1;
    }
  }
  for (size_t p = 0; p < on_disk.size(); ++p) {
    if (!covered[p]) continue;
    const uint64_t at = lo + p;
    bool ours = false;
    for (const Image* image : images) {
      if (at < image->offset || at >= image->offset + image->after.size()) continue;
      const size_t i = static_cast<size_t>(at - image->offset);
      if (on_disk[p] == image->before[i] || on_disk[p] == image->after[i]) {
        ours = true;
        break;
      }
    }
    if (!ours) return false;
  }
  return true;
}

}  // namespace

LeftRecords PutBackLeftRecords(DiskFile& file, const TableHeader& header, const std::string& name,
                               const std::vector<std::string>& ahead) {
  LeftRecords done;
  const uint64_t length = header.record_length;
  std::vector<Image> images;
  for (const std::string& path : ahead) {
    WriteAheadFile::Left left = WriteAheadFile::Read(path, file.path());
    if (!left.run_log.empty() && left.run_log != path) {
      done.logs.push_back({left.run_log, left.journal, std::move(left.other_tables)});
    }
    images.insert(images.end(), std::make_move_iterator(left.images.begin()),
                  std::make_move_iterator(left.images.end()));
  }
  // The images of each record, in the order written.
  std::map<uint32_t, std::vector<const Image*>> by_record;
  for (const Image& image : images) {
    if (image.offset < header.header_length || image.after.empty() || length == 0) continue;
    const uint64_t at = (image.offset - header.header_length) % length;
    if (at + image.after.size() > length) continue;
    by_record[static_cast<uint32_t>((image.offset - header.header_length) / length + 1)].push_back(&image);
  }
  std::vector<uint32_t> left;
  std::string on_disk, target;
  for (const auto& [recno, record_images] : by_record) {
    uint64_t lo = UINT64_MAX, hi = 0;
    for (const Image* image : record_images) {
      lo = std::min(lo, image->offset);
      hi = std::max(hi, image->offset + image->after.size());
    }
    const RangeLock lock(file, RecordLockOffset(recno), 1,
                         "another program has locked record " + std::to_string(recno) + " of table '" + name +
                             "', which that run was writing");
    on_disk.resize(static_cast<size_t>(hi - lo));
    if (file.ReadAt(lo, on_disk.data(), on_disk.size()) != on_disk.size()) continue;
    if (!Target(record_images, lo, on_disk, &target)) {
      left.push_back(recno);
      continue;
    }
    if (target == on_disk) continue;
    file.WriteAt(lo, target.data(), target.size());
    ++done.written;
  }
  for (uint32_t recno : left) {
    if (done.left < 5) done.left_records += (done.left == 0 ? "" : ", ") + std::to_string(recno);
    ++done.left;
  }
  if (done.left > 5) done.left_records += " and " + std::to_string(done.left - 5) + " more";
  if (done.written > 0) file.Sync();
  return done;
}

std::string PutBackOthers(const LeftRecords& left) {
  std::string told;
  for (const LeftRecords::Log& run : left.logs) {
    const std::string& log = run.path;
    bool linked = false;  // a table still links to the log
    for (const std::string& table : run.tables) {
      const std::string name = Utf8FromPath(PathFromUtf8(table).stem());
      try {
        std::vector<std::string> links;
        for (const std::string& ahead : WriteAheadFile::Find(table)) {
          if (WriteAheadFile::Read(ahead, table).run_log == log) links.push_back(ahead);
        }
        if (links.empty()) continue;
        DiskFile file(table, DiskFile::Mode::kReadWrite, "table");
        RepairMarker marker(file, name);
        if (!marker.TakeLeftOver()) {  // a Quillon program changes it now
          linked = true;
          continue;
        }
        struct Let {
          RepairMarker& marker;
          ~Let() { marker.Release(); }
        } let{marker};
        const TableHeader header = TableHeader::Read(file, name);
        const LeftRecords done = PutBackLeftRecords(file, header, name, links);
        for (const std::string& link : links) DiskFile::RemoveFile(link, "write-ahead file");
        if (done.written > 0 || done.left > 0) {
          told += " The same run changed table '" + name + "': " + std::to_string(done.written) +
                  (done.written == 1 ? " record was" : " records were") + " written as it left them";
          if (done.left > 0) {
            told += ", " + std::to_string(done.left) + " changed by another program since left as " +
                    (done.left == 1 ? "it is" : "they are") + " (record " + done.left_records + ")";
          }
          told += ".";
        }
      } catch (const Error& e) {
        linked = true;
        told += " The same run changed table '" + name + "', whose records could not be put back now (" +
                e.what() + "): open it with Quillon before using it.";
      }
    }
    // A log kept only for its run's crash safety has served.
    if (!run.journal && !linked) {
      try {
        DiskFile::RemoveFile(log, "run log");
      } catch (const Error&) {
        // Left: it names no table that needs it.
      }
    }
  }
  return told;
}

}  // namespace fox
