// The folder browser of the data source window's "..." button.
#pragma once

#include <string>

#include "base/toolkit.h"

namespace quillon {

// Lets the user pick a folder in the toolkit's modal folder browser,
// captioned with `prompt` and opening on `start_folder` when it is not empty.
// Returns the chosen folder's full path with native separators, or "" when
// the user cancels.
inline std::string BrowseForFolder(Toolkit& toolkit, const std::string& prompt,
                                   const std::string& start_folder) {
  return toolkit.BrowseForFolder(prompt, start_folder);
}

}  // namespace quillon
