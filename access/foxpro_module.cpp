#include "access/foxpro_module.h"

#include <memory>
#include <optional>
#include <stdexcept>

#include "base/error.h"
#include "base/file_helpers.h"
#include "data/database/connection.h"
#include "data/database/recordset.h"

namespace quillon {

namespace {

constexpr char kTablePattern[] = "*.dbf";

// In a folder, "~" marks the work files FoxPro leaves behind; they are never
// tables.
bool IsWorkFileName(const std::string& name) { return !name.empty() && name.front() == '~'; }

class VectorTableList : public TableList {
 public:
  explicit VectorTableList(std::vector<std::string>& names) : names_(names) {}
  void AddItem(const std::string& name) override { names_.push_back(name); }

 private:
  std::vector<std::string>& names_;
};

}  // namespace

std::string ConnectionStringOf(const DataSourceView& source) {
  if (source.OptionDBC1()) {
    return fox::ConnectionString::Build(fox::ConnectionString::SourceType::kDatabase, source.DBCPath1());
  }
  return fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, source.FolderText());
}

std::string FoxPro::GetPath() const {
  ErrorTrap trap(errors_, kModule, "GetPath");
  std::string path;
  trap.Step(100, [&] {
    if (!source_.OptionDBC1()) path = WithTrailingSeparator(source_.FolderText());
  });
  return path;
}

std::string FoxPro::GetDBName() const {
  ErrorTrap trap(errors_, kModule, "GetDBName");
  std::string name;
  trap.Step(100, [&] {
    if (source_.OptionDBC1()) name = source_.DBCPath1();
  });
  return name;
}

bool FoxPro::IsValidFoxProConnection() const {
  ErrorTrap trap(errors_, kModule, "IsValidFoxProConnection");
  bool valid = false;
  bool dbc = false;
  if (!trap.Step(100, [&] { dbc = source_.OptionDBC1(); })) return false;

  if (dbc) {
    std::string name;
    trap.Step(102, [&] { name = GetDBName(); });
    trap.Step(104, [&] { valid = !name.empty() && FileExists(name); });
    return valid;
  }

  std::vector<std::string> names;
  // A folder that cannot be listed is reported here once; going on would
  // only find no names.
  if (!trap.Step(106, [&] { names = ListFiles(source_.FolderText(), kTablePattern); })) return false;
  trap.Step(108, [&] {
    // The scan does not stop at the first table: the answer only ever goes
    // from false to true.
    for (const std::string& name : names) {
      if (!IsWorkFileName(name)) valid = true;
    }
  });
  return valid;
}

void FoxPro::AddTablesToFoxproListbox(std::vector<std::string>& list) const {
  VectorTableList adapter(list);
  AddTablesToFoxproListbox(adapter);
}

void FoxPro::AddTablesToFoxproListbox(TableList& list) const {
  ErrorTrap trap(errors_, kModule, "AddTablesToFoxproListbox");
  bool dbc = false;
  if (!trap.Step(100, [&] { dbc = source_.OptionDBC1(); })) return;

  if (dbc) {
    fox::Connection connection;
    // A container that cannot be opened is reported once and ends the
    // procedure; there is nothing to close.
    if (!trap.Step(102, [&] { connection.Open(ConnectionStringOf(source_)); })) return;

    std::unique_ptr<fox::Recordset> schema;
    const bool schema_open = trap.Step(104, [&] {
      schema = connection.OpenSchema(fox::kSchemaTables);
      if (!schema) throw Error(ErrorKind::kCorrupt, "The database container gave no list of tables.");
    });
    if (schema_open) {
      for (;;) {
        bool at_end = true;
        // A schema that cannot be walked ends the scan after one report.
        if (!trap.Step(106, [&] { at_end = schema->Eof(); }) || at_end) break;
        trap.Step(108, [&] {
          const std::optional<std::string> type = schema->fields()["TABLE_TYPE"].Value();
          if (type != "TABLE") return;  // views and other objects are not listed
          const std::optional<std::string> name = schema->fields()["TABLE_NAME"].Value();
          if (!name) throw Error(ErrorKind::kCorrupt, "A table of the database container has no name.");
          list.AddItem(*name);
        });
        if (!trap.Step(110, [&] { schema->MoveNext(); })) break;
      }
      trap.Step(112, [&] { schema->Close(); });
      schema.reset();
    }
    trap.Step(114, [&] { connection.Close(); });
    return;
  }

  std::string folder;
  // GetPath reports its own failure and then gives "": nothing to list.
  trap.Step(116, [&] { folder = GetPath(); });
  if (folder.empty()) return;
  folder.pop_back();

  std::vector<std::string> names;
  if (!trap.Step(118, [&] { names = ListFiles(folder, kTablePattern); })) return;
  for (const std::string& name : names) {
    trap.Step(120, [&] {
      if (!IsWorkFileName(name)) list.AddItem(name.substr(0, name.size() - 4));
    });
  }
}

}  // namespace quillon
