// bench_add_index: gives a benchmark table a structural index, for timing
// runs that change indexed fields.
//
//   bench_add_index [--bulk] TABLE.dbf
//
// Writes TABLE.cdx with three tags on the fields bench_make_table writes:
// ADDRESS (key "address", 40 bytes), CODE ("UPPER(code)", 10 bytes) and SINCE
// ("since", a date key), and marks the table as having a structural index.
// With --bulk, for a table of bench_make_table --bulk, eight tags of the
// kinds real applications have: UPPER(name), city+name, code FOR flag,
// name DESCENDING, id UNIQUE, STR(amt,12,2), DTOS(born)+code and
// ALLTRIM(city)+"|"+LEFT(name,12).
// The pages are filled as full as they go, as a REINDEX leaves them. The keys
// come from the library's own key computation, so check the result with an
// independent reader (tests/tools/cdx_dump.pl) when it matters.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "data/index/index_page.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fs = std::filesystem;

namespace {

struct TagDefinition {
  const char* name;
  const char* key;
  uint16_t length;
  char pad;
  const char* filter = "";
  bool descending = false;
  bool unique = false;
};

const std::vector<TagDefinition> kTags = {
    {"ADDRESS", "address", 40, ' '}, {"CODE", "UPPER(code)", 10, ' '}, {"SINCE", "since", 8, '\0'}};

const std::vector<TagDefinition> kBulkTags = {
    {"NAMEUP", "UPPER(name)", 30, ' '},       {"CITYNAME", "city+name", 50, ' '},
    {"CODE", "code", 8, ' ', "flag"},         {"NAMEDESC", "name", 30, ' ', "", true},
    {"ID", "id", 4, '\0', "", false, true},   {"AMT", "STR(amt,12,2)", 12, ' '},
    {"BORNCODE", "DTOS(born)+code", 16, ' '}, {"CITYLEFT", "ALLTRIM(city)+\"|\"+LEFT(name,12)", 33, ' '}};

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteAll(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Page(const fox::IndexNode& node, uint16_t key_length, char pad) {
  std::string page;
  if (!fox::EncodeIndexNode(node, key_length, pad, &page)) throw std::runtime_error("a page overflows");
  return page;
}

// The file header, the tag directory and each tag's header with an empty
// root leaf.
std::string Skeleton(const std::vector<TagDefinition>& definitions) {
  std::string cdx(1024, '\0');
  fox::StoreLE32(&cdx[0], 0x400);
  fox::StoreLE16(&cdx[12], 10);
  cdx[14] = static_cast<char>(0xE0);
  cdx[15] = 1;
  fox::StoreLE16(&cdx[504], 1);
  fox::StoreLE16(&cdx[506], 1);
  fox::StoreLE16(&cdx[510], 1);
  fox::IndexNode directory;
  directory.attributes = fox::IndexNode::kRoot | fox::IndexNode::kLeaf;
  std::string tags;
  uint32_t at = 0x600;
  for (const TagDefinition& t : definitions) {
    std::string header(1024, '\0');
    const uint16_t key_size = static_cast<uint16_t>(std::strlen(t.key) + 1);
    const uint16_t filter_size = static_cast<uint16_t>(std::strlen(t.filter) + 1);
    fox::StoreLE32(&header[0], at + 1024);
    fox::StoreLE16(&header[12], t.length);
    header[14] = static_cast<char>(0x60 | (filter_size > 1 ? 0x08 : 0) | (t.unique ? 0x01 : 0));
    header[15] = 1;
    fox::StoreLE16(&header[502], t.descending ? 1 : 0);
    fox::StoreLE16(&header[504], key_size);
    fox::StoreLE16(&header[506], filter_size);
    fox::StoreLE16(&header[510], key_size);
    std::memcpy(&header[512], t.key, key_size - 1);
    std::memcpy(&header[512 + key_size], t.filter, filter_size - 1);
    fox::IndexNode root;
    root.attributes = fox::IndexNode::kRoot | fox::IndexNode::kLeaf;
    tags += header + Page(root, t.length, t.pad);
    std::string name = t.name;
    name.resize(10, ' ');
    directory.entries.push_back({name, at});
    at += 1536;
  }
  std::sort(directory.entries.begin(), directory.entries.end(),
            [](const fox::IndexEntry& a, const fox::IndexEntry& b) { return a.key < b.key; });
  return cdx + Page(directory, 10, ' ') + tags;
}

// Appends a tag's tree, full pages level by level, and writes its root over
// the empty root leaf.
void AppendTree(std::vector<fox::IndexEntry> entries, uint32_t root, uint16_t key_length, char pad,
                std::string* cdx) {
  std::sort(entries.begin(), entries.end(), [](const fox::IndexEntry& a, const fox::IndexEntry& b) {
    return std::tie(a.key, a.recno) < std::tie(b.key, b.recno);
  });
  std::vector<fox::IndexNode> level;
  fox::IndexNode page;
  page.attributes = fox::IndexNode::kLeaf;
  for (const fox::IndexEntry& e : entries) {
    page.entries.push_back(e);
    if (!fox::IndexNodeFits(page, key_length, pad)) {
      page.entries.pop_back();
      level.push_back(page);
      page.entries.assign(1, e);
    }
  }
  level.push_back(page);
  while (level.size() > 1) {
    std::vector<uint32_t> offsets;
    for (size_t i = 0; i < level.size(); ++i) offsets.push_back(static_cast<uint32_t>(cdx->size() + 512 * i));
    std::vector<fox::IndexNode> parents(1);
    for (size_t i = 0; i < level.size(); ++i) {
      level[i].left = i == 0 ? fox::kNoIndexPage : offsets[i - 1];
      level[i].right = i + 1 == level.size() ? fox::kNoIndexPage : offsets[i + 1];
      *cdx += Page(level[i], key_length, pad);
      if (parents.back().entries.size() == fox::InteriorCapacity(key_length)) parents.emplace_back();
      parents.back().entries.push_back(level[i].entries.back());
      parents.back().children.push_back(offsets[i]);
    }
    level = std::move(parents);
  }
  level[0].attributes |= fox::IndexNode::kRoot;
  cdx->replace(root, 512, Page(level[0], key_length, pad));
}

}  // namespace

int main(int argc, char** argv) {
  const bool bulk = argc == 3 && std::strcmp(argv[1], "--bulk") == 0;
  if (argc != 2 && !bulk) {
    std::fprintf(stderr, "usage: bench_add_index [--bulk] TABLE.dbf\n");
    return 2;
  }
  const std::vector<TagDefinition>& definitions = bulk ? kBulkTags : kTags;
  try {
    const std::string table_path = argv[argc - 1];
    const std::string index_path = fs::path(table_path).replace_extension(".cdx").string();
    WriteAll(index_path, Skeleton(definitions));
    std::string table_bytes = ReadAll(table_path);
    table_bytes[28] = static_cast<char>(table_bytes[28] | 0x01);
    WriteAll(table_path, table_bytes);

    fox::Table table(table_path, {});
    std::string cdx = ReadAll(index_path);
    std::string record;
    for (const auto& tag : table.index_maintainer()->tags()) {
      std::vector<fox::IndexEntry> entries;
      std::set<std::string> keys;  // a UNIQUE tag holds the first record of each key
      for (uint32_t r = 1; r <= table.record_count(); ++r) {
        table.ReadRecords(r, 1, &record);
        std::optional<std::string> key = table.index_maintainer()->KeyOf(tag, record);
        if (!key) continue;  // left out by the FOR clause
        if ((tag.header.options & fox::IndexTag::kUnique) && !keys.insert(*key).second) continue;
        entries.push_back({std::move(*key), r});
      }
      AppendTree(std::move(entries), tag.header.root_page, tag.header.key_length, tag.format.pad(), &cdx);
    }
    WriteAll(index_path, cdx);
    std::printf("index     %s (%zu bytes, %zu tags)\n", index_path.c_str(), cdx.size(), definitions.size());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_add_index: %s\n", e.what());
    return 1;
  }
  return 0;
}
