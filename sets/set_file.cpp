#include "sets/set_file.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "data/text/utf8.h"
#include "data/file/utf8_path.h"
#include "base/file_helpers.h"
#include "base/text_encoding.h"

namespace quillon {

std::string ReadTextFile(const std::string& path) {
  if (!FileExists(path)) return {};
  std::FILE* file = fox::OpenFileUtf8(path, "rb");
  std::string bytes;
  bool failed = file == nullptr;
  int error = errno;
  if (file != nullptr) {
    char chunk[1 << 16];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.append(chunk, n);
    failed = std::ferror(file) != 0;
    error = errno;
    std::fclose(file);
  }
  if (failed) throw std::runtime_error("Cannot read the file '" + path + "': " + std::strerror(error) + ".");
  if (bytes.empty()) return {};
  const auto first = static_cast<unsigned char>(bytes[0]);
  std::string text;
  if (first == 0xFF || first == 0xFE) {
    // UTF-16, little-endian unless the file starts with the big-endian
    // byte-order mark FE FF (read little-endian, that mark would garble every
    // character). An odd last byte is not a whole character and is left out.
    const bool big_endian = bytes.size() >= 2 && first == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF;
    std::u16string units(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < units.size(); ++i) {
      const auto a = static_cast<unsigned char>(bytes[2 * i]);
      const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
      units[i] = static_cast<char16_t>(big_endian ? (a << 8 | b) : (b << 8 | a));
    }
    text = fox::Utf8FromUtf16(units.data(), units.size());
  } else if (bytes.starts_with("\xEF\xBB\xBF")) {
    // Marked as UTF-8: read as such whatever the system's code page is.
    text = ValidUtf8(std::string_view(bytes).substr(3));
  } else if (IsValidUtf8(bytes)) {
    // Text that reads as UTF-8 is UTF-8 (on Windows, where the system's
    // encoding is an ANSI code page, bytes above 127 that happen to form
    // UTF-8 throughout are next to unknown in ANSI text).
    text = bytes;
  } else {
    text = SystemToUtf8(bytes);
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

std::optional<ReplaceSet> SplitSetLine(std::string_view line, std::string_view separator) {
  if (separator.empty()) throw std::invalid_argument("The separator of a set must not be empty.");
  const size_t first = line.find(separator);
  if (line.empty() || first == std::string_view::npos) return std::nullopt;
  const size_t second_start = first + separator.size();
  const size_t second_end = line.find(separator, second_start);
  ReplaceSet set;
  set.find.assign(line.substr(0, first));
  set.replace.assign(line.substr(second_start, second_end == std::string_view::npos ? std::string_view::npos
                                                                                    : second_end - second_start));
  return set;
}

std::vector<ReplaceSet> ParseSets(const std::string& text, const std::string& separator) {
  if (separator.empty()) throw std::invalid_argument("The separator of a set file must not be empty.");
  std::string all;
  all.reserve(text.size());
  for (char c : text) {
    if (c != '\r') all += c;
  }
  std::vector<ReplaceSet> sets;
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('\n', start);
    if (end == std::string::npos) end = all.size();
    const std::string_view line(all.data() + start, end - start);
    start = end + 1;
    if (std::optional<ReplaceSet> set = SplitSetLine(line, separator)) sets.push_back(std::move(*set));
  }
  return sets;
}

std::string SetFileText(const std::vector<ReplaceSet>& sets) {
  std::string text;
  for (const ReplaceSet& set : sets) text += set.find + kDefaultSetSeparator + set.replace + "\r\n";
  return text;
}

void SaveSetFile(Toolkit& toolkit, const std::string& path, const std::vector<ReplaceSet>& sets) {
  if (FileExists(path)) {
    const MessageAnswer answer =
        toolkit.ShowMessage(kOverwriteQuestion + path + " ?", MessageButtons::kYesNo, MessageIcon::kNone);
    if (answer != MessageAnswer::kYes) return;
  }
  try {
    // In the system's encoding, which other programs read set files in;
    // sets that it cannot hold are saved as UTF-8, marked as such.
    const std::string text = SetFileText(sets);
    std::string bytes;
    if (!Utf8ToSystem(text, &bytes)) bytes = "\xEF\xBB\xBF" + text;
    WriteFileAtomically(path, bytes);
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("Cannot write the set file '" + path + "': " + e.what() + ".");
  }
}

}  // namespace quillon
