// Changes to the B+trees of a compound index file: finding, removing and
// inserting (key, record number) entries of one tag, with page splits.
//
// All pages a change touches are read through an IndexPageStore, changed in
// memory and written only when the whole change has been worked out, so a
// damaged page found on the way (a page outside the file, a loop, a key that
// should be there and is not) stops the change before anything is written.
//
// The tree is kept the way Visual FoxPro reads it: every interior entry
// holds the greatest (key, record) of its child's subtree; pages of one level
// are chained by left and right sibling links; all pages are sorted by key
// bytes, then record number, also for descending tags. A page that becomes
// full is split, its upper part going to a new page appended at the end of
// the file and linked in to its right; a full root keeps its offset (so the
// tag header never changes) and hands its entries down to two new pages. A
// page that becomes empty is unlinked from its siblings and its parent and
// left unreferenced, as Visual FoxPro leaves pages it no longer uses.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "data/disk_file.h"
#include "data/index_page.h"

namespace fox {

class IndexPageStore {
 public:
  // The caller holds the index file's lock for the store's lifetime.
  explicit IndexPageStore(DiskFile& file);

  // The decoded page at `offset`. Throws Error(kCorrupt) saying what is
  // wrong when it lies outside the file's pages or cannot be decoded.
  IndexNode& Page(uint32_t offset, uint16_t key_length, char pad);
  void MarkChanged(uint32_t offset);
  // A new empty page after the end of the file.
  uint32_t Allocate(uint16_t key_length, char pad);

  bool changed() const;
  // Encodes every changed page; throws Error(kUsage) if one no longer fits.
  // Called before the first write so that writing cannot fail half-way for
  // that reason.
  void Encode();
  // Writes the new pages at the end of the file, where nothing on disk
  // refers to them yet; then, separately, the existing pages that changed.
  void WriteNewPages();
  void WriteChangedPages();

 private:
  struct Slot {
    IndexNode node;
    uint16_t key_length = 0;
    char pad = ' ';
    bool added = false;
    bool changed = false;
    std::string original;  // bytes as read
    std::string encoded;   // bytes to write
  };

  void FindEnd();

  DiskFile& file_;
  uint64_t file_size_ = 0;  // known once pages are added
  uint32_t next_new_ = 0;   // where the next added page goes; 0 until known
  std::map<uint32_t, Slot> pages_;  // node-based: references stay valid
};

class IndexTree {
 public:
  IndexTree(IndexPageStore& pages, uint32_t root, uint16_t key_length, char pad);

  // A record other than `recno` whose entry has this key, if there is one.
  std::optional<uint32_t> OtherRecordWithKey(const std::string& key, uint32_t recno);

  // Removes an entry; false when the tag does not hold it.
  bool Remove(const IndexEntry& entry);
  // Inserts an entry. Throws Error(kCorrupt) if the tag holds it already.
  void Insert(const IndexEntry& entry);

 private:
  struct Path {
    std::vector<uint32_t> pages;  // root first, leaf last
    std::vector<size_t> slots;    // slots[i]: the entry of pages[i] that leads to pages[i + 1]
  };

  IndexNode& Node(uint32_t offset) { return pages_.Page(offset, key_length_, pad_); }
  Path Descend(const IndexEntry& target);
  bool Fits(const IndexNode& node) const;
  // The page at `level` changed; `old_last` was its greatest entry before;
  // `grew` when it may no longer fit.
  void AfterChange(Path& path, size_t level, const std::optional<IndexEntry>& old_last, bool grew);
  void Split(Path& path, size_t level);
  std::vector<size_t> SplitPoints(const IndexNode& node) const;

  IndexPageStore& pages_;
  uint32_t root_;
  uint16_t key_length_;
  char pad_;
};

}  // namespace fox
