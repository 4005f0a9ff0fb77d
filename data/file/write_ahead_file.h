// The write-ahead file a Quillon program keeps beside a table while it
// changes it: "<table file>.quillon-ahead-<token>", one per program.
//
// Before a batch's records are written in place, the changed part of each
// record (from its first changed byte to its last), as it is on disk and as
// it is to be written, goes to a run log (RunLog) with the batch's commit,
// made durable. The write-ahead file says where that log is: it is either a
// link to the run's log, which every table of the run shares (the file
// holds "QUILLWA2" and the log's path), or, for a table opened without one,
// a run log of its own. The next program that opens the table after a stop
// finds the file (see RepairMarker) and puts every record of the log back
// as the run committed it (Table::RepairInterruptedRun). Files of the block
// format that earlier versions wrote ("QUILLWA1", then blocks: "BLK1", the
// image count (u32), for each image its offset in the table file (u64), its
// length (u32) and its two images, then Hash64 of the block) are still read.
//
// The file is made when the program starts changing the table (with the
// marker) and removed once its writes are durable and it is done: a file
// left belongs to a program that stopped before it finished.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/file/disk_file.h"

namespace fox {

class WriteAheadFile {
 public:
  // One range of the table file: its bytes before and after the write, and
  // whether the run committed it (an image of a unit whose commit entry was
  // never made is taken back).
  struct Image {
    uint64_t offset = 0;
    std::string before;
    std::string after;
    bool committed = true;
  };

  // What every write-ahead file of the table at `table_path` starts with.
  static std::string Prefix(const std::string& table_path) { return table_path + ".quillon-ahead-"; }
  // The write-ahead files beside the table at `table_path`, sorted.
  static std::vector<std::string> Find(const std::string& table_path);

  // What the write-ahead file at `path` holds for the table file at
  // `table_path`: the images, in the order written (what follows an entry
  // or block cut short or damaged is not read); with a run log, its path
  // and the other table files it names. Throws Error(kIo) when a file
  // cannot be read.
  struct Left {
    std::vector<Image> images;
    std::string run_log;                    // "" for a file of the block format
    bool journal = false;                   // the run log is kept as the run's undo journal
    std::vector<std::string> other_tables;  // of the run log, this one left out
  };
  static Left Read(const std::string& path, const std::string& table_path);

  // Makes a new write-ahead file beside the table at `table_path` that links
  // to the run log at `run_log`, durably; returns its path. Throws
  // Error(kIo).
  static std::string MakeLink(const std::string& table_path, const std::string& run_log);
  // A new name for a write-ahead file beside the table at `table_path`
  // that is a run log of its own; `make(path)` makes it and returns false
  // when the name is taken. Throws Error(kIo) when no name can be had.
  static std::string MakeOwn(const std::string& table_path,
                             const std::function<bool(const std::string&)>& make);
};

}  // namespace fox
