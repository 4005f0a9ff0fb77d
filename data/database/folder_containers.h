// The database containers that the tables of a folder belong to. A Visual
// FoxPro table of a database names its container in its header (the
// backlink, a path relative to the table's folder); FoxPro opens that
// container whenever the table is used, so a table reached through its
// folder obeys the container's rules as it does through the container.
//
// Owns each container it read, read once and kept for as long as it lives;
// the memberships it gives point into them. Throws fox::Error.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "data/database/database_container.h"

namespace fox {

class FolderContainers {
 public:
  struct Membership {
    const DatabaseContainer* container = nullptr;
    const ContainerObject* table = nullptr;
  };

  // The container the table file at `path` belongs to, and the container's
  // object for that file; nothing for a free table (no backlink). `name`
  // names the table in messages. Throws Error(kNotFound) when the container
  // cannot be found, Error(kCorrupt) when it cannot be read and
  // Error(kUnsupported) when it does not list the file: the table must not
  // be changed as if it were free.
  std::optional<Membership> Of(const std::string& path, const std::string& name);

  // The table called `name` (ignoring case) in a container that a table of
  // `folder` belongs to (a relation names its tables so), the containers
  // read so far first; nothing when none lists it. Containers that cannot
  // be read are passed over.
  std::optional<Membership> Named(const std::string& folder, const std::string& name);

 private:
  // The container at `path`, read once.
  const DatabaseContainer& Read(const std::string& path);

  std::map<std::string, std::unique_ptr<DatabaseContainer>> containers_;  // by path
  bool folder_scanned_ = false;
};

// The container path a table file's header links to, resolved against the
// table's folder: "" for a free table, nothing when the linked file is
// missing. Throws Error when the table file cannot be read.
std::optional<std::string> BacklinkedContainer(const std::string& table_path, std::string* stored = nullptr);

}  // namespace fox
