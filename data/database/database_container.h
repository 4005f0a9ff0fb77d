// A database container (.dbc): the Visual FoxPro table that lists the tables
// and views of a database, with their file paths and long field names.
//
// The container is an ordinary table (memo .dct, index .dcx) of objects:
// OBJECTID, PARENTID, OBJECTTYPE ("Table", "View", "Field", ...), OBJECTNAME
// and a PROPERTY memo of [u32 length][u16 id size][id][value] entries, where
// property 1 is a table's path relative to the container. Deleted objects are
// stale and ignored. The container is only ever read.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fox {

struct ContainerObject {
  enum class Kind { kTable, kView };
  Kind kind = Kind::kTable;
  std::string name;          // long name as stored (lower case in practice)
  std::string stored_path;   // property 1 as stored, "" for views
  std::vector<std::string> field_names;  // long field names in column order
};

class DatabaseContainer {
 public:
  // Reads the container at `path`. Throws Error(kNotFound) when it does not
  // exist and Error(kCorrupt) when it is not a well-formed container.
  explicit DatabaseContainer(const std::string& path);

  const std::string& path() const { return path_; }

  // Tables and views in container order.
  const std::vector<ContainerObject>& objects() const { return objects_; }

  // The table called `name` (compared ignoring case), or nothing.
  const ContainerObject* FindTable(const std::string& name) const;

  // The table file of `table`: its stored path resolved against the
  // container's folder, "\" read as a separator, names matched ignoring case.
  // Throws Error(kNotFound) naming the table and the path when it is missing.
  std::string TableFilePath(const ContainerObject& table) const;

 private:
  std::string path_;
  std::vector<ContainerObject> objects_;
};

}  // namespace fox
