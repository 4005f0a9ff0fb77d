// The records whose entries in a tag of a table's structural index hold a
// key, looked up in the tag's pages on disk rather than in the records: a
// lookup costs a few page reads, and nothing is kept of the table's keys.
// Pages are read afresh for each lookup, so each shows what the table's
// saves wrote before it (a table's saves are written when it is flushed).
// Deleted records count, as the tag holds them.
//
// Owns a second handle on the index file, opened read-only with the first
// lookup; borrows the table, which must outlive it. Lookups throw Error
// when the file cannot be read or its pages are damaged.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "data/file/disk_file.h"
#include "data/index/index_tree.h"
#include "data/table/table.h"

namespace fox {

class TagLookup {
 public:
  explicit TagLookup(const Table& table) : table_(table) {}

  // Whether `tag`'s pages can be looked up so: a maintained kind of tag
  // (MACHINE order) of a table with a structural index.
  bool Readable(const IndexMaintainer::Tag& tag) const;
  // The records whose entries hold `stored` (the key as the tag stores it),
  // in record order.
  std::vector<uint32_t> Stored(const IndexMaintainer::Tag& tag, const std::string& stored);
  // The same for a relation key (relation_key.h): none when no key of the
  // tag's format stands for it.
  std::vector<uint32_t> Related(const IndexMaintainer::Tag& tag, std::string_view key);

 private:
  const Table& table_;
  std::unique_ptr<DiskFile> file_;
  std::unique_ptr<PageWindows> windows_;
};

}  // namespace fox
