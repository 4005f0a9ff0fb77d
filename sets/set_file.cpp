#include "sets/set_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/error.h"
#include "base/file_helpers.h"
#include "base/text_encoding.h"
#include "data/file/utf8_path.h"
#include "data/text/utf8.h"

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
  if (failed)
    throw Error(ErrorKind::kIo, "Cannot read the file '" + path + "': " + std::strerror(error) + ".");
  if (bytes.empty()) return {};
  const auto first = static_cast<unsigned char>(bytes[0]);
  std::string text;
  if (first == 0xFF || first == 0xFE) {
    // UTF-16, little-endian unless the file starts with the big-endian
    // byte-order mark FE FF (read little-endian, that mark would garble every
    // character). An odd last byte is not a whole character and is left out.
    const bool big_endian =
        bytes.size() >= 2 && first == 0xFE && static_cast<unsigned char>(bytes[1]) == 0xFF;
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
    text = std::move(bytes);
  } else {
    text = SystemToUtf8(bytes);
  }
  if (text.starts_with("\xEF\xBB\xBF")) text.erase(0, 3);
  return text;
}

namespace {

// SplitSetLine's pieces, as views of the line.
struct SetPieces {
  std::string_view find;
  std::string_view replace;
};

std::optional<SetPieces> SplitPieces(std::string_view line, std::string_view separator) {
  if (separator.empty()) throw Error(ErrorKind::kUsage, "The separator of a set must not be empty.");
  const size_t first = line.find(separator);
  if (line.empty() || first == std::string_view::npos) return std::nullopt;
  const size_t second_start = first + separator.size();
  const size_t second_end = line.find(separator, second_start);
  return SetPieces{line.substr(0, first), line.substr(second_start, second_end == std::string_view::npos
                                                                        ? std::string_view::npos
                                                                        : second_end - second_start)};
}

}  // namespace

std::optional<ReplaceSet> SplitSetLine(std::string_view line, std::string_view separator) {
  const std::optional<SetPieces> pieces = SplitPieces(line, separator);
  if (!pieces) return std::nullopt;
  return ReplaceSet{std::string(pieces->find), std::string(pieces->replace)};
}

bool IsSetText(std::string_view line) {
  char32_t cp;
  for (size_t i = 0; i < line.size();) {
    if (!fox::NextCodePoint(line, i, cp) || cp == 0 || cp == 0xFFFD) return false;
  }
  return true;
}

namespace {

bool IsBlank(std::string_view line) { return line.find_first_not_of(" \t") == std::string_view::npos; }

// A bad line's text as a message shows it: control characters and bytes
// that are no character as \xNN, U+FFFD as '?', cut after kShown characters
// as shown.
std::string ShownText(std::string_view line) {
  constexpr size_t kShown = 60;
  std::string shown;
  size_t width = 0;
  char32_t cp;
  for (size_t i = 0; i < line.size();) {
    if (width >= kShown) return shown + "...";
    const size_t at = i;
    ++width;
    if (!fox::NextCodePoint(line, i, cp)) {
      cp = static_cast<unsigned char>(line[i++]);
    } else if (cp >= 0x20 && !(cp >= 0x7F && cp <= 0x9F) && cp != 0xFFFD) {
      shown.append(line.substr(at, i - at));
      continue;
    }
    if (cp == 0xFFFD) {
      shown += '?';
      continue;
    }
    static constexpr char kHex[] = "0123456789ABCDEF";
    shown += "\\x";
    shown += kHex[cp >> 4 & 0xF];
    shown += kHex[cp & 0xF];
    width += 3;
  }
  return shown;
}

}  // namespace

ParsedSets ParseSets(const std::string& text, const std::string& separator) {
  ParsedSets parsed;
  parsed.sets.reserve(SetLinesAtMost(text));
  parsed.bad_lines = ForEachSet(text, separator, [&](std::string_view find, std::string_view replace) {
    parsed.sets.push_back(ReplaceSet{std::string(find), std::string(replace)});
  });
  return parsed;
}

size_t SetLinesAtMost(const std::string& text) {
  return static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
}

std::vector<BadSetLine> ForEachSet(const std::string& text, const std::string& separator,
                                   const std::function<void(std::string_view, std::string_view)>& take) {
  if (separator.empty()) throw Error(ErrorKind::kUsage, "The separator of a set file must not be empty.");
  // The text is read in place, a line at a time: a set file may hold a
  // million lines, and only a line holding a CR is copied (without them).
  size_t end = text.size();
  while (end > 0 && text[end - 1] == '\r') --end;
  if (end > 0 && text[end - 1] == '\x1A') {
    --end;
  } else {
    end = text.size();
  }
  std::vector<BadSetLine> bad_lines;
  std::string without_cr;
  size_t start = 0;
  for (size_t number = 1; start <= end; ++number) {
    size_t stop = text.find('\n', start);
    if (stop == std::string::npos || stop > end) stop = end;
    std::string_view line(text.data() + start, stop - start);
    start = stop + 1;
    if (line.find('\r') != std::string_view::npos) {
      without_cr.clear();
      for (char c : line) {
        if (c != '\r') without_cr += c;
      }
      line = without_cr;
    }
    std::optional<SetPieces> set;
    if (IsSetText(line)) set = SplitPieces(line, separator);
    if (set) {
      take(set->find, set->replace);
    } else if (!IsBlank(line)) {
      bad_lines.push_back(BadSetLine{number, std::string(line)});
    }
  }
  return bad_lines;
}

std::string BadSetLinesText(const std::string& file, const std::vector<BadSetLine>& lines,
                            const std::string& separator, const std::string& line_break) {
  const size_t count = lines.size();
  std::string text = std::to_string(count) + (count == 1 ? " line of " : " lines of ") + file +
                     (count == 1 ? " is not a set" : " are not sets") + " (a find text, \"" +
                     ShownText(separator) + "\", a replace text):";
  const size_t named = std::min(count, kBadSetLinesNamed);
  for (size_t i = 0; i < named; ++i) {
    text += line_break + "line " + std::to_string(lines[i].number) + ": \"" + ShownText(lines[i].text) + "\"";
    if (!IsSetText(lines[i].text)) text += " (not text)";
  }
  if (count > named) text += line_break + "and " + std::to_string(count - named) + " more";
  return text;
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
    throw Error(ErrorKind::kIo, "Cannot write the set file '" + path + "': " + e.what() + ".");
  }
}

}  // namespace quillon
