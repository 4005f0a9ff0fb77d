#include "cli/batch_options.h"

#include "base/error.h"

namespace quillon {
namespace {

// A usage error: the command line cannot be run as given.
Error UsageError(const std::string& message) { return Error(ErrorKind::kUsage, message); }

}  // namespace

std::string BatchUsage() {
  return "Usage: quillon-replace (--folder DIR | --dbc FILE) [--table NAME]...\n"
         "                       (--find TEXT --replace TEXT |\n"
         "                        --sets FILE [--separator SEP] [--skip-bad-lines])\n"
         "                       [--dry-run] [--without-index] [--without-triggers]\n"
         "                       [--no-undo-journal] [--ignore-container]\n"
         "       quillon-replace (--folder DIR | --dbc FILE) [--table NAME]... --check\n"
         "                       [--ignore-container]\n"
         "       quillon-replace --undo JOURNAL [--dry-run] [--without-index]\n"
         "\n"
         "Replaces text in every field of every record of FoxPro tables, exactly as\n"
         "\"Start Replacing\" does in Quillon's main window.\n"
         "\n"
         "  --folder DIR      work on the tables (*.dbf) of the folder DIR; a table\n"
         "                    whose header links it to a database container obeys\n"
         "                    that container's rules and relations, as it does with\n"
         "                    --dbc; one whose container cannot be found or read,\n"
         "                    or does not list it, is reported and left alone\n"
         "  --dbc FILE        work on the tables of the database container FILE\n"
         "  --table NAME      work on this table; repeat for more tables, which are\n"
         "                    done in the order given (default: every table)\n"
         "  --find TEXT       the text to find (exact case, not empty)\n"
         "  --replace TEXT    the text that replaces it (may be empty)\n"
         "  --sets FILE       find-and-replace sets, one per line, applied in order\n"
         "  --separator SEP   what separates find and replace text in the set\n"
         "                    file (default \"::\")\n"
         "  --skip-bad-lines  use the sets of a set file some lines of which are\n"
         "                    not sets (no separator, or not text), skipping those\n"
         "                    lines; without it such a file is refused, its bad\n"
         "                    lines named, and nothing is done\n"
         "  --dry-run         write nothing; print for each table and column how\n"
         "                    many fields the run would change, and how many new\n"
         "                    texts the column would refuse and why (a column that\n"
         "                    cannot be changed at all is told where a find text\n"
         "                    reaches it); exits as the run would\n"
         "  --without-index   change tables whose structural index file (.cdx) is\n"
         "                    missing, which are otherwise left alone; each one\n"
         "                    changed is reported: rebuild its index before use\n"
         "  --without-triggers change tables of a database whose update trigger or\n"
         "                    record validation rule runs code Quillon cannot run\n"
         "                    (a trigger other than the referential-integrity\n"
         "                    builder's, a rule that calls a procedure), which are\n"
         "                    otherwise left alone, also where a cascade reaches\n"
         "                    them; that code is not run, their other rules still\n"
         "                    hold; each one changed is reported\n"
         "  --no-undo-journal write no undo journal: the run cannot be taken back;\n"
         "                    its log of the records it writes is still kept\n"
         "                    while it runs, to put its tables right after a\n"
         "                    crash, and removed at its end\n"
         "  --ignore-container with --folder: treat every table as a free table,\n"
         "                    whatever container its header links it to; that\n"
         "                    container's rules, relations and triggers do not hold\n"
         "  --check           replace nothing and write nothing: check every tag of\n"
         "                    each table's structural index (.cdx) against the\n"
         "                    table's records, one line per tag: consistent,\n"
         "                    INCONSISTENT and what is wrong, or not checked and why\n"
         "                    (tags whose keys Quillon does not compute, such as\n"
         "                    collated or binary tags); for a database's tables,\n"
         "                    also the records that already break a validation\n"
         "                    rule, with the rule's message\n"
         "  --undo JOURNAL    take back the run whose undo journal is JOURNAL: every\n"
         "                    field it changed gets its old value back, newest change\n"
         "                    first, unless its value changed since the run (that\n"
         "                    field is left as it is and reported); with --dry-run,\n"
         "                    say what would be taken back and what conflicts\n"
         "  --help            print this help\n"
         "\n"
         "Every run that changes data writes an undo journal,\n"
         "quillon-undo-YYYYMMDD-HHMMSS.jnl, beside backups.log, and prints its path.\n"
         "\n"
         "Every occurrence is replaced and spaces are trimmed from both ends of each\n"
         "changed value. Each changed field adds a line to backups.log in the folder\n"
         "named by TEMP (else the system's temporary folder); a field the pairs leave\n"
         "as it was is not saved and gets none. Errors are printed to standard error\n"
         "and the run goes on; once it has been through its tables the run prints\n"
         "how many fields it changed, then \"Done.\". A run whose change log or undo\n"
         "journal cannot be written changes nothing and says so instead of\n"
         "\"Done.\"; one whose change log fails on the way stops at the record it\n"
         "was changing, which it leaves as it was, and says so before \"Done.\".\n"
         "\n"
         "Exit status: 0 when nothing went wrong, 1 when an error was reported,\n"
         "2 for a usage error (nothing is opened). With --check: 0 when every tag\n"
         "was checked and is consistent, 1 when a tag is inconsistent or was not\n"
         "checked or a table could not be checked, 2 for a usage error.\n";
}

BatchOptions ParseBatchArguments(const std::vector<std::string>& args) {
  BatchOptions options;
  auto set_once = [](std::optional<std::string>& slot, const std::string& option, std::string value) {
    if (slot) throw UsageError(option + " may be given only once.");
    slot = std::move(value);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    std::string option = args[i];
    std::optional<std::string> inline_value;
    if (option.rfind("--", 0) == 0) {
      if (const size_t eq = option.find('='); eq != std::string::npos) {
        inline_value = option.substr(eq + 1);
        option.erase(eq);
      }
    }
    if (option == "--help" || option == "-h") {
      options.help = true;
      continue;
    }
    if (option == "--dry-run" && !inline_value) {
      options.dry_run = true;
      continue;
    }
    if (option == "--without-index" && !inline_value) {
      options.without_index = true;
      continue;
    }
    if (option == "--without-triggers" && !inline_value) {
      options.without_triggers = true;
      continue;
    }
    if (option == "--no-undo-journal" && !inline_value) {
      options.no_undo_journal = true;
      continue;
    }
    if (option == "--ignore-container" && !inline_value) {
      options.ignore_container = true;
      continue;
    }
    if (option == "--check" && !inline_value) {
      options.check = true;
      continue;
    }
    if (option == "--skip-bad-lines" && !inline_value) {
      options.skip_bad_lines = true;
      continue;
    }
    const bool takes_value = option == "--folder" || option == "--dbc" || option == "--table" ||
                             option == "--find" || option == "--replace" || option == "--sets" ||
                             option == "--separator" || option == "--undo";
    if (!takes_value) throw UsageError("Unknown argument \"" + args[i] + "\".");
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else {
      if (i + 1 >= args.size()) throw UsageError(option + " needs a value.");
      value = args[++i];
    }
    if (option == "--folder")
      set_once(options.folder, option, value);
    else if (option == "--dbc")
      set_once(options.dbc, option, value);
    else if (option == "--table")
      options.tables.push_back(value);
    else if (option == "--find")
      set_once(options.find, option, value);
    else if (option == "--replace")
      set_once(options.replace, option, value);
    else if (option == "--sets")
      set_once(options.sets_file, option, value);
    else if (option == "--undo")
      set_once(options.undo, option, value);
    else
      set_once(options.separator, option, value);
  }
  if (options.help) return options;

  if (options.undo) {
    const char* other = options.folder             ? "--folder"
                        : options.dbc              ? "--dbc"
                        : !options.tables.empty()  ? "--table"
                        : options.find             ? "--find"
                        : options.replace          ? "--replace"
                        : options.sets_file        ? "--sets"
                        : options.separator        ? "--separator"
                        : options.skip_bad_lines   ? "--skip-bad-lines"
                        : options.check            ? "--check"
                        : options.no_undo_journal  ? "--no-undo-journal"
                        : options.without_triggers ? "--without-triggers"
                        : options.ignore_container ? "--ignore-container"
                                                   : nullptr;
    if (other) throw UsageError(std::string("--undo cannot be combined with ") + other + ".");
    if (options.undo->empty()) throw UsageError("--undo needs the path of an undo journal.");
    return options;
  }

  if (options.folder.has_value() == options.dbc.has_value()) {
    throw UsageError("Give either --folder or --dbc.");
  }
  if ((options.folder && options.folder->empty()) || (options.dbc && options.dbc->empty())) {
    throw UsageError("The data source must not be empty.");
  }
  if (options.ignore_container && !options.folder) throw UsageError("--ignore-container goes with --folder.");
  if (options.check) {
    const char* other = options.find               ? "--find"
                        : options.replace          ? "--replace"
                        : options.sets_file        ? "--sets"
                        : options.separator        ? "--separator"
                        : options.skip_bad_lines   ? "--skip-bad-lines"
                        : options.dry_run          ? "--dry-run"
                        : options.without_index    ? "--without-index"
                        : options.without_triggers ? "--without-triggers"
                        : options.no_undo_journal  ? "--no-undo-journal"
                                                   : nullptr;
    if (other) throw UsageError(std::string("--check cannot be combined with ") + other + ".");
    for (const std::string& table : options.tables) {
      if (table.empty()) throw UsageError("--table needs a table name.");
    }
    return options;
  }
  const bool pair = options.find || options.replace;
  if (pair && options.sets_file) throw UsageError("Give either --find and --replace or --sets, not both.");
  if (!pair && !options.sets_file) throw UsageError("Give --find and --replace, or --sets.");
  if (pair && !options.find) throw UsageError("--replace needs --find.");
  if (pair && !options.replace) throw UsageError("--find needs --replace.");
  if (options.separator && !options.sets_file) throw UsageError("--separator goes with --sets.");
  if (options.skip_bad_lines && !options.sets_file) throw UsageError("--skip-bad-lines goes with --sets.");
  if (options.separator && options.separator->empty()) {
    throw UsageError("You must enter separating character(s).");
  }
  for (const std::string& table : options.tables) {
    if (table.empty()) throw UsageError("--table needs a table name.");
  }
  return options;
}

}  // namespace quillon
