// The records a Quillon program was writing when it stopped, put back as its
// write-ahead files and run logs say (see WriteAheadFile, RunLog).
//
// Each record the log names gets, byte by byte, what the last committed
// image covering that byte wrote, or, where only images of a unit that was
// never committed cover it, what the first of them found: the whole unit or
// none of it. A record is written only where it holds nothing but bytes of
// its images (as the run found it, part written, or as it left it); one that
// holds anything else was changed by another program since, and is left
// and named. Each record is written under its record lock.
//
// Plain functions over an open table file; they throw Error (kIo, kLocked,
// kCorrupt) with the table unchanged past the records already put back.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "data/file/disk_file.h"
#include "data/record/table_header.h"

namespace fox {

struct LeftRecords {
  size_t written = 0;
  size_t left = 0;           // changed by another program since
  std::string left_records;  // the first few of those
  // The run logs the write-ahead files link to, with the other tables each
  // names, for PutBackOthers.
  struct Log {
    std::string path;
    bool journal = false;  // kept as the run's undo journal
    std::vector<std::string> tables;
  };
  std::vector<Log> logs;
};

// Puts back the records of the write-ahead files `ahead` left beside the
// table open in `file` (for writing) with `header`, named `name` in
// messages; the caller holds the table's writer byte exclusively (see
// RepairMarker). Flushes the table file when it wrote anything.
LeftRecords PutBackLeftRecords(DiskFile& file, const TableHeader& header, const std::string& name,
                               const std::vector<std::string>& ahead);

// The other tables of the run logs of `left`: each that still has a
// write-ahead file linking to one of those logs, and that no Quillon
// program changes now, gets its records put back too, durably, and loses
// those files; its marker stays, so that its index is checked when it is
// next opened. A log not kept as an undo journal is removed once no table
// links to it any more. Returns a sentence for each table it put records
// back in, or could not (why), for the user; never throws.
std::string PutBackOthers(const LeftRecords& left);

}  // namespace fox
