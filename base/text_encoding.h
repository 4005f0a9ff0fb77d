// Text in the system's 8-bit encoding, for files that other programs read
// and write without saying how they are encoded (set files, the change log):
// UTF-8 on Linux, the ANSI code page on Windows. Quillon's own strings are
// UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace quillon {

// Bytes in the system encoding as UTF-8. Bytes that do not form a character
// become U+FFFD.
std::string SystemToUtf8(std::string_view bytes);
// UTF-8 in the system encoding; false when a character has no place in it
// (`out` is then not to be used).
bool Utf8ToSystem(std::string_view utf8, std::string* out);
// Whether `bytes` are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes);
// UTF-8 with every byte that does not belong to a well-formed character
// replaced by U+FFFD.
std::string ValidUtf8(std::string_view bytes);

}  // namespace quillon
