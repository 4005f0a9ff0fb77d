// Shared pieces of the engine tests: what the main window asks of a run,
// tables made by python3-dbf, the change log folder and file snapshots.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/foxpro_module.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "engine/replacement_run.h"
#include "tests/support/test_support.h"

namespace engine_testing {

struct FakeDataSource {
  bool dbc = false;
  std::string dbc_path;
  std::string folder;
  bool ignore_container = false;

  quillon::DataSource Value() const {
    return {dbc ? quillon::DataSourceKind::kDbc : quillon::DataSourceKind::kFreeTables, dbc_path, folder,
            ignore_container};
  }
};

// The main window as the run sees it: what a run is asked to do (Request)
// and what it is told while it goes; tests change it between and during
// runs.
struct FakeInputs : quillon::RunObserver {
  struct Row {
    std::string name;
    bool ticked = true;
  };
  std::vector<Row> rows;
  int tab = 0;
  std::string find;
  std::string replace;
  std::vector<std::string> finds;
  std::vector<std::string> replaces;
  FakeDataSource source;
  std::vector<bool> pointer;  // every Busy, in order
  bool closing = false;
  // Called as the run reaches each record, and as a dry run closes each
  // table, when set.
  std::function<void(const std::string&, uint32_t, uint32_t)> on_record;
  std::function<void(const quillon::TableReach&)> on_table;

  // The ticked rows, the pair or the sets of the tab, and the data source.
  quillon::RunRequest Request(quillon::RunMode mode = quillon::RunMode::kReplace) const {
    quillon::RunRequest request;
    request.source = source.Value();
    for (const Row& row : rows) {
      if (row.ticked) request.tables.push_back(row.name);
    }
    if (tab == 0) request.pairs.Add(find, replace);
    if (tab == 1) {
      request.from_set_list = true;
      for (size_t k = 0; k < finds.size(); ++k)
        request.pairs.Add(finds[k], k < replaces.size() ? replaces[k] : std::string());
    }
    request.mode = mode;
    return request;
  }

  void Busy(bool busy) override { pointer.push_back(busy); }
  void RecordReached(const std::string& table, uint32_t record, uint32_t records) override {
    if (on_record) on_record(table, record, records);
  }
  void TableWalked(const quillon::TableReach& reach) override {
    if (on_table) on_table(reach);
  }
  bool StopRequested() override { return closing; }
};

// Points "TEMP" at `folder` for the lifetime of the object.
class TempVariable {
 public:
  explicit TempVariable(const std::string& folder) {
    if (const char* old = std::getenv("TEMP")) old_ = old;
    testing_support::SetEnvironment("TEMP", folder.c_str());
  }
  ~TempVariable() { testing_support::SetEnvironment("TEMP", old_ ? old_->c_str() : nullptr); }
  TempVariable(const TempVariable&) = delete;
  TempVariable& operator=(const TempVariable&) = delete;

 private:
  std::optional<std::string> old_;
};

// Makes `folder`/`name`.dbf with python3-dbf (see tests/tools/make_table.py).
inline std::string MakeTable(const std::string& folder, const std::string& name, const std::string& fields,
                             const std::string& json_records) {
  const std::string path = (std::filesystem::path(folder) / (name + ".dbf")).string();
  testing_support::RunPythonTool("make_table.py", {path, fields, json_records});
  return path;
}

// A table's files as bytes with their modification times, to show that a
// run left them alone.
struct FileSnapshot {
  std::vector<std::pair<std::string, std::string>> bytes;
  std::vector<std::filesystem::file_time_type> times;

  static FileSnapshot Of(const std::vector<std::string>& paths) {
    FileSnapshot s;
    for (const std::string& p : paths) {
      s.bytes.emplace_back(p, testing_support::ReadFileBytes(p));
      s.times.push_back(std::filesystem::last_write_time(p));
    }
    return s;
  }
  bool operator==(const FileSnapshot& other) const { return bytes == other.bytes && times == other.times; }
};

// The bytes of record `recno` (from 1) of a table.
inline std::string RecordBytes(const std::string& path, uint32_t recno) {
  fox::Table table(path, fox::Table::Options());
  std::string record;
  table.ReadRecords(recno, 1, &record);
  return record;
}

// Writes `riinfo` (update, delete and insert rule: C, R or I) into every
// relation of the container at `path`.
inline void SetReferentialIntegrity(const std::string& path, const std::string& riinfo) {
  std::string bytes = testing_support::ReadFileBytes(path);
  const size_t header = fox::LoadLE16(&bytes[8]), length = fox::LoadLE16(&bytes[10]);
  size_t type_at = 0, riinfo_at = 0;
  for (size_t at = 32; bytes[at] != 0x0D; at += 32) {
    const std::string name(bytes.data() + at);
    if (name == "OBJECTTYPE") type_at = fox::LoadLE32(&bytes[at + 12]);
    if (name == "RIINFO") riinfo_at = fox::LoadLE32(&bytes[at + 12]);
  }
  for (size_t record = header; record + length <= bytes.size(); record += length) {
    if (bytes.compare(record + type_at, 8, "Relation") == 0) bytes.replace(record + riinfo_at, 3, riinfo);
  }
  testing_support::WriteFileBytes(path, bytes);
}

// Gives the table object `table` of the database container at `path` the
// property `id` (ContainerProperty: 9 a rule, 15 an update trigger) with
// value `value`, written into its PROPERTY memo by the table library's own
// save; the table must not have that property yet.
inline void AddTableProperty(const std::string& path, const std::string& table, uint8_t id,
                             const std::string& value) {
  fox::Table::Options writable;
  writable.mode = fox::DiskFile::Mode::kReadWrite;
  fox::Table dbc(path, writable);
  size_t type = 0, name = 0, property = 0;
  for (size_t c = 0; c < dbc.field_count(); ++c) {
    if (dbc.field_name(c) == "objecttype") type = c;
    if (dbc.field_name(c) == "objectname") name = c;
    if (dbc.field_name(c) == "property") property = c;
  }
  for (uint32_t recno = 1; recno <= dbc.record_count(); ++recno) {
    fox::Table::Edit edit;
    edit.recno = recno;
    dbc.ReadRecords(recno, 1, &edit.original);
    edit.working = edit.original;
    if (dbc.Text(edit, type).value_or("").rfind("Table", 0) != 0) continue;
    std::string object = dbc.Text(edit, name).value_or("");
    while (!object.empty() && object.back() == ' ') object.pop_back();
    if (object != table) continue;
    std::string stored;
    dbc.StoredForm(edit, property, true, &stored);
    // [u32 length, itself included][u16 size of the id][the id][the value, NUL]
    const uint32_t length = static_cast<uint32_t>(4 + 2 + 1 + value.size() + 1);
    std::string entry;
    for (int k = 0; k < 4; ++k) entry += static_cast<char>((length >> (8 * k)) & 0xFF);
    entry += std::string("\x01\x00", 2) + static_cast<char>(id) + value + '\0';
    dbc.SetStoredForm(edit, property, stored + entry);
    dbc.Save(edit);
  }
  dbc.Flush();
}

// Lines of a text, split at LF.
inline std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

}  // namespace engine_testing
