// The module FoxPro: the queries on the current data source (which folder,
// which database container, whether it is usable), the connection string and
// the table catalogue.
//
// The data source itself is held by the data source window; these functions
// read it through DataSourceView each time they run, so a change in the window
// takes effect at the next call. Every procedure carries the error trap
// (module "FoxPro"): a failing statement is reported once through the
// ErrorSink, and the procedure ends with the answer settled so far.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "base/error_report.h"
#include "data/database/connection_string.h"

namespace quillon {

enum class DataSourceKind { kDbc, kFreeTables };

// A data source as a plain value: a database container or a folder of free
// tables.
struct DataSource {
  DataSourceKind kind = DataSourceKind::kFreeTables;
  // Full path of the container file; meaningful for the DBC kind.
  std::string container;
  // The folder's text exactly as typed, with or without a trailing
  // separator; meaningful for the folder kind.
  std::string folder;
  // Folder kind: its tables are free tables, whatever database container
  // their headers link them to (whose rules then do not hold).
  bool ignore_container = false;

  bool is_container() const { return kind == DataSourceKind::kDbc; }
  // The container's path or the folder's text, as the kind says.
  const std::string& path() const { return is_container() ? container : folder; }
};

// Where the current data source is held (the data source window): read
// afresh at each call, so that a change there takes effect at the next one.
class DataSourceView {
 public:
  virtual ~DataSourceView() = default;
  // The data source as it is now. May throw; a procedure reports that.
  virtual DataSource Current() const = 0;
};

// The connection string of a data source: the container path for the DBC
// kind, the folder text for the folder kind, inserted unchanged.
std::string ConnectionStringOf(const DataSource& source);

// A list of table names that the catalogue appends to (the main window's
// table list).
class TableList {
 public:
  virtual ~TableList() = default;
  virtual void AddItem(const std::string& name) = 0;
};

class FoxPro {
 public:
  static constexpr char kModule[] = "FoxPro";

  // Follows `source` at each call. Both are borrowed and must outlive this
  // object.
  FoxPro(const DataSourceView& source, ErrorSink& errors) : view_(&source), errors_(errors) {}
  // Works on `source` as given. `errors` is borrowed.
  FoxPro(DataSource source, ErrorSink& errors) : fixed_(std::move(source)), errors_(errors) {}

  // Folder kind: the folder text with a trailing separator (an empty text
  // gives the separator alone). DBC kind, or after a failure: "".
  std::string GetPath() const;

  // DBC kind: the container's path unchanged. Folder kind, or after a failure: "".
  std::string GetDBName() const;

  // Looks only at the file system. DBC kind: the container file exists.
  // Folder kind: the folder holds a "*.dbf" file whose name does not begin
  // with "~" (hidden files count, folders do not). A folder that cannot be
  // listed is reported once and gives false.
  bool IsValidFoxProConnection() const;

  // Appends the names of the data source's tables to `list`, without clearing
  // it. DBC kind: the rows of the container's tables schema whose TABLE_TYPE is
  // exactly "TABLE", in schema order. Folder kind: each "*.dbf" file not
  // beginning with "~", without its four-character extension, in listing
  // order. A data source that cannot be opened or listed is reported once and
  // ends the procedure; a row that cannot be added is reported and skipped.
  void AddTablesToFoxproListbox(TableList& list) const;
  void AddTablesToFoxproListbox(std::vector<std::string>& list) const;

 private:
  void AddDatabaseTables(TableList& list) const;
  void AddFreeTables(TableList& list) const;

  DataSource Source() const { return view_ != nullptr ? view_->Current() : fixed_; }

  const DataSourceView* view_ = nullptr;
  DataSource fixed_;
  ErrorSink& errors_;
};

}  // namespace quillon
