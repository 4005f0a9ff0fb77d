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
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "data/file/disk_file.h"

namespace fox {

struct IndexTag {
  std::string name;  // upper case, as in the tag directory
  uint32_t header_offset = 0;
  uint32_t root_page = 0;
  uint16_t key_length = 0;
  uint8_t options = 0;
  uint8_t signature = 0;  // 1 machine, 2 collated, 5 binary (bitmap)
  std::string collation;  // "" for MACHINE
  bool descending = false;
  std::string key_expression;
  std::string filter_expression;  // "" when the tag has no FOR clause

  // Type of the key expression's value as far as it can be told from the
  // expression and the table's field types: 'C' character, 'N' number (N, F,
  // B, Y), 'I' integer, 'D' date, 'T' datetime, 'L' logical, 'Q' varbinary;
  // '?' when unknown (a field whose type was not given).
  char key_type = '?';
  // The byte that fills a key up to key_length (leaf pages store keys without
  // it): blank for character keys of MACHINE tags, and for keys of unknown
  // type; zero for other types and for collated (signature 2) tags.
  uint8_t pad_byte = 0x20;

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
  // Field types of the table ('C', 'N', 'I', ...) by field name, upper or
  // lower case; for database tables the long names too. They tell character
  // keys (padded with blanks) from the others (padded with zeros).
  using FieldTypes = std::map<std::string, char>;

  // Opens the index at `path` and reads its tag directory and tag headers.
  // `table` names the table in messages. Throws Error(kNotFound) when the
  // file is missing, Error(kReadOnly) when it cannot be opened for writing
  // and Error(kCorrupt) for a truncated or malformed file. Tags are listed
  // in creation order (by header offset).
  CompoundIndex(const std::string& path, const std::string& table, const FieldTypes& field_types = {},
                DiskFile::Mode mode = DiskFile::Mode::kReadOnly);

  const std::string& path() const { return path_; }
  const std::string& table() const { return table_; }
  // The open file, for the code that changes the index.
  DiskFile& file() { return *file_; }
  const std::vector<IndexTag>& tags() const { return tags_; }

  // Every entry of a tag in stored order (walks the leaf level from the
  // leftmost leaf along the right-sibling links), keys padded to the key
  // length with the tag's pad byte. Throws Error(kCorrupt) for pages outside
  // the file, loops, impossible counts or widths, and (when the key type is
  // known) keys out of (key bytes, record number) order; Error(kUnsupported)
  // for binary (signature 5) tags, whose leaves are bitmaps.
  std::vector<IndexEntry> ReadEntries(const IndexTag& tag) const;

 private:
  IndexTag ReadTagHeader(const std::string& name, uint32_t offset, const FieldTypes& field_types) const;
  std::vector<IndexEntry> ReadLeafChain(uint32_t root, uint16_t key_length, char trail,
                                        const std::string& what, bool check_order) const;
  void DecodeLeaf(const std::string& page, uint32_t offset, uint16_t key_length, char trail,
                  const std::string& what, std::vector<IndexEntry>* out) const;
  std::string ReadPage(uint32_t offset, const std::string& what) const;
  void CheckPageOffset(uint32_t offset, const std::string& what) const;
  [[noreturn]] void Corrupt(const std::string& what) const;

  std::string path_;
  std::string table_;
  std::unique_ptr<DiskFile> file_;
  mutable uint64_t size_ = 0;  // read again before each walk: the file grows
  std::vector<IndexTag> tags_;
};

// The value type of an index expression (see IndexTag::key_type).
char KeyTypeOfExpression(const std::string& expression, const CompoundIndex::FieldTypes& field_types);

// The names an index expression refers to that are not function names, in
// lower case: "UPPER(lastname)+STR(cust.id)" gives {"lastname", "id"}.
// Names inside string literals are ignored.
std::set<std::string> NamesInExpression(const std::string& expression);

// True when an expression calls a function that is not one of FoxPro's own
// (a user-defined function, or EVALUATE() and the like), which may read any
// field, not only those it names.
bool MayReadUnnamedFields(const std::string& expression);

}  // namespace fox
