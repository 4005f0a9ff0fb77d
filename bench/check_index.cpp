// bench_check_index: checks every tag of a table's structural index against
// the table's records, for instance after a benchmark run changed them.
//
//   bench_check_index TABLE.dbf
//
// The check is the library's (see data/table/index_check.h): for each tag whose
// keys the library computes, the tree is walked level by level and its leaf
// entries compared with the keys computed from the records. Prints one line
// per tag:
//
//   tag NAME: N keys, consistent
//   tag NAME: INCONSISTENT: what is wrong
//   tag NAME: not checked (why)
//
// and exits 1 when a tag is inconsistent, 2 when the table cannot be read or
// has no structural index.

#include <cstdio>

#include "data/table/index_check.h"
#include "data/table/table.h"
#include "data/util/error.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: bench_check_index TABLE.dbf\n");
    return 2;
  }
  try {
    fox::Table table(argv[1], fox::Table::Options{});
    if (!table.index_maintainer()) {
      std::fprintf(stderr, "%s has no structural index\n", argv[1]);
      return 2;
    }
    bool consistent = true;
    for (const fox::TagCheck& check : fox::CheckIndex(table)) {
      if (!check.checked) {
        std::printf("tag %s: not checked (%s)\n", check.tag.c_str(), check.not_checked_reason.c_str());
      } else if (check.problem.empty()) {
        std::printf("tag %s: %zu keys, consistent\n", check.tag.c_str(), check.keys);
      } else {
        std::printf("tag %s: INCONSISTENT: %s\n", check.tag.c_str(), check.problem.c_str());
        consistent = false;
      }
    }
    return consistent ? 0 : 1;
  } catch (const fox::Error& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }
}
