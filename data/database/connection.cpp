#include "data/database/connection.h"

#include <filesystem>

#include "data/database/folder_containers.h"
#include "data/database/recordset.h"
#include "data/file/file_names.h"
#include "data/file/utf8_path.h"
#include "data/util/error.h"

namespace fs = std::filesystem;

namespace fox {
namespace {

// A table of a database treated as free (ignore_container) still has the
// long field names its container records; they are used when the container
// lists this very file. Anything missing or unreadable leaves the short
// names.
std::vector<std::string> LongNamesFromBacklink(const std::string& table_path) {
  try {
    FolderContainers containers;
    if (std::optional<FolderContainers::Membership> member = containers.Of(table_path, ""))
      return member->table->field_names;
  } catch (const Error&) {
  }
  return {};
}

}  // namespace

Connection::Connection() = default;
Connection::~Connection() = default;

void Connection::Open(const std::string& connection_string) {
  Close();
  ConnectionString source = ConnectionString::Parse(connection_string);
  if (source.source_type == ConnectionString::SourceType::kDatabase) {
    container_ = std::make_unique<DatabaseContainer>(source.location);
  } else {
    std::error_code ec;
    if (source.location.empty() || !fs::is_directory(PathFromUtf8(source.location), ec)) {
      throw Error(ErrorKind::kNotFound, "The folder '" + source.location + "' does not exist.");
    }
  }
  source_ = std::move(source);
  open_ = true;
}

void Connection::Close() {
  container_.reset();
  folder_containers_.reset();
  members_.clear();
  source_ = ConnectionString();
  open_ = false;
}

static void RequireOpen(bool open) {
  if (!open) throw Error(ErrorKind::kUsage, "The connection is not open.");
}

std::unique_ptr<Recordset> Connection::OpenSchema(int schema) {
  RequireOpen(open_);
  if (schema != kSchemaTables) {
    throw Error(ErrorKind::kUnsupported, "Schema " + std::to_string(schema) + " is not available.");
  }
  std::vector<std::vector<std::string>> rows;
  if (container_) {
    for (const ContainerObject& object : container_->objects()) {
      rows.push_back({object.name, object.kind == ContainerObject::Kind::kView ? "VIEW" : "TABLE"});
    }
  } else {
    for (const auto& entry : fs::directory_iterator(PathFromUtf8(source_.location))) {
      std::error_code ec;
      if (!entry.is_regular_file(ec)) continue;
      const fs::path name = entry.path().filename();
      if (EqualIgnoringCase(Utf8FromPath(name.extension()), ".dbf"))
        rows.push_back({Utf8FromPath(name.stem()), "TABLE"});
    }
  }
  auto recordset = std::make_unique<Recordset>();
  recordset->OpenRows({"TABLE_NAME", "TABLE_TYPE"}, std::move(rows));
  return recordset;
}

namespace {

// A table opened for writing first repairs what a run that stopped before it
// finished may have left (see Table::RepairInterruptedRun).
std::unique_ptr<Table> Opened(std::unique_ptr<Table> table) {
  table->RepairInterruptedRun();
  return table;
}

}  // namespace

std::unique_ptr<Table> Connection::OpenTable(const std::string& name, DiskFile::Mode mode,
                                             Table::Options::BeforeWrite before_write,
                                             Table::Options::WriteAhead write_ahead, RunLog* run_log,
                                             Table::Options::AfterCommit after_commit) const {
  RequireOpen(open_);
  Table::Options options;
  options.mode = mode;
  options.before_write = std::move(before_write);
  options.write_ahead = std::move(write_ahead);
  options.run_log = run_log;
  options.after_commit = std::move(after_commit);
  options.batch_records = Table::kBulkBatchRecords;
  options.batch_bytes = Table::kBulkBatchBytes;
  options.index_ahead = true;
  options.allow_missing_index = allow_missing_index;
  options.display_name = name;
  if (container_) {
    const ContainerObject* object = container_->FindTable(name);
    if (!object) {
      throw Error(ErrorKind::kNotFound,
                  "The database '" + container_->path() + "' has no table called '" + name + "'.");
    }
    options.long_names = object->field_names;
    return Opened(std::make_unique<Table>(container_->TableFilePath(*object), options));
  }
  std::optional<std::string> path;
  if (!name.empty() && name.find('/') == std::string::npos && name.find('\\') == std::string::npos) {
    path = FindFileIgnoringCase(source_.location, name + ".dbf");
  }
  if (!folder_containers_) folder_containers_ = std::make_unique<FolderContainers>();
  std::optional<FolderContainers::Membership> member;
  if (path && !ignore_container) {
    member = folder_containers_->Of(*path, name);
  } else if (!path && !ignore_container) {
    // A relation names a table of its container, which may call it
    // otherwise than its file.
    member = folder_containers_->Named(source_.location, name);
    if (member) path = member->container->TableFilePath(*member->table);
  }
  if (!path) {
    throw Error(ErrorKind::kNotFound,
                "The folder '" + source_.location + "' has no table called '" + name + "'.");
  }
  if (member) {
    options.long_names = member->table->field_names;
    members_[LowerAscii(name)] = *member;
  } else {
    options.long_names = LongNamesFromBacklink(*path);
  }
  return Opened(std::make_unique<Table>(*path, options));
}

std::unique_ptr<TableRules> Connection::RulesOf(const std::string& name, const Table& table) const {
  RequireOpen(open_);
  if (!container_) {
    const auto member = members_.find(LowerAscii(name));
    if (member == members_.end()) return nullptr;
    return std::make_unique<TableRules>(*member->second.container, *member->second.table,
                                        table.expression_schema());
  }
  const ContainerObject* object = container_->FindTable(name);
  if (!object) return nullptr;
  return std::make_unique<TableRules>(*container_, *object, table.expression_schema());
}

}  // namespace fox
