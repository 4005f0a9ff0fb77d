// Runs over real tables (a Visual FoxPro database container with memos and
// indexed fields, a cp1251 table, values whose blanks the run trimmed) taken
// back through their undo journals, checked with python3-dbfread and the
// index check; conflicts, deleted records and journals cut short.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "base/error.h"
#include "data/database/connection.h"
#include "data/database/connection_string.h"
#include "data/database/recordset.h"
#include "data/file/disk_file.h"
#include "data/file/run_log.h"
#include "data/table/index_check.h"
#include "data/util/byte_order.h"
#include "data/util/crc32.h"
#include "engine/undo_run.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/scripted_toolkit.h"
#include "tests/support/undo_journal_contents.h"

namespace fs = std::filesystem;
using namespace engine_testing;
using quillon::RunEnd;
using quillon::RunMode;
using testing_support::ReadFileBytes;
using testing_support::RunPythonTool;
using testing_support::TempDir;

namespace {

// What a reader sees (every value, memos included, by python3-dbfread) and
// the records' bytes apart from memo pointers: an undone table must match
// them exactly.
std::string Content(const std::string& path) {
  std::string content = RunPythonTool("read_table.py", {"dbfread", path}) + "\n";
  fox::Table table(path, fox::Table::Options());
  std::string record;
  for (uint32_t r = 1; r <= table.record_count(); ++r) {
    table.ReadRecords(r, 1, &record);
    for (size_t c = 0; c < table.field_count(); ++c) {
      if (table.field(c).is_memo())
        record.replace(table.field(c).offset, table.field(c).length, table.field(c).length, '#');
    }
    content += record;
  }
  return content;
}

struct UndoTest : ::testing::Test {
  TempDir dir;
  std::string log_folder = dir.Sub("log");
  TempVariable temp{log_folder};
  quillon::ScriptedToolkit toolkit;

  UndoTest() { fs::create_directory(log_folder); }

  // Runs the sets over the ticked tables; returns the run's journal.
  std::string Run(FakeInputs& inputs, std::vector<std::string> finds, std::vector<std::string> replaces,
                  bool without_index = false) {
    inputs.tab = 1;
    inputs.finds = std::move(finds);
    inputs.replaces = std::move(replaces);
    quillon::RunRequest request = inputs.Request();
    request.allow_missing_index = without_index;
    quillon::ReplacementRun run(std::move(request), toolkit, &inputs);
    EXPECT_EQ(run.Run(), RunEnd::kDone);
    EXPECT_GT(run.undo_journal_changes(), 0u);
    return run.undo_journal();
  }
  quillon::UndoTally Undo(const std::string& journal, std::vector<std::string>* problems = nullptr,
                          RunMode mode = RunMode::kReplace) {
    quillon::UndoRun undo(toolkit, mode);
    undo.OnProblem([&](const std::string& line) {
      if (problems) problems->push_back(line);
    });
    EXPECT_EQ(undo.Run(journal), RunEnd::kDone);
    return undo.tally();
  }
};

TEST_F(UndoTest, RunsOverContainersCodePagesAndTrimmedValuesAreTakenBackExactly) {
  const std::string dbc = CopyFixtureFolder(dir, "ruby-dbf/foxprodb") + "/FOXPRO-DB-TEST.DBC";
  const std::string folder = dir.Sub("free");
  fs::create_directory(folder);
  fs::copy_file(testing_support::Fixture("ruby-dbf/cp1251.dbf"), folder + "/cp1251.dbf");
  fs::permissions(folder + "/cp1251.dbf", fs::perms::owner_write, fs::perm_options::add);
  MakeTable(folder, "people", "name C(12) NULL; note M",
            R"([["  Ledger", "Ledger notes\r\nmore"], ["Ledger  ", ""]])");
  const fs::path foxprodb = fs::path(dbc).parent_path();
  const std::vector<std::string> tables = {(foxprodb / "contacts.dbf").string(),
                                           (foxprodb / "calls.dbf").string(), folder + "/cp1251.dbf",
                                           folder + "/people.dbf"};
  std::vector<std::string> before;
  for (const std::string& t : tables) before.push_back(Content(t));

  FakeInputs container;
  container.source.dbc = true;
  container.source.dbc_path = dbc;
  container.rows = {{"contacts", true}, {"calls", true}};
  // Memos, character fields and the indexed integer ids (a 1 becomes a 7).
  const std::string first = Run(container, {"Nancy", "Seattle", "1"}, {"Nan", "Tacoma", "7"});
  FakeInputs free_tables;
  free_tables.source.folder = folder;
  free_tables.source.ignore_container = true;  // cp1251.dbf was copied without its database
  free_tables.rows = {{"cp1251", true}, {"people", true}};
  // cp1251.dbf says it has a structural index that is not there.
  const std::string second = Run(free_tables, {"больничное", "Ledger"}, {"стационарное", "Journal"}, true);
  std::vector<std::string> after;
  for (size_t i = 0; i < tables.size(); ++i) {
    after.push_back(Content(tables[i]));
    EXPECT_NE(after[i], before[i]) << tables[i];
  }

  std::vector<std::string> problems;
  EXPECT_EQ(Undo(second, &problems, RunMode::kDryRun).restored,
            static_cast<int64_t>(quillon::UndoRun::CountChanges(second)));
  EXPECT_EQ(Content(tables[3]), after[3]) << "a dry run writes nothing";
  quillon::UndoRun undo_second(toolkit);
  undo_second.AllowMissingIndex(true);
  undo_second.Run(second);
  quillon::UndoRun undo_first(toolkit);
  undo_first.Run(first);
  EXPECT_EQ(undo_first.tally().conflicts + undo_second.tally().conflicts, 0);
  EXPECT_FALSE(undo_first.reported());
  for (size_t i = 0; i < tables.size(); ++i) EXPECT_EQ(Content(tables[i]), before[i]) << tables[i];
  for (const std::string& t : {tables[0], tables[1]}) {
    fox::Connection connection;
    connection.Open(fox::ConnectionString::Build(fox::ConnectionString::SourceType::kDatabase, dbc));
    for (const fox::TagCheck& check : fox::CheckIndex(
             *connection.OpenTable(fs::path(t).stem().string(), fox::DiskFile::Mode::kReadOnly))) {
      EXPECT_TRUE(check.consistent()) << t << " " << check.tag << ": " << check.problem;
    }
  }

  // An undo is undone in turn.
  ASSERT_FALSE(undo_first.undo_journal().empty());
  EXPECT_EQ(Undo(undo_first.undo_journal()).conflicts, 0);
  EXPECT_EQ(Content(tables[0]), after[0]);
  EXPECT_EQ(Content(tables[1]), after[1]);
}

TEST_F(UndoTest, AFieldChangedSinceIsLeftAndAJournalCutShortUndoesItsWholeEntriesOnly) {
  const std::string folder = dir.Sub("data");
  fs::create_directory(folder);
  std::string records = "[";
  for (int i = 1; i <= 40; ++i)
    records += std::string(i > 1 ? ", " : "") + "[\"Ledger " + std::to_string(i) + "\", \"Ledger memo\"]";
  const std::string table = MakeTable(folder, "ledger", "name C(20); note M", records + "]");
  FakeInputs inputs;
  inputs.source.folder = folder;
  inputs.rows = {{"ledger", true}};
  const std::string journal = Run(inputs, {"Ledger"}, {"Journal"});

  // Every cut of the journal reads up to its last whole entry, never more.
  const std::string bytes = ReadFileBytes(journal);
  const std::string cut = dir.Sub("cut.jnl");
  size_t whole = 0;
  for (size_t size = 32; size <= bytes.size(); ++size) {
    testing_support::WriteFileBytes(cut, bytes.substr(0, size));
    const quillon::UndoJournalContents contents = quillon::ReadUndoJournal(cut);
    ASSERT_GE(contents.changes.size(), whole) << size;
    whole = contents.changes.size();
    if (size == bytes.size()) {
      EXPECT_EQ(contents.cut_short, "");
    }
  }
  EXPECT_EQ(whole, 80u);

  // Another program changes record 3's name; the journal is cut half-way.
  {
    fox::Connection connection;
    connection.Open(fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, folder));
    fox::Recordset recordset;
    recordset.Open("SELECT * FROM ledger", connection, fox::kLockOptimistic);
    recordset.MoveTo(3);
    recordset.fields()["name"].SetValue("Other");
    recordset.MoveNext();
    recordset.Close();
  }
  // ... and deletes record 2.
  {
    std::string bytes = ReadFileBytes(table);
    const uint32_t header = fox::LoadLE16(bytes.data() + 8), length = fox::LoadLE16(bytes.data() + 10);
    bytes[header + length] = '*';
    testing_support::WriteFileBytes(table, bytes);
  }
  std::mt19937 random(20261208);
  // The cut comes in the middle of a change entry of the middle third,
  // after a commit entry the run had made durable there (a batch's): the
  // whole entries before it count.
  std::vector<size_t> changes;  // where each change entry starts
  for (size_t entry = fox::RunLog::kHeaderSize; entry + 8 < bytes.size();
       entry += 8 + fox::LoadLE32(bytes.data() + entry)) {
    if (bytes[entry + 8] == 2 || bytes[entry + 8] == 6) changes.push_back(entry);
  }
  const size_t boundary = changes[changes.size() / 3 + random() % (changes.size() / 3)];
  const size_t at = boundary + 1 + random() % (fox::LoadLE32(bytes.data() + boundary) + 6);
  const char kCommit = static_cast<char>(fox::RunLog::kCommit);
  std::string commit(8, '\0');
  fox::StoreLE32(commit.data(), 1);
  fox::StoreLE32(commit.data() + 4, fox::Crc32(&kCommit, 1));
  testing_support::WriteFileBytes(
      cut, bytes.substr(0, boundary) + commit + kCommit + bytes.substr(boundary, at - boundary));
  const size_t kept = quillon::ReadUndoJournal(cut).changes.size();
  ASSERT_GT(kept, 6u);
  ASSERT_LT(kept, 80u);
  std::vector<std::string> problems;
  const quillon::UndoTally tally = Undo(cut, &problems);
  EXPECT_EQ(tally.conflicts, 1);
  EXPECT_EQ(tally.missing, 2);
  EXPECT_EQ(tally.restored, static_cast<int64_t>(kept) - 3);
  EXPECT_EQ(
      problems,
      (std::vector<std::string>{
          "Record 2 of table 'ledger' is deleted or no longer there: its 2 changes were not taken back.",
          "Field 'name' of record 3 of table 'ledger' has changed since the run and was left as it is."}));
  bool told = false;
  for (const auto& shown : toolkit.messages())
    told = told || shown.text.find("is cut short or damaged at byte") != std::string::npos;
  EXPECT_TRUE(told) << "the cut is told";
  // The records whose entries were whole are as before, the others as after
  // the run, record 3 as the other program left it.
  fox::Table now(table, fox::Table::Options());
  for (uint32_t r = 1; r <= 40; ++r) {
    fox::Table::Edit edit;
    edit.recno = r;
    now.ReadRecords(r, 1, &edit.original);
    edit.working = edit.original;
    std::string name = now.Text(edit, 0).value_or("");
    name.erase(name.find_last_not_of(' ') + 1);
    const std::string note = now.Text(edit, 1).value_or("");
    // Record r's entries are the 2r-1st (name) and the 2r-th (note).
    EXPECT_EQ(name,
              r == 3 ? "Other" : (r != 2 && 2 * r - 1 <= kept ? "Ledger " : "Journal ") + std::to_string(r))
        << r;
    EXPECT_EQ(note, r != 2 && 2 * r <= kept ? "Ledger memo" : "Journal memo") << r;
  }
}

// An undo makes its change log and its own journal at its first change: one
// whose log cannot be made takes nothing back, and one that finds nothing to
// take back writes nothing.
TEST_F(UndoTest, AnUndoWhoseLogCannotBeMadeTakesNothingBackAndOneWithNothingToDoWritesNothing) {
  const std::string folder = dir.Sub("data");
  fs::create_directory(folder);
  const std::string table =
      MakeTable(folder, "ledger", "name C(20)", R"([["Ledger 1"], ["Ledger 2"], ["Ledger 3"]])");
  const std::string before = Content(table);
  FakeInputs inputs;
  inputs.source.folder = folder;
  inputs.rows = {{"ledger", true}};
  const std::string journal = Run(inputs, {"Ledger"}, {"Journal"});
  const std::string after = Content(table);
  {
    TempVariable missing(dir.Sub("no such folder"));
    quillon::UndoRun undo(toolkit);
    EXPECT_EQ(undo.Run(journal), RunEnd::kRefused);
    EXPECT_EQ(undo.undo_journal(), "");
  }
  EXPECT_EQ(Content(table), after);
  EXPECT_NE(toolkit.messages().back().text.find(
                "Nothing was taken back: an undo writes its change log and its own journal first."),
            std::string::npos)
      << toolkit.messages().back().text;

  EXPECT_EQ(Undo(journal).restored, 3);
  EXPECT_EQ(Content(table), before);
  const FileSnapshot log = FileSnapshot::Of({log_folder + "/backups.log"});
  const fs::file_time_type folder_time = fs::last_write_time(log_folder);
  EXPECT_EQ(Undo(journal).already, 3);
  EXPECT_TRUE(FileSnapshot::Of({log_folder + "/backups.log"}) == log);
  EXPECT_TRUE(fs::last_write_time(log_folder) == folder_time) << "no journal made, not even for a moment";
}

// After a PACK, another record has each number: the undo gives no record
// another's old value; those it cannot tell are the ones saved are
// conflicts. A journal that does not say its run ended is told.
TEST_F(UndoTest, AfterAPackNoRecordGetsAnothersOldValue) {
  const std::string folder = dir.Sub("data");
  fs::create_directory(folder);
  const std::string table = MakeTable(folder, "towns", "name C(10); city C(10)",
                                      R"([["Ann", "Osaka"], ["Bob", "Nara"], ["Cy", "Kobe"]])");
  FakeInputs inputs;
  inputs.source.folder = folder;
  inputs.rows = {{"towns", true}};
  const std::string journal = Run(inputs, {"Osaka", "Nara", "Kobe"}, {"Kyoto", "Kyoto", "Kyoto"});
  EXPECT_TRUE(quillon::ReadUndoJournal(journal).ended);
  // PACK after record 1 was deleted: Bob and Cy move up.
  std::string bytes = ReadFileBytes(table);
  const uint32_t header = fox::LoadLE16(bytes.data() + 8), length = fox::LoadLE16(bytes.data() + 10);
  bytes.erase(header, length);
  fox::StoreLE32(reinterpret_cast<unsigned char*>(&bytes[4]), 2);
  testing_support::WriteFileBytes(table, bytes);

  std::vector<std::string> problems;
  const quillon::UndoTally tally = Undo(journal, &problems);
  EXPECT_EQ(tally.restored, 0);
  EXPECT_EQ(tally.conflicts, 2);
  EXPECT_EQ(RunPythonTool("read_table.py", {"dbfread", table}),
            R"([{"CITY": "Kyoto", "NAME": "Bob"}, {"CITY": "Kyoto", "NAME": "Cy"}])");

  // Cut after its last change, the journal no longer says that its run ended.
  const std::string whole = ReadFileBytes(journal);
  const std::string cut = dir.Sub("cut.jnl");
  testing_support::WriteFileBytes(cut, whole.substr(0, whole.size() - 9));
  EXPECT_FALSE(quillon::ReadUndoJournal(cut).ended);
  EXPECT_EQ(quillon::ReadUndoJournal(cut).changes.size(), 3u);
  Undo(cut);
  bool told = false;
  for (const auto& shown : toolkit.messages())
    told = told || shown.text.find("does not say that its run ended") != std::string::npos;
  EXPECT_TRUE(told);
}

// The journal in the run's log reads back only the changes a commit entry
// covers: a record dropped before its batch leaves nothing, and a unit made
// durable but never committed (a crash mid-cascade) is left out. A log kept
// only for crash recovery is not offered for undo, and a journal of
// version 2, a file of its own with not-saved marks, is still read.
TEST_F(UndoTest, OnlyCommittedChangesAreReadBackAndVersionTwoJournalsStillAre) {
  const quillon::JournalTable people{false, dir.path().string(), "people", dir.Sub("people.dbf")};
  const std::string path = dir.Sub("run.jnl");
  {
    fox::RunLog log;
    log.Create(path, 1700000000, fox::RunLog::kKeptAsJournal);
    quillon::UndoJournal journal;
    journal.Open(log);
    const uint32_t t = journal.AddTable(people);
    journal.Append(t, 1, 11, 0, "NAME", "a", "b");
    journal.Append(t, 2, 22, 0, "NAME", "c", "d");
    journal.Append(t, 3, 33, 0, "NAME", "e", "f");
    journal.Drop(t, {3});
    EXPECT_EQ(journal.Hand(t, {1}), 1u);
    log.Commit();
    log.BeginUnit();
    EXPECT_EQ(journal.Hand(t, {2, 3}), 1u);
    log.Commit();
  }
  quillon::UndoJournalContents read = quillon::ReadUndoJournal(path);
  EXPECT_EQ(read.started, 1700000000);
  ASSERT_EQ(read.tables.size(), 1u);
  EXPECT_EQ(read.tables[0].name, "people");
  ASSERT_EQ(read.changes.size(), 1u);
  EXPECT_EQ(read.changes[0].recno, 1u);
  EXPECT_EQ(read.changes[0].record, 11u);
  EXPECT_EQ(read.changes[0].before + read.changes[0].after, "ab");
  EXPECT_FALSE(read.ended);
  EXPECT_EQ(read.cut_short, "");

  {
    fox::RunLog crash_only;
    crash_only.Create(dir.Sub("crash.jnl"), 1700000000, 0);
  }
  EXPECT_THROW(quillon::UndoJournalReader{dir.Sub("crash.jnl")}, quillon::Error);

  // Version 2: record 2's change is marked not saved; the run ended.
  auto bytes = [](std::initializer_list<uint32_t> words, std::string tail = "") {
    std::string out;
    for (uint32_t w : words) out.append(reinterpret_cast<const char*>(&w), 4);  // little-endian hosts
    return out + tail;
  };
  auto text = [&](const std::string& t) { return bytes({static_cast<uint32_t>(t.size())}, t); };
  auto entry = [&](char kind, const std::string& fields) {
    const std::string payload = std::string(1, kind) + fields;
    return bytes({static_cast<uint32_t>(payload.size()), fox::Crc32(payload.data(), payload.size())},
                 payload);
  };
  std::string v2 = std::string(fox::RunLog::kMagic, 8) + bytes({2, 32, 1700000000, 0, 0});
  v2 += bytes({fox::Crc32(v2.data(), v2.size())});
  v2 += entry(1, bytes({0}, "\x01") + text(people.catalogue) + text("people") + text(people.path));
  v2 += entry(2, bytes({0, 1, 0, 11}) + text("NAME") + text("a") + text("b"));
  v2 += entry(2, bytes({0, 2, 0, 22}) + text("NAME") + text("c") + text("d"));
  v2 += entry(3, bytes({0, 2}));
  v2 += entry(4, "");
  testing_support::WriteFileBytes(dir.Sub("v2.jnl"), v2);
  read = quillon::ReadUndoJournal(dir.Sub("v2.jnl"));
  ASSERT_EQ(read.changes.size(), 1u);
  EXPECT_EQ(read.changes[0].recno, 1u);
  EXPECT_EQ(read.changes[0].record, 11u);
  EXPECT_TRUE(read.ended);
  EXPECT_EQ(read.cut_short, "");
}

}  // namespace
