// A connection to a FoxPro data source: a database container or a folder of
// free tables, opened with the connection string of ConnectionString.
//
// The connection resolves table names the way the FoxPro driver does: in a
// folder, "orders" is the file orders.dbf (in any case); in a database, a name
// from the container's table list, whose file is the path stored there.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "data/database/connection_string.h"
#include "data/database/database_container.h"
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
  // there is no such table.
  // `before_write` is called before each batch of saves is written, and
  // `write_ahead` when its writing starts (see Table::Options).
  std::unique_ptr<Table> OpenTable(const std::string& name, DiskFile::Mode mode,
                                   Table::Options::BeforeWrite before_write = {},
                                   Table::Options::WriteAhead write_ahead = {}) const;

  // The rules the container declares for its table `name`, compiled for
  // `table` as it is open; nullptr for a free table.
  std::unique_ptr<TableRules> RulesOf(const std::string& name, const Table& table) const;

  const ConnectionString& source() const { return source_; }

  // Whether tables whose structural index file is missing may be changed
  // (see Table::Options::allow_missing_index); false unless set.
  bool allow_missing_index = false;

 private:
  bool open_ = false;
  ConnectionString source_;
  std::unique_ptr<DatabaseContainer> container_;
};

}  // namespace fox
