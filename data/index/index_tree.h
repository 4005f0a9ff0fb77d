// Changes to the B+trees of a compound index file: finding, removing and
// inserting (key, record number) entries of one tag, with page splits.
//
// All pages a change touches are read through an IndexPageStore, changed in
// memory and written only when the whole change has been worked out, so a
// damaged page found on the way (a page outside the file, a loop, a key that
// should be there and is not) stops the change before anything is written.
// The store may be kept from one change to the next while the index lock is
// held: pages are then read once for many changes.
//
// Pages are kept in their encoded bytes where LeafEditor and InteriorEditor
// can read and change them in place: most changes remove and insert one
// entry of a leaf and perhaps replace a separator above it, and decoding the
// dozens of keys of a page for that costs more than all the rest. What those
// cannot do in place (a page left empty, entries of another width, a full
// interior page, a full root) goes through the decoded page.
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

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "data/file/disk_file.h"
#include "data/index/index_page.h"

namespace fox {

// An index file's bytes read a window of pages at a time: the pages of a tag
// mostly lie together, and a batch of changes reaches many of them. Clear
// forgets the bytes and keeps the buffers, so that the next session's reads
// do not fault in fresh memory.
class PageWindows {
 public:
  // Copies the page at `offset` into `page`; false when the file ends
  // before the page does.
  bool Read(DiskFile& file, uint32_t offset, char* page);
  void Clear();

 private:
  static constexpr uint32_t kWindowSize = 16 * kIndexPageSize;
  static constexpr size_t kMostWindows = 256;  // 2 MB
  static constexpr size_t kSlabWindows = 64;   // 512 KB
  struct Window {
    char* bytes = nullptr;  // in one of slabs_
    size_t size = 0;
  };
  std::unordered_map<uint32_t, Window> windows_;  // by the window's offset
  std::vector<std::unique_ptr<char[]>> slabs_;
  std::vector<char*> spare_;  // buffers of slabs_ not in windows_
};

class IndexPageStore {
 public:
  // The caller holds the index file's lock for the store's lifetime: the
  // pages it keeps are trusted only while nobody else can change the file.
  // `windows`, when given, holds the bytes read (see PageWindows); it must
  // hold nothing from before the store, and outlive it.
  explicit IndexPageStore(DiskFile& file, PageWindows* windows = nullptr);

  // The decoded page at `offset`. Throws Error(kCorrupt) saying what is
  // wrong when it lies outside the file's pages or cannot be decoded.
  IndexNode& Page(uint32_t offset, uint16_t key_length, char pad);
  // The bytes of the page at `offset` (read like Page) when it is kept
  // encoded, to be read and changed in place with a LeafEditor or an
  // InteriorEditor; nullptr when it is kept decoded (then use Page). Pages
  // are kept encoded when those can edit them, until Page asks for their
  // decoded form; a page encoded whole by a change goes back to being kept
  // encoded when the change is committed.
  char* Encoded(uint32_t offset, uint16_t key_length, char pad);
  void MarkChanged(uint32_t offset);
  // A new empty page after the end of the file.
  uint32_t Allocate(uint16_t key_length, char pad);
  // A new page after the end of the file, kept encoded; returns where its
  // 512 bytes are to be written.
  uint32_t AllocateEncoded(uint16_t key_length, char pad, char** bytes);
  // Sets a sibling link of the page at `offset` (read like Page) and marks
  // it changed, decoding nothing.
  void SetLeft(uint32_t offset, uint16_t key_length, char pad, uint32_t left);
  void SetRight(uint32_t offset, uint16_t key_length, char pad, uint32_t right);
  // Whether the page at `offset` (in the store) still fits its 512 bytes
  // after one entry was inserted into it. Quick for a leaf that had room
  // to spare and has changed no other way since it was read or written.
  bool FitsAfterInsert(uint32_t offset);
  // An entry was inserted into the page at `offset` kept encoded.
  void NoteInsert(uint32_t offset);

  // A change is the work between two Commits: pages changed in memory by
  // Page, MarkChanged and Allocate, then encoded and written.
  bool changed() const { return !dirty_.empty(); }
  // Encodes every changed page; throws Error(kUsage) if one no longer fits.
  // Called before the first write so that writing cannot fail half-way for
  // that reason. Pages whose bytes come out as read stop counting as changed.
  void Encode();
  // Writes the new pages at the end of the file, where nothing on disk
  // refers to them yet; then, separately, the existing pages that changed.
  void WriteNewPages();
  void WriteChangedPages();
  // The existing pages that changed, as WriteChangedPages writes them, for
  // writing later with WriteRuns (after Commit, from another thread): pages
  // close to each other come as one run.
  struct PageRun {
    uint32_t offset;
    std::string bytes;
  };
  void TakeChangedPages(std::vector<PageRun>* runs);
  static void WriteRuns(DiskFile& file, const std::vector<PageRun>& runs);
  // After both writes: the written bytes become the pages as read, so that
  // the next change starts from the file as it now is.
  void Commit();
  // Forgets pages (the leaves first, then the interior ones) when more than
  // `max_pages` are kept, but never the pages of the current change: a page
  // forgotten is read from the file again when next asked for, so every
  // change made before the current one must be on disk when this is called
  // (with WriteRuns, after the runs taken are written).
  void Trim(size_t max_pages);
  // Forgets every page and where the file ends, as a new store would, and
  // clears the windows; the memory stays for the pages read next.
  void Restart();

 private:
  // A page is kept either encoded, its bytes changed in place, or decoded.
  struct Slot {
    // The flags come first, next to the start of the bytes they describe.
    uint16_t key_length = 0;
    char pad = ' ';
    bool encoded = false;
    bool added = false;    // after the end of the file, not written yet
    bool changed = false;  // in the current change
    bool edited = false;   // changed while kept encoded, then decoded
    unsigned inserts = 0;  // entries inserted in the current change
    // Kept encoded: the page as changed so far. Decoded: the page as it was
    // when decoded (as on disk unless `edited`).
    std::array<char, kIndexPageSize> bytes{};
    std::unique_ptr<IndexNode> node;  // decoded
    std::string to_write;             // a decoded page, encoded for writing

    // The bytes to write for a changed page.
    const char* Written() const { return encoded ? bytes.data() : to_write.data(); }
  };

  // The slots by page offset: open addressing over a table of offsets, so
  // that finding a page touches little memory besides the slot itself.
  class PageMap {
   public:
    Slot* Find(uint32_t offset) const;
    Slot& At(uint32_t offset) const;
    Slot& Insert(uint32_t offset, Slot slot);
    size_t size() const { return size_; }
    void Clear();
    // Removes the slots for which `drop` is true.
    template <typename Drop>
    void EraseIf(Drop drop);

   private:
    size_t Home(uint32_t offset) const;
    void Rehash(size_t capacity);

    struct Place {
      uint32_t offset = 0;  // 0 for an empty place: no page lies at offset 0
      std::unique_ptr<Slot> slot;
    };
    std::vector<Place> places_;
    size_t size_ = 0;
    // Slots of cleared maps, taken again by the next session's pages.
    std::vector<std::unique_ptr<Slot>> free_;
  };

  void FindEnd();
  Slot& Load(uint32_t offset, uint16_t key_length, char pad);
  // Reads the page at `offset` (through windows_); false when the file ends
  // before it.
  bool ReadPage(uint32_t offset, char* page);
  void Decode(uint32_t offset, Slot& slot);
  // Keeps the page encoded, as `bytes`, when an editor can edit it.
  static bool KeepEncoded(Slot& slot, const char* bytes);

  DiskFile& file_;
  uint64_t file_size_ = 0;  // known once pages are added
  uint32_t next_new_ = 0;   // where the next added page goes; 0 until known
  PageMap pages_;           // slots stay where they are: references stay valid
  // The pages of the current change, sorted by offset by Encode.
  struct Dirty {
    uint32_t offset;
    Slot* slot;
    bool operator<(const Dirty& other) const { return offset < other.offset; }
  };
  std::vector<Dirty> dirty_;
  bool adds_ = false;  // the current change adds pages
  std::unique_ptr<PageWindows> own_windows_;
  PageWindows& windows_;
};

class IndexTree {
 public:
  IndexTree(IndexPageStore& pages, uint32_t root, uint16_t key_length, char pad);

  // A record other than `recno` whose entry has this key, if there is one.
  std::optional<uint32_t> OtherRecordWithKey(const std::string& key, uint32_t recno);
  // Every record whose entry has this key (full length, as stored), in
  // record order.
  std::vector<uint32_t> RecordsWithKey(const std::string& key);

  // Removes an entry; false when the tag does not hold it.
  bool Remove(const IndexEntry& entry);
  // Inserts an entry. Throws Error(kCorrupt) if the tag holds it already.
  void Insert(const IndexEntry& entry);

 private:
  // Calls `visit(recno)` for each entry with `key`, in order, from the leaf
  // at `offset` (the one Descend reaches) along the right siblings, until it
  // returns true; returns whether it did. Throws like OtherRecordWithKey.
  bool VisitKey(const std::string& key, uint32_t offset, const std::function<bool(uint32_t)>& visit);
  // One item per level, on the stack: Descend refuses trees deeper than
  // kMaxDepth as damaged.
  static constexpr size_t kMaxDepth = 64;
  template <typename T>
  struct Levels {
    std::array<T, kMaxDepth> items;
    size_t count = 0;
    void push_back(T item) { items[count++] = item; }
    size_t size() const { return count; }
    T& operator[](size_t i) { return items[i]; }
    T& back() { return items[count - 1]; }
    const T* begin() const { return items.data(); }
    const T* end() const { return items.data() + count; }
  };
  struct Path {
    Levels<uint32_t> pages;        // root first, leaf last
    Levels<size_t> entries_taken;  // entries_taken[i]: the entry of pages[i] that leads to pages[i + 1]
  };

  IndexNode& Node(uint32_t offset) { return pages_.Page(offset, key_length_, pad_); }
  Path Descend(const IndexEntry& target);
  bool Fits(const IndexNode& node) const;
  // The page at `level` changed; `old_last` was its greatest entry before;
  // `grew` when it may no longer fit.
  void AfterChange(Path& path, size_t level, const std::optional<IndexEntry>& old_last, bool grew);
  // The greatest entry of the page at `level` is now `last`: so says its
  // parent's separator, and further up as needed.
  void LastChanged(Path& path, size_t level, const IndexEntry& last);
  // Splits the leaf at the end of `path`, kept encoded, in two without
  // decoding it; false when that cannot be done (then nothing changed).
  bool SplitEncodedLeaf(Path& path);
  void Split(Path& path, size_t level);
  std::vector<size_t> SplitPoints(const IndexNode& node) const;

  IndexPageStore& pages_;
  uint32_t root_;
  uint16_t key_length_;
  char pad_;
};

}  // namespace fox
