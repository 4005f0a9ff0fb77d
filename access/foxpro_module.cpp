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

// The statements of GetPath.
enum class GetPathStep { kFolderPath = 100 };

// The statements of GetDBName.
enum class GetDBNameStep { kContainerPath = 100 };

// The statements of IsValidFoxProConnection.
enum class IsValidFoxProConnectionStep {
  kReadKind = 100,
  kContainerName = 102,
  kContainerExists = 104,
  kListTables = 106,
  kFindTable = 108
};

// The statements of AddTablesToFoxproListbox.
enum class AddTablesToFoxproListboxStep {
  kReadKind = 100,
  kOpenContainer = 102,
  kOpenSchema = 104,
  kAtEnd = 106,
  kAddTable = 108,
  kNextTable = 110,
  kCloseSchema = 112,
  kCloseContainer = 114,
  kFolderPath = 116,
  kListFiles = 118,
  kAddFile = 120
};

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

std::string ConnectionStringOf(const DataSource& source) {
  if (source.is_container()) {
    return fox::ConnectionString::Build(fox::ConnectionString::SourceType::kDatabase, source.container);
  }
  return fox::ConnectionString::Build(fox::ConnectionString::SourceType::kFreeTables, source.folder);
}

std::string FoxPro::GetPath() const {
  ErrorTrap trap(errors_, kModule, "GetPath");
  std::string path;
  trap.Step(GetPathStep::kFolderPath, [&] {
    const DataSource source = Source();
    if (!source.is_container()) path = WithTrailingSeparator(source.folder);
  });
  return path;
}

std::string FoxPro::GetDBName() const {
  ErrorTrap trap(errors_, kModule, "GetDBName");
  std::string name;
  trap.Step(GetDBNameStep::kContainerPath, [&] {
    const DataSource source = Source();
    if (source.is_container()) name = source.container;
  });
  return name;
}

bool FoxPro::IsValidFoxProConnection() const {
  ErrorTrap trap(errors_, kModule, "IsValidFoxProConnection");
  bool valid = false;
  bool dbc = false;
  if (!trap.Step(IsValidFoxProConnectionStep::kReadKind, [&] { dbc = Source().is_container(); }))
    return false;

  if (dbc) {
    std::string name;
    trap.Step(IsValidFoxProConnectionStep::kContainerName, [&] { name = GetDBName(); });
    trap.Step(IsValidFoxProConnectionStep::kContainerExists,
              [&] { valid = !name.empty() && FileExists(name); });
    return valid;
  }

  std::vector<std::string> names;
  // A folder that cannot be listed is reported here once; going on would
  // only find no names.
  if (!trap.Step(IsValidFoxProConnectionStep::kListTables,
                 [&] { names = ListFiles(Source().folder, kTablePattern); }))
    return false;
  trap.Step(IsValidFoxProConnectionStep::kFindTable, [&] {
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
  if (!trap.Step(AddTablesToFoxproListboxStep::kReadKind, [&] { dbc = Source().is_container(); })) return;

  if (dbc) {
    fox::Connection connection;
    // A container that cannot be opened is reported once and ends the
    // procedure; there is nothing to close.
    if (!trap.Step(AddTablesToFoxproListboxStep::kOpenContainer,
                   [&] { connection.Open(ConnectionStringOf(Source())); }))
      return;

    std::unique_ptr<fox::Recordset> schema;
    const bool schema_open = trap.Step(AddTablesToFoxproListboxStep::kOpenSchema, [&] {
      schema = connection.OpenSchema(fox::kSchemaTables);
      if (!schema) throw Error(ErrorKind::kCorrupt, "The database container gave no list of tables.");
    });
    if (schema_open) {
      for (;;) {
        bool at_end = true;
        // A schema that cannot be walked ends the scan after one report.
        if (!trap.Step(AddTablesToFoxproListboxStep::kAtEnd, [&] { at_end = schema->Eof(); }) || at_end)
          break;
        trap.Step(AddTablesToFoxproListboxStep::kAddTable, [&] {
          const std::optional<std::string> type = schema->fields()["TABLE_TYPE"].Value();
          if (type != "TABLE") return;  // views and other objects are not listed
          const std::optional<std::string> name = schema->fields()["TABLE_NAME"].Value();
          if (!name) throw Error(ErrorKind::kCorrupt, "A table of the database container has no name.");
          list.AddItem(*name);
        });
        if (!trap.Step(AddTablesToFoxproListboxStep::kNextTable, [&] { schema->MoveNext(); })) break;
      }
      trap.Step(AddTablesToFoxproListboxStep::kCloseSchema, [&] { schema->Close(); });
      schema.reset();
    }
    trap.Step(AddTablesToFoxproListboxStep::kCloseContainer, [&] { connection.Close(); });
    return;
  }

  std::string folder;
  // GetPath reports its own failure and then gives "": nothing to list.
  trap.Step(AddTablesToFoxproListboxStep::kFolderPath, [&] { folder = GetPath(); });
  if (folder.empty()) return;
  folder.pop_back();

  std::vector<std::string> names;
  if (!trap.Step(AddTablesToFoxproListboxStep::kListFiles, [&] { names = ListFiles(folder, kTablePattern); }))
    return;
  for (const std::string& name : names) {
    trap.Step(AddTablesToFoxproListboxStep::kAddFile, [&] {
      if (!IsWorkFileName(name)) list.AddItem(name.substr(0, name.size() - 4));
    });
  }
}

}  // namespace quillon
