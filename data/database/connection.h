// A connection to a FoxPro data source: a database container or a folder of
// free tables, opened with the connection string of ConnectionString.
//
// The connection resolves table names the way the FoxPro driver does: in a
// folder, "orders" is the file orders.dbf (in any case); in a database, a name
// from the container's table list, whose file is the path stored there.
// A table of a folder whose header links it to a database container is
// that container's table, with its rules and relations, as FoxPro opens it
// (unless `ignore_container`); the container's names for its tables are
// then known in the folder too.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "data/database/connection_string.h"
#include "data/database/database_container.h"
#include "data/database/folder_containers.h"
#include "data/database/table_rules.h"
#include "data/table/table.h"

namespace fox {

class Recordset;

class Connection {
 public:
  Connection();
  ~Connection();

  // Opens the data source. Throws Error(kNotFound) when the container or
  // folder does not exist, Error(kCorrupt) for a damaged container,
  // Error(kUsage) for a malformed connection string.
  void Open(const std::string& connection_string);
  void Close();
  bool is_open() const { return open_; }

  // The tables schema (20): rows with "TABLE_NAME" and "TABLE_TYPE" ("TABLE"
  // for tables, "VIEW" for views), in container or folder order.
  std::unique_ptr<Recordset> OpenSchema(int schema);

  // Opens a table by the name the schema gives. Throws Error(kNotFound) when
  // there is no such table, and, for a table of a folder that belongs to a
  // container which cannot be found, read or does not list it, the error
  // of FolderContainers::Of (unless `ignore_container`).
  // `before_write` is called before each batch of saves is written,
  // `write_ahead` when its writing starts, and `after_commit` once it is
  // committed in `run_log` (see Table::Options).
  std::unique_ptr<Table> OpenTable(const std::string& name, DiskFile::Mode mode,
                                   Table::Options::BeforeWrite before_write = {},
                                   Table::Options::WriteAhead write_ahead = {}, RunLog* run_log = nullptr,
                                   Table::Options::AfterCommit after_commit = {}) const;

  // The rules the container declares for its table `name` (opened by that
  // name), compiled for `table` as it is open; nullptr for a free table.
  std::unique_ptr<TableRules> RulesOf(const std::string& name, const Table& table) const;

  const ConnectionString& source() const { return source_; }

  // Whether tables whose structural index file is missing may be changed
  // (see Table::Options::allow_missing_index); false unless set.
  bool allow_missing_index = false;
  // Whether the tables of a folder are free tables whatever container their
  // header links them to; false unless set.
  bool ignore_container = false;

 private:
  bool open_ = false;
  ConnectionString source_;
  std::unique_ptr<DatabaseContainer> container_;
  // A folder's: the containers its tables belong to, and which table of
  // which container each name opened is (by lower-case name).
  mutable std::unique_ptr<FolderContainers> folder_containers_;
  mutable std::map<std::string, FolderContainers::Membership> members_;
};

}  // namespace fox
