// Fuzzes the structural index of a fixed, sound table.
//
// Input: one byte choosing the table, one byte choosing the find/replace
// pairs (fuzz::PickPairs), and the index file (the rest), written as t.cdx
// beside a fresh copy of the table (t.dbf) and its memo (t.fpt). The tables
// come from the fixtures: foxuser_fdbozzo (tags on a date, DTOS()+id, a
// character field and PADR() with a FOR clause; a memo), rooms (FOR clauses,
// code page 437, not written by FoxPro) and calls (a candidate tag on an
// integer, a database table).
//
// Every tag is read, the write walk changes and saves records (their indexed
// fields among others), and the table is read again: the untouched-record
// oracle holds, the tag list is the same, and every tag that was sound before
// (its tree well formed and holding exactly the keys of the records, as the
// tests check an index) is sound after.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "data/database/connection_string.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "fuzz/fuzz_support.h"
#include "tests/support/index_check.h"

namespace fs = std::filesystem;

namespace {

struct FixedTable {
  std::string dbf, memo;
};

const std::vector<FixedTable>& FixedTables() {
  static const std::vector<FixedTable> tables = [] {
    const fs::path root(QUILLON_FIXTURES);
    std::vector<FixedTable> out;
    for (const auto& [dbf, memo] : std::vector<std::pair<const char*, const char*>>{
             {"foxbin2prg/foxuser_fdbozzo.dbf", "foxbin2prg/foxuser_fdbozzo.fpt"},
             {"perl-xbase/rooms.dbf", nullptr},
             {"ruby-dbf/foxprodb/calls.dbf", "ruby-dbf/foxprodb/calls.FPT"}}) {
      out.push_back({fuzz::ReadWholeFile(root / dbf), memo ? fuzz::ReadWholeFile(root / memo) : ""});
      if (out.back().dbf.empty()) fuzz::Fail(std::string("fixture missing: ") + dbf);
    }
    return out;
  }();
  return tables;
}

// The tags by name; for each, its problems (none: sound), or nothing when its
// keys cannot be told (unique, binary, or a key the library cannot compute).
using TagProblems = std::map<std::string, std::optional<std::vector<std::string>>>;

std::optional<TagProblems> CheckTags() {
  std::unique_ptr<fox::Table> table;
  try {
    table = std::make_unique<fox::Table>((fuzz::Scratch() / "t.dbf").string(), fox::Table::Options{});
  } catch (const fox::Error&) {
    return std::nullopt;
  }
  const fox::IndexMaintainer* maintainer = table->index_maintainer();
  if (!maintainer) return std::nullopt;
  const std::string bytes = fuzz::ReadWholeFile(maintainer->index().path());
  TagProblems tags;
  for (const fox::IndexMaintainer::Tag& tag : maintainer->tags()) {
    std::optional<std::vector<std::string>>& problems = tags[tag.header.name];
    try {
      maintainer->index().ReadEntries(tag.header);
    } catch (const fox::Error&) {
    }
    if (!tag.key || tag.header.signature == 5 || (tag.header.options & fox::IndexTag::kUnique) ||
        tag.header.header_offset + 4ull > bytes.size()) {
      continue;
    }
    try {
      std::vector<fox::IndexEntry> entries;
      const uint32_t root = fox::LoadLE32(bytes.data() + tag.header.header_offset);
      problems = testing_support::CheckTagTree(bytes, root, tag.header.key_length, tag.format.pad(), &entries,
                                               false);
      const std::vector<fox::IndexEntry> expected = testing_support::ExpectedEntries(*table, tag);
      for (size_t i = 0; problems->empty() && i < std::max(entries.size(), expected.size()); ++i) {
        if (i >= entries.size() || i >= expected.size() || entries[i].key != expected[i].key ||
            entries[i].recno != expected[i].recno) {
          problems->push_back("entry " + std::to_string(i) + " is not the key of its record");
        }
      }
    } catch (const fox::Error&) {
      problems.reset();
    }
  }
  return tags;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const FixedTable& fixed = FixedTables()[data[0] % FixedTables().size()];
  const std::vector<fuzz::Pair> pairs = fuzz::PickPairs(data[1]);
  fuzz::ClearScratch();
  fuzz::PutFile("t.dbf", fixed.dbf);
  fuzz::PutFile("t.fpt", fixed.memo);
  fuzz::PutFile("t.cdx", std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));

  const fuzz::Source source{
      fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, fuzz::Scratch().string()),
      "t"};
  std::vector<std::string> finds;
  for (const fuzz::Pair& pair : pairs) finds.push_back(pair.find);
  const std::optional<TagProblems> tags_before = CheckTags();
  const std::optional<fuzz::Image> before = fuzz::ReadWalk(source, finds);
  const fuzz::Outcome outcome = fuzz::WriteWalk(source, pairs, before);
  fuzz::CheckUntouched(source, before, outcome, fuzz::ReadWalk(source, finds));

  const std::optional<TagProblems> tags_after = CheckTags();
  if (std::getenv("QUILLON_FUZZ_VERBOSE")) {
    size_t sound = 0;
    for (const auto& [name, problems] : tags_before.value_or(TagProblems{}))
      sound += problems && problems->empty();
    std::fprintf(stderr, "index: %zu tags, %zu sound\n", tags_before ? tags_before->size() : 0, sound);
  }
  if (!tags_before) return 0;
  if (!tags_after) fuzz::Fail("the index could be read before the saves but not after them");
  for (const auto& [name, problems] : *tags_before) {
    const auto after = tags_after->find(name);
    if (after == tags_after->end()) fuzz::Fail("tag " + name + " is gone after the saves");
    if (!problems || !problems->empty()) continue;
    if (!after->second)
      fuzz::Fail("tag " + name + " was sound before the saves; its keys cannot be told after them");
    if (!after->second->empty()) {
      fuzz::Fail("tag " + name +
                 " was sound before the saves and is not after them: " + after->second->front());
    }
  }
  if (tags_after->size() != tags_before->size()) fuzz::Fail("the saves added tags");
  return 0;
}
