#include "data/index_tree.h"

#include <algorithm>
#include <set>

#include "data/error.h"

namespace fox {
namespace {

constexpr uint32_t kFirstPage = 1024;  // after the file's header
constexpr size_t kMaxDepth = 64;
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

IndexPageStore::IndexPageStore(DiskFile& file) : file_(file) {}

// The size is asked for only when pages are added: most changes add none,
// and every system call shows in the cost of a save.
void IndexPageStore::FindEnd() {
  if (next_new_ != 0) return;
  file_size_ = file_.Size();
  const uint64_t end =
      std::max<uint64_t>(kFirstPage, (file_size_ + kIndexPageSize - 1) / kIndexPageSize * kIndexPageSize);
  next_new_ = static_cast<uint32_t>(std::min<uint64_t>(end, 0xFFFFFFFFu));
}

IndexNode& IndexPageStore::Page(uint32_t offset, uint16_t key_length, char pad) {
  auto found = pages_.find(offset);
  if (found != pages_.end()) {
    if (found->second.key_length != key_length || found->second.pad != pad)
      Corrupt("the page at " + Hex(offset) + " belongs to two tags");
    return found->second.node;
  }
  Slot slot;
  slot.key_length = key_length;
  slot.pad = pad;
  slot.original.assign(kIndexPageSize, '\0');
  if (offset % kIndexPageSize != 0 || offset < kFirstPage ||
      file_.ReadAt(offset, slot.original.data(), kIndexPageSize) != kIndexPageSize)
    Corrupt("a page pointer leads to offset " + Hex(offset) + ", outside the file's pages");
  const std::string problem = DecodeIndexNode(slot.original, key_length, pad, &slot.node);
  if (!problem.empty()) Corrupt("the page at " + Hex(offset) + " " + problem);
  return pages_.emplace(offset, std::move(slot)).first->second.node;
}

void IndexPageStore::MarkChanged(uint32_t offset) { pages_.at(offset).changed = true; }

uint32_t IndexPageStore::Allocate(uint16_t key_length, char pad) {
  FindEnd();
  if (uint64_t{next_new_} + kIndexPageSize > kLargestFile)
    throw Error(ErrorKind::kUnsupported, "the index file would grow past 2 GB");
  const uint32_t offset = next_new_;
  next_new_ += kIndexPageSize;
  Slot& slot = pages_[offset];
  slot.key_length = key_length;
  slot.pad = pad;
  slot.added = true;
  slot.changed = true;
  return offset;
}

bool IndexPageStore::changed() const {
  for (const auto& [offset, slot] : pages_)
    if (slot.changed) return true;
  return false;
}

void IndexPageStore::Encode() {
  for (auto& [offset, slot] : pages_) {
    if (!slot.changed) continue;
    if (!EncodeIndexNode(slot.node, slot.key_length, slot.pad, &slot.encoded))
      throw Error(ErrorKind::kUsage, "the index page at " + Hex(offset) + " was filled beyond its size");
    if (!slot.added && slot.encoded == slot.original) slot.changed = false;
  }
}

void IndexPageStore::WriteNewPages() {
  std::string bytes;
  uint64_t first = 0;
  for (const auto& [offset, slot] : pages_) {
    if (!slot.added) continue;
    if (bytes.empty()) first = offset;
    bytes += slot.encoded;
  }
  if (bytes.empty()) return;
  // A file that does not end on a page boundary is filled up to one first.
  if (file_size_ < first) bytes.insert(0, static_cast<size_t>(first - file_size_), '\0');
  file_.WriteAt(std::min<uint64_t>(first, file_size_), bytes.data(), bytes.size());
}

void IndexPageStore::WriteChangedPages() {
  for (const auto& [offset, slot] : pages_) {
    if (slot.changed && !slot.added) file_.WriteAt(offset, slot.encoded.data(), slot.encoded.size());
  }
}

// ---------------------------------------------------------------------------

IndexTree::IndexTree(IndexPageStore& pages, uint32_t root, uint16_t key_length, char pad)
    : pages_(pages), root_(root), key_length_(key_length), pad_(pad) {}

IndexTree::Path IndexTree::Descend(const IndexEntry& target) {
  Path path;
  uint32_t offset = root_;
  for (;;) {
    if (path.pages.size() >= kMaxDepth) Corrupt("the tree is deeper than " + std::to_string(kMaxDepth) + " levels");
    if (std::find(path.pages.begin(), path.pages.end(), offset) != path.pages.end())
      Corrupt("the tree reaches the page at " + Hex(offset) + " twice, a loop");
    const IndexNode& node = Node(offset);
    path.pages.push_back(offset);
    if (node.leaf()) return path;
    size_t slot = 0;
    while (slot + 1 < node.entries.size() && Before(node.entries[slot], target)) ++slot;
    path.slots.push_back(slot);
    offset = node.children[slot];
  }
}

std::optional<uint32_t> IndexTree::OtherRecordWithKey(const std::string& key, uint32_t recno) {
  const IndexEntry probe{key, 0};
  uint32_t offset = Descend(probe).pages.back();
  const IndexNode* node = &Node(offset);
  size_t i = static_cast<size_t>(
      std::lower_bound(node->entries.begin(), node->entries.end(), probe, Before) - node->entries.begin());
  std::set<uint32_t> visited{offset};
  for (;;) {
    while (i == node->entries.size()) {
      if (node->right == kNoIndexPage) return std::nullopt;
      offset = node->right;
      if (!visited.insert(offset).second) Corrupt("the leaf pages link back to the page at " + Hex(offset));
      node = &Node(offset);
      if (!node->leaf()) Corrupt("the right sibling at " + Hex(offset) + " of a leaf page is no leaf page");
      i = 0;
    }
    const IndexEntry& e = node->entries[i];
    if (e.key != key) return std::nullopt;
    if (e.recno != recno) return e.recno;
    ++i;
  }
}

bool IndexTree::Remove(const IndexEntry& entry) {
  Path path = Descend(entry);
  IndexNode& leaf = Node(path.pages.back());
  auto at = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), entry, Before);
  if (at == leaf.entries.end() || !Same(*at, entry)) return false;
  const IndexEntry old_last = leaf.entries.back();
  leaf.entries.erase(at);
  // Without an entry a leaf never needs more room: the next key shares at
  // least as much with the one before as the removed key's bytes made up.
  AfterChange(path, path.pages.size() - 1, old_last, false);
  return true;
}

void IndexTree::Insert(const IndexEntry& entry) {
  Path path = Descend(entry);
  IndexNode& leaf = Node(path.pages.back());
  auto at = std::lower_bound(leaf.entries.begin(), leaf.entries.end(), entry, Before);
  if (at != leaf.entries.end() && Same(*at, entry))
    Corrupt("the tag holds the key of record " + std::to_string(entry.recno) + " twice");
  std::optional<IndexEntry> old_last;
  if (!leaf.entries.empty()) old_last = leaf.entries.back();
  leaf.entries.insert(at, entry);
  AfterChange(path, path.pages.size() - 1, old_last, true);
}

bool IndexTree::Fits(const IndexNode& node) const { return IndexNodeFits(node, key_length_, pad_); }

void IndexTree::AfterChange(Path& path, size_t level, const std::optional<IndexEntry>& old_last, bool grew) {
  const uint32_t offset = path.pages[level];
  IndexNode& node = Node(offset);
  pages_.MarkChanged(offset);
  if (grew && !Fits(node)) {
    Split(path, level);
    return;
  }
  if (node.entries.empty()) {
    if (level == 0) {  // the tag is empty: its root becomes an empty leaf
      node.attributes |= IndexNode::kLeaf;
      node.children.clear();
      return;
    }
    if (node.left != kNoIndexPage) {
      Node(node.left).right = node.right;
      pages_.MarkChanged(node.left);
    }
    if (node.right != kNoIndexPage) {
      Node(node.right).left = node.left;
      pages_.MarkChanged(node.right);
    }
    IndexNode& parent = Node(path.pages[level - 1]);
    const IndexEntry parent_last = parent.entries.back();
    const size_t slot = path.slots[level - 1];
    parent.entries.erase(parent.entries.begin() + static_cast<std::ptrdiff_t>(slot));
    parent.children.erase(parent.children.begin() + static_cast<std::ptrdiff_t>(slot));
    AfterChange(path, level - 1, parent_last, false);
    return;
  }
  if (level > 0 && (!old_last || !Same(node.entries.back(), *old_last))) {
    IndexNode& parent = Node(path.pages[level - 1]);
    const IndexEntry parent_last = parent.entries.back();
    parent.entries[path.slots[level - 1]] = node.entries.back();
    AfterChange(path, level - 1, parent_last, false);
  }
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
  const size_t slot = path.slots[level - 1];
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
    parent.entries.insert(parent.entries.begin() + static_cast<std::ptrdiff_t>(slot + i), page.entries.back());
    parent.children.insert(parent.children.begin() + static_cast<std::ptrdiff_t>(slot + i), added);
    previous = added;
  }
  if (old_right != kNoIndexPage) {
    Node(old_right).left = previous;
    pages_.MarkChanged(old_right);
  }
  IndexNode first;
  part(0, &first);
  node.entries = std::move(first.entries);
  node.children = std::move(first.children);
  parent.entries[slot] = node.entries.back();
  AfterChange(path, level - 1, parent_last, true);
}

}  // namespace fox
