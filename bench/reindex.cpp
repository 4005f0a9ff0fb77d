// bench_reindex: rebuilds every tag of a table's structural index from its
// records, for benchmark tables whose records were written without it.
//
//   bench_reindex FOLDER|CONTAINER.dbc TABLE...
//
// Opens each table as the run does (through the folder, or the container,
// which gives the table's long field names) and rebuilds its tags.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "data/database/connection.h"
#include "data/database/connection_string.h"
#include "data/table/index_rebuild.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_reindex FOLDER|CONTAINER.dbc TABLE...\n");
    return 2;
  }
  try {
    const std::string source = argv[1];
    const bool container = source.size() > 4 && (source.substr(source.size() - 4) == ".dbc" ||
                                                 source.substr(source.size() - 4) == ".DBC");
    fox::Connection connection;
    connection.Open(fox::ConnectionString::Build(container ? fox::ConnectionString::SourceType::kDatabase
                                                           : fox::ConnectionString::SourceType::kFreeTables,
                                                 source));
    for (int i = 2; i < argc; ++i) {
      const std::unique_ptr<fox::Table> table =
          connection.OpenTable(argv[i], fox::DiskFile::Mode::kReadWrite);
      std::vector<std::string> tags;
      for (const auto& tag : table->index_maintainer()->tags()) tags.push_back(tag.header.name);
      fox::RebuildTags(*table, tags);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_reindex: %s\n", e.what());
    return 1;
  }
  return 0;
}
