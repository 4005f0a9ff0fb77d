// The folder browser of the data source window's "..." button.
#pragma once

#include <string>

class QWidget;

namespace quillon {

// Lets the user pick a folder in a modal browser owned by `owner`, captioned
// with `prompt` and opening on `start_folder` when it is not empty. Returns the
// chosen folder's full path with native separators, or "" when the user
// cancels.
std::string BrowseForFolder(QWidget* owner, const std::string& prompt, const std::string& start_folder);

}  // namespace quillon
