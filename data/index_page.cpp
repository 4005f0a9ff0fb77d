#include "data/index_page.h"

#include <algorithm>
#include <cstring>

#include "data/byte_order.h"

namespace fox {
namespace {

constexpr size_t kLeafEntriesAt = 24;
constexpr size_t kLeafSpace = kIndexPageSize - kLeafEntriesAt;  // 488
constexpr size_t kInteriorEntriesAt = 12;

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

uint64_t ShiftRight(uint64_t v, unsigned bits) { return bits >= 64 ? 0 : v >> bits; }

unsigned BitLength(uint64_t v) {
  unsigned n = 0;
  for (; v; v >>= 1) ++n;
  return n;
}

// The run of pad bytes at the end of a key, and the bytes two keys share
// at their start, compared eight bytes at a time: a save works these out
// for every key of the pages it changes.
size_t TrailingPad(const std::string& key, char pad) {
  const char* p = key.data();
  size_t end = key.size();
  uint64_t pads;
  std::memset(&pads, pad, sizeof pads);
  while (end >= 8) {
    uint64_t word;
    std::memcpy(&word, p + end - 8, 8);
    if (word != pads) break;
    end -= 8;
  }
  while (end > 0 && p[end - 1] == pad) --end;
  return key.size() - end;
}

size_t CommonPrefix(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i + 8 <= n) {
    uint64_t x, y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) break;
    i += 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

std::string DecodeLeaf(const std::string& page, uint16_t key_length, char pad, IndexNode* node) {
  const unsigned char* b = Bytes(page);
  const uint16_t count = LoadLE16(b + 2);
  if (count == 0) return "";
  const uint32_t record_mask = LoadLE32(b + 14);
  const uint8_t dup_mask = b[18], trail_mask = b[19];
  const unsigned record_bits = b[20], dup_bits = b[21], trail_bits = b[22], entry_size = b[23];
  if (entry_size == 0 || entry_size > 8 || record_bits + dup_bits + trail_bits > 8u * entry_size)
    return "has invalid entry widths";
  const size_t entries_end = kLeafEntriesAt + size_t{count} * entry_size;
  if (entries_end > kIndexPageSize) return "claims " + std::to_string(count) + " keys, more than fit";

  size_t key_bytes_at = kIndexPageSize;
  const std::string* previous = nullptr;
  node->entries.reserve(count);
  for (size_t j = 0; j < count; ++j) {
    uint64_t e = 0;
    for (unsigned k = 0; k < entry_size; ++k) e |= uint64_t{b[kLeafEntriesAt + j * entry_size + k]} << (8 * k);
    const uint32_t recno = static_cast<uint32_t>(e & record_mask);
    const size_t dup = ShiftRight(e, record_bits) & dup_mask;
    const size_t trailing = ShiftRight(e, record_bits + dup_bits) & trail_mask;
    if (dup + trailing > key_length || (j == 0 && dup != 0))
      return "has an invalid compressed key (entry " + std::to_string(j + 1) + ")";
    if (recno == 0) return "holds record number 0 (entry " + std::to_string(j + 1) + ")";
    const size_t stored = key_length - dup - trailing;
    if (key_bytes_at < entries_end + stored)
      return "has more key bytes than fit (entry " + std::to_string(j + 1) + ")";
    key_bytes_at -= stored;
    IndexEntry entry;
    entry.key.reserve(key_length);
    if (previous) entry.key.append(*previous, 0, dup);
    entry.key.append(page, key_bytes_at, stored);
    entry.key.append(trailing, pad);
    entry.recno = recno;
    node->entries.push_back(std::move(entry));
    previous = &node->entries.back().key;
  }
  return "";
}

std::string DecodeInterior(const std::string& page, uint16_t key_length, IndexNode* node) {
  const unsigned char* b = Bytes(page);
  const uint16_t count = LoadLE16(b + 2);
  if (count == 0 || count > InteriorCapacity(key_length)) return "claims " + std::to_string(count) + " keys";
  for (size_t i = 0; i < count; ++i) {
    const size_t at = kInteriorEntriesAt + i * (key_length + 8);
    IndexEntry entry;
    entry.key.assign(page, at, key_length);
    entry.recno = LoadBE32(b + at + key_length);
    node->entries.push_back(std::move(entry));
    node->children.push_back(LoadBE32(b + at + key_length + 4));
  }
  return "";
}

// How a leaf's entries are packed: the widths, and for each entry the bytes
// shared with the previous key and the pad bytes left off its end.
struct LeafLayout {
  unsigned count_bits = 0;
  unsigned entry_size = 0;
  unsigned record_bits = 0;
  size_t used = 0;  // of the 488 bytes for entries and key bytes
  std::vector<std::pair<size_t, size_t>> dup_trail;
};

// Returns false as soon as the entries overflow the page.
bool Layout(const IndexNode& node, uint16_t key_length, char pad, LeafLayout* layout, bool keep_counts) {
  layout->count_bits = BitLength(key_length);
  uint32_t largest = 0;
  for (const IndexEntry& e : node.entries) largest = std::max(largest, e.recno);
  const unsigned record_bits_needed = std::max(1u, BitLength(largest));
  layout->entry_size = (record_bits_needed + 2 * layout->count_bits + 7) / 8;
  layout->record_bits = 8 * layout->entry_size - 2 * layout->count_bits;
  layout->used = 0;
  size_t previous_trail = 0;
  for (size_t j = 0; j < node.entries.size(); ++j) {
    const std::string& key = node.entries[j].key;
    const size_t trail = TrailingPad(key, pad);
    size_t dup = 0;
    if (j > 0) {
      // A shared prefix never reaches into the padding of either key.
      dup = std::min(CommonPrefix(key, node.entries[j - 1].key), key_length - std::max(trail, previous_trail));
    }
    layout->used += layout->entry_size + (key_length - dup - trail);
    if (layout->used > kLeafSpace) return false;
    if (keep_counts) layout->dup_trail.emplace_back(dup, trail);
    previous_trail = trail;
  }
  return true;
}

bool EncodeLeaf(const IndexNode& node, uint16_t key_length, char pad, std::string* page) {
  LeafLayout layout;
  if (!Layout(node, key_length, pad, &layout, true)) return false;
  unsigned char* b = reinterpret_cast<unsigned char*>(page->data());
  size_t key_bytes_at = kIndexPageSize;
  for (size_t j = 0; j < node.entries.size(); ++j) {
    const auto [dup, trail] = layout.dup_trail[j];
    const size_t stored = key_length - dup - trail;
    key_bytes_at -= stored;
    std::memcpy(b + key_bytes_at, node.entries[j].key.data() + dup, stored);
    const uint64_t e = uint64_t{node.entries[j].recno} | (uint64_t{dup} << layout.record_bits) |
                       (uint64_t{trail} << (layout.record_bits + layout.count_bits));
    for (unsigned k = 0; k < layout.entry_size; ++k)
      b[kLeafEntriesAt + j * layout.entry_size + k] = static_cast<unsigned char>(e >> (8 * k));
  }
  StoreLE16(b + 12, static_cast<uint16_t>(kLeafSpace - layout.used));
  StoreLE32(b + 14, layout.record_bits >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << layout.record_bits) - 1);
  b[18] = b[19] = static_cast<unsigned char>((1u << layout.count_bits) - 1);
  b[20] = static_cast<unsigned char>(layout.record_bits);
  b[21] = b[22] = static_cast<unsigned char>(layout.count_bits);
  b[23] = static_cast<unsigned char>(layout.entry_size);
  return true;
}

}  // namespace

size_t InteriorCapacity(uint16_t key_length) { return 500 / (key_length + 8u); }

bool IndexNodeFits(const IndexNode& node, uint16_t key_length, char pad) {
  if (!node.leaf()) return node.entries.size() <= InteriorCapacity(key_length);
  LeafLayout layout;
  return Layout(node, key_length, pad, &layout, false);
}

std::string DecodeIndexNode(const std::string& page, uint16_t key_length, char pad, IndexNode* node) {
  if (page.size() != kIndexPageSize) return "is cut short";
  const unsigned char* b = Bytes(page);
  node->attributes = LoadLE16(b);
  node->left = LoadLE32(b + 4);
  node->right = LoadLE32(b + 8);
  node->entries.clear();
  node->children.clear();
  return node->leaf() ? DecodeLeaf(page, key_length, pad, node) : DecodeInterior(page, key_length, node);
}

bool EncodeIndexNode(const IndexNode& node, uint16_t key_length, char pad, std::string* page) {
  page->assign(kIndexPageSize, '\0');
  unsigned char* b = reinterpret_cast<unsigned char*>(page->data());
  StoreLE16(b, node.attributes);
  StoreLE16(b + 2, static_cast<uint16_t>(node.entries.size()));
  StoreLE32(b + 4, node.left);
  StoreLE32(b + 8, node.right);
  if (node.leaf()) return EncodeLeaf(node, key_length, pad, page);
  if (node.entries.size() > InteriorCapacity(key_length) || node.children.size() != node.entries.size())
    return false;
  for (size_t i = 0; i < node.entries.size(); ++i) {
    const size_t at = kInteriorEntriesAt + i * (key_length + 8);
    std::copy(node.entries[i].key.begin(), node.entries[i].key.end(), page->begin() + static_cast<std::ptrdiff_t>(at));
    StoreBE32(b + at + key_length, node.entries[i].recno);
    StoreBE32(b + at + key_length + 4, node.children[i]);
  }
  return true;
}

}  // namespace fox
