// The program folder and the files that sit beside the program.
#pragma once

#include <string>

namespace quillon {

// The folder that holds the running program file, in native form, without a
// trailing separator except at the root ("/" or "C:\"). UTF-8, as every
// path in Quillon. Throws
// quillon::Error when the platform cannot say where the program is.
std::string ProgramFolder();

// `folder` followed by the relative path `relative` ("x/o.cjs"), joined with
// one native separator and with "/" in `relative` turned into the native one.
std::string BesideFolder(const std::string& folder, const std::string& relative);

// The optional skin file, the optional hand pointer picture and the sample
// folder, relative to the program folder.
inline constexpr char kSkinFile[] = "x/o.cjs";
inline constexpr char kPointerFile[] = "HAND-M.CUR";
inline constexpr char kSamplesFolder[] = "Samples";

}  // namespace quillon
