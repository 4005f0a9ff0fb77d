// Shared pieces of the engine tests: the main window's state as plain values,
// tables made by python3-dbf, the change log folder and file snapshots.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "access/foxpro_module.h"
#include "data/table/table.h"
#include "engine/replacement_run.h"
#include "tests/support/test_support.h"

namespace engine_testing {

struct FakeDataSource : quillon::DataSourceView {
  bool dbc = false;
  std::string dbc_path;
  std::string folder;
  mutable int reads = 0;

  bool OptionDBC1() const override {
    ++reads;
    return dbc;
  }
  std::string DBCPath1() const override { return dbc_path; }
  std::string FolderText() const override { return folder; }
};

// The main window as the run sees it; tests change it between and during runs.
struct FakeInputs : quillon::RunInputs {
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
  std::vector<bool> pointer;  // every SetBusyPointer, in order
  bool closing = false;
  mutable std::vector<std::string> names_read;

  int TableCount() const override { return static_cast<int>(rows.size()); }
  bool IsTableTicked(int row) const override { return rows.at(static_cast<size_t>(row)).ticked; }
  std::string TableName(int row) const override {
    names_read.push_back(rows.at(static_cast<size_t>(row)).name);
    return rows.at(static_cast<size_t>(row)).name;
  }
  int SelectedTab() const override { return tab; }
  const std::string& FindText() const override { return find; }
  const std::string& ReplaceText() const override { return replace; }
  int FindListCount() const override { return static_cast<int>(finds.size()); }
  const std::string& FindListItem(int row) const override { return finds.at(static_cast<size_t>(row)); }
  int ReplaceListCount() const override { return static_cast<int>(replaces.size()); }
  const std::string& ReplaceListItem(int row) const override { return replaces.at(static_cast<size_t>(row)); }
  const quillon::DataSourceView& DataSource() const override { return source; }
  void SetBusyPointer(bool busy) override { pointer.push_back(busy); }
  bool Closing() const override { return closing; }
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
