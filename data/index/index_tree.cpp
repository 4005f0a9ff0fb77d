#include "data/index/index_tree.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {
namespace {

constexpr uint32_t kFirstPage = 1024;          // after the file's header
constexpr uint64_t kLargestFile = 0x7FFFFFFF;  // what FoxPro can address

std::string Hex(uint32_t v) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string s;
  do {
    s.insert(s.begin(), kDigits[v & 15]);
    v >>= 4;
  } while (v);
  return "0x" + s;
}

[[noreturn]] void Corrupt(const std::string& what) { throw Error(ErrorKind::kCorrupt, what); }

bool Before(const IndexEntry& a, const IndexEntry& b) {
  const int c = a.key.compare(b.key);
  return c < 0 || (c == 0 && a.recno < b.recno);
}

bool Same(const IndexEntry& a, const IndexEntry& b) { return a.recno == b.recno && a.key == b.key; }

}  // namespace

// ---------------------------------------------------------------------------

bool PageWindows::Read(DiskFile& file, uint32_t offset, char* page) {
  const uint32_t first = offset / kWindowSize * kWindowSize;
  auto found = windows_.find(first);
  if (found == windows_.end()) {
    if (windows_.size() >= kMostWindows) Clear();
    if (spare_.empty()) {
      // Buffers come a slab at a time: one large allocation instead of many.
      slabs_.push_back(std::make_unique_for_overwrite<char[]>(size_t{kWindowSize} * kSlabWindows));
      for (size_t i = 0; i < kSlabWindows; ++i) spare_.push_back(slabs_.back().get() + i * kWindowSize);
    }
    Window window;
    window.bytes = spare_.back();
    spare_.pop_back();
    try {
      window.size = file.ReadAt(first, window.bytes, kWindowSize);
    } catch (...) {
      spare_.push_back(window.bytes);
      throw;
    }
    found = windows_.emplace(first, std::move(window)).first;
  }
  const Window& window = found->second;
  if (offset - first + kIndexPageSize > window.size) return false;
  std::memcpy(page, window.bytes + (offset - first), kIndexPageSize);
  return true;
}

void PageWindows::Clear() {
  for (auto& [offset, window] : windows_) spare_.push_back(window.bytes);
  windows_.clear();
}

IndexPageStore::IndexPageStore(DiskFile& file, PageWindows* windows)
    : file_(file),
      own_windows_(windows ? nullptr : std::make_unique<PageWindows>()),
      windows_(windows ? *windows : *own_windows_) {}

size_t IndexPageStore::PageMap::Home(uint32_t offset) const {
  // Page numbers spread by a multiplicative hash over a power-of-two table.
  return static_cast<size_t>((uint64_t{offset / kIndexPageSize} * 0x9E3779B97F4A7C15ull) >> 32) &
         (places_.size() - 1);
}

IndexPageStore::Slot* IndexPageStore::PageMap::Find(uint32_t offset) const {
  if (places_.empty()) return nullptr;
  for (size_t i = Home(offset);; i = (i + 1) & (places_.size() - 1)) {
    if (places_[i].offset == offset) return places_[i].slot.get();
    if (places_[i].offset == 0) return nullptr;
  }
}

IndexPageStore::Slot& IndexPageStore::PageMap::At(uint32_t offset) const {
  Slot* slot = Find(offset);
  if (!slot) throw Error(ErrorKind::kUsage, "the index page at " + Hex(offset) + " was never read");
  return *slot;
}

IndexPageStore::Slot& IndexPageStore::PageMap::Insert(uint32_t offset, Slot slot) {
  if (2 * (size_ + 1) > places_.size()) Rehash(std::max<size_t>(64, 2 * places_.size()));
  size_t i = Home(offset);
  while (places_[i].offset != 0) i = (i + 1) & (places_.size() - 1);
  places_[i].offset = offset;
  if (free_.empty()) {
    places_[i].slot = std::make_unique<Slot>(std::move(slot));
  } else {
    places_[i].slot = std::move(free_.back());
    free_.pop_back();
    *places_[i].slot = std::move(slot);
  }
  ++size_;
  return *places_[i].slot;
}

void IndexPageStore::PageMap::Clear() {
  for (Place& place : places_) {
    if (place.slot && free_.size() < 4096) free_.push_back(std::move(place.slot));
  }
  places_.clear();
  size_ = 0;
}

void IndexPageStore::PageMap::Rehash(size_t capacity) {
  std::vector<Place> places = std::move(places_);
  places_.clear();
  places_.resize(capacity);
  for (Place& place : places) {
    if (place.offset == 0) continue;
    size_t j = Home(place.offset);
    while (places_[j].offset != 0) j = (j + 1) & (capacity - 1);
    places_[j] = std::move(place);
  }
}

template <typename Drop>
void IndexPageStore::PageMap::EraseIf(Drop drop) {
  for (Place& place : places_) {
    if (place.offset != 0 && drop(*place.slot)) {
      place.offset = 0;
      place.slot.reset();
      --size_;
    }
  }
  Rehash(places_.size());  // the places left free may break probe runs
}

// The size is asked for only when pages are added: most changes add none,
// and every system call shows in the cost of a save.
void IndexPageStore::FindEnd() {
  if (next_new_ != 0) return;
  file_size_ = file_.Size();
  const uint64_t end =
      std::max<uint64_t>(kFirstPage, (file_size_ + kIndexPageSize - 1) / kIndexPageSize * kIndexPageSize);
  next_new_ = static_cast<uint32_t>(std::min<uint64_t>(end, 0xFFFFFFFFu));
}

IndexPageStore::Slot& IndexPageStore::Load(uint32_t offset, uint16_t key_length, char pad) {
  if (Slot* found = pages_.Find(offset)) {
    if (found->key_length != key_length || found->pad != pad)
      Corrupt("the page at " + Hex(offset) + " belongs to two tags");
    return *found;
  }
  Slot loaded;
  loaded.key_length = key_length;
  loaded.pad = pad;
  Slot& slot = pages_.Insert(offset, std::move(loaded));
  try {
    if (offset % kIndexPageSize != 0 || offset < kFirstPage || !ReadPage(offset, slot.bytes.data()))
      Corrupt("a page pointer leads to offset " + Hex(offset) + ", outside the file's pages");
    if (!KeepEncoded(slot, slot.bytes.data())) Decode(offset, slot);
  } catch (...) {
    pages_.EraseIf([&](const Slot& s) { return &s == &slot; });
    throw;
  }
  return slot;
}

// A window's bytes serve only pages that have no slot yet, which this store
// has never changed (Trim, which forgets changed pages, forgets the windows
// too).
bool IndexPageStore::ReadPage(uint32_t offset, char* page) { return windows_.Read(file_, offset, page); }

void IndexPageStore::Decode(uint32_t offset, Slot& slot) {
  slot.node = std::make_unique<IndexNode>();
  const std::string problem = DecodeIndexNode(std::string(slot.bytes.data(), kIndexPageSize), slot.key_length,
                                              slot.pad, slot.node.get());
  if (!problem.empty()) {
    slot.node.reset();
    Corrupt("the page at " + Hex(offset) + " " + problem);
  }
  // Edits made to the bytes in this change are to be written, whatever the
  // decoded page comes to.
  slot.edited = slot.encoded && slot.changed;
  slot.encoded = false;
}

IndexNode& IndexPageStore::Page(uint32_t offset, uint16_t key_length, char pad) {
  Slot& slot = Load(offset, key_length, pad);
  if (slot.encoded) Decode(offset, slot);  // encoded whole from then on
  return *slot.node;
}

char* IndexPageStore::Encoded(uint32_t offset, uint16_t key_length, char pad) {
  Slot& slot = Load(offset, key_length, pad);
  return slot.encoded ? slot.bytes.data() : nullptr;
}

bool IndexPageStore::KeepEncoded(Slot& slot, const char* bytes) {
  if (!LeafEditor::Editable(bytes, slot.key_length) && !InteriorEditor::Editable(bytes, slot.key_length))
    return false;
  slot.encoded = true;
  if (bytes != slot.bytes.data()) std::memcpy(slot.bytes.data(), bytes, kIndexPageSize);
  slot.node.reset();
  return true;
}

void IndexPageStore::MarkChanged(uint32_t offset) {
  Slot& slot = pages_.At(offset);
  if (slot.changed) return;
  slot.changed = true;
  dirty_.push_back({offset, &slot});
}

uint32_t IndexPageStore::Allocate(uint16_t key_length, char pad) {
  FindEnd();
  if (uint64_t{next_new_} + kIndexPageSize > kLargestFile)
    throw Error(ErrorKind::kUnsupported, "the index file would grow past 2 GB");
  const uint32_t offset = next_new_;
  next_new_ += kIndexPageSize;
  Slot& slot = pages_.Insert(offset, Slot());
  slot.key_length = key_length;
  slot.pad = pad;
  slot.added = true;
  slot.changed = true;
  slot.node = std::make_unique<IndexNode>();
  dirty_.push_back({offset, &slot});
  adds_ = true;
  return offset;
}

uint32_t IndexPageStore::AllocateEncoded(uint16_t key_length, char pad, char** bytes) {
  const uint32_t offset = Allocate(key_length, pad);
  Slot& slot = pages_.At(offset);
  slot.encoded = true;
  slot.node.reset();
  *bytes = slot.bytes.data();
  return offset;
}

void IndexPageStore::SetLeft(uint32_t offset, uint16_t key_length, char pad, uint32_t left) {
  Slot& slot = Load(offset, key_length, pad);
  if (slot.encoded) {
    StoreLE32(slot.bytes.data() + 4, left);
  } else {
    slot.node->left = left;
  }
  MarkChanged(offset);
}

void IndexPageStore::SetRight(uint32_t offset, uint16_t key_length, char pad, uint32_t right) {
  Slot& slot = Load(offset, key_length, pad);
  if (slot.encoded) {
    StoreLE32(slot.bytes.data() + 8, right);
  } else {
    slot.node->right = right;
  }
  MarkChanged(offset);
}

void IndexPageStore::NoteInsert(uint32_t offset) {
  Slot& slot = pages_.At(offset);
  ++slot.inserts;
  MarkChanged(offset);
}

bool IndexPageStore::FitsAfterInsert(uint32_t offset) {
  Slot& slot = pages_.At(offset);
  // The free space recorded in the page as decoded tells only about one
  // insert (and removals) since.
  if (++slot.inserts == 1 && !slot.added)
    return LeafFitsAfterInsert(*slot.node, slot.bytes.data(), slot.key_length, slot.pad);
  return IndexNodeFits(*slot.node, slot.key_length, slot.pad);
}

void IndexPageStore::Encode() {
  std::sort(dirty_.begin(), dirty_.end());
  std::vector<Dirty> written;
  for (const Dirty& page : dirty_) {
    const uint32_t offset = page.offset;
    Slot& slot = *page.slot;
    if (!slot.encoded) {
      if (!EncodeIndexNode(*slot.node, slot.key_length, slot.pad, &slot.to_write))
        throw Error(ErrorKind::kUsage, "the index page at " + Hex(offset) + " was filled beyond its size");
      if (!slot.added && !slot.edited &&
          std::memcmp(slot.to_write.data(), slot.bytes.data(), kIndexPageSize) == 0) {
        // Decoded and changed back to the bytes on disk.
        slot.changed = false;
        slot.inserts = 0;
        slot.to_write.clear();
        continue;
      }
    }
    written.push_back(page);
  }
  dirty_ = std::move(written);
}

void IndexPageStore::WriteNewPages() {
  if (!adds_) return;
  std::string bytes;
  uint64_t first = 0;
  for (const Dirty& page : dirty_) {
    const Slot& slot = *page.slot;
    if (!slot.added) continue;
    if (bytes.empty()) first = page.offset;
    bytes.append(slot.Written(), kIndexPageSize);
  }
  if (bytes.empty()) return;
  // A file that does not end on a page boundary is filled up to one first.
  if (file_size_ < first) bytes.insert(0, static_cast<size_t>(first - file_size_), '\0');
  const uint64_t at = std::min<uint64_t>(first, file_size_);
  file_.WriteAt(at, bytes.data(), bytes.size());
  file_size_ = std::max<uint64_t>(file_size_, at + bytes.size());
}

// Changed pages close to each other go out in one write, with the pages
// between them as this store knows them: unchanged pages it has read under
// the same lock, whose bytes on disk are the ones it holds. A write costs
// far more than the bytes it carries.
void IndexPageStore::TakeChangedPages(std::vector<PageRun>* runs) {
  constexpr uint32_t kLargestGap = 4 * kIndexPageSize;
  uint32_t run_end = 0;
  for (const Dirty& page : dirty_) {
    const uint32_t offset = page.offset;
    const Slot& slot = *page.slot;
    if (slot.added) continue;
    bool joined = !runs->empty() && offset - run_end <= kLargestGap;
    for (uint32_t gap = run_end; joined && gap < offset; gap += kIndexPageSize) {
      const Slot* known = pages_.Find(gap);
      joined = known && !known->added && !known->changed;
    }
    if (joined) {
      for (uint32_t gap = run_end; gap < offset; gap += kIndexPageSize)
        runs->back().bytes.append(pages_.At(gap).bytes.data(), kIndexPageSize);
    } else {
      runs->push_back(PageRun{offset, {}});
      runs->back().bytes.reserve(kIndexPageSize);
    }
    runs->back().bytes.append(slot.Written(), kIndexPageSize);
    run_end = offset + kIndexPageSize;
  }
}

void IndexPageStore::WriteRuns(DiskFile& file, const std::vector<PageRun>& runs) {
  for (const PageRun& run : runs) file.WriteAt(run.offset, run.bytes.data(), run.bytes.size());
}

void IndexPageStore::WriteChangedPages() {
  std::vector<PageRun> runs;
  TakeChangedPages(&runs);
  WriteRuns(file_, runs);
}

void IndexPageStore::Commit() {
  for (const Dirty& page : dirty_) {
    Slot& slot = *page.slot;
    if (!slot.encoded) {
      // A page encoded whole goes back to being edited in place when it can.
      if (!KeepEncoded(slot, slot.to_write.data()))
        std::memcpy(slot.bytes.data(), slot.to_write.data(), kIndexPageSize);
      slot.to_write.clear();
    }
    slot.added = false;
    slot.changed = false;
    slot.edited = false;
    slot.inserts = 0;
  }
  dirty_.clear();
  adds_ = false;
}

void IndexPageStore::Restart() {
  pages_.Clear();
  dirty_.clear();
  adds_ = false;
  file_size_ = 0;
  next_new_ = 0;
  windows_.Clear();
}

void IndexPageStore::Trim(size_t max_pages) {
  if (pages_.size() <= max_pages) return;
  // Interior pages are few and lie on every path down; leaves are many. The
  // windows go too: they may hold bytes of pages changed since they were read.
  windows_.Clear();
  const auto unchanged = [](const Slot& slot) { return !slot.changed; };  // pages added count as changed
  pages_.EraseIf([&](const Slot& slot) {
    return unchanged(slot) && (LoadLE16(slot.bytes.data()) & IndexNode::kLeaf) != 0;
  });
  if (pages_.size() > max_pages) pages_.EraseIf(unchanged);
}

// ---------------------------------------------------------------------------

IndexTree::IndexTree(IndexPageStore& pages, uint32_t root, uint16_t key_length, char pad)
    : pages_(pages), root_(root), key_length_(key_length), pad_(pad) {}

IndexTree::Path IndexTree::Descend(const IndexEntry& target) {
  Path path;
  uint32_t offset = root_;
  for (;;) {
    if (path.pages.size() >= kMaxDepth)
      Corrupt("the tree is deeper than " + std::to_string(kMaxDepth) + " levels");
    if (std::find(path.pages.begin(), path.pages.end(), offset) != path.pages.end())
      Corrupt("the tree reaches the page at " + Hex(offset) + " twice, a loop");
    path.pages.push_back(offset);
    if (char* bytes = pages_.Encoded(offset, key_length_, pad_)) {
      if (LoadLE16(bytes) & IndexNode::kLeaf) return path;
      const InteriorEditor node(bytes, key_length_);
      const size_t slot = node.Slot(target);
      path.entries_taken.push_back(slot);
      offset = node.Child(slot);
      continue;
    }
    const IndexNode& node = Node(offset);
    if (node.leaf()) return path;
    size_t slot = 0;
    while (slot + 1 < node.entries.size() && Before(node.entries[slot], target)) ++slot;
    path.entries_taken.push_back(slot);
    offset = node.children[slot];
  }
}

bool IndexTree::VisitKey(const std::string& key, uint32_t offset,
                         const std::function<bool(uint32_t)>& visit) {
  const IndexEntry probe{key, 0};
  const IndexNode* node = &Node(offset);
  size_t i = static_cast<size_t>(std::lower_bound(node->entries.begin(), node->entries.end(), probe, Before) -
                                 node->entries.begin());
  std::set<uint32_t> visited{offset};
  for (;;) {
    while (i == node->entries.size()) {
      if (node->right == kNoIndexPage) return false;
      offset = node->right;
      if (!visited.insert(offset).second) Corrupt("the leaf pages link back to the page at " + Hex(offset));
      node = &Node(offset);
      if (!node->leaf()) Corrupt("the right sibling at " + Hex(offset) + " of a leaf page is no leaf page");
      i = 0;
    }
    const IndexEntry& e = node->entries[i];
    if (e.key != key) return false;
    if (visit(e.recno)) return true;
    ++i;
  }
}

std::vector<uint32_t> IndexTree::RecordsWithKey(const std::string& key) {
  std::vector<uint32_t> records;
  VisitKey(key, Descend(IndexEntry{key, 0}).pages.back(), [&](uint32_t recno) {
    records.push_back(recno);
    return false;
  });
  return records;
}

std::optional<uint32_t> IndexTree::OtherRecordWithKey(const std::string& key, uint32_t recno) {
  const IndexEntry probe{key, 0};
  uint32_t offset = Descend(probe).pages.back();
  // Most answers lie in the leaf reached, read in its encoded bytes; keys
  // that run on past its end are followed below through decoded pages.
  char* bytes = key.size() == key_length_ ? pages_.Encoded(offset, key_length_, pad_) : nullptr;
  if (bytes) {
    const LeafEditor leaf(bytes, key_length_, pad_);
    LeafEditor::Position at = leaf.Find(probe);
    if (at.index < leaf.count()) {
      if (at.at_key != key) return std::nullopt;
      if (at.at_recno != recno) return at.at_recno;
      if (recno == UINT32_MAX) return std::nullopt;
      at = leaf.Find(IndexEntry{key, recno + 1});
      if (at.index < leaf.count()) {
        if (at.at_key != key) return std::nullopt;
        return at.at_recno;
      }
    }
  }
  std::optional<uint32_t> other;
  VisitKey(key, offset, [&](uint32_t at) {
    if (at != recno) other = at;
    return other.has_value();
  });
  return other;
}

bool IndexTree::Remove(const IndexEntry& entry) {
  Path path = Descend(entry);
  const size_t level = path.pages.size() - 1;
  const uint32_t offset = path.pages[level];
  char* bytes = entry.key.size() == key_length_ ? pages_.Encoded(offset, key_length_, pad_) : nullptr;
  if (bytes) {
    LeafEditor leaf(bytes, key_length_, pad_);
    const LeafEditor::Position at = leaf.Find(entry);
    if (!at.equal) return false;
    const bool was_last = at.index + 1 == leaf.count();
    if (leaf.Erase(at)) {
      pages_.MarkChanged(offset);
      if (was_last) LastChanged(path, level, leaf.Before(at));
      return true;
    }
    // A page left empty, or whose entries get narrower: decoded below.
  }
  IndexNode& leaf = Node(offset);
  auto at = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), entry, Before);
  if (at == leaf.entries.end() || !Same(*at, entry)) return false;
  const IndexEntry old_last = leaf.entries.back();
  leaf.entries.erase(at);
  // Without an entry a leaf never needs more room: the next key shares at
  // least as much with the one before as the removed key's bytes made up.
  AfterChange(path, level, old_last, false);
  return true;
}

void IndexTree::Insert(const IndexEntry& entry) {
  Path path = Descend(entry);
  const size_t level = path.pages.size() - 1;
  const uint32_t offset = path.pages[level];
  char* bytes = entry.key.size() == key_length_ ? pages_.Encoded(offset, key_length_, pad_) : nullptr;
  if (bytes) {
    LeafEditor leaf(bytes, key_length_, pad_);
    const LeafEditor::Position at = leaf.Find(entry);
    if (at.equal) Corrupt("the tag holds the key of record " + std::to_string(entry.recno) + " twice");
    const bool becomes_last = at.index == leaf.count();
    if (leaf.Insert(at, entry)) {
      pages_.NoteInsert(offset);
      if (becomes_last) LastChanged(path, level, entry);
      return;
    }
    // No room left: the page splits, and the entry goes into one of the two.
    if (level > 0 && leaf.count() >= 2 && SplitEncodedLeaf(path)) {
      Insert(entry);
      return;
    }
    // Wider entries needed: decoded below.
  }
  IndexNode& leaf = Node(offset);
  auto at = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), entry, Before);
  if (at != leaf.entries.end() && Same(*at, entry))
    Corrupt("the tag holds the key of record " + std::to_string(entry.recno) + " twice");
  std::optional<IndexEntry> old_last;
  if (!leaf.entries.empty()) old_last = leaf.entries.back();
  leaf.entries.insert(at, entry);
  AfterChange(path, level, old_last, true);
}

bool IndexTree::SplitEncodedLeaf(Path& path) {
  const size_t level = path.pages.size() - 1;
  const uint32_t offset = path.pages[level];
  char* bytes = pages_.Encoded(offset, key_length_, pad_);
  LeafEditor leaf(bytes, key_length_, pad_);
  std::array<char, kIndexPageSize> right;
  IndexEntry left_last, right_last;
  if (!leaf.Split(leaf.count() / 2, right.data(), &left_last, &right_last)) return false;
  // The new page goes to the right of this one, as in Split.
  const uint32_t old_right = LoadLE32(bytes + 8);
  StoreLE32(right.data() + 4, offset);
  char* added_bytes = nullptr;
  const uint32_t added = pages_.AllocateEncoded(key_length_, pad_, &added_bytes);
  std::memcpy(added_bytes, right.data(), kIndexPageSize);
  pages_.SetRight(offset, key_length_, pad_, added);
  if (old_right != kNoIndexPage) pages_.SetLeft(old_right, key_length_, pad_, added);
  // The parent: this page's separator becomes its new greatest entry, and
  // the old one, unchanged, leads to the new page after it.
  const uint32_t parent_offset = path.pages[level - 1];
  const size_t slot = path.entries_taken[level - 1];
  if (char* parent_bytes = pages_.Encoded(parent_offset, key_length_, pad_)) {
    InteriorEditor parent(parent_bytes, key_length_);
    if (parent.Insert(slot + 1, right_last, added)) {
      parent.SetEntry(slot, left_last);
      pages_.MarkChanged(parent_offset);
      return true;
    }
  }
  IndexNode& parent = Node(parent_offset);
  const IndexEntry parent_last = parent.entries.back();
  parent.entries[slot] = std::move(left_last);
  parent.entries.insert(parent.entries.begin() + static_cast<std::ptrdiff_t>(slot + 1),
                        std::move(right_last));
  parent.children.insert(parent.children.begin() + static_cast<std::ptrdiff_t>(slot + 1), added);
  AfterChange(path, level - 1, parent_last, true);
  return true;
}

void IndexTree::LastChanged(Path& path, size_t level, const IndexEntry& last) {
  if (level == 0) return;
  const uint32_t offset = path.pages[level - 1];
  const size_t slot = path.entries_taken[level - 1];
  if (char* bytes = pages_.Encoded(offset, key_length_, pad_); bytes && last.key.size() == key_length_) {
    InteriorEditor parent(bytes, key_length_);
    parent.SetEntry(slot, last);
    pages_.MarkChanged(offset);
    // The parent's own greatest entry changed with its last separator.
    if (slot + 1 == parent.count()) LastChanged(path, level - 1, last);
    return;
  }
  IndexNode& parent = Node(offset);
  const IndexEntry parent_last = parent.entries.back();
  parent.entries[slot] = last;
  AfterChange(path, level - 1, parent_last, false);
}

bool IndexTree::Fits(const IndexNode& node) const { return IndexNodeFits(node, key_length_, pad_); }

void IndexTree::AfterChange(Path& path, size_t level, const std::optional<IndexEntry>& old_last, bool grew) {
  const uint32_t offset = path.pages[level];
  IndexNode& node = Node(offset);
  pages_.MarkChanged(offset);
  if (grew && !pages_.FitsAfterInsert(offset)) {
    Split(path, level);
    return;
  }
  if (node.entries.empty()) {
    if (level == 0) {  // the tag is empty: its root becomes an empty leaf
      node.attributes |= IndexNode::kLeaf;
      node.children.clear();
      return;
    }
    if (node.left != kNoIndexPage) pages_.SetRight(node.left, key_length_, pad_, node.right);
    if (node.right != kNoIndexPage) pages_.SetLeft(node.right, key_length_, pad_, node.left);
    IndexNode& parent = Node(path.pages[level - 1]);
    const IndexEntry parent_last = parent.entries.back();
    const size_t slot = path.entries_taken[level - 1];
    parent.entries.erase(parent.entries.begin() + static_cast<std::ptrdiff_t>(slot));
    parent.children.erase(parent.children.begin() + static_cast<std::ptrdiff_t>(slot));
    AfterChange(path, level - 1, parent_last, false);
    return;
  }
  if (!old_last || !Same(node.entries.back(), *old_last)) LastChanged(path, level, node.entries.back());
}

// Where to cut the entries of an overfull page so that every part fits: in
// two halves when that works, else into as few parts as fit.
std::vector<size_t> IndexTree::SplitPoints(const IndexNode& node) const {
  const size_t n = node.entries.size();
  auto part_fits = [&](size_t begin, size_t end) {
    IndexNode part;
    part.attributes = node.attributes;
    part.entries.assign(node.entries.begin() + static_cast<std::ptrdiff_t>(begin),
                        node.entries.begin() + static_cast<std::ptrdiff_t>(end));
    part.children.resize(node.leaf() ? 0 : end - begin);
    return Fits(part);
  };
  for (size_t delta = 0; delta < n; ++delta) {
    for (size_t m : {n / 2 + delta, n / 2 - std::min(delta, n / 2)}) {
      if (m >= 1 && m < n && part_fits(0, m) && part_fits(m, n)) return {m};
    }
  }
  std::vector<size_t> cuts;
  size_t begin = 0;
  while (begin < n) {
    size_t end = begin + 1;
    if (!part_fits(begin, end)) throw Error(ErrorKind::kUnsupported, "a key does not fit an index page");
    while (end < n && part_fits(begin, end + 1)) ++end;
    if (end < n) cuts.push_back(end);
    begin = end;
  }
  return cuts;
}

void IndexTree::Split(Path& path, size_t level) {
  const uint32_t offset = path.pages[level];
  IndexNode& node = Node(offset);
  std::vector<size_t> cuts = SplitPoints(node);
  cuts.insert(cuts.begin(), 0);
  cuts.push_back(node.entries.size());
  auto part = [&](size_t i, IndexNode* into) {
    const auto b = static_cast<std::ptrdiff_t>(cuts[i]), e = static_cast<std::ptrdiff_t>(cuts[i + 1]);
    into->entries.assign(node.entries.begin() + b, node.entries.begin() + e);
    if (!node.leaf()) into->children.assign(node.children.begin() + b, node.children.begin() + e);
  };
  const size_t parts = cuts.size() - 1;

  if (level == 0) {
    // The root keeps its offset and becomes the parent of new pages that
    // take all its entries.
    std::vector<uint32_t> added;
    for (size_t i = 0; i < parts; ++i) added.push_back(pages_.Allocate(key_length_, pad_));
    std::vector<IndexEntry> entries;
    for (size_t i = 0; i < parts; ++i) {
      IndexNode& child = Node(added[i]);
      child.attributes = static_cast<uint16_t>(node.attributes & ~IndexNode::kRoot);
      part(i, &child);
      child.left = i == 0 ? kNoIndexPage : added[i - 1];
      child.right = i + 1 == parts ? kNoIndexPage : added[i + 1];
      entries.push_back(child.entries.back());
    }
    node.attributes = static_cast<uint16_t>((node.attributes & ~IndexNode::kLeaf) | IndexNode::kRoot);
    node.entries = std::move(entries);
    node.children = added;
    if (!Fits(node)) Split(path, 0);
    return;
  }

  // The page keeps the first part; new pages to its right take the others.
  IndexNode& parent = Node(path.pages[level - 1]);
  const IndexEntry parent_last = parent.entries.back();
  const size_t slot = path.entries_taken[level - 1];
  const uint32_t old_right = node.right;
  uint32_t previous = offset;
  for (size_t i = 1; i < parts; ++i) {
    const uint32_t added = pages_.Allocate(key_length_, pad_);
    IndexNode& page = Node(added);
    page.attributes = node.attributes;
    part(i, &page);
    page.left = previous;
    page.right = old_right;
    Node(previous).right = added;
    parent.entries.insert(parent.entries.begin() + static_cast<std::ptrdiff_t>(slot + i),
                          page.entries.back());
    parent.children.insert(parent.children.begin() + static_cast<std::ptrdiff_t>(slot + i), added);
    previous = added;
  }
  if (old_right != kNoIndexPage) pages_.SetLeft(old_right, key_length_, pad_, previous);
  IndexNode first;
  part(0, &first);
  node.entries = std::move(first.entries);
  node.children = std::move(first.children);
  parent.entries[slot] = node.entries.back();
  AfterChange(path, level - 1, parent_last, true);
}

}  // namespace fox
