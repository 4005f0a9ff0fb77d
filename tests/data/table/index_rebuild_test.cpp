// Checking tags against their records (CheckIndex) and rebuilding them
// (RebuildTags): rebuilt tags hold the entries Visual FoxPro wrote, as our
// reader and Perl's XBase::Index read them; damaged tags are found, rebuilt
// and found consistent; refusals write nothing.
#include "data/table/index_rebuild.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "data/database/database_container.h"
#include "data/file/file_names.h"
#include "data/file/repair_marker.h"
#include "data/file/run_log.h"
#include "data/file/write_ahead_file.h"
#include "data/table/index_check.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "tests/support/index_check.h"
#include "tests/support/test_support.h"

namespace fs = std::filesystem;
using namespace testing_support;
using fox::ErrorKind;
using fox::Table;

namespace {

// A fixture table copied, with its whole folder, into a scratch folder.
struct Scratch {
  TempDir dir;
  std::string table;
  std::string container;
  std::string index;

  explicit Scratch(const std::string& fixture, const std::string& fixture_container = "") {
    const fs::path source = Fixture(fixture);
    const std::string folder =
        CopyFixtureFolder(dir, source.parent_path().lexically_relative(Fixture("")).string());
    table = (fs::path(folder) / source.filename()).string();
    if (!fixture_container.empty())
      container = (fs::path(folder) / fs::path(fixture_container).filename()).string();
    const bool database = fox::EqualIgnoringCase(source.extension().string(), ".dbc");
    index = *fox::FindCompanionFile(table, database ? ".dcx" : ".cdx");
  }

  std::unique_ptr<Table> Open(fox::DiskFile::Mode mode = fox::DiskFile::Mode::kReadWrite) const {
    Table::Options options;
    options.mode = mode;
    if (!container.empty()) {
      fox::DatabaseContainer dbc(container);
      for (const auto& object : dbc.objects())
        if (object.kind == fox::ContainerObject::Kind::kTable &&
            fs::equivalent(dbc.TableFilePath(object), table))
          options.long_names = object.field_names;
    }
    return std::make_unique<Table>(table, options);
  }
};

const fox::IndexMaintainer::Tag& TagOf(const Table& table, const std::string& name) {
  for (const auto& tag : table.index_maintainer()->tags())
    if (tag.header.name == name) return tag;
  throw std::runtime_error("no tag " + name);
}

size_t ColumnOf(const Table& table, const std::string& name) {
  for (size_t c = 0; c < table.field_count(); ++c)
    if (table.field_name(c) == name) return c;
  throw std::runtime_error("no field " + name);
}

// Saves `text` as the value of `field` of record `recno` through the table's
// save path (written with its batch).
void SaveText(Table& table, uint32_t recno, const std::string& field, const std::string& text) {
  Table::Edit edit;
  edit.recno = recno;
  table.ReadRecords(recno, 1, &edit.original);
  edit.working = edit.original;
  table.Assign(edit, ColumnOf(table, field), text);
  table.Save(edit);
}

// A tag's entries in the index file at `index_path` as it is now (a fresh
// reader: the root as the tag header names it), keys padded as the table's
// key computation pads them.
std::vector<fox::IndexEntry> EntriesIn(const std::string& index_path, const Table& table,
                                       const std::string& name) {
  fox::CompoundIndex index(index_path, table.name());
  for (fox::IndexTag tag : index.tags()) {
    if (tag.name != name) continue;
    const fox::IndexMaintainer::Tag& maintained = TagOf(table, name);
    if (maintained.key) tag.pad_byte = static_cast<uint8_t>(maintained.format.pad());
    return index.ReadEntries(tag);
  }
  throw std::runtime_error("no tag " + name);
}

uint32_t RootOf(const std::string& index_path, const fox::IndexMaintainer::Tag& tag) {
  return fox::LoadLE32(ReadFileBytes(index_path).data() + tag.header.header_offset);
}

// Levels of a tag's tree, root included.
int Depth(const std::string& index_path, const fox::IndexMaintainer::Tag& tag) {
  const std::string bytes = ReadFileBytes(index_path);
  uint32_t page = fox::LoadLE32(bytes.data() + tag.header.header_offset);
  int depth = 1;
  while (!(fox::LoadLE16(bytes.data() + page) & 2)) {
    page = fox::LoadBE32(bytes.data() + page + 12 + tag.header.key_length + 4);
    ++depth;
  }
  return depth;
}

// Every tag as Perl's XBase::Index reads it: "hex-key recno" lines by tag,
// trailing pad bytes (blanks, zeros) left off the keys.
std::map<std::string, std::vector<std::string>> PerlEntries(const std::string& index_path) {
  std::istringstream out(RunPerlTool("cdx_dump.pl", {index_path}));
  std::map<std::string, std::vector<std::string>> entries;
  std::string line, current;
  while (std::getline(out, line)) {
    std::istringstream fields(line);
    std::string kind, word, recno;
    fields >> kind >> word >> recno;
    EXPECT_NE(kind, "FAIL") << line;
    if (kind == "TAG") current = word;
    if (kind != "KEY") continue;
    if (word == "-") word.clear();
    while (word.size() >= 2 &&
           (word.compare(word.size() - 2, 2, "20") == 0 || word.compare(word.size() - 2, 2, "00") == 0))
      word.erase(word.size() - 2);
    entries[current].push_back(word + " " + recno);
  }
  return entries;
}

std::string Report(const std::vector<fox::TagCheck>& checks) {
  std::string s;
  for (const fox::TagCheck& c : checks) {
    s += c.tag + ": ";
    if (!c.checked)
      s += "not checked";
    else if (c.problem.empty())
      s += std::to_string(c.keys) + " keys";
    else
      s += "INCONSISTENT: " + c.problem;
    s += "\n";
  }
  return s;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string s;
  for (const auto& l : lines) s += l + "\n";
  return s;
}

// The values of one column of the live records as python3-dbfread reads
// them (trailing blanks left off), in record order.
std::vector<std::string> DbfreadColumn(const std::string& table, const std::string& column) {
  const std::string json = RunPythonTool("read_table.py", {"dbfread", table});
  std::vector<std::string> values;
  const std::regex value("\"" + column + "\": \"([^\"]*)\"");
  for (auto it = std::sregex_iterator(json.begin(), json.end(), value); it != std::sregex_iterator(); ++it)
    values.push_back((*it)[1].str());
  return values;
}

std::vector<std::string> AllMaintainedTags(const Table& table) {
  std::vector<std::string> names;
  for (const auto& tag : table.index_maintainer()->tags())
    if (tag.maintained) names.push_back(tag.header.name);
  return names;
}

}  // namespace

// Every tag of every fixture that Quillon keeps, rebuilt from the records,
// holds the entries Visual FoxPro wrote, tag entry for tag entry, as our
// reader and Perl's read them; the pages in use are not written over, only
// the change counter and the root pointers change before the old end of the
// file, and the new pages are laid out as Visual FoxPro lays out its own.
TEST(IndexRebuild, RebuiltTagsHoldTheEntriesVisualFoxProWrote) {
  size_t rebuilt = 0;
  for (const IndexedFixture& f : kIndexedFixtures) {
    SCOPED_TRACE(f.table);
    const Scratch scratch(f.table, f.container);
    const std::string before = ReadFileBytes(scratch.index);
    const auto perl_before = PerlEntries(scratch.index);
    auto table = scratch.Open();
    const std::vector<std::string> names = AllMaintainedTags(*table);
    std::map<std::string, std::vector<fox::IndexEntry>> written;
    for (const std::string& name : names) written[name] = EntriesIn(scratch.index, *table, name);

    fox::RebuildTags(*table, names);
    rebuilt += names.size();

    const std::string after = ReadFileBytes(scratch.index);
    ASSERT_GT(after.size(), before.size());
    std::string expected = before;
    fox::StoreBE32(&expected[8], fox::LoadBE32(before.data() + 8) + 1);
    for (const std::string& name : names) {
      const fox::IndexMaintainer::Tag& tag = TagOf(*table, name);
      EXPECT_GE(RootOf(scratch.index, tag), before.size()) << name;
      std::memcpy(&expected[tag.header.header_offset], after.data() + tag.header.header_offset, 4);
    }
    EXPECT_TRUE(after.compare(0, before.size(), expected) == 0);

    for (const std::string& name : names) {
      const std::vector<fox::IndexEntry> entries = EntriesIn(scratch.index, *table, name);
      ASSERT_EQ(entries.size(), written[name].size()) << name;
      for (size_t i = 0; i < entries.size(); ++i) {
        ASSERT_EQ(Hex(entries[i].key), Hex(written[name][i].key)) << name << " entry " << i;
        ASSERT_EQ(entries[i].recno, written[name][i].recno) << name << " entry " << i;
      }
    }
    EXPECT_EQ(PerlEntries(scratch.index), perl_before);
    EXPECT_EQ(Join(testing_support::CheckIndex(*table, nullptr, f.compresses_trail)), "");
    for (const fox::TagCheck& check : fox::CheckIndex(*table))
      EXPECT_TRUE(check.consistent() || !check.checked) << check.tag << ": " << check.problem;
  }
  EXPECT_EQ(rebuilt, 38u);  // every tag but the collated and binary ones
}

// A record changed behind the index's back and a leaf holding a wrong key:
// CheckIndex names both tags, RebuildTags repairs them, and the tags then
// agree with the records as python3-dbfread reads them. Saves through the
// table that stayed open go to the new trees.
TEST(IndexRebuild, DamagedTagsAreFoundRebuiltAndThenConsistent) {
  const Scratch scratch("foxbin2prg/foxuser_fdbozzo.dbf");
  size_t type_at = 0;
  uint32_t updated_root = 0;
  {
    auto table = scratch.Open(fox::DiskFile::Mode::kReadOnly);
    EXPECT_EQ(Report(fox::CheckIndex(*table)),
              "WIZARD_1: 74 keys\nUPDATED: 74 keys\nTYPE: 74 keys\nREADONLY: not checked\nNAME: 63 keys\n");
    type_at = table->header().header_length + 4 * table->header().record_length +
              table->field(ColumnOf(*table, "type")).offset;  // record 5
    updated_root = RootOf(scratch.index, TagOf(*table, "UPDATED"));
  }
  std::string dbf = ReadFileBytes(scratch.table);
  dbf.replace(type_at, 5, "ZZZZZ");
  WriteFileBytes(scratch.table, dbf);
  std::string cdx = ReadFileBytes(scratch.index);
  uint32_t leaf = updated_root;
  while (!(fox::LoadLE16(cdx.data() + leaf) & 2)) leaf = fox::LoadBE32(cdx.data() + leaf + 12 + 8 + 4);
  cdx[leaf + 511] =
      static_cast<char>(cdx[leaf + 511] ^ 0x01);  // the last key byte of the first leaf's first key
  WriteFileBytes(scratch.index, cdx);

  auto table = scratch.Open();
  const std::vector<fox::TagCheck> damaged = fox::CheckIndex(*table);
  ASSERT_EQ(damaged.size(), 5u);
  EXPECT_TRUE(damaged[0].consistent());
  EXPECT_FALSE(damaged[1].problem.empty());                                    // UPDATED
  EXPECT_EQ(damaged[2].problem.rfind("entry ", 0), 0u) << damaged[2].problem;  // TYPE
  EXPECT_TRUE(damaged[4].consistent());

  fox::RebuildTags(*table, {"type", "Updated", "TYPE"});
  EXPECT_EQ(Report(fox::CheckIndex(*table)),
            "WIZARD_1: 74 keys\nUPDATED: 74 keys\nTYPE: 74 keys\nREADONLY: not checked\nNAME: 63 keys\n");
  EXPECT_EQ(Join(testing_support::CheckIndex(*table)), "");

  // TYPE (a C(12) field) as Perl reads the index and python3-dbfread the table.
  std::vector<std::string> types = DbfreadColumn(scratch.table, "TYPE");
  ASSERT_EQ(types.size(), 74u);
  std::vector<std::pair<std::string, uint32_t>> keys;
  for (size_t i = 0; i < types.size(); ++i) keys.emplace_back(types[i], static_cast<uint32_t>(i + 1));
  std::sort(keys.begin(), keys.end());
  std::vector<std::string> expected;
  for (const auto& [key, recno] : keys) expected.push_back(Hex(key) + " " + std::to_string(recno));
  EXPECT_EQ(PerlEntries(scratch.index)["TYPE"], expected);
  EXPECT_EQ(expected.back(), Hex("ZZZZZ") + " 5");

  // The table still open saves into the rebuilt tree, not the old one.
  SaveText(*table, 7, "type", "AAAAA");
  table->Flush();
  EXPECT_EQ(Report(fox::CheckIndex(*table)),
            "WIZARD_1: 74 keys\nUPDATED: 74 keys\nTYPE: 74 keys\nREADONLY: not checked\nNAME: 63 keys\n");
  EXPECT_EQ(PerlEntries(scratch.index)["TYPE"].front(), Hex("AAAAA") + " 7");
}

// A UNIQUE tag rebuilt keeps the first record of each key; a tag too big for
// one interior page gets a level of interior pages under its root.
TEST(IndexRebuild, UniqueAndDeepTags) {
  {
    const Scratch scratch("perl-xbase/rooms.dbf");
    uint32_t header = 0;
    {
      auto table = scratch.Open(fox::DiskFile::Mode::kReadOnly);
      header = TagOf(*table, "FACILITY").header.header_offset;
    }
    std::string cdx = ReadFileBytes(scratch.index);
    cdx[header + 14] = static_cast<char>(cdx[header + 14] | fox::IndexTag::kUnique);
    WriteFileBytes(scratch.index, cdx);
    auto table = scratch.Open();
    EXPECT_NE(fox::CheckIndex(*table)[1].problem.find("repeats a key"), std::string::npos);
    fox::RebuildTags(*table, {"FACILITY"});
    EXPECT_TRUE(fox::CheckIndex(*table)[1].consistent());

    std::map<std::string, uint32_t> first;  // by facility, as python3-dbfread reads the records
    const std::vector<std::string> facilities = DbfreadColumn(scratch.table, "FACILITY");
    ASSERT_EQ(facilities.size(), table->record_count());
    for (size_t i = 0; i < facilities.size(); ++i) first.emplace(facilities[i], static_cast<uint32_t>(i + 1));
    std::vector<std::string> expected;
    for (const auto& [key, recno] : first) expected.push_back(Hex(key) + " " + std::to_string(recno));
    EXPECT_GT(facilities.size(), expected.size());
    EXPECT_EQ(PerlEntries(scratch.index)["FACILITY"], expected);
  }
  {
    // NAME is PADR(name,50) over a memo: 50 random letters leave nothing to
    // share, so its 74 keys take nine leaves, more than one interior page of
    // eight entries leads to.
    const Scratch scratch("foxbin2prg/foxuser_fdbozzo.dbf");
    auto table = scratch.Open();
    std::mt19937 random(11);
    for (uint32_t r = 1; r <= table->record_count(); ++r) {
      Table::Edit edit;
      edit.recno = r;
      table->ReadRecords(r, 1, &edit.original);
      edit.working = edit.original;
      std::string name(50, ' ');
      for (char& c : name) c = static_cast<char>('a' + random() % 26);
      table->Assign(edit, ColumnOf(*table, "name"), name);
      table->Save(edit);
    }
    table->Flush();
    const fox::IndexMaintainer::Tag& tag = TagOf(*table, "NAME");
    const std::vector<fox::IndexEntry> saved = EntriesIn(scratch.index, *table, "NAME");
    ASSERT_EQ(saved.size(), 74u);
    fox::RebuildTags(*table, {"NAME"});
    EXPECT_EQ(Depth(scratch.index, tag), 3);
    const std::vector<fox::IndexEntry> entries = EntriesIn(scratch.index, *table, "NAME");
    ASSERT_EQ(entries.size(), saved.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      EXPECT_EQ(entries[i].key, saved[i].key) << i;
      EXPECT_EQ(entries[i].recno, saved[i].recno) << i;
    }
    EXPECT_TRUE(fox::CheckIndex(*table)[4].consistent());
    EXPECT_EQ(Join(testing_support::CheckIndex(*table)), "");
    EXPECT_EQ(PerlEntries(scratch.index)["NAME"].size(), 74u);
  }
}

// Tags the library does not keep, names it does not know, a table open for
// reading only, a locked index and a candidate key repeated by the records
// are refused before anything is written.
TEST(IndexRebuild, RefusalsWriteNothing) {
  const Scratch scratch("foxbin2prg/fb2p_dbf.dbf", "foxbin2prg/fb2p_dbc.dbc");
  size_t edad_at = 0;
  {
    auto table = scratch.Open(fox::DiskFile::Mode::kReadOnly);
    ASSERT_TRUE(TagOf(*table, "EDAD").header.options & fox::IndexTag::kCandidate);
    const fox::FieldDescriptor& edad = table->field(ColumnOf(*table, "edad"));
    edad_at = table->header().header_length + edad.offset;
    std::string dbf = ReadFileBytes(scratch.table);
    // Record 2's EDAD becomes record 1's: the candidate key EDAD repeats.
    dbf.replace(edad_at + table->header().record_length, edad.length, dbf.substr(edad_at, edad.length));
    WriteFileBytes(scratch.table, dbf);
  }
  const std::string cdx = ReadFileBytes(scratch.index);
  auto refusal = [&](fox::DiskFile::Mode mode, const std::vector<std::string>& names) {
    auto table = scratch.Open(mode);
    return ErrorOf([&] { fox::RebuildTags(*table, names); });
  };
  const auto rw = fox::DiskFile::Mode::kReadWrite;

  fox::Error e = refusal(rw, {"ID", "NOTDELETED"});
  EXPECT_EQ(e.kind(), ErrorKind::kUnsupported);
  EXPECT_NE(
      std::string(e.what()).find("tag NOTDELETED of table 'fb2p_dbf' cannot be rebuilt: it is a binary"),
      std::string::npos)
      << e.what();
  e = refusal(rw, {"NOMBRE"});
  EXPECT_NE(std::string(e.what()).find("collation GENERAL"), std::string::npos) << e.what();
  e = refusal(rw, {"NOSUCH"});
  EXPECT_EQ(e.kind(), ErrorKind::kNotFound);
  e = refusal(fox::DiskFile::Mode::kReadOnly, {"ID"});
  EXPECT_EQ(e.kind(), ErrorKind::kReadOnly);
  e = refusal(rw, {"ID", "EDAD"});
  EXPECT_EQ(e.kind(), ErrorKind::kIndexed);
  EXPECT_NE(std::string(e.what()).find("records 1 and 2 have the same key"), std::string::npos) << e.what();
  {
    fox::DiskFile other(scratch.index, rw, "index");
    ASSERT_TRUE(other.TryLock(0x7FFFFFFE, 1));
    e = refusal(rw, {"ID"});
    EXPECT_EQ(e.kind(), ErrorKind::kLocked);
    other.Unlock(0x7FFFFFFE, 1);
  }
  EXPECT_EQ(ReadFileBytes(scratch.index), cdx);

  // Without those, the same tags rebuild; the table stays as it was.
  const std::string dbf = ReadFileBytes(scratch.table);
  auto table = scratch.Open();
  fox::RebuildTags(*table, {"ID", "EDAD_ND"});
  EXPECT_EQ(ReadFileBytes(scratch.table), dbf);
  for (const fox::TagCheck& check : fox::CheckIndex(*table)) {
    if (check.tag == "ID" || check.tag == "EDAD_ND") {
      EXPECT_TRUE(check.consistent()) << check.tag;
    }
    if (check.tag == "EDAD") {
      EXPECT_FALSE(check.problem.empty());  // the records repeat its key
    }
  }
}

// A program that stops while writing a batch: its write-ahead file and the
// marker stay even when another Quillon program that changed the table
// finishes later, and the next open writes whole the records the batch left
// part written (within a field too), leaves a record another program
// changed since, and checks and rebuilds the index before the marker goes.
TEST(IndexRebuild, ABatchLeftPartWrittenIsPutBackWholeBeforeTheIndexIsChecked) {
  const Scratch scratch("foxbin2prg/foxuser_fdbozzo.dbf");
  const std::string before = ReadFileBytes(scratch.table);
  const std::string marker = fox::RepairMarker::PathFor(scratch.table);
  const std::string dead = fox::WriteAheadFile::Prefix(scratch.table) + "stopped";
  size_t type_at = 0, length = 0, header = 0;
  {
    auto other = scratch.Open();  // a second writer, still at work when the first stops
    auto table = scratch.Open();
    type_at = table->field(ColumnOf(*table, "type")).offset;
    length = table->header().record_length;
    header = table->header().header_length;
    for (uint32_t recno = 1; recno <= 10; ++recno)
      SaveText(*table, recno, "type", "NEW" + std::to_string(recno));
    table->Flush();
    const std::vector<std::string> files = fox::WriteAheadFile::Find(scratch.table);
    ASSERT_EQ(files.size(), 1u);
    fs::copy_file(files[0], dead);  // as the program that stopped left it
    SaveText(*other, 20, "type", "OTHER");
  }
  EXPECT_TRUE(fs::exists(marker)) << "the marker of a program that stopped was removed";
  const std::string after = ReadFileBytes(scratch.table);

  // The write as the stop left it: records 1 to 3 new, record 4 new up to
  // the middle of its TYPE field, the rest old; record 6 changed since.
  std::string torn = after;
  const size_t cut = header + 3 * length + type_at + 2;
  torn.replace(cut, header + 10 * length - cut, before, cut, header + 10 * length - cut);
  torn.replace(header + 5 * length + type_at, 5, "THIRD");
  WriteFileBytes(scratch.table, torn);

  auto table = scratch.Open();
  const std::string notice = table->RepairInterruptedRun();
  EXPECT_NE(notice.find("6 records it was writing when it stopped were written whole"), std::string::npos)
      << notice;
  EXPECT_NE(notice.find("1 record it was writing had been changed by another program since"),
            std::string::npos)
      << notice;
  EXPECT_NE(notice.find("record 6)"), std::string::npos) << notice;
  EXPECT_NE(notice.find("TYPE"), std::string::npos) << "the tag was not rebuilt: " << notice;
  EXPECT_FALSE(fs::exists(marker));
  EXPECT_TRUE(fox::WriteAheadFile::Find(scratch.table).empty());
  const std::string now = ReadFileBytes(scratch.table);
  for (size_t r = 0; r < 10; ++r) {
    if (r == 5) continue;
    EXPECT_EQ(now.substr(header + r * length, length), after.substr(header + r * length, length)) << r + 1;
  }
  EXPECT_EQ(now.substr(header + 5 * length + type_at, 5), "THIRD");
  EXPECT_EQ(Join(testing_support::CheckIndex(*table)), "");
}

// Two programs adding memo values to one table at once: neither holds the
// memo file's allocation lock while it gathers a batch, so neither is
// refused, and each record points at its own value wherever the other's
// went. A record another program has locked is refused as one to change
// again.
TEST(IndexRebuild, TwoWritersAddMemoValuesAtOnceAndALockedRecordIsToBeTriedAgain) {
  const Scratch scratch("foxbin2prg/foxuser_fdbozzo.dbf");
  Table::Options options;
  options.mode = fox::DiskFile::Mode::kReadWrite;
  options.batch_records = 1000;
  options.batch_delay = std::chrono::seconds(30);
  Table a(scratch.table, options), b(scratch.table, options);
  auto save = [](Table& table, uint32_t recno, const std::string& text) {
    SaveText(table, recno, "data", text);
  };
  for (uint32_t recno = 1; recno <= 30; ++recno) save(a, recno, "first writer " + std::to_string(recno));
  for (uint32_t recno = 31; recno <= 60; ++recno) save(b, recno, "second writer " + std::to_string(recno));
  b.Flush();
  fox::DiskFile other(scratch.table, fox::DiskFile::Mode::kReadWrite, "table");
  ASSERT_TRUE(other.TryLock(0x7FFFFFFEull - 70, 1));
  save(a, 70, "locked");
  try {
    a.Flush();
    ADD_FAILURE() << "a locked record was written";
  } catch (const fox::SaveError& e) {
    EXPECT_EQ(e.records(), std::vector<uint32_t>{70});
    EXPECT_EQ(e.retryable(), std::vector<uint32_t>{70});
  }
  const std::vector<std::string> data = DbfreadColumn(scratch.table, "DATA");
  ASSERT_EQ(data.size(), 74u);
  for (uint32_t recno = 1; recno <= 60; ++recno) {
    EXPECT_EQ(data[recno - 1], (recno <= 30 ? "first writer " : "second writer ") + std::to_string(recno));
  }
  EXPECT_NE(data[69], "locked");
}

// A run that stops inside a unit spanning two tables (a parent's new key and
// the child that takes it): the next open of one of them gives every record
// of the unit its old bytes back, in both tables, and keeps the batch the
// run committed before the unit; the other table's index is checked when it
// is opened in turn.
TEST(IndexRebuild, AStoppedRunIsPutBackInEveryTableItChangedAndItsUnfinishedUnitTakenBack) {
  const Scratch a("foxbin2prg/foxuser_fdbozzo.dbf"), b("foxbin2prg/foxuser_fdbozzo.dbf");
  const TempDir logs;
  const std::string before_a = ReadFileBytes(a.table), before_b = ReadFileBytes(b.table);
  fox::RunLog log;
  log.Create(logs.Sub("run.jnl"), 0, fox::RunLog::kKeptAsJournal);
  size_t type_at = 0, length = 0, header = 0;
  {
    Table::Options options;
    options.mode = fox::DiskFile::Mode::kReadWrite;
    options.run_log = &log;
    Table ta(a.table, options), tb(b.table, options);
    type_at = ta.field(ColumnOf(ta, "type")).offset;
    length = ta.header().record_length;
    header = ta.header().header_length;
    SaveText(ta, 2, "type", "KEPT");
    log.BeginUnit();
    SaveText(ta, 1, "type", "UNIT");
    SaveText(tb, 1, "type", "UNIT");
    // The links as the program that stopped left them.
    for (const Scratch* s : {&a, &b}) {
      const std::vector<std::string> files = fox::WriteAheadFile::Find(s->table);
      ASSERT_EQ(files.size(), 1u);
      fs::copy_file(files[0], fox::WriteAheadFile::Prefix(s->table) + "stopped");
    }
  }
  ASSERT_EQ(ReadFileBytes(b.table).substr(header + type_at, 4), "UNIT");

  auto ta = a.Open();
  const std::string notice = ta->RepairInterruptedRun();
  EXPECT_NE(notice.find("'foxuser_fdbozzo'"), std::string::npos) << notice;
  const std::string now_a = ReadFileBytes(a.table), now_b = ReadFileBytes(b.table);
  EXPECT_EQ(now_a.substr(header, length), before_a.substr(header, length))
      << "a record of the unit kept its change";
  EXPECT_EQ(now_a.substr(header + length + type_at, 4), "KEPT") << "a committed batch was taken back";
  EXPECT_EQ(now_b.substr(header, length), before_b.substr(header, length))
      << "the other table was not put back";
  EXPECT_TRUE(fox::WriteAheadFile::Find(b.table).empty());
  EXPECT_TRUE(fs::exists(fox::RepairMarker::PathFor(b.table))) << "the other table's index check was skipped";
  b.Open()->RepairInterruptedRun();
  EXPECT_FALSE(fs::exists(fox::RepairMarker::PathFor(b.table)));
  EXPECT_EQ(ReadFileBytes(b.table).substr(header, length), before_b.substr(header, length));
}
