// File-name helpers for data copied from Windows, where names are compared
// without regard to case: ORDERS.DBF answers to "orders.dbf", and the memo of
// orders.dbf may be called Orders.FPT.
#pragma once

#include <optional>
#include <string>

namespace fox {

// Returns the path of the entry in `folder` whose name equals `name` ignoring
// ASCII case, preferring an exact match. Nothing when there is none.
std::optional<std::string> FindFileIgnoringCase(const std::string& folder, const std::string& name);

// Returns the path of the file beside `path` that has the same base name and
// the extension `extension` (e.g. ".fpt"), in any case. Nothing when absent.
std::optional<std::string> FindCompanionFile(const std::string& path, const std::string& extension);

// ASCII case-insensitive comparison of two names.
bool EqualIgnoringCase(const std::string& a, const std::string& b);

// ASCII lower case of a name.
std::string LowerAscii(std::string s);

// Joins a folder and a relative path that may use "\" separators (as paths
// stored in FoxPro files do), matching each component ignoring case.
std::optional<std::string> ResolveStoredPath(const std::string& folder, const std::string& stored);

}  // namespace fox
