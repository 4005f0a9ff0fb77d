// The write-ahead file a Quillon program keeps beside a table while it
// changes it: "<table file>.quillon-ahead-<token>", one per program.
//
// Consecutive records of a batch go out in one write, and a program killed
// inside it (or a system that stops with part of it on disk) leaves records
// part old, part new, even within a field. So before a batch's records are
// written in place, the part of each record that changes (from its first
// changed byte to its last), as it is on disk and as it is to be written,
// goes to this file, the batch as one block, made durable. The next
// program that opens the table after a stop finds the file (see
// RepairMarker) and writes every record of it wholly new when the record
// still holds nothing but those two images' bytes (Table::RepairInterruptedRun).
// A block ends with a checksum: a block cut short is not used, and none of
// its records was written in place, since that follows the block's flush.
//
// The file is made when the program starts changing the table (with the
// marker) and removed once its writes are durable and it is done: a file
// left belongs to a program that stopped before it finished.
//
// Format (little-endian): "QUILLWA1", then blocks: "BLK1", the image count
// (u32), for each image its offset in the table file (u64), its length (u32)
// and its two images (before, after), then Hash64 of the block so far (u64).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "data/file/disk_file.h"

namespace fox {

class WriteAheadFile {
 public:
  // One range of the table file: its bytes before and after the write.
  struct Image {
    uint64_t offset = 0;
    std::string before;
    std::string after;
  };

  // What every write-ahead file of the table at `table_path` starts with.
  static std::string Prefix(const std::string& table_path) { return table_path + ".quillon-ahead-"; }
  // The write-ahead files beside the table at `table_path`, sorted.
  static std::vector<std::string> Find(const std::string& table_path);
  // The images of the file's whole blocks, in the order written; what
  // follows the first block that is cut short or damaged is not read.
  // Throws Error(kIo) when the file cannot be read.
  static std::vector<Image> Read(const std::string& path);

  // Makes a new, empty write-ahead file for the table, durably (its folder
  // entry included). Throws Error(kIo).
  explicit WriteAheadFile(const std::string& table_path);
  // Closes the file and leaves it: Remove deletes it.
  ~WriteAheadFile();
  WriteAheadFile(const WriteAheadFile&) = delete;
  WriteAheadFile& operator=(const WriteAheadFile&) = delete;

  const std::string& path() const { return path_; }
  // The bytes in the file.
  uint64_t size() const { return end_; }

  // Gathers a block: Begin, one Add for each range (its two images of one
  // length), then Write appends it and Sync makes it durable. Write and Sync throw
  // Error(kIo); after a failure, TakeBack.
  void Begin();
  void Add(uint64_t offset, std::string_view before, std::string_view after);
  void Write();
  void Sync();
  // Cuts the last block written off again: its ranges will not be written.
  // Throws Error(kIo).
  void TakeBack();
  // Empties the file: the table's writes of every block in it are durable.
  // Throws Error(kIo).
  void Clear();
  // Deletes the file, durably. Throws Error(kIo), the file left.
  void Remove();

 private:
  std::string path_;
  std::unique_ptr<DiskFile> file_;
  std::string block_;
  uint32_t count_ = 0;
  uint64_t end_ = 0;
  uint64_t block_start_ = 0;
};

}  // namespace fox
