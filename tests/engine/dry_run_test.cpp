// The dry run foresees the real run field for field: on copies of the same
// data, the fields it says each table and column would change are those an
// independent reader (dbfread) finds changed after the real run, and the
// values it says would be refused are those the real run refuses.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

#include "engine/replacement_run.h"
#include "tests/engine/engine_test_support.h"
#include "tests/support/scripted_toolkit.h"

namespace fs = std::filesystem;
using namespace engine_testing;
using testing_support::RunPythonTool;
using testing_support::TempDir;
using testing_support::WriteFileBytes;

namespace {

// (table, column) -> fields.
using Counts = std::map<std::string, int64_t>;

struct Shape {
  std::string name;
  FakeDataSource source;
  std::vector<std::string> tables;
  std::vector<std::string> finds, replaces;
  bool allow_triggers = false;
  std::map<std::string, std::string> files;  // a container's table stored under another name
};

struct Outcome {
  Counts changed;  // by "table.column"
  int64_t refused = 0;
  int64_t cascaded = 0;
};

std::string TablePath(const Shape& shape, const std::string& table) {
  const std::string folder =
      shape.source.dbc ? fs::path(shape.source.dbc_path).parent_path().string() : shape.source.folder;
  const auto file = shape.files.find(table);
  return folder + "/" + (file != shape.files.end() ? file->second : table) + ".dbf";
}

quillon::RunRequest RequestOf(const Shape& shape, quillon::RunMode mode) {
  FakeInputs inputs;
  inputs.source = shape.source;
  for (const std::string& table : shape.tables) inputs.rows.push_back({table, true});
  inputs.tab = 1;
  inputs.finds = shape.finds;
  inputs.replaces = shape.replaces;
  quillon::RunRequest request = inputs.Request(mode);
  request.allow_triggers = shape.allow_triggers;
  return request;
}

Outcome Foreseen(const Shape& shape) {
  quillon::ScriptedToolkit toolkit;
  quillon::ReplacementRun run(RequestOf(shape, quillon::RunMode::kDryRun), toolkit);
  run.Run();
  Outcome foreseen;
  for (const quillon::TableReach& table : run.reach()) {
    for (const quillon::ColumnReach& column : table.columns) {
      if (column.fields > 0)
        foreseen.changed[table.table + "." + quillon::LowerAscii(column.column)] += column.fields;
      foreseen.refused += column.refused;
    }
    foreseen.refused += table.records_refused;
    for (const quillon::TableReach::Cascade& cascade : table.cascades) {
      // "calls (tag contact_id)": the key column of these fixtures is named as its tag.
      const size_t open = cascade.child.find(" (tag ");
      const std::string child = quillon::LowerAscii(cascade.child.substr(0, open));
      const std::string tag =
          quillon::LowerAscii(cascade.child.substr(open + 6, cascade.child.size() - open - 7));
      if (cascade.records > 0) foreseen.changed[child + "." + tag] += cascade.records;
      foreseen.cascaded += cascade.records;
    }
  }
  return foreseen;
}

Outcome Done(const Shape& shape, TempDir& dir) {
  std::vector<std::string> before;
  for (const std::string& table : shape.tables) {
    before.push_back(dir.Sub(shape.name + "-" + table + ".json"));
    WriteFileBytes(before.back(), RunPythonTool("read_table.py", {"dbfread", TablePath(shape, table)}));
  }
  quillon::ScriptedToolkit toolkit;
  quillon::ReplacementRun run(RequestOf(shape, quillon::RunMode::kReplace), toolkit);
  run.Run();
  Outcome done;
  for (size_t t = 0; t < shape.tables.size(); ++t) {
    std::istringstream lines(
        RunPythonTool("changed_fields.py", {before[t], TablePath(shape, shape.tables[t])}));
    std::string column;
    for (int64_t n = 0; lines >> column >> n;) done.changed[shape.tables[t] + "." + column] = n;
  }
  done.refused = run.tally().refused;
  done.cascaded = run.tally().cascaded;
  EXPECT_EQ(run.tally().changed, [&] {
    int64_t sum = 0;
    for (const auto& [where, n] : done.changed) sum += n;
    return sum;
  }()) << shape.name;
  return done;
}

// Writes `riinfo` (update, delete and insert rule: C, R or I) into every
// relation of the container at `path`.
void SetReferentialIntegrity(const std::string& path, const std::string& riinfo) {
  std::string bytes = testing_support::ReadFileBytes(path);
  auto le16 = [&](size_t at) {
    return static_cast<size_t>(static_cast<uint8_t>(bytes[at]) | static_cast<uint8_t>(bytes[at + 1]) << 8);
  };
  auto le32 = [&](size_t at) { return le16(at) | le16(at + 2) << 16; };
  const size_t header = le16(8), length = le16(10);
  size_t type_at = 0, riinfo_at = 0;
  for (size_t at = 32; bytes[at] != 0x0D; at += 32) {
    const std::string name(bytes.data() + at);
    if (name == "OBJECTTYPE") type_at = le32(at + 12);
    if (name == "RIINFO") riinfo_at = le32(at + 12);
  }
  for (size_t record = header; record + length <= bytes.size(); record += length) {
    if (bytes.compare(record + type_at, 8, "Relation") == 0) bytes.replace(record + riinfo_at, 3, riinfo);
  }
  WriteFileBytes(path, bytes);
}

TEST(DryRunTest, ItsCountsPerTableAndColumnAreTheRealRunsFieldForField) {
  TempDir dir;
  const std::string log_folder = dir.Sub("log");
  fs::create_directory(log_folder);
  TempVariable temp{log_folder};
  std::vector<std::unique_ptr<TempDir>> copies;  // one per copy of a fixture folder
  std::vector<Shape> shapes;
  auto free_tables = [&](const std::string& name, std::vector<std::string> finds,
                         std::vector<std::string> replaces) {
    Shape shape{name, {}, {"people"}, std::move(finds), std::move(replaces), false, {}};
    shape.source.folder = dir.Sub(name);
    fs::create_directory(shape.source.folder);
    MakeTable(shape.source.folder, "people", "name C(12); flag L; amount N(8,2); note M",
              R"([["abc", false, 1.5, "abc"], ["xa", true, 2.0, "a"], ["zzz", false, 3, "q"]])");
    shapes.push_back(shape);
  };
  free_tables("single", {"a"}, {"b"});
  // A chain that comes back to its start; a logical value that stays false.
  free_tables("chain", {"abc", "xyz", "F", "1.5"}, {"xyz", "abc", "N", "1.50"});
  free_tables("sets", {"a", "b"}, {"b", "c"});
  // EDAD: a record rule (edad>10) and a candidate tag over 45..49, whose new
  // keys collide with one held and with one the run gives first.
  {
    Shape shape{
        "rules", {}, {"nombrelargodeldbf"}, {"45", "46", "47", "48", "49"}, {"5", "45", "60", "60", "50"},
        true,    {}};
    shape.source.dbc = true;
    shape.source.dbc_path = testing_support::CopyFixtureFolder(dir, "foxbin2prg") + "/fb2p_dbc.dbc";
    shape.files["nombrelargodeldbf"] = "fb2p_dbf";
    shapes.push_back(shape);
  }
  // Update rule cascade: contact 4's key reaches its call, whose own walk
  // then passes it over; call 4 would take call 7's key. Then contact 4
  // would take contact 5's key: refused, its cascade not said.
  for (const auto& [name, replace] :
       {std::pair<std::string, std::string>{"cascade", "7"}, {"refused", "5"}}) {
    Shape shape{name, {}, {"contacts", "calls"}, {"4"}, {replace}, false, {}};
    shape.source.dbc = true;
    copies.push_back(std::make_unique<TempDir>());
    shape.source.dbc_path =
        testing_support::CopyFixtureFolder(*copies.back(), "ruby-dbf/foxprodb") + "/FOXPRO-DB-TEST.DBC";
    SetReferentialIntegrity(shape.source.dbc_path, "CRR");
    shapes.push_back(shape);
  }
  for (const Shape& shape : shapes) {
    const Outcome foreseen = Foreseen(shape);
    const Outcome done = Done(shape, dir);
    EXPECT_EQ(foreseen.changed, done.changed) << shape.name;
    EXPECT_EQ(foreseen.refused, done.refused) << shape.name;
    EXPECT_EQ(foreseen.cascaded, done.cascaded) << shape.name;
    // Each shape reaches what it is there for.
    const std::map<std::string, int64_t> reached = {{"chain", static_cast<int64_t>(done.changed.size())},
                                                    {"rules", done.refused},
                                                    {"cascade", done.cascaded}};
    const std::map<std::string, int64_t> meant = {{"chain", 0}, {"rules", 3}, {"cascade", 1}};
    if (meant.count(shape.name)) {
      EXPECT_EQ(reached.at(shape.name), meant.at(shape.name)) << shape.name;
    }
  }
}

}  // namespace
