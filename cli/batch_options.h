// The batch command's options: what its arguments say, and the text of
// --help.
//
// ParseBatchArguments reads the arguments (without the program name) and
// checks that they go together; it opens nothing. On a usage error it throws
// quillon::Error(ErrorKind::kUsage) with a message for the user.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillon {

struct BatchOptions {
  bool help = false;
  bool dry_run = false;
  std::optional<std::string> folder;
  std::optional<std::string> dbc;
  std::vector<std::string> tables;
  std::optional<std::string> find;
  std::optional<std::string> replace;
  std::optional<std::string> sets_file;
  std::optional<std::string> separator;
  bool skip_bad_lines = false;      // use a set file's sets, skipping its lines that are not sets
  bool without_index = false;       // change tables whose structural index file is missing
  bool without_triggers = false;    // change tables whose update trigger Quillon cannot run
  bool ignore_container = false;    // a folder's tables are free, whatever container they link to
  bool check = false;               // check the structural indexes instead of replacing
  std::optional<std::string> undo;  // take back the run of this undo journal
  bool no_undo_journal = false;     // the run writes no undo journal and cannot be taken back
};

// Reads the arguments (without the program name). Throws
// Error(ErrorKind::kUsage) with a message for the user on a usage error.
BatchOptions ParseBatchArguments(const std::vector<std::string>& args);

// The text printed by --help.
std::string BatchUsage();

}  // namespace quillon
