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

#include "data/compound_index.h"

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

// The most entries an interior page holds.
size_t InteriorCapacity(uint16_t key_length);

}  // namespace fox
