#include "engine/batch_command.h"

#include <algorithm>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <unordered_set>

#include "access/foxpro_module.h"
#include "base/file_helpers.h"
#include "data/database/connection.h"
#include "data/file/file_names.h"
#include "data/file/repair_marker.h"
#include "data/file/utf8_path.h"
#include "data/table/index_check.h"
#include "engine/replacement_run.h"
#include "engine/undo_run.h"

namespace quillon {
namespace {

// Reports and notices go to the console; there is nobody to answer a dialog,
// so every dialog is cancelled, and nothing needs a yield.
class ConsoleToolkit : public Toolkit {
 public:
  ConsoleToolkit(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  std::string ShowOpenDialog(const FileDialogRequest&) override { return {}; }
  std::string ShowSaveDialog(const FileDialogRequest&) override { return {}; }
  std::string BrowseForFolder(const std::string&, const std::string&) override { return {}; }
  bool Yield() override { return false; }

  int reports() const { return reports_; }

 protected:
  MessageAnswer DoShowMessage(const std::string& text, MessageButtons buttons, MessageIcon icon,
                              const std::string& /*title*/) override {
    if (icon == MessageIcon::kWarning) {
      ++reports_;
      err_ << WithLineFeeds(text) << "\n\n";
      err_.flush();
    } else {
      out_ << WithLineFeeds(text) << "\n";
      out_.flush();
    }
    return buttons == MessageButtons::kOk ? MessageAnswer::kOk : MessageAnswer::kNo;
  }
  std::string DoPrompt(const std::string&, const std::string&, const std::string&) override { return {}; }

 private:
  static std::string WithLineFeeds(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
      s += text[i];
    }
    return s;
  }

  std::ostream& out_;
  std::ostream& err_;
  int reports_ = 0;
};

class CommandLineSource : public DataSourceView {
 public:
  explicit CommandLineSource(const BatchOptions& options)
      : dbc_(options.dbc.has_value()), path_(options.dbc ? *options.dbc : *options.folder) {}
  bool OptionDBC1() const override { return dbc_; }
  std::string DBCPath1() const override { return dbc_ ? path_ : std::string(); }
  std::string FolderText() const override { return dbc_ ? std::string() : path_; }

 private:
  bool dbc_;
  std::string path_;
};

// The window's state as the command line gives it: every table ticked, the
// first tab for --find, the second for --sets.
class CommandLineInputs : public FixedInputs {
 public:
  CommandLineInputs(const DataSourceView& source, std::vector<std::string> tables,
                    const BatchOptions& options, const std::vector<ReplaceSet>& sets,
                    const volatile std::sig_atomic_t* stop_requested)
      : FixedInputs(std::move(tables), options.sets_file ? 1 : 0, options.find.value_or(""),
                    options.replace.value_or(""), Texts(sets, &ReplaceSet::find),
                    Texts(sets, &ReplaceSet::replace), source),
        stop_requested_(stop_requested) {}

  bool Closing() const override { return stop_requested_ != nullptr && *stop_requested_ != 0; }

 private:
  static std::vector<std::string> Texts(const std::vector<ReplaceSet>& sets, std::string ReplaceSet::*text) {
    std::vector<std::string> texts;
    for (const ReplaceSet& set : sets) texts.push_back(set.*text);
    return texts;
  }

  const volatile std::sig_atomic_t* stop_requested_;
};

// One line per column that a find text reaches or that cannot be changed:
// the fields that would be replaced, and those whose new text the column
// would refuse, with the reason.
// Prints what the dry run found in a table; true when the real run would
// meet a problem there (a table or column it could not change, values it
// would refuse).
bool PrintReach(const TableReach& reach, std::ostream& out) {
  // A table no column of which could change (damaged, its index missing):
  // one line.
  if (!reach.unchangeable.empty()) {
    out << reach.table << ": cannot be changed: " << reach.unchangeable << "\n";
    out.flush();
    return true;
  }
  bool any = false, problem = false;
  for (const ColumnReach& column : reach.columns) {
    if (column.fields == 0 && column.refused == 0 && column.refusal.empty()) continue;
    any = true;
    problem = problem || !column.refusal.empty();
    out << reach.table << " (" << column.column << "): ";
    if (column.fields == 0 && column.refused == 0) {
      out << "cannot be changed: " << column.refusal << "\n";
      continue;
    }
    out << column.fields << (column.fields == 1 ? " field" : " fields");
    if (column.refused > 0) {
      const bool about_column = column.refusal.rfind("it ", 0) == 0;
      out << ", " << column.refused << " refused: " << (about_column ? "" : "the new text ")
          << column.refusal;
    }
    if (column.longest > kLongValueWarning) {
      out << "; a new value would grow to " << column.longest << " bytes (record " << column.longest_record
          << "): check that no set feeds on what another puts in";
    }
    out << "\n";
  }
  if (reach.records_refused > 0) {
    any = problem = true;
    out << reach.table << ": " << reach.records_refused
        << (reach.records_refused == 1 ? " record" : " records") << " refused: " << reach.record_refusal
        << "\n";
  }
  for (const TableReach::Cascade& cascade : reach.cascades) {
    any = true;
    out << reach.table << ": key changes would cascade to " << cascade.records
        << (cascade.records == 1 ? " record of " : " records of ") << cascade.child << "\n";
  }
  if (!any) out << reach.table << ": no fields\n";
  out.flush();
  return problem;
}

// Why the structural index of a table opened without one cannot be read; ""
// when the table has none.
std::string IndexTrouble(const fox::Table& table) {
  if (!table.header().has_structural_index()) return "";
  if (!table.missing_index().empty())
    return "its structural index \"" + table.missing_index() + "\" is missing";
  const std::string& path = table.path();
  const bool container = path.size() >= 4 && fox::EqualIgnoringCase(path.substr(path.size() - 4), ".dbc");
  const std::optional<std::string> index = fox::FindCompanionFile(path, container ? ".dcx" : ".cdx");
  if (!index) return "its structural index is missing";
  try {
    fox::CompoundIndex probe(*index, table.name());
  } catch (const std::exception& e) {
    return std::string("its structural index cannot be read: ") + e.what();
  }
  return "its structural index cannot be read";
}

// --check for one table: one line per tag, or one for the table. True when
// every tag was checked and is consistent (or the table has no index).
// The records of a database's table that already break one of the
// container's rules: one line for each rule broken, with how many records
// break it, the first few, and the rule's message; a rule Quillon cannot
// evaluate is said once. True when no record breaks a rule.
bool CheckRules(const fox::Connection& connection, const std::string& name, const fox::Table& table,
                std::ostream& out) {
  const std::unique_ptr<fox::TableRules> rules = connection.RulesOf(name, table);
  if (!rules) return true;
  struct Broken {
    fox::RuleRefusal refusal;
    uint64_t records = 0;
    std::string first;  // the first few record numbers
  };
  std::vector<Broken> broken;  // in the order first met
  std::vector<size_t> every(table.field_count());
  for (size_t c = 0; c < every.size(); ++c) every[c] = c;
  table.VisitRecords([&](uint32_t recno, std::string_view record) {
    if (table.IsDeleted(record)) return;
    for (fox::RuleRefusal& refusal : rules->Check(record, every)) {
      auto at = std::find_if(broken.begin(), broken.end(),
                             [&](const Broken& b) { return b.refusal.rule == refusal.rule; });
      if (at == broken.end()) at = broken.insert(broken.end(), Broken{std::move(refusal), 0, ""});
      if (at->records < 5) at->first += (at->records == 0 ? "" : ", ") + std::to_string(recno);
      ++at->records;
    }
  });
  bool clean = true;
  for (const Broken& b : broken) {
    if (b.refusal.kind == fox::RuleRefusal::Kind::kCannotEvaluate) {
      out << name << ": " << b.refusal.rule << " (" << b.refusal.expression
          << ") not checked: " << b.refusal.message << "\n";
      continue;
    }
    clean = false;
    out << name << ": " << b.refusal.rule << " (" << b.refusal.expression << ") BROKEN by " << b.records
        << (b.records == 1 ? " record: " : " records: ") << b.first
        << (b.records > 5 ? " and " + std::to_string(b.records - 5) + " more" : std::string()) << " (\""
        << b.refusal.message << "\")\n";
  }
  out.flush();
  return clean;
}

// The keys `table` holds in its tag `tag_name` (trailing padding cut) for each
// live record the tag's FOR clause takes in. Throws when the tag's keys
// cannot be worked out.
std::vector<std::pair<uint32_t, std::string>> KeysIn(const fox::Table& table, const std::string& tag_name) {
  const fox::IndexMaintainer* maintainer = table.index_maintainer();
  const fox::IndexMaintainer::Tag* tag = nullptr;
  if (maintainer) {
    for (const auto& t : maintainer->tags()) {
      if (fox::EqualIgnoringCase(t.header.name, tag_name)) tag = &t;
    }
  }
  if (!tag || !tag->key) {
    throw std::runtime_error("the keys of its tag " + tag_name + " cannot be worked out");
  }
  std::vector<std::pair<uint32_t, std::string>> keys;
  table.VisitRecords([&](uint32_t recno, std::string_view record) {
    if (table.IsDeleted(record)) return;
    std::optional<std::string> key = maintainer->KeyOf(*tag, record);
    if (!key) return;
    while (!key->empty() && key->back() == tag->format.pad()) key->pop_back();
    keys.emplace_back(recno, std::move(*key));
  });
  return keys;
}

// The records of a database's table whose key in a relation in which it is
// the child has no parent: one line per relation that some break. Such a
// record breaks the relation when it declares referential integrity (any
// rule other than ignore); otherwise it is only told. True when no record
// breaks one.
bool CheckRelationKeys(const fox::Connection& connection, const std::string& name, const fox::Table& table,
                       std::ostream& out) {
  const std::unique_ptr<fox::TableRules> rules = connection.RulesOf(name, table);
  if (!rules) return true;
  bool kept = true;
  for (const fox::ContainerRelation& relation : rules->as_child()) {
    const std::string what = "the relation to " + relation.parent_table + " (tag " + relation.child_tag + ")";
    std::vector<uint32_t> orphans;
    try {
      const std::unique_ptr<fox::Table> parent =
          connection.OpenTable(relation.parent_table, fox::DiskFile::Mode::kReadOnly);
      std::unordered_set<std::string> parents;
      for (auto& [recno, key] : KeysIn(*parent, relation.parent_tag)) parents.insert(std::move(key));
      for (const auto& [recno, key] : KeysIn(table, relation.child_tag)) {
        if (parents.count(key) == 0) orphans.push_back(recno);
      }
    } catch (const std::exception& e) {
      out << name << ": " << what << " not checked: " << e.what() << "\n";
      continue;
    }
    if (orphans.empty()) continue;
    using Rule = fox::ContainerRelation::Rule;
    const bool declared = relation.on_update != Rule::kIgnore || relation.on_delete != Rule::kIgnore ||
                          relation.on_insert != Rule::kIgnore;
    kept = kept && !declared;
    std::string first;
    for (size_t i = 0; i < orphans.size() && i < 5; ++i)
      first += (i ? ", " : "") + std::to_string(orphans[i]);
    out << name << ": " << what << (declared ? " BROKEN by " : " not kept by ") << orphans.size()
        << (orphans.size() == 1 ? " record: " : " records: ") << first
        << (orphans.size() > 5 ? " and " + std::to_string(orphans.size() - 5) + " more" : std::string())
        << " (no record of " << relation.parent_table << " holds the key)\n";
  }
  out.flush();
  return kept;
}

bool CheckTable(const fox::Connection& connection, const std::string& name, std::ostream& out) {
  std::vector<fox::TagCheck> checks;
  bool rules_kept = true;
  try {
    const std::unique_ptr<fox::Table> table = connection.OpenTable(name, fox::DiskFile::Mode::kReadOnly);
    std::error_code ignored;
    if (std::filesystem::exists(fox::PathFromUtf8(fox::RepairMarker::PathFor(table->path())), ignored)) {
      out << name << ": a Quillon run stopped before it finished changing it (or one is changing it now): "
          << "the next run writes whole the records it was writing, checks its index and rebuilds the tags "
             "that "
             "need it before changing anything\n";
    }
    rules_kept = CheckRules(connection, name, *table, out);
    rules_kept = CheckRelationKeys(connection, name, *table, out) && rules_kept;
    if (!table->index_maintainer()) {
      const std::string trouble = IndexTrouble(*table);
      out << name << (trouble.empty() ? ": no structural index" : ": cannot be checked: " + trouble) << "\n";
      out.flush();
      return trouble.empty() && rules_kept;
    }
    checks = fox::CheckIndex(*table);
  } catch (const std::exception& e) {
    out << name << ": cannot be checked: " << e.what() << "\n";
    out.flush();
    return false;
  }
  if (checks.empty()) out << name << ": its structural index holds no tags\n";
  bool clean = true;
  for (const fox::TagCheck& check : checks) {
    out << name << ": tag " << check.tag << ": ";
    if (!check.checked) {
      out << "not checked: " << check.not_checked_reason << "\n";
    } else if (check.problem.empty()) {
      out << check.keys << (check.keys == 1 ? " key" : " keys") << ", consistent\n";
    } else {
      out << "INCONSISTENT: " << check.problem << "\n";
    }
    clean = clean && check.consistent();
  }
  out.flush();
  return clean && rules_kept;
}

int RunCheck(const DataSourceView& source, const std::vector<std::string>& tables, std::ostream& out,
             std::ostream& err, const volatile std::sig_atomic_t* stop_requested) {
  fox::Connection connection;
  try {
    connection.Open(ConnectionStringOf(source));
  } catch (const std::exception& e) {
    err << "quillon-replace: " << e.what() << "\n";
    return kExitReported;
  }
  bool clean = true;
  for (const std::string& name : tables) {
    if (stop_requested != nullptr && *stop_requested != 0) {
      err << "quillon-replace: stopped before table " << name << ".\n";
      return kExitReported;
    }
    clean = CheckTable(connection, name, out) && clean;
  }
  return clean ? kExitClean : kExitReported;
}

}  // namespace

std::string BatchUsage() {
  return "Usage: quillon-replace (--folder DIR | --dbc FILE) [--table NAME]...\n"
         "                       (--find TEXT --replace TEXT |\n"
         "                        --sets FILE [--separator SEP] [--skip-bad-lines])\n"
         "                       [--dry-run] [--without-index] [--without-triggers]\n"
         "                       [--no-undo-journal]\n"
         "       quillon-replace (--folder DIR | --dbc FILE) [--table NAME]... --check\n"
         "       quillon-replace --undo JOURNAL [--dry-run] [--without-index]\n"
         "\n"
         "Replaces text in every field of every record of FoxPro tables, exactly as\n"
         "\"Start Replacing\" does in Quillon's main window.\n"
         "\n"
         "  --folder DIR      work on the free tables (*.dbf) of the folder DIR\n"
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
         "  --without-triggers change tables of a database whose update trigger\n"
         "                    runs code Quillon cannot run (anything but the\n"
         "                    referential-integrity builder's), which are otherwise\n"
         "                    left alone; their validation rules still hold; each\n"
         "                    one changed is reported\n"
         "  --no-undo-journal write no undo journal: the run cannot be taken back\n"
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
    if (slot) throw std::invalid_argument(option + " may be given only once.");
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
    if (!takes_value) throw std::invalid_argument("Unknown argument \"" + args[i] + "\".");
    std::string value;
    if (inline_value) {
      value = *inline_value;
    } else {
      if (i + 1 >= args.size()) throw std::invalid_argument(option + " needs a value.");
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
                                                   : nullptr;
    if (other) throw std::invalid_argument(std::string("--undo cannot be combined with ") + other + ".");
    if (options.undo->empty()) throw std::invalid_argument("--undo needs the path of an undo journal.");
    return options;
  }

  if (options.folder.has_value() == options.dbc.has_value()) {
    throw std::invalid_argument("Give either --folder or --dbc.");
  }
  if ((options.folder && options.folder->empty()) || (options.dbc && options.dbc->empty())) {
    throw std::invalid_argument("The data source must not be empty.");
  }
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
    if (other) throw std::invalid_argument(std::string("--check cannot be combined with ") + other + ".");
    for (const std::string& table : options.tables) {
      if (table.empty()) throw std::invalid_argument("--table needs a table name.");
    }
    return options;
  }
  const bool pair = options.find || options.replace;
  if (pair && options.sets_file)
    throw std::invalid_argument("Give either --find and --replace or --sets, not both.");
  if (!pair && !options.sets_file) throw std::invalid_argument("Give --find and --replace, or --sets.");
  if (pair && !options.find) throw std::invalid_argument("--replace needs --find.");
  if (pair && !options.replace) throw std::invalid_argument("--find needs --replace.");
  if (options.separator && !options.sets_file) throw std::invalid_argument("--separator goes with --sets.");
  if (options.skip_bad_lines && !options.sets_file)
    throw std::invalid_argument("--skip-bad-lines goes with --sets.");
  if (options.separator && options.separator->empty()) {
    throw std::invalid_argument("You must enter separating character(s).");
  }
  for (const std::string& table : options.tables) {
    if (table.empty()) throw std::invalid_argument("--table needs a table name.");
  }
  return options;
}

int RunBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const volatile std::sig_atomic_t* stop_requested) {
  BatchOptions options;
  std::vector<ReplaceSet> sets;
  try {
    options = ParseBatchArguments(args);
    if (options.sets_file) {
      if (!FileExists(*options.sets_file)) {
        throw std::invalid_argument(*options.sets_file + " not found.");
      }
      const std::string separator = options.separator.value_or(kDefaultSetSeparator);
      ParsedSets parsed = ParseSets(ReadTextFile(*options.sets_file), separator);
      const std::string bad_lines =
          parsed.bad_lines.empty() ? ""
                                   : BadSetLinesText(*options.sets_file, parsed.bad_lines, separator, "\n  ");
      if (!bad_lines.empty() && !options.skip_bad_lines) {
        // Refused before anything is opened, like any other input that
        // cannot be used as given.
        err << "quillon-replace: " << bad_lines << "\n"
            << "Nothing was done. Correct these lines or the separator (--separator), or give "
               "--skip-bad-lines to "
               "use the other sets.\n";
        return kExitUsage;
      }
      if (parsed.sets.empty()) {
        err << "quillon-replace: " << (bad_lines.empty() ? "" : bad_lines + "\n") << *options.sets_file
            << " holds no set: nothing to replace.\n";
        return kExitReported;
      }
      if (!bad_lines.empty()) out << "Skipped (--skip-bad-lines): " << bad_lines << "\n";
      sets = std::move(parsed.sets);
    }
  } catch (const std::exception& e) {
    err << "quillon-replace: " << e.what() << "\n"
        << "Try 'quillon-replace --help' for more information.\n";
    return kExitUsage;
  }
  if (options.help) {
    out << BatchUsage();
    return kExitClean;
  }

  ConsoleToolkit toolkit(out, err);
  if (options.undo) {
    UndoRun undo(toolkit, options.dry_run ? RunMode::kDryRun : RunMode::kReplace);
    undo.AllowMissingIndex(options.without_index);
    undo.OnProblem([&](const std::string& line) {
      err << line << "\n";
      err.flush();
    });
    if (stop_requested != nullptr) undo.StopWhen([stop_requested] { return *stop_requested != 0; });
    const RunEnd end = undo.Run(*options.undo);
    if (end == RunEnd::kStopped) err << "quillon-replace: stopped; the records changed so far were saved.\n";
    return end == RunEnd::kDone && !undo.reported() && toolkit.reports() == 0 ? kExitClean : kExitReported;
  }
  const CommandLineSource source(options);
  FoxPro foxpro(source, toolkit);
  if (!foxpro.IsValidFoxProConnection()) {
    err << "quillon-replace: "
        << (options.dbc ? "The database container " + *options.dbc + " does not exist."
                        : "The folder " + *options.folder + " holds no FoxPro tables.")
        << "\n";
    return kExitUsage;
  }
  std::vector<std::string> tables = options.tables;
  if (tables.empty()) foxpro.AddTablesToFoxproListbox(tables);
  if (options.check) {
    const int checked = RunCheck(source, tables, out, err, stop_requested);
    return toolkit.reports() > 0 ? kExitReported : checked;  // the catalogue could not be listed
  }

  CommandLineInputs inputs(source, std::move(tables), options, sets, stop_requested);
  if (const std::string refusal = ReplacementRun::Refusal(inputs); !refusal.empty()) {
    err << "quillon-replace: " << refusal << "\n";
    return kExitUsage;
  }
  ReplacementRun run(inputs, toolkit, options.dry_run ? RunMode::kDryRun : RunMode::kReplace);
  run.AllowMissingIndex(options.without_index);
  run.AllowTriggers(options.without_triggers);
  run.WriteUndoJournal(!options.no_undo_journal);
  bool problems = false;
  run.OnTableWalked([&](const TableReach& reach) { problems = PrintReach(reach, out) || problems; });
  // Where the run's undo journal is, said before "Done." (or after a stop).
  bool journal_told = false;
  auto tell_journal = [&] {
    if (journal_told || run.undo_journal().empty()) return;
    journal_told = true;
    out << "Undo journal: " << run.undo_journal() << " (" << run.undo_journal_changes()
        << (run.undo_journal_changes() == 1 ? " change" : " changes")
        << "; quillon-replace --undo takes them back)\n";
    out.flush();
  };
  run.OnFinished([&](const RunTally& tally) {
    if (!options.dry_run) {
      out << RunSummary(tally, toolkit) << "\n";
      out.flush();
    }
    tell_journal();
  });
  const RunEnd end = run.Run();
  tell_journal();
  if (end == RunEnd::kStopped) {
    err << "quillon-replace: stopped; the record being edited was left as it was.\n";
    return kExitReported;
  }
  return toolkit.reports() > 0 || problems ? kExitReported : kExitClean;
}

}  // namespace quillon
