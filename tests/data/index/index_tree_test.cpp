// Changing the B+trees of compound index files directly: random inserts and
// removals checked against a model after every batch (page structure, leaf
// encoding, entries), growth to several levels and back to an empty root,
// and the leaf encoding compared byte for byte with Visual FoxPro's pages.
#include "data/index/index_tree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <tuple>

#include "data/index/compound_index.h"
#include "data/index/index_page.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "tests/support/index_check.h"
#include "tests/support/test_support.h"

using namespace testing_support;
using fox::IndexEntry;

namespace {

struct EntryLess {
  bool operator()(const IndexEntry& a, const IndexEntry& b) const {
    return std::tie(a.key, a.recno) < std::tie(b.key, b.recno);
  }
};
using Model = std::set<IndexEntry, EntryLess>;

// One tag of a copied index file, changed through IndexTree in batches.
class TreeUnderTest {
 public:
  TreeUnderTest(const TempDir& dir, const std::string& fixture, const std::string& tag, char pad)
      : pad_(pad) {
    path_ = CopyFixtures(dir, {fixture});
    fox::CompoundIndex index(path_, "test");
    for (const fox::IndexTag& t : index.tags()) {
      if (t.name != tag) continue;
      tag_ = t;
      tag_.pad_byte = static_cast<uint8_t>(pad);
      for (IndexEntry& e : index.ReadEntries(tag_)) model_.insert(e);
    }
    EXPECT_EQ(tag_.name, tag);
    file_ = std::make_unique<fox::DiskFile>(path_, fox::DiskFile::Mode::kReadWrite, "index");
  }

  // From now on, batches share one page store that keeps at most
  // `max_pages` pages between them, as a session holding the index lock
  // does, and a batch's changed pages are written only after the next
  // batch's change, as the writer thread writes them while the next batch
  // gathers.
  void KeepPages(size_t max_pages) {
    kept_ = std::make_unique<fox::IndexPageStore>(*file_);
    max_kept_ = max_pages;
  }

  // Runs `change` on a page store (a fresh one unless pages are kept) and
  // writes what it changed.
  template <typename F>
  void Batch(F&& change) {
    std::unique_ptr<fox::IndexPageStore> fresh;
    if (!kept_) fresh = std::make_unique<fox::IndexPageStore>(*file_);
    fox::IndexPageStore& pages = kept_ ? *kept_ : *fresh;
    fox::IndexTree tree(pages, tag_.root_page, tag_.key_length, pad_);
    change(tree);
    fox::IndexPageStore::WriteRuns(*file_, late_);
    late_.clear();
    pages.Encode();
    pages.WriteNewPages();
    if (kept_) {
      pages.Trim(max_kept_);
      pages.TakeChangedPages(&late_);
    } else {
      pages.WriteChangedPages();
    }
    pages.Commit();
  }

  // The problems of the tag on disk, and its entries against the model.
  std::string Check() const {
    std::vector<IndexEntry> entries;
    std::vector<std::string> problems =
        CheckTagTree(Bytes(), tag_.root_page, tag_.key_length, pad_, &entries);
    std::string out;
    for (const auto& p : problems) out += p + "\n";
    if (entries.size() != model_.size())
      out +=
          "holds " + std::to_string(entries.size()) + " entries, not " + std::to_string(model_.size()) + "\n";
    else if (!std::equal(entries.begin(), entries.end(), model_.begin(),
                         [](const IndexEntry& a, const IndexEntry& b) {
                           return a.key == b.key && a.recno == b.recno;
                         }))
      out += "entries differ from the model\n";
    return out;
  }

  int Depth() const {
    const std::string bytes = Bytes();
    uint32_t page = tag_.root_page;
    int depth = 1;
    for (; !(fox::LoadLE16(bytes.data() + page) & 2); ++depth)
      page = fox::LoadBE32(bytes.data() + page + 12 + tag_.key_length + 4);
    return depth;
  }

  // The file as it will be once the pages still to be written are.
  std::string Bytes() const {
    std::string bytes = ReadFileBytes(path_);
    for (const auto& run : late_) bytes.replace(run.offset, run.bytes.size(), run.bytes);
    return bytes;
  }

  std::string RandomKey(std::mt19937& random, const std::string& alphabet, size_t max_length) const {
    std::uniform_int_distribution<size_t> length(1, std::min<size_t>(max_length, tag_.key_length));
    std::uniform_int_distribution<size_t> letter(0, alphabet.size() - 1);
    std::string key(length(random), ' ');
    for (char& c : key) c = alphabet[letter(random)];
    key.resize(tag_.key_length, pad_);
    return key;
  }

  const std::string& path() const { return path_; }
  const fox::IndexTag& tag() const { return tag_; }
  Model& model() { return model_; }

 private:
  std::string path_;
  fox::IndexTag tag_;
  char pad_;
  Model model_;
  std::unique_ptr<fox::DiskFile> file_;
  std::unique_ptr<fox::IndexPageStore> kept_;
  std::vector<fox::IndexPageStore::PageRun>
      late_;  // a kept store's changed pages, written after the next change
  size_t max_kept_ = 0;
};

// Random inserts and removals in batches, each checked; then everything
// removed and some keys inserted into the empty root again.
void GrowAndShrink(TreeUnderTest& t, std::mt19937& random, const std::string& alphabet, size_t max_length,
                   size_t target, int min_depth) {
  std::uniform_int_distribution<uint32_t> recno(1, 100000);
  std::uniform_int_distribution<int> action(0, 3);
  while (t.model().size() < target) {
    t.Batch([&](fox::IndexTree& tree) {
      for (int i = 0; i < 40; ++i) {
        if (action(random) == 0 && !t.model().empty()) {
          auto it = t.model().begin();
          std::advance(it, std::uniform_int_distribution<size_t>(0, t.model().size() - 1)(random));
          ASSERT_TRUE(tree.Remove(*it));
          t.model().erase(it);
        } else {
          IndexEntry e{t.RandomKey(random, alphabet, max_length), recno(random)};
          if (t.model().insert(e).second) tree.Insert(e);
        }
      }
    });
    ASSERT_EQ(t.Check(), "") << "at " << t.model().size() << " entries";
  }
  EXPECT_GE(t.Depth(), min_depth);

  // Probes for other records with a key, as candidate tags do.
  t.Batch([&](fox::IndexTree& tree) {
    for (int i = 0; i < 200; ++i) {
      auto it = t.model().begin();
      std::advance(it, std::uniform_int_distribution<size_t>(0, t.model().size() - 1)(random));
      std::optional<uint32_t> other = tree.OtherRecordWithKey(it->key, it->recno);
      auto same = t.model().lower_bound(IndexEntry{it->key, 0});
      std::optional<uint32_t> expected;
      for (; same != t.model().end() && same->key == it->key && !expected; ++same)
        if (same->recno != it->recno) expected = same->recno;
      ASSERT_EQ(other, expected);
      const IndexEntry absent{it->key, it->recno + 100000};
      ASSERT_FALSE(tree.Remove(absent));
    }
  });

  while (!t.model().empty()) {
    t.Batch([&](fox::IndexTree& tree) {
      for (int i = 0; i < 60 && !t.model().empty(); ++i) {
        auto it = t.model().begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, t.model().size() - 1)(random));
        ASSERT_TRUE(tree.Remove(*it));
        t.model().erase(it);
      }
    });
    ASSERT_EQ(t.Check(), "") << "at " << t.model().size() << " entries";
  }
  EXPECT_EQ(t.Depth(), 1);
  t.Batch([&](fox::IndexTree& tree) {
    for (int i = 0; i < 30; ++i) {
      IndexEntry e{t.RandomKey(random, alphabet, max_length), recno(random)};
      if (t.model().insert(e).second) tree.Insert(e);
    }
  });
  EXPECT_EQ(t.Check(), "");
}

TEST(IndexTree, ShortKeysGrowToThreeLevelsAndShrinkToAnEmptyRoot) {
  TempDir dir;
  // TYPE: 12-byte character keys; a small alphabet makes keys share bytes.
  TreeUnderTest t(dir, "foxbin2prg/foxuser_fdbozzo.cdx", "TYPE", ' ');
  fox::CompoundIndex before(t.path(), "test");
  std::mt19937 random(11);
  GrowAndShrink(t, random, "ABC ", 12, 2500, 3);
  // The other tags of the file are untouched.
  fox::CompoundIndex after(t.path(), "test");
  for (const fox::IndexTag& tag : before.tags()) {
    if (tag.name == "TYPE" || tag.signature == 5) continue;
    const auto a = before.ReadEntries(tag), b = after.ReadEntries(tag);
    EXPECT_TRUE(std::equal(
        a.begin(), a.end(), b.begin(), b.end(),
        [](const IndexEntry& x, const IndexEntry& y) { return x.key == y.key && x.recno == y.recno; }))
        << tag.name;
  }
}

TEST(IndexTree, AStoreKeptAcrossChangesStartsEachFromTheFileAsWritten) {
  // The pages read and written by one change serve the next ones: pages
  // added by one change are ordinary pages for the next, and a file that
  // does not end on a page boundary is filled up to one only once. Few
  // pages are kept, so leaves and then all pages are forgotten again and
  // again, while the pages of the change before are still to be written:
  // those must not be read back from the file.
  TempDir dir;
  TreeUnderTest t(dir, "foxbin2prg/foxuser_fdbozzo.cdx", "TYPE", ' ');
  {
    std::string bytes = ReadFileBytes(t.path());
    bytes.append(100, '\x5A');
    WriteFileBytes(t.path(), bytes);
  }
  t.KeepPages(12);
  std::mt19937 random(13);
  GrowAndShrink(t, random, "ABC ", 12, 2500, 3);
}

TEST(IndexTree, LongAndIntegerKeysGrowAndShrink) {
  struct Case {
    const char* file;
    const char* tag;
    char pad;
    std::string alphabet;
    size_t max_length, entries;
    int depth;
  };
  const Case cases[] = {
      // 148-byte keys, three to an interior page: splits at every level.
      {"foxbin2prg/fb2p_dbc.dcx", "OBJECTNAME", ' ', "abcdefghijklmnopqrstuvwxyz0123456789", 148, 400, 4},
      // 4-byte integer keys whose record numbers need wider leaf entries.
      {"ruby-dbf/foxprodb/calls.CDX", "CALL_ID", '\0', std::string("\x80\x00\x01\x7F\xFF", 5), 4, 3000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tag);
    TempDir dir;
    TreeUnderTest t(dir, c.file, c.tag, c.pad);
    std::mt19937 random(12);
    GrowAndShrink(t, random, c.alphabet, c.max_length, c.entries, c.depth);
  }
}

TEST(IndexTree, DamagedTreesAreReportedAndNothingIsWritten) {
  TempDir dir;
  TreeUnderTest t(dir, "foxbin2prg/foxuser_fdbozzo.cdx", "WIZARD_1", ' ');
  const std::string original = ReadFileBytes(t.path());
  const IndexEntry first = *t.model().begin();
  // An entry the tag holds twice, and one it does not hold.
  fox::Error e = ErrorOf([&] { t.Batch([&](fox::IndexTree& tree) { tree.Insert(first); }); });
  EXPECT_EQ(e.kind(), fox::ErrorKind::kCorrupt);
  t.Batch([&](fox::IndexTree& tree) { EXPECT_FALSE(tree.Remove({first.key, first.recno + 1000})); });
  EXPECT_EQ(ReadFileBytes(t.path()), original);

  // The first child pointer of the root leads outside the file.
  std::string bytes = original;
  fox::StoreBE32(bytes.data() + t.tag().root_page + 12 + t.tag().key_length + 4, 0x7FFFFE00);
  WriteFileBytes(t.path(), bytes);
  e = ErrorOf([&] { t.Batch([&](fox::IndexTree& tree) { tree.Remove(first); }); });
  EXPECT_EQ(e.kind(), fox::ErrorKind::kCorrupt);
  EXPECT_NE(std::string(e.what()).find("outside"), std::string::npos) << e.what();
  EXPECT_EQ(ReadFileBytes(t.path()), bytes);
}

// Leaves edited in place one entry at a time must come out byte for byte as
// if their entries had been encoded whole; when an edit cannot be made in
// place (no room, entries of another width) the page must be left as it was.
TEST(IndexPage, LeavesEditedInPlaceComeOutAsIfEncodedWhole) {
  struct Case {
    uint16_t key_length;
    char pad;
    std::string alphabet;  // few letters: keys share bytes
    uint32_t largest_recno;
  };
  const Case cases[] = {{12, ' ', "AB ", 300},
                        {40, ' ', "abc", 70000},
                        {4, '\0', std::string("\x00\x01\xFF", 3), 1 << 20},
                        {8, '\0', std::string("\x00\x40", 2), 20}};
  std::mt19937 random(17);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key_length);
    std::uniform_int_distribution<size_t> length(0, c.key_length), letter(0, c.alphabet.size() - 1);
    std::uniform_int_distribution<uint32_t> recno(1, c.largest_recno);
    auto random_key = [&] {
      std::string key(length(random), ' ');
      for (char& ch : key) ch = c.alphabet[letter(random)];
      key.resize(c.key_length, c.pad);
      return key;
    };
    Model model;
    model.insert({random_key(), 1});
    auto encode = [&] {
      fox::IndexNode node;
      node.attributes = fox::IndexNode::kLeaf;
      node.entries.assign(model.begin(), model.end());
      std::string page;
      return fox::EncodeIndexNode(node, c.key_length, c.pad, &page) ? page : std::string();
    };
    std::string page = encode();
    int erased = 0, inserted = 0, refused = 0;
    for (int step = 0; step < 3000; ++step) {
      ASSERT_TRUE(fox::LeafEditor::Editable(page.data(), c.key_length)) << "step " << step;
      fox::LeafEditor leaf(page.data(), c.key_length, c.pad);
      const bool erase = model.size() > 1 && std::uniform_int_distribution<int>(0, 2)(random) == 0;
      IndexEntry entry;
      if (erase) {
        auto it = model.begin();
        std::advance(it, std::uniform_int_distribution<size_t>(0, model.size() - 1)(random));
        entry = *it;
      } else {
        entry = {random_key(), recno(random)};
        if (model.count(entry)) continue;
      }
      const fox::LeafEditor::Position at = leaf.Find(entry);
      ASSERT_EQ(at.index, static_cast<size_t>(std::distance(model.begin(), model.lower_bound(entry))));
      ASSERT_EQ(at.equal, erase);
      const std::string before = page;
      if (erase)
        model.erase(entry);
      else
        model.insert(entry);
      const std::string whole = encode();
      if (erase ? leaf.Erase(at) : leaf.Insert(at, entry)) {
        if (page != whole) FAIL() << "step " << step << "\n" << Hex(page) << "\n" << Hex(whole);
        ++(erase ? erased : inserted);
        continue;
      }
      ASSERT_EQ(page, before) << "step " << step;
      ++refused;
      if (whole.empty()) {
        model.erase(entry);  // a page that would split: take another entry
      } else {
        page = whole;  // entries of another width: encoded whole
      }
    }
    EXPECT_GT(erased, 100);
    EXPECT_GT(inserted, 100);
    EXPECT_GT(refused, 10);
  }
}

// Visual FoxPro gives the leaves of these files the narrowest entries that
// hold their record numbers; they must come out of the encoder byte for byte
// (the unused middle of a page aside, where Visual FoxPro leaves old bytes).
TEST(IndexPage, LeavesEncodeAsVisualFoxProWroteThem) {
  const char* files[] = {"foxbin2prg/fb2p_dbf.cdx",
                         "foxbin2prg/foxuser_fdbozzo.cdx",
                         "foxbin2prg/fb2p_dbc.dcx",
                         "ruby-dbf/foxprodb/calls.CDX",
                         "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DCX",
                         "go-dbase/database/employees.CDX",
                         "go-dbase/database/expense reports.CDX",
                         "go-dbase/database/EXPENSES.DCX"};
  size_t compared = 0;
  for (const char* file : files) {
    SCOPED_TRACE(file);
    const std::string bytes = ReadFileBytes(Fixture(file));
    fox::CompoundIndex index(Fixture(file), "test",
                             {{"edad", 'N'},
                              {"id", 'I'},
                              {"call_id", 'I'},
                              {"contact_id", 'I'},
                              {"employeeid", 'I'},
                              {"expensereportid", 'I'},
                              {"datesubmitted", 'T'}});
    for (const fox::IndexTag& tag : index.tags()) {
      if (tag.signature == 5) continue;
      // Every leaf of the tag, in order.
      uint32_t page = tag.root_page;
      while (!(fox::LoadLE16(bytes.data() + page) & 2))
        page = fox::LoadBE32(bytes.data() + page + 12 + tag.key_length + 4);
      for (; page != 0xFFFFFFFF; page = fox::LoadLE32(bytes.data() + page + 8)) {
        const std::string stored = bytes.substr(page, 512);
        fox::IndexNode node;
        ASSERT_EQ(fox::DecodeIndexNode(stored, tag.key_length, static_cast<char>(tag.pad_byte), &node), "");
        std::string encoded;
        ASSERT_TRUE(fox::EncodeIndexNode(node, tag.key_length, static_cast<char>(tag.pad_byte), &encoded));
        const size_t head = 24 + node.entries.size() * static_cast<unsigned char>(stored[23]);
        const size_t keys = 488 - fox::LoadLE16(stored.data() + 12) - (head - 24);
        EXPECT_EQ(Hex(encoded.substr(0, head)), Hex(stored.substr(0, head))) << tag.name << " page " << page;
        EXPECT_EQ(Hex(encoded.substr(512 - keys)), Hex(stored.substr(512 - keys)))
            << tag.name << " page " << page;
        ++compared;
      }
    }
  }
  EXPECT_EQ(compared, 32u);
}

}  // namespace
