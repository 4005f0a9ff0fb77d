#include "cli/batch_command.h"

#include <ostream>
#include <utility>

#include "access/foxpro_module.h"
#include "base/error.h"
#include "base/error_report.h"
#include "base/file_helpers.h"
#include "cli/console_toolkit.h"
#include "cli/run_report.h"
#include "engine/check_run.h"
#include "engine/replacement_run.h"
#include "engine/undo_run.h"
#include "sets/set_file.h"

namespace quillon {
namespace {

constexpr char kProgram[] = "quillon-replace: ";

// The data source the options name.
DataSource SourceOf(const BatchOptions& options) {
  return options.dbc ? DataSource{DataSourceKind::kDbc, *options.dbc, {}}
                     : DataSource{DataSourceKind::kFreeTables, {}, *options.folder, options.ignore_container};
}

// What the options and the sets ask of a run.
// The sets, read into the request's pairs, are moved there: a long set list
// is kept once.
RunRequest RequestOf(const BatchOptions& options, std::vector<std::string> tables, FindReplacePairs sets) {
  RunRequest request;
  request.source = SourceOf(options);
  request.tables = std::move(tables);
  request.from_set_list = options.sets_file.has_value();
  if (request.from_set_list) {
    request.pairs = std::move(sets);
  } else {
    request.pairs.Add(options.find.value_or(""), options.replace.value_or(""));
  }
  request.mode = options.dry_run ? RunMode::kDryRun : RunMode::kReplace;
  request.allow_missing_index = options.without_index;
  request.allow_triggers = options.without_triggers;
  request.write_journal = !options.no_undo_journal;
  return request;
}

// Prints a dry run's counts as each table is walked, the summary and where
// the undo journal is at the end, and stops the run on Ctrl+C.
class CommandLineObserver : public RunObserver {
 public:
  CommandLineObserver(const BatchOptions& options, const ConsoleToolkit& toolkit, std::ostream& out,
                      const volatile std::sig_atomic_t* stop_requested)
      : options_(options), toolkit_(toolkit), out_(out), stop_requested_(stop_requested) {}

  // The run whose journal is told; set before it runs.
  void Watch(const ReplacementRun& run) { run_ = &run; }
  bool problems() const { return problems_; }

  void TableWalked(const TableReach& reach) override { problems_ = PrintReach(reach, out_) || problems_; }
  void Finished(const RunTally& tally) override {
    if (!options_.dry_run) {
      out_ << RunSummary(tally, toolkit_) << "\n";
      out_.flush();
    }
    TellJournal();
  }
  bool StopRequested() override { return stop_requested_ != nullptr && *stop_requested_ != 0; }

  // Where the run's undo journal is, said once: before "Done." (or after a
  // stop).
  void TellJournal() {
    if (journal_told_ || run_ == nullptr || run_->undo_journal().empty()) return;
    journal_told_ = true;
    out_ << "Undo journal: " << run_->undo_journal() << " (" << run_->undo_journal_changes()
         << (run_->undo_journal_changes() == 1 ? " change" : " changes")
         << "; quillon-replace --undo takes them back)\n";
    out_.flush();
  }

 private:
  const BatchOptions& options_;
  const ConsoleToolkit& toolkit_;
  std::ostream& out_;
  const volatile std::sig_atomic_t* stop_requested_;
  const ReplacementRun* run_ = nullptr;
  bool problems_ = false;
  bool journal_told_ = false;
};

// The sets of --sets, read before anything is opened. Returns the exit
// status when the command ends here (a file with bad lines, one with no
// set), otherwise stores the sets. Throws Error(kUsage) when the file is
// missing or cannot be read: like any other input that cannot be used as
// given, it is refused before anything is opened.
std::optional<int> ReadSets(const BatchOptions& options, FindReplacePairs& sets, std::ostream& out,
                            std::ostream& err) {
  if (!FileExists(*options.sets_file)) throw Error(ErrorKind::kUsage, *options.sets_file + " not found.");
  const std::string separator = options.separator.value_or(kDefaultSetSeparator);
  std::string text;
  try {
    text = ReadTextFile(*options.sets_file);
  } catch (const std::exception& e) {
    throw Error(ErrorKind::kUsage, e.what());
  }
  // Read straight into the run's pairs: a set list of a million sets is
  // kept as one buffer of its texts, not a string for each.
  sets.Reserve(SetLinesAtMost(text), text.size());
  const std::vector<BadSetLine> bad_lines_found = ForEachSet(
      text, separator, [&](std::string_view find, std::string_view replace) { sets.Add(find, replace); });
  text = std::string();
  const std::string bad_lines =
      bad_lines_found.empty() ? "" : BadSetLinesText(*options.sets_file, bad_lines_found, separator, "\n  ");
  if (!bad_lines.empty() && !options.skip_bad_lines) {
    err << kProgram << bad_lines << "\n"
        << "Nothing was done. Correct these lines or the separator (--separator), or give "
           "--skip-bad-lines to "
           "use the other sets.\n";
    return kExitUsage;
  }
  if (sets.empty()) {
    err << kProgram << (bad_lines.empty() ? "" : bad_lines + "\n") << *options.sets_file
        << " holds no set: nothing to replace.\n";
    return kExitReported;
  }
  if (!bad_lines.empty()) out << "Skipped (--skip-bad-lines): " << bad_lines << "\n";
  return std::nullopt;
}

int RunUndo(const BatchOptions& options, ConsoleToolkit& toolkit, std::ostream& err,
            const volatile std::sig_atomic_t* stop_requested) {
  UndoRun undo(toolkit, options.dry_run ? RunMode::kDryRun : RunMode::kReplace);
  undo.AllowMissingIndex(options.without_index);
  undo.OnProblem([&](const std::string& line) {
    err << line << "\n";
    err.flush();
  });
  if (stop_requested != nullptr) undo.StopWhen([stop_requested] { return *stop_requested != 0; });
  const RunEnd end = undo.Run(*options.undo);
  if (end == RunEnd::kStopped) err << kProgram << "stopped; the records changed so far were saved.\n";
  return end == RunEnd::kDone && !undo.reported() && toolkit.reports() == 0 ? kExitClean : kExitReported;
}

// --check: one report per table. Throws what opening the data source throws.
int RunCheck(const DataSource& source, const std::vector<std::string>& tables, std::ostream& out,
             std::ostream& err, const volatile std::sig_atomic_t* stop_requested) {
  const CheckRun check(source);
  bool clean = true;
  for (const std::string& name : tables) {
    if (stop_requested != nullptr && *stop_requested != 0) {
      err << kProgram << "stopped before table " << name << ".\n";
      return kExitReported;
    }
    const TableCheck found = check.Check(name);
    PrintCheck(found, out);
    clean = found.clean() && clean;
  }
  return clean ? kExitClean : kExitReported;
}

int RunReplace(RunRequest request, CommandLineObserver& observer, ConsoleToolkit& toolkit,
               std::ostream& err) {
  if (const std::string refusal = ReplacementRun::Refusal(request); !refusal.empty()) {
    err << kProgram << refusal << "\n";
    return kExitUsage;
  }
  ReplacementRun run(std::move(request), toolkit, &observer);
  observer.Watch(run);
  const RunEnd end = run.Run();
  observer.TellJournal();
  if (end == RunEnd::kStopped) {
    err << kProgram << "stopped; the record being edited was left as it was.\n";
    return kExitReported;
  }
  return toolkit.reports() > 0 || observer.problems() ? kExitReported : kExitClean;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const volatile std::sig_atomic_t* stop_requested) {
  const BatchOptions options = ParseBatchArguments(args);
  FindReplacePairs sets;
  if (options.sets_file) {
    if (const std::optional<int> ended = ReadSets(options, sets, out, err)) return *ended;
  }
  if (options.help) {
    out << BatchUsage();
    return kExitClean;
  }

  ConsoleToolkit toolkit(out, err);
  if (options.undo) return RunUndo(options, toolkit, err, stop_requested);
  const DataSource source = SourceOf(options);
  FoxPro foxpro(source, toolkit);
  if (!foxpro.IsValidFoxProConnection()) {
    err << kProgram
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
  CommandLineObserver observer(options, toolkit, out, stop_requested);
  return RunReplace(RequestOf(options, std::move(tables), std::move(sets)), observer, toolkit, err);
}

}  // namespace

int RunBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const volatile std::sig_atomic_t* stop_requested) {
  try {
    return Run(args, out, err, stop_requested);
  } catch (...) {
    // The one place that decides what a failure tells the user: a usage
    // error (nothing was opened) points to --help and exits 2, anything else
    // (the data source could not be opened) exits 1.
    const std::exception_ptr error = std::current_exception();
    err << kProgram << DescribeException(error) << "\n";
    if (KindOf(error) != ErrorKind::kUsage) return kExitReported;
    err << "Try 'quillon-replace --help' for more information.\n";
    return kExitUsage;
  }
}

}  // namespace quillon
