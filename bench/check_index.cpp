// bench_check_index: checks every tag of a table's structural index against
// the table's records, for instance after a benchmark run changed them.
//
//   bench_check_index TABLE.dbf
//
// For each tag whose keys this library computes: walks the tree level by
// level from the root (every page decodes; the sibling links chain each level
// from left to right; every interior entry is the greatest entry of its
// child; all leaves at one depth) and compares the leaf entries, in order,
// with the keys computed from the records. Prints one line per tag and exits
// 1 when a tag is inconsistent, 2 when the table cannot be read.

#include <algorithm>
#include <map>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>
#include <vector>

#include "data/byte_order.h"
#include "data/error.h"
#include "data/index_page.h"
#include "data/table.h"

namespace {

bool Less(const fox::IndexEntry& a, const fox::IndexEntry& b) { return std::tie(a.key, a.recno) < std::tie(b.key, b.recno); }
bool Same(const fox::IndexEntry& a, const fox::IndexEntry& b) { return a.key == b.key && a.recno == b.recno; }

std::string Hex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string hex;
  for (unsigned char c : bytes) {
    hex += kDigits[c >> 4];
    hex += kDigits[c & 15];
  }
  return hex;
}

// The leaf entries of a tag in stored order, or the first problem found in
// its tree.
std::string WalkTree(const std::string& file, uint32_t root, uint16_t key_length, char pad,
                     std::vector<fox::IndexEntry>* leaves) {
  std::vector<uint32_t> level{root};
  std::vector<fox::IndexEntry> separators;  // what the parent says of each page of `level`
  for (int depth = 0; depth < 64; ++depth) {
    std::vector<uint32_t> next;
    std::vector<fox::IndexEntry> next_separators;
    bool leaf_level = false;
    for (size_t i = 0; i < level.size(); ++i) {
      const uint32_t offset = level[i];
      const std::string where = "page " + std::to_string(offset) + " at depth " + std::to_string(depth);
      if (offset % fox::kIndexPageSize != 0 || uint64_t{offset} + fox::kIndexPageSize > file.size())
        return where + " lies outside the file";
      fox::IndexNode node;
      const std::string problem = fox::DecodeIndexNode(file.substr(offset, fox::kIndexPageSize), key_length, pad, &node);
      if (!problem.empty()) return where + " " + problem;
      if (i == 0) leaf_level = node.leaf();
      if (node.leaf() != leaf_level) return where + ": leaves at different depths";
      if (node.left != (i == 0 ? fox::kNoIndexPage : level[i - 1])) return where + " has a wrong left link";
      if (node.right != (i + 1 == level.size() ? fox::kNoIndexPage : level[i + 1])) return where + " has a wrong right link";
      if (node.entries.empty() && depth > 0) return where + " is empty";
      if (depth > 0 && !Same(node.entries.back(), separators[i]))
        return where + ": its parent's entry is not its greatest entry";
      for (size_t j = 1; j < node.entries.size(); ++j)
        if (!Less(node.entries[j - 1], node.entries[j])) return where + " is out of order";
      if (node.leaf()) {
        leaves->insert(leaves->end(), node.entries.begin(), node.entries.end());
      } else {
        next.insert(next.end(), node.children.begin(), node.children.end());
        next_separators.insert(next_separators.end(), node.entries.begin(), node.entries.end());
      }
    }
    if (leaf_level) return "";
    level = std::move(next);
    separators = std::move(next_separators);
  }
  return "the tree is deeper than 64 levels";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_check_index TABLE.dbf\n");
    return 2;
  }
  try {
    fox::Table table(argv[1], fox::Table::Options{});
    const fox::IndexMaintainer* maintainer = table.index_maintainer();
    if (!maintainer) {
      std::fprintf(stderr, "%s has no structural index\n", argv[1]);
      return 2;
    }
    std::ifstream in(maintainer->index().path(), std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), {});

    // The records, read once for all tags.
    std::vector<std::vector<fox::IndexEntry>> expected(maintainer->tags().size());
    const uint32_t count = table.record_count();
    const uint32_t block = 4096;
    std::string records;
    for (uint32_t first = 1; first <= count; first += block) {
      const uint32_t n = std::min(block, count - first + 1);
      table.ReadRecords(first, n, &records);
      for (uint32_t k = 0; k < n; ++k) {
        const std::string_view record(records.data() + size_t{k} * table.header().record_length,
                                      table.header().record_length);
        for (size_t t = 0; t < maintainer->tags().size(); ++t) {
          const fox::IndexMaintainer::Tag& tag = maintainer->tags()[t];
          if (!tag.key) continue;
          if (std::optional<std::string> key = maintainer->KeyOf(tag, record)) expected[t].push_back({*key, first + k});
        }
      }
    }

    bool consistent = true;
    for (size_t t = 0; t < maintainer->tags().size(); ++t) {
      const fox::IndexMaintainer::Tag& tag = maintainer->tags()[t];
      if (!tag.key) {
        std::printf("tag %s: not checked (%s)\n", tag.header.name.c_str(), tag.refusal.c_str());
        continue;
      }
      std::vector<fox::IndexEntry> leaves;
      const uint32_t root = fox::LoadLE32(file.data() + tag.header.header_offset);
      std::string problem = WalkTree(file, root, tag.header.key_length, tag.format.pad(), &leaves);
      std::sort(expected[t].begin(), expected[t].end(), Less);
      if (problem.empty() && (tag.header.options & fox::IndexTag::kUnique)) {
        // A UNIQUE tag holds one record per key, the first one a REINDEX
        // meets, but saves keep it the way FoxPro does: a key leaves with the
        // record that held it, and another record with the same key does not
        // take its place. Each entry must hold its record's key, each key once.
        std::map<uint32_t, const std::string*> keys;
        for (const fox::IndexEntry& e : expected[t]) keys[e.recno] = &e.key;
        for (size_t i = 0; problem.empty() && i < leaves.size(); ++i) {
          const auto found = keys.find(leaves[i].recno);
          if (found == keys.end() || *found->second != leaves[i].key)
            problem = "entry " + std::to_string(i) + " (#" + std::to_string(leaves[i].recno) + ") is not its record's key";
          else if (i > 0 && leaves[i].key == leaves[i - 1].key)
            problem = "entry " + std::to_string(i) + " repeats a key";
        }
        expected[t] = leaves;
      }
      if (problem.empty() && leaves.size() != expected[t].size())
        problem = "holds " + std::to_string(leaves.size()) + " keys for " + std::to_string(expected[t].size()) + " records";
      for (size_t i = 0; problem.empty() && i < leaves.size(); ++i) {
        if (!Same(leaves[i], expected[t][i]))
          problem = "entry " + std::to_string(i) + " is " + Hex(leaves[i].key) + " #" + std::to_string(leaves[i].recno) +
                    ", expected " + Hex(expected[t][i].key) + " #" + std::to_string(expected[t][i].recno);
      }
      if (problem.empty()) {
        std::printf("tag %s: %zu keys, consistent\n", tag.header.name.c_str(), leaves.size());
      } else {
        std::printf("tag %s: INCONSISTENT: %s\n", tag.header.name.c_str(), problem.c_str());
        consistent = false;
      }
    }
    return consistent ? 0 : 1;
  } catch (const fox::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}
