// The connection string through which every table is reached:
//   Driver={Microsoft Visual FoxPro Driver};SourceType=DBC|DBF;SourceDB=<location>;Exclusive=No;
#pragma once

#include <string>

namespace fox {

struct ConnectionString {
  enum class SourceType { kDatabase, kFreeTables };
  SourceType source_type = SourceType::kFreeTables;
  std::string location;  // container file or folder, exactly as given
  bool exclusive = false;

  // Builds the string for a source. The location is inserted unchanged.
  static std::string Build(SourceType type, const std::string& location);

  // Parses a string built by Build. The location runs from "SourceDB=" to the
  // closing ";Exclusive=...;", so a location containing ";" survives. Throws
  // Error(kUsage) for a string of another form.
  static ConnectionString Parse(const std::string& text);
};

}  // namespace fox
