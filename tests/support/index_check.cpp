#include "tests/support/index_check.h"

#include <algorithm>
#include <tuple>

#include "data/util/byte_order.h"
#include "tests/support/test_support.h"

namespace testing_support {
namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

std::string HexOffset(uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "0x%X", v);
  return b;
}

bool Less(const fox::IndexEntry& a, const fox::IndexEntry& b) {
  return std::tie(a.key, a.recno) < std::tie(b.key, b.recno);
}

// Decodes a leaf page from its raw bytes and checks its encoding.
void CheckLeaf(const std::string& page, uint16_t key_length, char pad, bool strict, const std::string& where,
               std::vector<fox::IndexEntry>* out, std::vector<std::string>* problems) {
  const auto* p = reinterpret_cast<const unsigned char*>(page.data());
  const unsigned count = fox::LoadLE16(p + 2);
  const unsigned free_bytes = fox::LoadLE16(p + 12);
  const uint32_t record_mask = fox::LoadLE32(p + 14);
  const unsigned dup_mask = p[18], trail_mask = p[19], r = p[20], d = p[21], t = p[22], b = p[23];
  auto problem = [&](const std::string& what) { problems->push_back(where + ": " + what); };
  if (b == 0 || b > 8 || r + d + t != 8 * b) return problem("entry widths do not add up");
  if (record_mask != (r >= 32 ? 0xFFFFFFFFu : (1u << r) - 1) || dup_mask != (1u << d) - 1 ||
      trail_mask != (1u << t) - 1)
    return problem("masks do not match the widths");
  if (dup_mask < key_length || trail_mask < key_length) problem("the counts cannot hold the key length");
  size_t used = 0, at = 512, previous_trail = 0;
  std::string previous;
  for (unsigned j = 0; j < count; ++j) {
    uint64_t e = 0;
    for (unsigned k = 0; k < b; ++k) e |= uint64_t{p[24 + j * b + k]} << (8 * k);
    const uint32_t recno = static_cast<uint32_t>(e & record_mask);
    const size_t dup = (e >> r) & dup_mask, trail = (e >> (r + d)) & trail_mask;
    if (dup + trail > key_length) return problem("entry " + std::to_string(j) + " counts too many bytes");
    const size_t stored = key_length - dup - trail;
    used += b + stored;
    if (used > 488) return problem("entries overflow the page");
    at -= stored;
    std::string key = previous.substr(0, dup) + page.substr(at, stored) + std::string(trail, pad);
    size_t run = 0;
    while (run < key.size() && key[key.size() - 1 - run] == pad) ++run;
    if (run < trail || (strict && run != trail))
      problem("entry " + std::to_string(j) + " leaves off " + std::to_string(trail) + " of " +
              std::to_string(run) + " pad bytes");
    size_t common = 0;
    while (j > 0 && common < key.size() && key[common] == previous[common]) ++common;
    const size_t expected_dup = j == 0 ? 0 : std::min(common, key_length - std::max(trail, previous_trail));
    if (dup != expected_dup)
      problem("entry " + std::to_string(j) + " shares " + std::to_string(dup) + " bytes, not " +
              std::to_string(expected_dup));
    if (recno == 0) problem("entry " + std::to_string(j) + " has record number 0");
    out->push_back({key, recno});
    previous = key;
    previous_trail = trail;
  }
  if (free_bytes != 488 - used)
    problem("free space " + std::to_string(free_bytes) + " instead of " + std::to_string(488 - used));
}

}  // namespace

std::vector<std::string> CheckTagTree(const std::string& bytes, uint32_t root, uint16_t key_length, char pad,
                                      std::vector<fox::IndexEntry>* entries, bool strict) {
  std::vector<std::string> problems;
  std::vector<uint32_t> level{root};
  std::vector<fox::IndexEntry> separators;  // what the parent says of each page of `level`
  const size_t capacity = 500 / (key_length + 8u);
  for (int depth = 0; depth < 64; ++depth) {
    std::vector<uint32_t> next;
    std::vector<fox::IndexEntry> next_separators;
    int leaves = 0;
    for (size_t i = 0; i < level.size(); ++i) {
      const uint32_t offset = level[i];
      const std::string where = "page " + HexOffset(offset) + " (level " + std::to_string(depth) + ")";
      if (offset % 512 || offset < 1024 || uint64_t{offset} + 512 > bytes.size()) {
        problems.push_back(where + " lies outside the file");
        return problems;
      }
      const std::string page = bytes.substr(offset, 512);
      const auto* p = reinterpret_cast<const unsigned char*>(page.data());
      const unsigned attributes = fox::LoadLE16(p), count = fox::LoadLE16(p + 2);
      if (bool(attributes & 1) != (depth == 0)) problems.push_back(where + " has the wrong root bit");
      const uint32_t left = fox::LoadLE32(p + 4), right = fox::LoadLE32(p + 8);
      if (left != (i == 0 ? kNone : level[i - 1])) problems.push_back(where + " has a wrong left link");
      if (right != (i + 1 == level.size() ? kNone : level[i + 1]))
        problems.push_back(where + " has a wrong right link");
      std::vector<fox::IndexEntry> page_entries;
      if (attributes & 2) {
        ++leaves;
        CheckLeaf(page, key_length, pad, strict, where, &page_entries, &problems);
        if (depth > 0 && page_entries.empty()) problems.push_back(where + " is an empty leaf below the root");
      } else {
        if (count == 0 || count > capacity) {
          problems.push_back(where + " holds " + std::to_string(count) + " keys");
          return problems;
        }
        for (unsigned j = 0; j < count; ++j) {
          const size_t at = 12 + j * (key_length + 8u);
          fox::IndexEntry e{page.substr(at, key_length), fox::LoadBE32(p + at + key_length)};
          next.push_back(fox::LoadBE32(p + at + key_length + 4));
          next_separators.push_back(e);
          page_entries.push_back(e);
        }
      }
      for (size_t j = 1; j < page_entries.size(); ++j)
        if (!Less(page_entries[j - 1], page_entries[j])) problems.push_back(where + " is out of order");
      if (depth > 0 && !page_entries.empty() &&
          (page_entries.back().key != separators[i].key || page_entries.back().recno != separators[i].recno))
        problems.push_back(where + ": its parent's separator is not its greatest entry");
      if (attributes & 2) entries->insert(entries->end(), page_entries.begin(), page_entries.end());
    }
    if (leaves != 0) {
      if (leaves != static_cast<int>(level.size())) problems.push_back("leaves at different depths");
      break;
    }
    level = std::move(next);
    separators = std::move(next_separators);
  }
  for (size_t j = 1; j < entries->size(); ++j)
    if (!Less((*entries)[j - 1], (*entries)[j]))
      problems.push_back("the leaf level is out of order at entry " + std::to_string(j));
  return problems;
}

std::vector<fox::IndexEntry> ExpectedEntries(const fox::Table& table, const fox::IndexMaintainer::Tag& tag) {
  std::vector<fox::IndexEntry> expected;
  std::string record;
  for (uint32_t r = 1; r <= table.record_count(); ++r) {
    table.ReadRecords(r, 1, &record);
    std::optional<std::string> key = table.index_maintainer()->KeyOf(tag, record);
    if (key) expected.push_back({*key, r});
  }
  std::sort(expected.begin(), expected.end(), Less);
  return expected;
}

std::vector<std::string> CheckIndex(const fox::Table& table, size_t* checked, bool strict) {
  std::vector<std::string> problems;
  const fox::IndexMaintainer* maintainer = table.index_maintainer();
  if (!maintainer) return {"the table has no structural index"};
  const std::string bytes = ReadFileBytes(maintainer->index().path());
  if (checked) *checked = 0;
  for (const auto& tag : maintainer->tags()) {
    if (tag.header.signature == 5) continue;
    const uint32_t root = fox::LoadLE32(bytes.data() + tag.header.header_offset);
    const char pad = tag.key ? tag.format.pad() : static_cast<char>(tag.header.pad_byte);
    std::vector<fox::IndexEntry> entries;
    for (const std::string& p : CheckTagTree(bytes, root, tag.header.key_length, pad, &entries, strict))
      problems.push_back("tag " + tag.header.name + ": " + p);
    if (!tag.key) continue;
    const std::vector<fox::IndexEntry> expected = ExpectedEntries(table, tag);
    if (checked) ++*checked;
    for (size_t i = 0; i < std::max(entries.size(), expected.size()); ++i) {
      if (i < entries.size() && i < expected.size() && entries[i].key == expected[i].key &&
          entries[i].recno == expected[i].recno)
        continue;
      std::string found =
          i < entries.size() ? Hex(entries[i].key) + " #" + std::to_string(entries[i].recno) : "nothing";
      std::string want =
          i < expected.size() ? Hex(expected[i].key) + " #" + std::to_string(expected[i].recno) : "nothing";
      problems.push_back("tag " + tag.header.name + ": entry " + std::to_string(i) + " is " + found +
                         ", expected " + want);
      break;
    }
  }
  return problems;
}

}  // namespace testing_support
