// The pages of a compound index tree, decoded and encoded.
//
// Every page starts with attributes (u16: 1 root, 2 leaf, other bits kept
// as found), a key count and the left and right sibling offsets. Interior
// pages then hold full keys, each followed by a big-endian record number and
// child offset: the greatest (key, record) of that child's subtree. Leaf
// pages hold a header of masks and bit widths, fixed-width entries packing a
// record number, a duplicate count (bytes shared with the previous key) and
// a trailing count (pad bytes left off the end), and the remaining key bytes
// stacked from the end of the page backwards.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "data/index/compound_index.h"

namespace fox {

constexpr uint32_t kIndexPageSize = 512;
constexpr uint32_t kNoIndexPage = 0xFFFFFFFF;

struct IndexNode {
  static constexpr uint16_t kRoot = 0x01;
  static constexpr uint16_t kLeaf = 0x02;

  uint16_t attributes = 0;
  uint32_t left = kNoIndexPage;
  uint32_t right = kNoIndexPage;
  std::vector<IndexEntry> entries;  // keys at full length, in (key, record) order
  std::vector<uint32_t> children;   // interior pages: the child page of each entry

  bool leaf() const { return attributes & kLeaf; }
  bool root() const { return attributes & kRoot; }
};

// Decodes a 512-byte page whose keys are `key_length` long and padded with
// `pad`. Returns "" or what is wrong with the page ("has invalid entry
// widths", ...).
std::string DecodeIndexNode(const std::string& page, uint16_t key_length, char pad, IndexNode* node);

// Encodes a node into 512 bytes. Leaf widths follow Visual FoxPro: duplicate
// and trailing counts get as many bits as the key length needs, and entries
// the fewest bytes whose record-number bits hold the page's largest record
// number. Returns false, leaving `page` unspecified, when the entries do not
// fit the page.
bool EncodeIndexNode(const IndexNode& node, uint16_t key_length, char pad, std::string* page);

// Whether EncodeIndexNode would succeed, worked out without encoding.
bool IndexNodeFits(const IndexNode& node, uint16_t key_length, char pad);

// The same for a leaf that, since it was encoded as `before`, had entries
// removed and at most one inserted. When the free space `before` records
// leaves room for the worst case (the new key stored whole, and the key
// after it sharing nothing any more), this is answered without going
// through the keys; otherwise as IndexNodeFits.
bool LeafFitsAfterInsert(const IndexNode& node, const char* before, uint16_t key_length, char pad);

// A leaf page edited in its encoded bytes, one entry at a time, without
// decoding its other keys: a save changes one or two entries of a page of
// dozens, and decoding and encoding the whole page for that costs more than
// all the rest of the change.
//
// Only pages whose header is the one EncodeIndexNode would write for their
// entries are edited (Editable): the same count widths and masks, the
// fewest entry bytes for their largest record number, the free space their
// entries leave. An edit keeps the header so; the entries it writes share
// bytes with their neighbours and leave off pad bytes as EncodeIndexNode
// does, and the others keep their counts as stored. Erase and Insert do
// nothing and return false when the result needs more than an edit (entries
// of another width, or more bytes than the page holds): the caller then
// decodes the page and encodes it whole.
class LeafEditor {
 public:
  // The place of an entry in the page, and its neighbours, as Find saw them.
  struct Position {
    size_t index = 0;    // of the first entry not ordered before the target
    bool equal = false;  // that entry is the target
    // The entry before `index`, when there is one: its record, its count of
    // pad bytes left off, and the bytes its key shares with the target.
    uint32_t before_recno = 0;
    size_t before_trail = 0;
    size_t before_shared = 0;
    // The entry at `index`, when there is one.
    std::string at_key;
    uint32_t at_recno = 0;
    size_t at_trail = 0;
    size_t at_stored = 0;
    size_t top = kIndexPageSize;  // where the stored bytes of entry `index` end
  };

  // Whether the 512 bytes at `page` are a leaf that can be edited in place
  // (see above). Reads the entry table only, not the key bytes.
  static bool Editable(const char* page, uint16_t key_length);

  // The 512 bytes at `page` must be Editable; they are changed in place.
  LeafEditor(char* page, uint16_t key_length, char pad);

  size_t count() const;
  // Where `target` (its key at full length) is or belongs. Keys are compared
  // from the bytes they share with the one before on, and only when those
  // do not already order them before the target.
  Position Find(const IndexEntry& target) const;
  // The entry before the one at `at`, rebuilt.
  IndexEntry Before(const Position& at) const;
  // Removes the entry Find found equal. The page keeps at least one entry.
  bool Erase(const Position& at);
  // Inserts the entry Find was asked about, where it placed it (not equal).
  bool Insert(const Position& at, const IndexEntry& entry);
  // Moves entries `first` and after to the 512 bytes at `right`, a new page
  // with the same attributes and sibling links (for the caller to set), and
  // sets the greatest entries the two pages then hold.
  bool Split(size_t first, char* right, IndexEntry* left_last, IndexEntry* right_last);

 private:
  char* page_;
  uint16_t key_length_;
  char pad_;
};

// The most entries an interior page holds.
size_t InteriorCapacity(uint16_t key_length);

// An interior page read and changed in its encoded bytes, whose entries are
// stored whole and need no decoding.
class InteriorEditor {
 public:
  // Whether the 512 bytes at `page` are an interior page holding between
  // one entry and as many as fit.
  static bool Editable(const char* page, uint16_t key_length);

  InteriorEditor(char* page, uint16_t key_length) : page_(page), key_length_(key_length) {}

  size_t count() const;
  // The entry leading towards `target`: the first not ordered before it, or
  // the last.
  size_t Slot(const IndexEntry& target) const;
  uint32_t Child(size_t slot) const;
  // Makes `entry` (key at full length) the separator of entry `slot`.
  void SetEntry(size_t slot, const IndexEntry& entry);
  // Inserts an entry (key at full length) leading to `child` before entry
  // `slot`; false, changing nothing, when the page is full.
  bool Insert(size_t slot, const IndexEntry& entry, uint32_t child);

 private:
  char* page_;
  uint16_t key_length_;
};

}  // namespace fox
