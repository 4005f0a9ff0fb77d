#include "data/table/index_check.h"

#include <algorithm>
#include <optional>
#include <tuple>

#include "data/file/disk_file.h"
#include "data/index/index_page.h"
#include "data/index/index_tree.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/util/hex.h"

namespace fox {
namespace {

constexpr uint32_t kFirstPage = 1024;  // after the file's header
constexpr int kMaxDepth = 64;

bool Less(const IndexEntry& a, const IndexEntry& b) {
  return std::tie(a.key, a.recno) < std::tie(b.key, b.recno);
}
bool Same(const IndexEntry& a, const IndexEntry& b) { return a.key == b.key && a.recno == b.recno; }

// The leaf entries of a tag in stored order, or the first problem found in
// its tree.
std::string WalkTree(DiskFile& file, PageWindows& windows, uint32_t root, uint16_t key_length, char pad,
                     std::vector<IndexEntry>* leaves) {
  const uint64_t size = file.Size();
  std::vector<uint32_t> level{root};
  std::vector<IndexEntry> separators;  // what the parent says of each page of `level`
  std::string page(kIndexPageSize, '\0');
  for (int depth = 0; depth < kMaxDepth; ++depth) {
    std::vector<uint32_t> next;
    std::vector<IndexEntry> next_separators;
    bool leaf_level = false;
    for (size_t i = 0; i < level.size(); ++i) {
      const uint32_t offset = level[i];
      const std::string where = "page " + std::to_string(offset) + " at depth " + std::to_string(depth);
      if (offset % kIndexPageSize != 0 || offset < kFirstPage || uint64_t{offset} + kIndexPageSize > size ||
          !windows.Read(file, offset, page.data()))
        return where + " lies outside the file";
      IndexNode node;
      const std::string problem = DecodeIndexNode(page, key_length, pad, &node);
      if (!problem.empty()) return where + " " + problem;
      if (i == 0) leaf_level = node.leaf();
      if (node.leaf() != leaf_level) return where + ": leaves at different depths";
      if (node.left != (i == 0 ? kNoIndexPage : level[i - 1])) return where + " has a wrong left link";
      if (node.right != (i + 1 == level.size() ? kNoIndexPage : level[i + 1]))
        return where + " has a wrong right link";
      if (node.entries.empty() && depth > 0) return where + " is empty";
      if (depth > 0 && !Same(node.entries.back(), separators[i]))
        return where + ": its parent's entry is not its greatest entry";
      for (size_t j = 1; j < node.entries.size(); ++j)
        if (!Less(node.entries[j - 1], node.entries[j])) return where + " is out of order";
      if (node.leaf()) {
        leaves->insert(leaves->end(), std::make_move_iterator(node.entries.begin()),
                       std::make_move_iterator(node.entries.end()));
      } else {
        next.insert(next.end(), node.children.begin(), node.children.end());
        next_separators.insert(next_separators.end(), std::make_move_iterator(node.entries.begin()),
                               std::make_move_iterator(node.entries.end()));
      }
    }
    if (leaf_level) return "";
    level = std::move(next);
    separators = std::move(next_separators);
  }
  return "the tree is deeper than " + std::to_string(kMaxDepth) + " levels";
}

// The first problem of a tag's leaf entries against the entries its records
// give (sorted); "" when they agree.
std::string CompareEntries(const std::vector<IndexEntry>& leaves, const std::vector<IndexEntry>& expected,
                           bool unique) {
  if (unique) {
    // Each entry must hold its record's key, each key once; which of the
    // records with a key holds it, and whether every key is held, is not
    // checked (see the header).
    uint32_t last = 0;
    for (const IndexEntry& e : expected) last = std::max(last, e.recno);
    std::vector<const std::string*> keys(size_t{last} + 1, nullptr);  // by record number
    for (const IndexEntry& e : expected) keys[e.recno] = &e.key;
    for (size_t i = 0; i < leaves.size(); ++i) {
      const uint32_t recno = leaves[i].recno;
      if (recno >= keys.size() || !keys[recno] || *keys[recno] != leaves[i].key)
        return "entry " + std::to_string(i) + " (#" + std::to_string(leaves[i].recno) +
               ") is not its record's key";
      if (i > 0 && leaves[i].key == leaves[i - 1].key) return "entry " + std::to_string(i) + " repeats a key";
    }
    return "";
  }
  if (leaves.size() != expected.size())
    return "holds " + std::to_string(leaves.size()) + " keys for " + std::to_string(expected.size()) +
           " records";
  for (size_t i = 0; i < leaves.size(); ++i) {
    if (!Same(leaves[i], expected[i]))
      return "entry " + std::to_string(i) + " is " + Hex(leaves[i].key) + " #" +
             std::to_string(leaves[i].recno) + ", expected " + Hex(expected[i].key) + " #" +
             std::to_string(expected[i].recno);
  }
  return "";
}

}  // namespace

std::vector<IndexEntry> TagEntriesFromRecords(const Table& table, const IndexMaintainer::Tag& tag) {
  const IndexMaintainer* maintainer = table.index_maintainer();
  if (!maintainer || !tag.key)
    throw Error(ErrorKind::kUsage, "The keys of tag " + tag.header.name + " of table '" + table.name() +
                                       "' cannot be computed" +
                                       (tag.refusal.empty() ? "" : ": " + tag.refusal) + ".");
  std::vector<IndexEntry> entries;
  table.VisitRecords([&](uint32_t recno, std::string_view record) {
    std::optional<std::string> key;
    try {
      key = maintainer->KeyOf(tag, record);
    } catch (const Error& e) {
      throw Error(e.kind(),
                  "the key of record " + std::to_string(recno) + " cannot be computed (" + e.what() + ")");
    }
    if (key) entries.push_back({std::move(*key), recno});
  });
  std::sort(entries.begin(), entries.end(), Less);
  return entries;
}

std::vector<TagCheck> CheckIndex(const Table& table) {
  std::vector<TagCheck> checks;
  const IndexMaintainer* maintainer = table.index_maintainer();
  if (!maintainer) return checks;
  DiskFile file(maintainer->index().path(), DiskFile::Mode::kReadOnly, "index file");
  PageWindows windows;
  for (const IndexMaintainer::Tag& tag : maintainer->tags()) {
    TagCheck& check = checks.emplace_back();
    check.tag = tag.header.name;
    if (!tag.key) {
      check.not_checked_reason = tag.refusal;
      continue;
    }
    std::vector<IndexEntry> expected;
    try {
      expected = TagEntriesFromRecords(table, tag);
    } catch (const Error& e) {
      // A key that cannot be told for sure, or a value that cannot be read:
      // the tag cannot be compared with the records.
      if (e.kind() != ErrorKind::kUnsupported && e.kind() != ErrorKind::kCorrupt) throw;
      check.not_checked_reason = e.what();
      continue;
    }
    check.checked = true;
    // The root as the tag header names it now: a rebuild may have moved it
    // since the table was opened.
    unsigned char root[4];
    file.ReadExactAt(tag.header.header_offset, root, sizeof root, "the header of tag " + tag.header.name);
    std::vector<IndexEntry> leaves;
    check.problem = WalkTree(file, windows, LoadLE32(root), tag.header.key_length, tag.format.pad(), &leaves);
    if (check.problem.empty())
      check.problem = CompareEntries(leaves, expected, tag.header.options & IndexTag::kUnique);
    if (check.problem.empty()) check.keys = leaves.size();
  }
  return checks;
}

}  // namespace fox
