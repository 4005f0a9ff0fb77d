// Reading compound indexes (.cdx/.dcx) written by Visual FoxPro: tag headers,
// every entry of every tag compared with Perl's XBase::Index, order
// invariants, and damaged files.
#include "data/index/compound_index.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <sstream>

#include "data/database/database_container.h"
#include "data/file/file_names.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/util/hex.h"
#include "tests/support/test_support.h"

namespace {

using fox::CompoundIndex;
using fox::ErrorKind;
using fox::IndexEntry;
using fox::IndexTag;
using testing_support::Fixture;

// What a table header says about the fields, read here without the library.
struct TableFacts {
  uint32_t record_count = 0;
  std::vector<std::pair<std::string, char>> visible;  // lower-case short name, type
};

TableFacts ReadTableFacts(const std::string& path) {
  std::string bytes = testing_support::ReadFileBytes(path);
  TableFacts facts;
  facts.record_count = fox::LoadLE32(bytes.data() + 4);
  // Stop at the terminator; one fixture has 0x0A where 0x0D belongs.
  for (size_t at = 32; at + 32 <= bytes.size() && static_cast<unsigned char>(bytes[at]) > 0x20; at += 32) {
    std::string name = fox::LowerAscii(std::string(bytes.data() + at, 11).c_str());
    bool system = bytes[at + 18] & 0x01;
    if (!system) facts.visible.emplace_back(name, bytes[at + 11]);
  }
  return facts;
}

// Field types by short name and, for database tables, by long name.
CompoundIndex::FieldTypes FieldTypesOf(const TableFacts& facts, const std::vector<std::string>& long_names) {
  CompoundIndex::FieldTypes types;
  for (size_t i = 0; i < facts.visible.size(); ++i) {
    types[facts.visible[i].first] = facts.visible[i].second;
    if (i < long_names.size()) types[fox::LowerAscii(long_names[i])] = facts.visible[i].second;
  }
  return types;
}

struct IndexFixture {
  const char* index;
  const char* table;
  const char* container;  // "" for free tables
};

// Every fixture index whose tags use MACHINE collation (some hold GENERAL
// tags beside them).
const IndexFixture kIndexes[] = {
    {"foxbin2prg/fb2p_dbf.cdx", "foxbin2prg/fb2p_dbf.dbf", "foxbin2prg/fb2p_dbc.dbc"},
    {"foxbin2prg/fb2p_depto.cdx", "foxbin2prg/fb2p_depto.dbf", "foxbin2prg/fb2p_dbc.dbc"},
    {"foxbin2prg/fb2p_free.cdx", "foxbin2prg/fb2p_free.dbf", ""},
    {"foxbin2prg/foxuser_fdbozzo.cdx", "foxbin2prg/foxuser_fdbozzo.dbf", ""},
    {"foxbin2prg/fb2p_dbc.dcx", "foxbin2prg/fb2p_dbc.dbc", ""},
    {"perl-xbase/rooms.cdx", "perl-xbase/rooms.dbf", ""},
    {"ruby-dbf/foxprodb/calls.CDX", "ruby-dbf/foxprodb/calls.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/contacts.CDX", "ruby-dbf/foxprodb/contacts.dbf",
     "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/setup.CDX", "ruby-dbf/foxprodb/setup.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/types.CDX", "ruby-dbf/foxprodb/types.dbf", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC"},
    {"ruby-dbf/foxprodb/FOXPRO-DB-TEST.DCX", "ruby-dbf/foxprodb/FOXPRO-DB-TEST.DBC", ""},
    {"go-dbase/database/employees.CDX", "go-dbase/database/employees.dbf", "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense categories.CDX", "go-dbase/database/expense categories.dbf",
     "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense details.CDX", "go-dbase/database/expense details.dbf",
     "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/expense reports.CDX", "go-dbase/database/expense reports.dbf",
     "go-dbase/database/EXPENSES.DBC"},
    {"go-dbase/database/EXPENSES.DCX", "go-dbase/database/EXPENSES.DBC", ""},
};

// The long field names the container lists for a member table.
std::vector<std::string> LongNames(const IndexFixture& f) {
  if (!*f.container) return {};
  fox::DatabaseContainer container(Fixture(f.container));
  for (const auto& object : container.objects()) {
    if (object.kind != fox::ContainerObject::Kind::kTable) continue;
    if (std::filesystem::equivalent(container.TableFilePath(object), Fixture(f.table)))
      return object.field_names;
  }
  ADD_FAILURE() << f.table << " is not listed in " << f.container;
  return {};
}

CompoundIndex OpenFixture(const IndexFixture& f) {
  TableFacts facts = ReadTableFacts(Fixture(f.table));
  return CompoundIndex(Fixture(f.index), f.table, FieldTypesOf(facts, LongNames(f)));
}

// The tags of an index as XBase::Index reads them: name -> (hex key without
// its trailing pad bytes, record number).
struct PerlTag {
  bool readable = false;
  std::vector<std::pair<std::string, uint32_t>> entries;
};

std::map<std::string, PerlTag> PerlDump(const std::string& path) {
  std::istringstream out(testing_support::RunPerlTool("cdx_dump.pl", {path}));
  std::map<std::string, PerlTag> tags;
  std::string line, current;
  while (std::getline(out, line)) {
    std::istringstream fields(line);
    std::string kind, word;
    fields >> kind >> word;
    if (kind == "TAG") {
      current = word;
      tags[current].readable = true;
    } else if (kind == "KEY") {
      uint32_t recno = 0;
      fields >> recno;
      tags[current].entries.emplace_back(word == "-" ? "" : word, recno);
    } else if (kind == "FAIL") {
      tags[word].readable = false;
    }
  }
  return tags;
}

std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    bytes += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
  return bytes;
}

const IndexTag* FindTag(const CompoundIndex& index, const std::string& name) {
  for (const auto& tag : index.tags())
    if (tag.name == name) return &tag;
  return nullptr;
}

// ---------------------------------------------------------------------------

TEST(CompoundIndexTags, FoxBin2PrgTableHeaders) {
  // Candidate, FOR, DESCENDING, GENERAL collation and a VFP 9 binary tag, in
  // creation order: name, key length, options, signature, collation, order,
  // key | FOR.
  CompoundIndex index(Fixture("foxbin2prg/fb2p_dbf.cdx"), "fb2p_dbf");
  std::vector<std::string> described;
  for (const IndexTag& t : index.tags()) {
    std::ostringstream line;
    line << t.name << " " << t.key_length << " " << std::hex << int{t.options} << " " << int{t.signature}
         << " " << (t.collation.empty() ? "-" : t.collation) << (t.descending ? " desc " : " asc ")
         << t.key_expression << " | " << t.filter_expression;
    described.push_back(line.str());
  }
  EXPECT_EQ(described, (std::vector<std::string>{
                           "ID 4 64 1 - asc id | ",
                           "EDAD_ND 8 68 1 - asc edad | .NOT.DELETED()",
                           "NOTDELETED 1 60 5 - asc .NOT.DELETED() | ",
                           "EDAD 8 64 1 - desc edad | ",
                           "DEPTO 20 68 2 GENERAL asc depto | .NOT.DELETED().AND..T.",
                           "NOMBRE 60 68 2 GENERAL asc nombre | .NOT.DELETED().AND..T..AND..T.",
                           "I_NOMBRE 60 68 2 GENERAL desc nombre | .NOT.DELETED().AND..T..AND..NOT..F.",
                       }));
}

TEST(CompoundIndexTags, HeadersAgreeWithPerl) {
  for (const IndexFixture& f : kIndexes) {
    SCOPED_TRACE(f.index);
    CompoundIndex index(Fixture(f.index), f.table);
    std::istringstream out(testing_support::RunPerlTool("cdx_dump.pl", {Fixture(f.index)}));
    std::string line;
    size_t seen = 0;
    while (std::getline(out, line)) {
      if (line.rfind("TAG ", 0) != 0) continue;
      std::istringstream fields(line.substr(4));
      std::string name, rest;
      int key_length = 0, options = 0, signature = 0;
      fields >> name >> key_length >> options >> signature;
      std::getline(fields, rest);
      const IndexTag* tag = FindTag(index, name);
      ASSERT_NE(tag, nullptr) << name;
      EXPECT_EQ(tag->key_length, key_length);
      EXPECT_EQ(tag->options, options);
      EXPECT_EQ(tag->signature, signature);
      EXPECT_EQ(" " + tag->key_expression + " | " + tag->filter_expression, rest) << name;
      ++seen;
    }
    EXPECT_EQ(seen, index.tags().size());
  }
}

TEST(CompoundIndexTags, KeyTypeAndPadByteFollowTheFieldTypes) {
  CompoundIndex index = OpenFixture(kIndexes[0]);  // fb2p_dbf: nombre C, edad N, id I, depto C
  EXPECT_EQ(FindTag(index, "ID")->key_type, 'I');
  EXPECT_EQ(FindTag(index, "ID")->pad_byte, 0x00);
  EXPECT_EQ(FindTag(index, "EDAD")->key_type, 'N');
  EXPECT_EQ(FindTag(index, "EDAD")->pad_byte, 0x00);
  EXPECT_EQ(FindTag(index, "NOTDELETED")->key_type, 'L');
  // Collated keys are weights filled with zeros, though the field is character.
  EXPECT_EQ(FindTag(index, "NOMBRE")->key_type, 'C');
  EXPECT_EQ(FindTag(index, "NOMBRE")->pad_byte, 0x00);

  CompoundIndex rooms = OpenFixture(kIndexes[5]);
  EXPECT_EQ(FindTag(rooms, "ROOMNAME")->key_type, 'C');
  EXPECT_EQ(FindTag(rooms, "ROOMNAME")->pad_byte, 0x20);

  // Database tables name their long field names in expressions.
  CompoundIndex expenses = OpenFixture(kIndexes[14]);  // expense reports
  EXPECT_EQ(FindTag(expenses, "DATESUBMIT")->key_type, 'T');
  EXPECT_EQ(FindTag(expenses, "EMPLOYEEID")->key_type, 'I');
}

// ---------------------------------------------------------------------------

TEST(CompoundIndexEntries, EqualPerlForEveryReadableTag) {
  size_t compared = 0;
  for (const IndexFixture& f : kIndexes) {
    SCOPED_TRACE(f.index);
    CompoundIndex index = OpenFixture(f);
    std::map<std::string, PerlTag> perl = PerlDump(Fixture(f.index));
    for (const IndexTag& tag : index.tags()) {
      if (tag.signature == 5) continue;  // bitmaps; Perl misreads them as keys
      SCOPED_TRACE(tag.name);
      ASSERT_TRUE(perl[tag.name].readable);
      std::vector<IndexEntry> entries = index.ReadEntries(tag);
      const auto& expected = perl[tag.name].entries;
      ASSERT_EQ(entries.size(), expected.size());
      for (size_t i = 0; i < entries.size(); ++i) {
        // Perl drops the pad bytes the leaf does not store; restore them.
        std::string key = FromHex(expected[i].first);
        key.resize(tag.key_length, static_cast<char>(tag.pad_byte));
        EXPECT_EQ(fox::Hex(entries[i].key), fox::Hex(key)) << "entry " << i;
        EXPECT_EQ(entries[i].recno, expected[i].second) << "entry " << i;
      }
      ++compared;
    }
  }
  EXPECT_EQ(compared, 43u);
}

TEST(CompoundIndexEntries, OrderCountsAndRecordNumbers) {
  for (const IndexFixture& f : kIndexes) {
    SCOPED_TRACE(f.index);
    TableFacts facts = ReadTableFacts(Fixture(f.table));
    CompoundIndex index = OpenFixture(f);
    for (const IndexTag& tag : index.tags()) {
      SCOPED_TRACE(tag.name);
      EXPECT_NE(tag.key_type, '?') << "key type of " << tag.key_expression;
      if (tag.signature == 5) {
        EXPECT_THROW(
            try { index.ReadEntries(tag); } catch (const fox::Error& e) {
              EXPECT_EQ(e.kind(), ErrorKind::kUnsupported);
              EXPECT_NE(std::string(e.what()).find(tag.name), std::string::npos);
              throw;
            },
            fox::Error);
        continue;
      }
      std::vector<IndexEntry> entries = index.ReadEntries(tag);
      if (tag.filter_expression.empty())
        EXPECT_EQ(entries.size(), facts.record_count);  // deleted records keep their keys
      else
        EXPECT_LE(entries.size(), facts.record_count);
      std::set<uint32_t> records;
      for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].key.size(), tag.key_length);
        EXPECT_GE(entries[i].recno, 1u);
        EXPECT_LE(entries[i].recno, facts.record_count);
        EXPECT_TRUE(records.insert(entries[i].recno).second) << "record " << entries[i].recno << " twice";
        if (i > 0) {
          // Ascending by key bytes, then record number, descending tags too.
          const IndexEntry& a = entries[i - 1];
          const IndexEntry& b = entries[i];
          EXPECT_TRUE(a.key < b.key || (a.key == b.key && a.recno < b.recno)) << "entry " << i;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Damaged files. The copies are altered; the fixtures stay untouched.

class DamagedIndex : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = testing_support::CopyFixtures(dir_, {"foxbin2prg/foxuser_fdbozzo.cdx"});
    original_ = testing_support::ReadFileBytes(path_);
    CompoundIndex index(path_, "foxuser");
    tag_ = *FindTag(index, "WIZARD_1");  // an interior root over several leaves
    first_leaf_ = fox::LoadBE32(original_.data() + tag_.root_page + 12 + tag_.key_length + 4);
  }

  // The message of the error that opening the copy and reading WIZARD_1 gives.
  std::string CorruptMessage(const std::string& bytes) {
    testing_support::WriteFileBytes(path_, bytes);
    try {
      CompoundIndex index(path_, "foxuser");
      index.ReadEntries(*FindTag(index, "WIZARD_1"));
    } catch (const fox::Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kCorrupt) << e.what();
      EXPECT_NE(std::string(e.what()).find(path_), std::string::npos) << e.what();
      return e.what();
    }
    ADD_FAILURE() << "no error";
    return "";
  }

  testing_support::TempDir dir_;
  std::string path_;
  std::string original_;
  IndexTag tag_;
  uint32_t first_leaf_ = 0;
};

TEST_F(DamagedIndex, DamagedPagesAreCorruptWithAReason) {
  const uint32_t root = tag_.root_page, leaf = first_leaf_;
  const size_t first_child_at = root + 12 + tag_.key_length + 4;
  // Where the first key of the first leaf is stored: made 0xFF, it becomes
  // greater than the next leaf's keys.
  uint64_t entry = 0;
  for (int k = 0; k < original_[leaf + 23]; ++k)
    entry |= uint64_t{static_cast<uint8_t>(original_[leaf + 24 + k])} << (8 * k);
  size_t trail =
      (entry >> (original_[leaf + 20] + original_[leaf + 21])) & static_cast<uint8_t>(original_[leaf + 19]);
  const size_t first_key_at = leaf + 512 - (tag_.key_length - trail);

  struct Damage {
    size_t at;
    std::string bytes;
    const char* says;
  };
  auto be = [](uint32_t v) {
    std::string b(4, 0);
    fox::StoreBE32(b.data(), v);
    return b;
  };
  auto le = [](uint32_t v) {
    std::string b(4, 0);
    fox::StoreLE32(b.data(), v);
    return b;
  };
  const Damage damages[] = {
      {first_child_at, be(root), "loop"},     // child = the root itself
      {leaf + 8, le(leaf), "loop"},           // right sibling = itself
      {leaf + 8, le(0x7FFFFE00), "outside"},  // beyond the end
      {leaf + 8, le(0x200), "outside"},       // inside the bag header
      {leaf + 8, le(leaf + 1), "outside"},    // not on a page boundary
      {tag_.header_offset, le(0x100000), "root page of tag WIZARD_1"},
      {leaf + 2, "\xFF\xFF", "more than fit"},      // leaf key count
      {leaf + 23, std::string(1, '\0'), "widths"},  // bytes per entry
      {leaf + 20, "\x28", "widths"},                // record-number bits
      {root + 2, "\xFF", "claims"},                 // interior key count
      {first_key_at, "\xFF", "out of order"},
      {0x400 + 24, std::string("\0\xFE", 2), "header of tag"},  // tag header offset 0xFE00
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.says);
    std::string bytes = original_;
    bytes.replace(d.at, d.bytes.size(), d.bytes);
    std::string message = CorruptMessage(bytes);
    EXPECT_NE(message.find(d.says), std::string::npos) << message;
  }
}

TEST_F(DamagedIndex, TruncatedCopiesGiveCorruptOrStillReadableTags) {
  for (size_t size : {size_t{0}, size_t{1023}, size_t{1100}, size_t{tag_.root_page}})
    EXPECT_NE(CorruptMessage(original_.substr(0, size)), "") << size;
  // Any cut: either every tag still reads (only unused pages were cut) or kCorrupt.
  for (size_t size = 1024; size < original_.size(); size += 512) {
    SCOPED_TRACE(size);
    testing_support::WriteFileBytes(path_, original_.substr(0, size));
    try {
      CompoundIndex index(path_, "foxuser");
      for (const IndexTag& tag : index.tags())
        if (tag.signature != 5) index.ReadEntries(tag);
    } catch (const fox::Error& e) {
      EXPECT_EQ(e.kind(), ErrorKind::kCorrupt) << e.what();
    }
  }
}

TEST_F(DamagedIndex, RandomlyGarbledCopiesNeverCrash) {
  std::mt19937 random(20240611);
  std::uniform_int_distribution<size_t> position(0, original_.size() - 1);
  std::uniform_int_distribution<int> value(0, 255);
  int corrupt = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = original_;
    for (int k = 0; k < 8; ++k) bytes[position(random)] = static_cast<char>(value(random));
    testing_support::WriteFileBytes(path_, bytes);
    try {
      CompoundIndex index(path_, "foxuser");
      for (const IndexTag& tag : index.tags()) {
        if (tag.signature == 5) continue;
        for (const IndexEntry& e : index.ReadEntries(tag)) ASSERT_EQ(e.key.size(), tag.key_length);
      }
    } catch (const fox::Error& e) {
      ASSERT_TRUE(e.kind() == ErrorKind::kCorrupt || e.kind() == ErrorKind::kUnsupported) << e.what();
      ++corrupt;
    }
  }
  EXPECT_GT(corrupt, 0);
}

// ---------------------------------------------------------------------------

TEST(NamesInExpression, FieldNamesWithoutFunctionsLiteralsOrOperators) {
  using Names = std::set<std::string>;
  EXPECT_EQ(fox::NamesInExpression("STR(parentid)+objecttype+LOWER(objectname)"),
            (Names{"parentid", "objecttype", "objectname"}));
  EXPECT_EQ(fox::NamesInExpression("UPPER(city)"), (Names{"city"}));
  EXPECT_EQ(fox::NamesInExpression("UPPER(LastName)"), (Names{"lastname"}));
  EXPECT_EQ(fox::NamesInExpression(".NOT.DELETED()"), Names{});
  EXPECT_EQ(fox::NamesInExpression("!DELETED()"), Names{});
  EXPECT_EQ(fox::NamesInExpression("PADR(x,10)"), (Names{"x"}));
  EXPECT_EQ(fox::NamesInExpression("'abc'+name"), (Names{"name"}));
  EXPECT_EQ(fox::NamesInExpression("\"city\"+[zip]+'state'+country"), (Names{"country"}));
  EXPECT_EQ(fox::NamesInExpression("TRIM(UPPER(facility))==\"AUDIO\""), (Names{"facility"}));
  EXPECT_EQ(fox::NamesInExpression("depto=>\"0\""), (Names{"depto"}));
  EXPECT_EQ(fox::NamesInExpression("DTOS(updated)+id"), (Names{"updated", "id"}));
}

TEST(NamesInExpression, QualifiedNamesGiveTheFieldPart) {
  using Names = std::set<std::string>;
  EXPECT_EQ(fox::NamesInExpression("a->b"), (Names{"b"}));
  EXPECT_EQ(fox::NamesInExpression("cust.id+STR(orders->qty)"), (Names{"id", "qty"}));
  // A dotted operator right after a name is not a qualifier.
  EXPECT_EQ(fox::NamesInExpression("a.AND.b .OR. .NOT.c"), (Names{"a", "b", "c"}));
  EXPECT_EQ(fox::NamesInExpression("flag = .T. .AND. other <> .F."), (Names{"flag", "other"}));
  // A field whose name starts like an operator.
  EXPECT_EQ(fox::NamesInExpression("t.note+t.order"), (Names{"note", "order"}));
}

TEST(NamesInExpression, NumbersBareOperatorsAndSpacedCalls) {
  using Names = std::set<std::string>;
  EXPECT_EQ(fox::NamesInExpression("edad > 10.5 AND NOT EMPTY (x)"), (Names{"edad", "x"}));
  EXPECT_EQ(fox::NamesInExpression("SUBSTR(code, 2, 3) + STR(n, 6, 2)"), (Names{"code", "n"}));
  EXPECT_EQ(fox::NamesInExpression(""), Names{});
  EXPECT_EQ(fox::NamesInExpression("'unterminated + name"), Names{});
}

TEST(KeyTypeOfExpression, FromFunctionsLiteralsAndFieldTypes) {
  const CompoundIndex::FieldTypes fields = {{"name", 'C'}, {"qty", 'N'},   {"born", 'D'},  {"id", 'I'},
                                            {"note", 'V'}, {"price", 'Y'}, {"stamp", 'T'}, {"ok", 'L'}};
  struct Case {
    const char* expression;
    char type;
  };
  const Case cases[] = {
      {"name", 'C'},        {"UPPER(name)+STR(qty)", 'C'},
      {"qty", 'N'},         {"qty*2+1", 'N'},
      {"-qty", 'N'},        {"born", 'D'},
      {"born+1", 'D'},      {"DTOS(born)", 'C'},
      {"id", 'I'},          {"t.id", 'I'},
      {"note", 'C'},        {"price", 'N'},
      {"stamp", 'T'},       {"ok", 'L'},
      {"qty > 1", 'L'},     {".NOT.DELETED()", 'L'},
      {"(name)", 'C'},      {"IIF(ok, name, 'x')", 'C'},
      {"NVL(qty, 0)", 'N'}, {"ALLT(name)", 'C'},
      {"unknown", '?'},     {"FOO(name)", '?'},
      {"'x'", 'C'},         {"YEAR(born)", 'N'},
  };
  for (const Case& c : cases)
    EXPECT_EQ(fox::KeyTypeOfExpression(c.expression, fields), c.type) << c.expression;
}

}  // namespace
