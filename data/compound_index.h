// A compound index file (.cdx): the structural index of a table, holding one
// B+tree per tag.
//
// Layout: 512-byte pages addressed by byte offset. The 1024-byte bag header at
// offset 0 points to the tag directory, a tree whose keys are tag names and
// whose record numbers are the offsets of each tag's 1024-byte header. A tag
// header holds the root page, key length, options, collation, and the key and
// FOR expressions. Interior pages hold full keys with big-endian record and
// child pointers; leaf pages hold compressed keys (duplicate and trailing
// counts) packed with record numbers into fixed-width entries.
#pragma once

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "data/disk_file.h"

namespace fox {

struct IndexTag {
  std::string name;               // upper case, as in the tag directory
  uint32_t header_offset = 0;
  uint32_t root_page = 0;
  uint16_t key_length = 0;
  uint8_t options = 0;
  uint8_t signature = 0;          // 1 machine, 2 collated, 5 binary (bitmap)
  std::string collation;          // "" for MACHINE
  bool descending = false;
  std::string key_expression;
  std::string filter_expression;  // "" when the tag has no FOR clause

  static constexpr uint8_t kUnique = 0x01;
  static constexpr uint8_t kNullableKey = 0x02;
  static constexpr uint8_t kCandidate = 0x04;
  static constexpr uint8_t kHasFilter = 0x08;
};

// One key of a tag's leaf level: the key bytes at full key length and the
// record number they belong to.
struct IndexEntry {
  std::string key;
  uint32_t recno = 0;
};

class CompoundIndex {
 public:
  // Opens the index at `path` and reads its tag directory and tag headers.
  // `table` names the table in messages. Throws Error(kCorrupt) for a
  // truncated or malformed file.
  CompoundIndex(const std::string& path, const std::string& table);

  const std::string& path() const { return path_; }
  const std::vector<IndexTag>& tags() const { return tags_; }

  // Every entry of a tag in stored order (walks the leaf level from the
  // leftmost leaf along the right-sibling links). Throws Error(kCorrupt).
  std::vector<IndexEntry> ReadEntries(const IndexTag& tag) const;

 private:
  std::vector<IndexEntry> ReadLeafChain(uint32_t root, uint16_t key_length, char trail) const;
  std::string ReadPage(uint32_t offset) const;

  std::string path_;
  std::string table_;
  std::unique_ptr<DiskFile> file_;
  std::vector<IndexTag> tags_;
};

// The names an index expression refers to that are not function names, in
// lower case: "UPPER(lastname)+STR(cust.id)" gives {"lastname", "id"}.
// Names inside string literals are ignored.
std::set<std::string> NamesInExpression(const std::string& expression);

}  // namespace fox
