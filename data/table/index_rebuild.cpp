#include "data/table/index_rebuild.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "data/file/disk_file.h"
#include "data/index/index_maintenance.h"
#include "data/index/index_page.h"
#include "data/table/index_check.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/util/full_stop.h"

namespace fox {
namespace {

constexpr uint32_t kFirstPage = 1024;              // after the file's header
constexpr uint64_t kLargestFile = 0x7FFFFFFF;      // what FoxPro can address
constexpr uint64_t kIndexLockOffset = 0x7FFFFFFE;  // the lock IndexMaintainer takes
constexpr size_t kCounterAt = 8;                   // the file header's change counter, big-endian
constexpr uint32_t kTagHeaderSize = 1024;
constexpr size_t kTagHeaderCheckedFrom = 12;        // root, free list and counter aside
constexpr size_t kLeafSpace = kIndexPageSize - 24;  // for a leaf's entries and key bytes
constexpr size_t kRecordCountAt = 4;                // in the table file's header

unsigned BitLength(uint64_t v) {
  unsigned n = 0;
  for (; v; v >>= 1) ++n;
  return n;
}

std::string Upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

size_t TrailingPad(const std::string& key, char pad) {
  size_t n = 0;
  while (n < key.size() && key[key.size() - 1 - n] == pad) ++n;
  return n;
}

size_t CommonPrefix(const std::string& a, const std::string& b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// A tag to rebuild, and the root of its new tree.
struct Plan {
  const IndexMaintainer::Tag* tag;
  std::string what;  // "tag NAME of table 'T'"
  uint32_t root = 0;
};

// The leaves of a tag holding `entries` (sorted), each as full as it goes:
// an entry joins the page while the page's entries and key bytes fit, laid
// out as EncodeIndexNode lays them out (entry widths for the page's largest
// record number, bytes shared with the key before, pad bytes left off the
// end). A tag without entries gets one empty leaf.
std::vector<IndexNode> PackLeaves(std::vector<IndexEntry>& entries, uint16_t key_length, char pad) {
  const unsigned count_bits = BitLength(key_length);
  std::vector<IndexNode> leaves;
  IndexNode page;
  page.attributes = IndexNode::kLeaf;
  size_t key_bytes = 0, previous_trail = 0;
  uint32_t largest = 0;
  for (IndexEntry& e : entries) {
    const size_t trail = TrailingPad(e.key, pad);
    size_t shared = 0;
    if (!page.entries.empty()) {
      shared = std::min(CommonPrefix(e.key, page.entries.back().key),
                        key_length - std::max(trail, previous_trail));
    }
    const uint32_t page_largest = std::max(largest, e.recno);
    const size_t entry_size = (std::max(1u, BitLength(page_largest)) + 2 * count_bits + 7) / 8;
    if (!page.entries.empty() &&
        (page.entries.size() + 1) * entry_size + key_bytes + (key_length - shared - trail) > kLeafSpace) {
      leaves.push_back(std::move(page));
      page = IndexNode();
      page.attributes = IndexNode::kLeaf;
      key_bytes = 0;
      largest = 0;
      shared = 0;
    }
    key_bytes += key_length - shared - trail;
    largest = std::max(largest, e.recno);
    previous_trail = trail;
    page.entries.push_back(std::move(e));
  }
  leaves.push_back(std::move(page));
  return leaves;
}

// Lays out a tag's tree from `first` on: the leaves, left to right, then each
// level of interior pages above them (as many entries to a page as fit), up
// to the root. Returns the pages' bytes; `root` gets the root's offset.
std::string BuildTree(std::vector<IndexEntry> entries, uint16_t key_length, char pad, uint64_t first,
                      const std::string& what, uint32_t* root) {
  std::vector<IndexNode> level = PackLeaves(entries, key_length, pad);
  entries.clear();
  entries.shrink_to_fit();
  std::string out;
  uint64_t at = first;
  const size_t capacity = InteriorCapacity(key_length);
  for (;;) {
    const uint64_t level_start = at;
    if (level_start + uint64_t{level.size()} * kIndexPageSize > kLargestFile)
      throw Error(ErrorKind::kUnsupported,
                  "The " + what + " was not rebuilt: the index file would grow past 2 GB.");
    auto offset = [&](size_t i) { return static_cast<uint32_t>(level_start + i * kIndexPageSize); };
    std::vector<IndexNode> parents;
    std::string page;
    for (size_t i = 0; i < level.size(); ++i) {
      IndexNode& node = level[i];
      node.left = i == 0 ? kNoIndexPage : offset(i - 1);
      node.right = i + 1 == level.size() ? kNoIndexPage : offset(i + 1);
      if (level.size() == 1) node.attributes |= IndexNode::kRoot;
      if (!EncodeIndexNode(node, key_length, pad, &page))
        throw Error(ErrorKind::kUsage, "The " + what + " was not rebuilt: its page at " +
                                           std::to_string(offset(i)) + " was filled beyond its size.");
      out += page;
      if (level.size() == 1) break;
      if (parents.empty() || parents.back().entries.size() == capacity) parents.emplace_back();
      parents.back().entries.push_back(node.entries.back());
      parents.back().children.push_back(offset(i));
      node.entries.clear();
      node.entries.shrink_to_fit();
    }
    at += uint64_t{level.size()} * kIndexPageSize;
    if (level.size() == 1) {
      *root = static_cast<uint32_t>(level_start);
      return out;
    }
    level = std::move(parents);
  }
}

// The entries a tag is rebuilt with: every record's key (TagEntriesFromRecords),
// a UNIQUE tag keeping the first record of each key.
std::vector<IndexEntry> EntriesOf(const Table& table, const Plan& plan) {
  const IndexMaintainer::Tag& tag = *plan.tag;
  std::vector<IndexEntry> entries;
  try {
    entries = TagEntriesFromRecords(table, tag);
  } catch (const Error& e) {
    throw Error(e.kind(), WithFullStop("The " + plan.what + " was not rebuilt: " + e.what()));
  }
  for (const IndexEntry& e : entries) {
    if (e.key.size() != tag.header.key_length)
      throw Error(ErrorKind::kUnsupported, "The " + plan.what + " was not rebuilt: the key of record " +
                                               std::to_string(e.recno) + " is " +
                                               std::to_string(e.key.size()) + " bytes long, not " +
                                               std::to_string(tag.header.key_length) + ".");
  }
  if (tag.header.options & IndexTag::kCandidate) {
    for (size_t i = 1; i < entries.size(); ++i) {
      if (entries[i].key == entries[i - 1].key)
        throw Error(ErrorKind::kIndexed,
                    "The " + plan.what + " was not rebuilt: records " + std::to_string(entries[i - 1].recno) +
                        " and " + std::to_string(entries[i].recno) +
                        " have the same key, which the tag (a candidate key) allows only once.");
    }
  } else if (tag.header.options & IndexTag::kUnique) {
    // Sorted by key, then record number: the first of each run of a key is
    // the first record a REINDEX meets with it.
    entries.erase(std::unique(entries.begin(), entries.end(),
                              [](const IndexEntry& a, const IndexEntry& b) { return a.key == b.key; }),
                  entries.end());
  }
  return entries;
}

}  // namespace

void RebuildTags(Table& table, const std::vector<std::string>& tag_names) {
  const IndexMaintainer* maintainer = table.index_maintainer();
  if (!maintainer) {
    throw Error(ErrorKind::kNotFound,
                "Table '" + table.name() + "' has no structural index to rebuild" +
                    (table.missing_index().empty()
                         ? std::string(".")
                         : ": its index file \"" + table.missing_index() + "\" is missing."));
  }

  // Every tag named is checked before anything is written.
  std::vector<Plan> plans;
  std::set<std::string> seen;
  for (const std::string& name : tag_names) {
    const std::string upper = Upper(name);
    if (!seen.insert(upper).second) continue;
    const auto found = std::find_if(maintainer->tags().begin(), maintainer->tags().end(),
                                    [&](const IndexMaintainer::Tag& t) { return t.header.name == upper; });
    if (found == maintainer->tags().end()) {
      throw Error(ErrorKind::kNotFound, "Table '" + table.name() + "' has no tag " + name +
                                            " in its structural index \"" + maintainer->index().path() +
                                            "\".");
    }
    const std::string what = "tag " + found->header.name + " of table '" + table.name() + "'";
    if (!found->maintained) {
      throw Error(found->key ? ErrorKind::kReadOnly : ErrorKind::kUnsupported,
                  "The " + what + " cannot be rebuilt: " + found->refusal + ".");
    }
    plans.push_back(Plan{&*found, what});
  }
  if (plans.empty()) return;

  // The saves waiting are written, and the table's own hold on the index
  // lock let go: the lock is taken below through a handle of our own, which
  // the table's would exclude.
  table.Flush();
  table.ReleaseIndex();

  const std::string& path = maintainer->index().path();
  DiskFile file(path, DiskFile::Mode::kReadWrite, "index file");
  std::string names;
  for (const Plan& plan : plans) names += (names.empty() ? "" : ", ") + plan.tag->header.name;
  const std::string not_rebuilt =
      plans.size() == 1 ? "The " + plans[0].what + " was not rebuilt"
                        : "The tags " + names + " of table '" + table.name() + "' were not rebuilt";
  RangeLock lock(
      file, kIndexLockOffset, 1,
      not_rebuilt + ": another program is changing the index file \"" + path + "\" (it is locked).");

  // Under the lock: the tags as the table knows them, and all its records.
  for (const Plan& plan : plans) {
    std::string header(kTagHeaderSize, '\0');
    file.ReadExactAt(plan.tag->header.header_offset, header.data(), header.size(),
                     "the header of " + plan.what);
    if (header.compare(kTagHeaderCheckedFrom, std::string::npos, plan.tag->header_bytes) != 0) {
      throw Error(ErrorKind::kConflict,
                  "The " + plan.what +
                      " was not rebuilt: another program has redefined it since the table "
                      "was opened; open the table again.");
    }
  }
  {
    const DiskFile records(table.path(), DiskFile::Mode::kReadOnly, "table file");
    unsigned char count[4];
    records.ReadExactAt(kRecordCountAt, count, sizeof count, "the header of table '" + table.name() + "'");
    if (LoadLE32(count) != table.record_count()) {
      throw Error(ErrorKind::kConflict, not_rebuilt +
                                            ": another program has added records to the table since it was "
                                            "opened; open the table again.");
    }
  }

  // The new trees are built in memory, so that a tag refused on the way
  // (a repeated candidate key) leaves the file untouched; they go after the
  // end of the file, tag after tag, where nothing refers to them until the
  // roots are switched.
  const uint64_t size = file.Size();
  const uint64_t start =
      std::max<uint64_t>(kFirstPage, (size + kIndexPageSize - 1) / kIndexPageSize * kIndexPageSize);
  std::vector<std::string> trees;
  uint64_t end = start;
  for (Plan& plan : plans) {
    trees.push_back(BuildTree(EntriesOf(table, plan), plan.tag->header.key_length, plan.tag->format.pad(),
                              end, plan.what, &plan.root));
    end += trees.back().size();
  }
  // Programs that cache index pages compare this counter to notice changes:
  // it changes before the first write, as saves change it.
  unsigned char counter[4];
  file.ReadExactAt(kCounterAt, counter, sizeof counter, "the header of the index file");
  StoreBE32(counter, LoadBE32(counter) + 1);
  file.WriteAt(kCounterAt, counter, sizeof counter);
  // A file that does not end on a page boundary is filled up to one.
  if (size < start) trees.front().insert(0, static_cast<size_t>(start - size), '\0');
  uint64_t at = std::min(size, start);
  for (std::string& tree : trees) {
    file.WriteAt(at, tree.data(), tree.size());
    at += tree.size();
    std::string().swap(tree);
  }
  file.Sync();

  // The switch: one small write per tag header.
  std::string switched;
  for (const Plan& plan : plans) {
    unsigned char root[4];
    StoreLE32(root, plan.root);
    try {
      file.WriteAt(plan.tag->header.header_offset, root, sizeof root);
    } catch (const Error& e) {
      throw Error(e.kind(), "The " + plan.what + " was not rebuilt (" + e.what() + ")" +
                                (switched.empty() ? std::string(".") : "; rebuilt: " + switched + "."));
    }
    switched += (switched.empty() ? "" : ", ") + plan.tag->header.name;
  }
  try {
    file.Sync();
  } catch (const Error& e) {
    throw Error(e.kind(), "The tags " + names + " of table '" + table.name() +
                              "' were rebuilt, but the index file could not be flushed to disk (" + e.what() +
                              ").");
  }
}

}  // namespace fox
