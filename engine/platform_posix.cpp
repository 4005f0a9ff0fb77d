// The operating system's part of the change log on Linux and other POSIX
// systems (see platform.h).
#include <langinfo.h>
#include <locale.h>
#include <unistd.h>

#include <string_view>

#include "base/file_helpers.h"
#include "data/file/utf8_path.h"
#include "engine/change_log.h"
#include "engine/platform.h"

namespace quillon {
namespace {

// A strftime date format (nl_langinfo's D_FMT) as a short date pattern.
std::string PatternFromStrftime(std::string_view format) {
  std::string pattern, literal;
  auto flush_literal = [&] {
    if (literal.empty()) return;
    pattern += '\'' + literal + '\'';
    literal.clear();
  };
  auto token = [&](const char* t) {
    flush_literal();
    pattern += t;
  };
  for (size_t i = 0; i < format.size(); ++i) {
    if (format[i] != '%' || i + 1 == format.size()) {
      const char c = format[i];
      if (c == '\'') {
        flush_literal();
        pattern += "''";
      } else if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) {
        literal += c;
      } else {
        flush_literal();
        pattern += c;
      }
      continue;
    }
    char c = format[++i];
    while ((c == 'E' || c == 'O' || c == '-' || c == '_' || c == '0' || c == '^' || c == '#') &&
           i + 1 < format.size())
      c = format[++i];
    switch (c) {
      case 'd':
        token("dd");
        break;
      case 'e':
        token("d");
        break;
      case 'm':
        token("MM");
        break;
      case 'y':
      case 'Y':
      case 'G':
      case 'g':
        token("yyyy");
        break;
      case 'C':
        break;  // the century goes with %y, which shows the whole year
      case 'b':
      case 'h':
        token("MMM");
        break;
      case 'B':
        token("MMMM");
        break;
      case 'a':
        token("ddd");
        break;
      case 'A':
        token("dddd");
        break;
      case 'D':
        token("MM/dd/yyyy");
        break;
      case 'F':
        token("yyyy-MM-dd");
        break;
      case '%':
        literal += '%';
        break;
      default:
        break;
    }
  }
  flush_literal();
  return pattern;
}

}  // namespace

std::string SystemShortDatePattern() {
  // The user's locale for dates alone (the program's own locale, which
  // number parsing depends on, is not touched).
  locale_t locale = newlocale(LC_TIME_MASK, "", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) locale = newlocale(LC_TIME_MASK, "C", static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return "MM/dd/yyyy";
  const std::string pattern = PatternFromStrftime(nl_langinfo_l(D_FMT, locale));
  freelocale(locale);
  return pattern.empty() ? "MM/dd/yyyy" : pattern;
}

namespace platform {

std::string SystemTemporaryFolder() {
  const std::string tmpdir = fox::EnvironmentUtf8("TMPDIR");
  return tmpdir.empty() ? "/tmp" : WithoutTrailingSeparator(tmpdir);
}

long long FileEnd(std::FILE* file) {
  if (std::fseek(file, 0, SEEK_END) != 0) return -1;
  return ftello(file);
}

bool CutBack(std::FILE* file, long long size) {
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

bool MakeDurable(std::FILE* file) { return fsync(fileno(file)) == 0; }

}  // namespace platform
}  // namespace quillon
