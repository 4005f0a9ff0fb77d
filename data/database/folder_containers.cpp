#include "data/database/folder_containers.h"

#include <filesystem>

#include "data/file/disk_file.h"
#include "data/file/file_names.h"
#include "data/file/utf8_path.h"
#include "data/record/table_header.h"
#include "data/util/error.h"

namespace fs = std::filesystem;

namespace fox {

std::optional<std::string> BacklinkedContainer(const std::string& table_path, std::string* stored) {
  DiskFile file(table_path, DiskFile::Mode::kReadOnly, "table file");
  const TableHeader header = TableHeader::Read(file, table_path);
  if (stored) *stored = header.backlink;
  if (header.backlink.empty()) return std::string();
  const std::string folder = Utf8FromPath(PathFromUtf8(table_path).parent_path());
  return ResolveStoredPath(folder, header.backlink);
}

const DatabaseContainer& FolderContainers::Read(const std::string& path) {
  auto at = containers_.find(path);
  if (at == containers_.end())
    at = containers_.emplace(path, std::make_unique<DatabaseContainer>(path)).first;
  return *at->second;
}

std::optional<FolderContainers::Membership> FolderContainers::Of(const std::string& path,
                                                                 const std::string& name) {
  std::string stored;
  const std::optional<std::string> container_path = BacklinkedContainer(path, &stored);
  if (container_path && container_path->empty()) return std::nullopt;
  const std::string prefix = "Table '" + name + "' belongs to the database '" + stored + "', which ";
  const std::string suffix = ": it is left as it is, unless it is treated as a free table.";
  if (!container_path) throw Error(ErrorKind::kNotFound, prefix + "cannot be found" + suffix);
  const DatabaseContainer* container = nullptr;
  try {
    container = &Read(*container_path);
  } catch (const Error& e) {
    throw Error(ErrorKind::kCorrupt, prefix + "cannot be read (" + e.what() + ")" + suffix);
  }
  std::error_code ec;
  for (const ContainerObject& object : container->objects()) {
    if (object.kind != ContainerObject::Kind::kTable) continue;
    try {
      if (fs::equivalent(PathFromUtf8(container->TableFilePath(object)), PathFromUtf8(path), ec))
        return Membership{container, &object};
    } catch (const Error&) {
      // A table of the container whose file is missing is not this one.
    }
  }
  throw Error(ErrorKind::kUnsupported, prefix + "does not list it" + suffix);
}

std::optional<FolderContainers::Membership> FolderContainers::Named(const std::string& folder,
                                                                    const std::string& name) {
  auto find = [&]() -> std::optional<Membership> {
    for (const auto& [path, container] : containers_)
      if (const ContainerObject* object = container->FindTable(name))
        return Membership{container.get(), object};
    return std::nullopt;
  };
  if (std::optional<Membership> found = find()) return found;
  if (folder_scanned_) return std::nullopt;
  folder_scanned_ = true;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(PathFromUtf8(folder), ec)) {
    const fs::path file = entry.path();
    if (!entry.is_regular_file(ec) || !EqualIgnoringCase(Utf8FromPath(file.extension()), ".dbf")) continue;
    try {
      const std::optional<std::string> container = BacklinkedContainer(Utf8FromPath(file));
      if (container && !container->empty()) Read(*container);
    } catch (const Error&) {
      // A table or container that cannot be read lists no table.
    }
  }
  return find();
}

}  // namespace fox
