#include "data/index/index_page.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {
namespace {

constexpr size_t kLeafEntriesAt = 24;
constexpr size_t kLeafSpace = kIndexPageSize - kLeafEntriesAt;  // 488
constexpr size_t kInteriorEntriesAt = 12;

const unsigned char* Bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
const unsigned char* Bytes(const char* p) { return reinterpret_cast<const unsigned char*>(p); }

uint64_t ShiftRight(uint64_t v, unsigned bits) { return bits >= 64 ? 0 : v >> bits; }

unsigned BitLength(uint64_t v) {
  unsigned n = 0;
  for (; v; v >>= 1) ++n;
  return n;
}

// Eight bytes of a key as a number whose lowest byte is the first one.
uint64_t Word(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, sizeof w);
  if constexpr (std::endian::native == std::endian::big) {
    uint64_t swapped = 0;
    for (int k = 0; k < 8; ++k) swapped |= ((w >> (8 * k)) & 0xFF) << (8 * (7 - k));
    w = swapped;
  }
  return w;
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
    // The last byte of the word is its highest: leading zero bits of the
    // difference count the pad bytes at its end.
    const uint64_t differ = Word(p + end - 8) ^ pads;
    if (differ != 0) return key.size() - end + static_cast<size_t>(std::countl_zero(differ)) / 8;
    end -= 8;
  }
  while (end > 0 && p[end - 1] == pad) --end;
  return key.size() - end;
}

// The first position from `from` on where the n-byte runs differ; n when
// they do not.
size_t Mismatch(const char* a, const char* b, size_t from, size_t n) {
  size_t i = from;
  for (; i + 8 <= n; i += 8) {
    const uint64_t differ = Word(a + i) ^ Word(b + i);
    if (differ != 0) return i + static_cast<size_t>(std::countr_zero(differ)) / 8;
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// The first of n positions where the runs at a and b differ; n when none.
size_t FirstDifference(const char* a, const char* b, size_t n) { return Mismatch(a, b, 0, n); }

size_t CommonPrefix(const std::string& a, const std::string& b) {
  return Mismatch(a.data(), b.data(), 0, std::min(a.size(), b.size()));
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
    for (unsigned k = 0; k < entry_size; ++k)
      e |= uint64_t{b[kLeafEntriesAt + j * entry_size + k]} << (8 * k);
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

// The bytes of one leaf entry: the fewest that hold the bits of the page's
// largest record number and two counts of `count_bits`.
unsigned EntrySizeFor(uint32_t largest, unsigned count_bits) {
  const unsigned record_bits_needed = std::max(1u, BitLength(largest));
  return (record_bits_needed + 2 * count_bits + 7) / 8;
}

unsigned LeafEntrySize(const IndexNode& node, unsigned count_bits) {
  uint32_t largest = 0;
  for (const IndexEntry& e : node.entries) largest = std::max(largest, e.recno);
  return EntrySizeFor(largest, count_bits);
}

uint32_t RecordMask(unsigned record_bits) {
  return record_bits >= 32 ? 0xFFFFFFFFu : (uint32_t{1} << record_bits) - 1;
}

// Returns false as soon as the entries overflow the page.
bool Layout(const IndexNode& node, uint16_t key_length, char pad, LeafLayout* layout, bool keep_counts) {
  layout->count_bits = BitLength(key_length);
  layout->entry_size = LeafEntrySize(node, layout->count_bits);
  layout->record_bits = 8 * layout->entry_size - 2 * layout->count_bits;
  layout->used = 0;
  if (keep_counts) layout->dup_trail.reserve(node.entries.size());
  size_t previous_trail = 0;
  for (size_t j = 0; j < node.entries.size(); ++j) {
    const std::string& key = node.entries[j].key;
    const size_t trail = TrailingPad(key, pad);
    size_t dup = 0;
    if (j > 0) {
      // A shared prefix never reaches into the padding of either key.
      dup =
          std::min(CommonPrefix(key, node.entries[j - 1].key), key_length - std::max(trail, previous_trail));
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
  StoreLE32(b + 14, RecordMask(layout.record_bits));
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

bool LeafFitsAfterInsert(const IndexNode& node, const char* before, uint16_t key_length, char pad) {
  if (node.leaf()) {
    const unsigned char* b = Bytes(before);
    const size_t count = LoadLE16(b + 2), free = LoadLE16(b + 12), entry_size = b[23];
    const size_t used = kLeafSpace - std::min(free, kLeafSpace);
    if ((LoadLE16(b) & IndexNode::kLeaf) && (count == 0 || count * entry_size <= used)) {
      // Removing an entry never makes the others need more bytes (see
      // IndexTree::Remove); an inserted one adds at most its whole key and
      // the bytes its successor shared with the key before.
      const size_t key_bytes = (count == 0 ? 0 : used - count * entry_size) + 2 * size_t{key_length};
      if (key_bytes + node.entries.size() * LeafEntrySize(node, BitLength(key_length)) <= kLeafSpace)
        return true;
    }
  }
  return IndexNodeFits(node, key_length, pad);
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
    std::copy(node.entries[i].key.begin(), node.entries[i].key.end(),
              page->begin() + static_cast<std::ptrdiff_t>(at));
    StoreBE32(b + at + key_length, node.entries[i].recno);
    StoreBE32(b + at + key_length + 4, node.children[i]);
  }
  return true;
}

// ---------------------------------------------------------------------------
// LeafEditor

namespace {

// The widths of an editable leaf (see LeafEditor::Editable).
struct LeafWidths {
  size_t count = 0;
  size_t entry_size = 0;
  unsigned record_bits = 0;
  unsigned count_bits = 0;
  uint32_t record_mask = 0;
  uint64_t count_mask = 0;
  size_t used = 0;  // of the 488 bytes for entries and key bytes

  LeafWidths(const unsigned char* b, uint16_t key_length)
      : count(LoadLE16(b + 2)),
        entry_size(b[23]),
        record_bits(b[20]),
        count_bits(BitLength(key_length)),
        record_mask(RecordMask(b[20])),
        count_mask((uint64_t{1} << BitLength(key_length)) - 1),
        used(kLeafSpace - std::min<size_t>(LoadLE16(b + 12), kLeafSpace)) {}

  uint64_t Load(const unsigned char* b, size_t j) const {
    const size_t at = kLeafEntriesAt + j * entry_size;
    if (at + 8 <= kIndexPageSize) {
      // Eight bytes at once, the ones past the entry masked off.
      const uint64_t e = Word(reinterpret_cast<const char*>(b + at));
      return entry_size == 8 ? e : e & ((uint64_t{1} << (8 * entry_size)) - 1);
    }
    uint64_t e = 0;
    for (size_t k = 0; k < entry_size; ++k) e |= uint64_t{b[at + k]} << (8 * k);
    return e;
  }
  void Store(unsigned char* b, size_t j, uint32_t recno, size_t dup, size_t trail) const {
    const uint64_t e =
        uint64_t{recno} | (uint64_t{dup} << record_bits) | (uint64_t{trail} << (record_bits + count_bits));
    unsigned char* p = b + kLeafEntriesAt + j * entry_size;
    for (size_t k = 0; k < entry_size; ++k) p[k] = static_cast<unsigned char>(e >> (8 * k));
  }
  uint32_t Recno(uint64_t e) const { return static_cast<uint32_t>(e & record_mask); }
  size_t Dup(uint64_t e) const { return static_cast<size_t>((e >> record_bits) & count_mask); }
  size_t Trail(uint64_t e) const {
    return static_cast<size_t>((e >> (record_bits + count_bits)) & count_mask);
  }
  // The lowest byte of the stored key bytes.
  size_t KeyStart() const { return kIndexPageSize - (used - count * entry_size); }
};

// The bytes a key shares with the one before it in a leaf, as
// EncodeIndexNode counts them: never reaching into the padding of either.
size_t SharedBytes(const std::string& key, size_t trail, const std::string& before, size_t before_trail,
                   uint16_t key_length) {
  return std::min(CommonPrefix(key, before), key_length - std::max(trail, before_trail));
}

}  // namespace

bool LeafEditor::Editable(const char* page, uint16_t key_length) {
  const unsigned char* b = Bytes(page);
  if (!(LoadLE16(b) & IndexNode::kLeaf)) return false;
  const LeafWidths w(b, key_length);
  const unsigned count_bits = w.count_bits;
  if (w.count == 0 || w.entry_size == 0 || w.entry_size > 8 || b[21] != count_bits || b[22] != count_bits ||
      w.record_bits + 2 * count_bits != 8 * w.entry_size)
    return false;
  if (LoadLE32(b + 14) != w.record_mask || b[18] != w.count_mask || b[19] != w.count_mask) return false;
  if (w.count * w.entry_size > kLeafSpace) return false;
  size_t used = w.count * w.entry_size;
  uint32_t largest = 0;
  for (size_t j = 0; j < w.count; ++j) {
    const uint64_t e = w.Load(b, j);
    const size_t dup = w.Dup(e), trail = w.Trail(e);
    if (w.Recno(e) == 0 || dup + trail > key_length || (j == 0 && dup != 0)) return false;
    used += key_length - dup - trail;
    largest = std::max(largest, w.Recno(e));
  }
  return used <= kLeafSpace && used == w.used && EntrySizeFor(largest, count_bits) == w.entry_size;
}

LeafEditor::LeafEditor(char* page, uint16_t key_length, char pad)
    : page_(page), key_length_(key_length), pad_(pad) {}

size_t LeafEditor::count() const { return LoadLE16(page_ + 2); }

LeafEditor::Position LeafEditor::Find(const IndexEntry& target) const {
  const unsigned char* b = Bytes(page_);
  const LeafWidths w(b, key_length_);
  if (target.key.size() != key_length_)
    throw Error(ErrorKind::kUsage, "a key of the wrong length was looked up");
  const char* wanted = target.key.data();
  Position at;
  size_t top = kIndexPageSize;
  // The bytes the key before shares with the target, which it is ordered
  // before. A key sharing more than that with the key before is ordered
  // before the target as well; one sharing less shares exactly its
  // duplicate bytes with the target too, and is compared from there on.
  size_t match = 0;
  size_t j = 0;
  for (; j < w.count; ++j) {
    const uint64_t e = w.Load(b, j);
    const uint32_t recno = w.Recno(e);
    const size_t dup = w.Dup(e), trail = w.Trail(e), stored = key_length_ - dup - trail;
    const char* bytes = page_ + top - stored;  // key bytes dup .. key_length - trail
    if (j == 0 || dup <= match) {
      match = dup + FirstDifference(bytes, wanted + dup, stored);
      while (match >= dup + stored && match < key_length_ && wanted[match] == pad_) ++match;
      bool found;
      if (match == key_length_) {
        found = recno >= target.recno;
      } else {
        const char have = match < dup + stored ? bytes[match - dup] : pad_;
        found = static_cast<unsigned char>(have) > static_cast<unsigned char>(wanted[match]);
      }
      if (found) {
        at.equal = match == key_length_ && recno == target.recno;
        at.at_key.assign(wanted, dup);
        at.at_key.append(bytes, stored);
        at.at_key.append(trail, pad_);
        at.at_recno = recno;
        at.at_trail = trail;
        at.at_stored = stored;
        break;
      }
    }
    at.before_recno = recno;
    at.before_trail = trail;
    at.before_shared = match;
    top -= stored;
  }
  at.index = j;
  at.top = top;
  return at;
}

IndexEntry LeafEditor::Before(const Position& at) const {
  const unsigned char* b = Bytes(page_);
  const LeafWidths w(b, key_length_);
  IndexEntry entry{std::string(key_length_, '\0'), 0};
  size_t top = kIndexPageSize;
  for (size_t j = 0; j < at.index && j < w.count; ++j) {
    const uint64_t e = w.Load(b, j);
    const size_t dup = w.Dup(e), trail = w.Trail(e), stored = key_length_ - dup - trail;
    std::memcpy(entry.key.data() + dup, page_ + top - stored, stored);
    std::memset(entry.key.data() + key_length_ - trail, pad_, trail);
    entry.recno = w.Recno(e);
    top -= stored;
  }
  return entry;
}

bool LeafEditor::Erase(const Position& at) {
  unsigned char* b = reinterpret_cast<unsigned char*>(page_);
  const LeafWidths w(b, key_length_);
  const size_t i = at.index, n = w.count;
  if (!at.equal || n < 2 || i >= n) return false;
  // Fewer entries may need fewer bytes each: the page is then encoded whole.
  // They do not as soon as another entry's record number needs them.
  const size_t narrower_bytes_bits = 8 * (w.entry_size - 1);
  const size_t narrower_bits = narrower_bytes_bits - std::min<size_t>(narrower_bytes_bits, 2 * w.count_bits);
  bool keeps_width = w.entry_size == 1;
  for (size_t j = 0; j < n && !keeps_width; ++j)
    keeps_width = j != i && BitLength(w.Recno(w.Load(b, j))) > narrower_bits;
  if (!keeps_width) return false;

  // The entry after the removed one comes to follow the one before it.
  const size_t bottom = at.top - at.at_stored;  // of the removed entry's bytes
  const bool has_next = i + 1 < n;
  uint32_t next_recno = 0;
  size_t next_trail = 0, next_stored = 0, next_dup = 0, next_new_stored = 0;
  std::string next_key;
  if (has_next) {
    const uint64_t e = w.Load(b, i + 1);
    next_recno = w.Recno(e);
    const size_t dup = w.Dup(e);
    next_trail = w.Trail(e);
    next_stored = key_length_ - dup - next_trail;
    next_key.assign(at.at_key, 0, dup);
    next_key.append(page_ + bottom - next_stored, next_stored);
    next_key.append(next_trail, pad_);
    // Keys in order share with one two places on what they share with the
    // one between, where that is less.
    next_dup = i == 0 ? 0
                      : std::min(std::min(CommonPrefix(next_key, at.at_key), at.before_shared),
                                 key_length_ - std::max(next_trail, at.before_trail));
    next_new_stored = key_length_ - next_dup - next_trail;
  }
  // What the key bytes shrink by; never less than zero for pages that share
  // bytes as EncodeIndexNode does, checked all the same.
  const std::ptrdiff_t removed =
      static_cast<std::ptrdiff_t>(at.at_stored + next_stored) - static_cast<std::ptrdiff_t>(next_new_stored);
  const std::ptrdiff_t used = static_cast<std::ptrdiff_t>(w.used - w.entry_size) - removed;
  if (used > static_cast<std::ptrdiff_t>(kLeafSpace)) return false;

  const size_t key_start = w.KeyStart();
  const size_t tail_top = bottom - next_stored;  // the bytes of the entries after those two
  // The entry table first: a key area that grows downwards may take its
  // last slot.
  std::memmove(b + kLeafEntriesAt + i * w.entry_size, b + kLeafEntriesAt + (i + 1) * w.entry_size,
               (n - i - 1) * w.entry_size);
  std::memset(b + kLeafEntriesAt + (n - 1) * w.entry_size, 0, w.entry_size);
  if (has_next) w.Store(b, i, next_recno, next_dup, next_trail);
  std::memmove(b + key_start + removed, b + key_start, tail_top - key_start);
  if (has_next) std::memcpy(b + at.top - next_new_stored, next_key.data() + next_dup, next_new_stored);
  if (removed > 0) std::memset(b + key_start, 0, static_cast<size_t>(removed));
  StoreLE16(b + 2, static_cast<uint16_t>(n - 1));
  StoreLE16(b + 12, static_cast<uint16_t>(kLeafSpace - static_cast<size_t>(used)));
  return true;
}

bool LeafEditor::Insert(const Position& at, const IndexEntry& entry) {
  unsigned char* b = reinterpret_cast<unsigned char*>(page_);
  const LeafWidths w(b, key_length_);
  const size_t i = at.index, n = w.count;
  if (at.equal || i > n || entry.key.size() != key_length_ || entry.recno == 0 ||
      (w.record_bits < 32 && (entry.recno >> w.record_bits) != 0))
    return false;  // a record number that needs wider entries
  const size_t trail = TrailingPad(entry.key, pad_);
  const size_t dup = i == 0 ? 0 : std::min(at.before_shared, key_length_ - std::max(trail, at.before_trail));
  const size_t stored = key_length_ - dup - trail;
  // The entry that was at `index` comes to follow the new one.
  const bool has_at = i < n;
  size_t at_dup = 0, at_new_stored = 0;
  if (has_at) {
    at_dup = SharedBytes(at.at_key, at.at_trail, entry.key, trail, key_length_);
    at_new_stored = key_length_ - at_dup - at.at_trail;
  }
  const std::ptrdiff_t grow = static_cast<std::ptrdiff_t>(stored + at_new_stored) -
                              static_cast<std::ptrdiff_t>(has_at ? at.at_stored : 0);
  const std::ptrdiff_t used = static_cast<std::ptrdiff_t>(w.used + w.entry_size) + grow;
  if (used > static_cast<std::ptrdiff_t>(kLeafSpace)) return false;

  const size_t key_start = w.KeyStart();
  const size_t tail_top = has_at ? at.top - at.at_stored : at.top;
  // The key bytes first: they grow into the free space, the entry table
  // after them into what is left.
  std::memmove(b + key_start - grow, b + key_start, tail_top - key_start);
  std::memcpy(b + at.top - stored, entry.key.data() + dup, stored);
  if (has_at) std::memcpy(b + at.top - stored - at_new_stored, at.at_key.data() + at_dup, at_new_stored);
  if (grow < 0) std::memset(b + key_start, 0, static_cast<size_t>(-grow));
  std::memmove(b + kLeafEntriesAt + (i + 1) * w.entry_size, b + kLeafEntriesAt + i * w.entry_size,
               (n - i) * w.entry_size);
  w.Store(b, i, entry.recno, dup, trail);
  if (has_at) w.Store(b, i + 1, at.at_recno, at_dup, at.at_trail);
  StoreLE16(b + 2, static_cast<uint16_t>(n + 1));
  StoreLE16(b + 12, static_cast<uint16_t>(kLeafSpace - static_cast<size_t>(used)));
  return true;
}

bool LeafEditor::Split(size_t first, char* right, IndexEntry* left_last, IndexEntry* right_last) {
  unsigned char* b = reinterpret_cast<unsigned char*>(page_);
  const LeafWidths w(b, key_length_);
  const size_t n = w.count;
  if (first == 0 || first >= n) return false;
  // One pass over the entries: the largest record number of each part, where
  // the moved entries' bytes lie, and the keys the parts start and end with.
  std::string key(key_length_, '\0');
  uint32_t left_largest = 0, right_largest = 0;
  size_t top = kIndexPageSize, first_top = 0, first_stored = 0, first_trail = 0;
  uint32_t first_recno = 0;
  for (size_t j = 0; j < n; ++j) {
    const uint64_t e = w.Load(b, j);
    const uint32_t recno = w.Recno(e);
    const size_t dup = w.Dup(e), trail = w.Trail(e), stored = key_length_ - dup - trail;
    uint32_t& largest = j < first ? left_largest : right_largest;
    largest = std::max(largest, recno);
    std::memcpy(key.data() + dup, page_ + top - stored, stored);
    std::memset(key.data() + key_length_ - trail, pad_, trail);
    if (j + 1 == first) *left_last = {key, recno};
    if (j == first) {
      first_top = top;
      first_stored = stored;
      first_trail = trail;
      first_recno = recno;
      // The first entry of the new page shares nothing: its key is stored whole.
      std::memset(right, 0, kIndexPageSize);
      std::memcpy(right, page_, kLeafEntriesAt);
      std::memcpy(right + kIndexPageSize - (key_length_ - trail), key.data(), key_length_ - trail);
    }
    if (j + 1 == n) *right_last = {key, recno};
    top -= stored;
  }
  const size_t key_start = top;
  if (EntrySizeFor(left_largest, w.count_bits) != w.entry_size ||
      EntrySizeFor(right_largest, w.count_bits) != w.entry_size)
    return false;
  const size_t first_bytes = key_length_ - first_trail;
  const size_t rest_bytes = first_top - first_stored - key_start;  // of the entries after `first`
  const size_t right_used = (n - first) * w.entry_size + first_bytes + rest_bytes;
  if (right_used > kLeafSpace) return false;

  unsigned char* r = reinterpret_cast<unsigned char*>(right);
  w.Store(r, 0, first_recno, 0, first_trail);
  std::memcpy(r + kLeafEntriesAt + w.entry_size, b + kLeafEntriesAt + (first + 1) * w.entry_size,
              (n - first - 1) * w.entry_size);
  std::memcpy(r + kIndexPageSize - first_bytes - rest_bytes, b + key_start, rest_bytes);
  StoreLE16(r + 2, static_cast<uint16_t>(n - first));
  StoreLE16(r + 12, static_cast<uint16_t>(kLeafSpace - right_used));

  // This page keeps the entries before `first` and their bytes at its end.
  std::memset(b + key_start, 0, first_top - key_start);
  std::memset(b + kLeafEntriesAt + first * w.entry_size, 0, (n - first) * w.entry_size);
  StoreLE16(b + 2, static_cast<uint16_t>(first));
  StoreLE16(b + 12, static_cast<uint16_t>(kLeafSpace - first * w.entry_size - (kIndexPageSize - first_top)));
  return true;
}

// ---------------------------------------------------------------------------
// InteriorEditor

bool InteriorEditor::Editable(const char* page, uint16_t key_length) {
  if (LoadLE16(page) & IndexNode::kLeaf) return false;
  const size_t count = LoadLE16(page + 2);
  return count > 0 && count <= InteriorCapacity(key_length);
}

size_t InteriorEditor::count() const { return LoadLE16(page_ + 2); }

size_t InteriorEditor::Slot(const IndexEntry& target) const {
  const unsigned char* b = Bytes(page_);
  const size_t compared = std::min<size_t>(key_length_, target.key.size());
  // Whether entry `slot` is ordered before the target: as std::string::compare
  // orders the keys, then by record.
  auto before = [&](size_t slot) {
    const unsigned char* at = b + kInteriorEntriesAt + slot * (key_length_ + 8u);
    int c = std::memcmp(at, target.key.data(), compared);
    if (c == 0) c = key_length_ < target.key.size() ? -1 : key_length_ > target.key.size() ? 1 : 0;
    return c < 0 || (c == 0 && LoadBE32(at + key_length_) < target.recno);
  };
  // The first entry not before the target, or the last one.
  size_t low = 0, high = count() - 1;
  while (low < high) {
    const size_t middle = (low + high) / 2;
    if (before(middle)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return low;
}

uint32_t InteriorEditor::Child(size_t slot) const {
  return LoadBE32(Bytes(page_) + kInteriorEntriesAt + slot * (key_length_ + 8u) + key_length_ + 4);
}

void InteriorEditor::SetEntry(size_t slot, const IndexEntry& entry) {
  unsigned char* at =
      reinterpret_cast<unsigned char*>(page_) + kInteriorEntriesAt + slot * (key_length_ + 8u);
  std::memcpy(at, entry.key.data(), key_length_);
  StoreBE32(at + key_length_, entry.recno);
}

bool InteriorEditor::Insert(size_t slot, const IndexEntry& entry, uint32_t child) {
  const size_t n = count(), size = key_length_ + 8u;
  if (n >= InteriorCapacity(key_length_) || slot > n || entry.key.size() != key_length_) return false;
  char* at = page_ + kInteriorEntriesAt + slot * size;
  std::memmove(at + size, at, (n - slot) * size);
  SetEntry(slot, entry);
  StoreBE32(at + key_length_ + 4, child);
  StoreLE16(page_ + 2, static_cast<uint16_t>(n + 1));
  return true;
}

}  // namespace fox
