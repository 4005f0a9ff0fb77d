#include "data/database/connection_string.h"

#include <string_view>

#include "data/util/error.h"

namespace fox {

namespace {

constexpr std::string_view kDriverKey = "driver";
constexpr std::string_view kDriverName = "{Microsoft Visual FoxPro Driver}";
constexpr std::string_view kSourceTypeKey = "sourcetype";
constexpr std::string_view kSourceDbKey = "sourcedb=";
constexpr std::string_view kSharedTail = ";exclusive=no;";
constexpr std::string_view kExclusiveTail = ";exclusive=yes;";

std::string Lower(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

bool EndsWithIgnoringCase(const std::string& lower_text, std::string_view lower_tail) {
  return lower_text.size() >= lower_tail.size() &&
         std::string_view(lower_text).substr(lower_text.size() - lower_tail.size()) == lower_tail;
}

// Position of "SourceDB=" where it starts a key (at the start or after ";").
size_t FindSourceDb(const std::string& lower_text) {
  for (size_t at = lower_text.find(kSourceDbKey); at != std::string::npos;
       at = lower_text.find(kSourceDbKey, at + 1)) {
    if (at == 0 || lower_text[at - 1] == ';') return at;
  }
  return std::string::npos;
}

Error Malformed(const std::string& text, const std::string& why) {
  return Error(ErrorKind::kUsage, "The connection string \"" + text + "\" " + why + ".");
}

}  // namespace

std::string ConnectionString::Build(SourceType type, const std::string& location) {
  return std::string("Driver={Microsoft Visual FoxPro Driver};") +
         (type == SourceType::kDatabase ? "SourceType=DBC;" : "SourceType=DBF;") + "SourceDB=" + location +
         ";" + "Exclusive=No;";
}

ConnectionString ConnectionString::Parse(const std::string& text) {
  const std::string lower = Lower(text);
  ConnectionString result;

  const size_t source_db = FindSourceDb(lower);
  if (source_db == std::string::npos) throw Malformed(text, "names no data source (SourceDB=)");
  const size_t location_begin = source_db + kSourceDbKey.size();

  // The location is everything between "SourceDB=" and the closing
  // Exclusive setting, so that a path containing ";" is kept whole.
  size_t location_end;
  if (EndsWithIgnoringCase(lower, kSharedTail)) {
    location_end = lower.size() - kSharedTail.size();
    result.exclusive = false;
  } else if (EndsWithIgnoringCase(lower, kExclusiveTail)) {
    location_end = lower.size() - kExclusiveTail.size();
    result.exclusive = true;
  } else {
    throw Malformed(text, "does not end with \"Exclusive=No;\" or \"Exclusive=Yes;\"");
  }
  // The closing tail cannot overlap "SourceDB=", so location_end >= location_begin.
  result.location = text.substr(location_begin, location_end - location_begin);

  bool driver_seen = false;
  bool type_seen = false;
  size_t begin = 0;
  while (begin < source_db) {
    size_t end = text.find(';', begin);
    if (end == std::string::npos || end > source_db) end = source_db;
    const std::string entry = text.substr(begin, end - begin);
    begin = end + 1;
    if (entry.empty()) continue;

    const size_t equals = entry.find('=');
    if (equals == std::string::npos) throw Malformed(text, "has an entry without \"=\": \"" + entry + "\"");
    const std::string key = Lower(entry.substr(0, equals));
    const std::string value = entry.substr(equals + 1);
    if (key == kDriverKey) {
      if (Lower(value) != Lower(std::string(kDriverName))) {
        throw Malformed(text, "names the driver \"" + value + "\" instead of the Visual FoxPro driver");
      }
      driver_seen = true;
    } else if (key == kSourceTypeKey) {
      if (Lower(value) == "dbc") {
        result.source_type = SourceType::kDatabase;
      } else if (Lower(value) == "dbf") {
        result.source_type = SourceType::kFreeTables;
      } else {
        throw Malformed(text, "has the source type \"" + value + "\"; it must be DBC or DBF");
      }
      type_seen = true;
    } else {
      throw Malformed(text, "has the unknown setting \"" + entry + "\"");
    }
  }
  if (!driver_seen) throw Malformed(text, "names no driver");
  if (!type_seen) throw Malformed(text, "has no source type (SourceType=DBC or SourceType=DBF)");
  return result;
}

}  // namespace fox
