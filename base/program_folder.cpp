#include "base/program_folder.h"

#include <stdexcept>

#include "base/error.h"
#include "base/file_helpers.h"
#include "base/system.h"
#include "data/file/utf8_path.h"

namespace quillon {

std::string ProgramFolder() {
  const std::string file = ProgramFile();
  size_t end = file.size();
  while (end > 0 && !IsPathSeparator(file[end - 1])) --end;  // cut the file name
  if (end == 0) return file;
  std::string folder = file.substr(0, end);
  // Keep the separator only where the folder is a root: "/" or "C:\".
  const bool root = folder.size() == 1 || (folder.size() == 3 && folder[1] == ':');
  if (!root) folder.pop_back();
  return folder;
}

std::string BesideFolder(const std::string& folder, const std::string& relative) {
  std::string path = WithTrailingSeparator(folder);
  for (char c : relative) path += (c == '/') ? kPathSeparator : c;
  return path;
}

}  // namespace quillon
