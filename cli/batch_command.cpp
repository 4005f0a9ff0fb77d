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

// The sets of --sets, read before anything is opened. Returns the exit
// status when the command ends here (a file with bad lines, one with no
// set), otherwise stores the sets. Throws Error(kUsage) when the file is
// missing or cannot be read: like any other input that cannot be used as
// given, it is refused before anything is opened.
std::optional<int> ReadSets(const BatchOptions& options, std::vector<ReplaceSet>& sets, std::ostream& out,
                            std::ostream& err) {
  if (!FileExists(*options.sets_file)) throw Error(ErrorKind::kUsage, *options.sets_file + " not found.");
  const std::string separator = options.separator.value_or(kDefaultSetSeparator);
  std::string text;
  try {
    text = ReadTextFile(*options.sets_file);
  } catch (const std::exception& e) {
    throw Error(ErrorKind::kUsage, e.what());
  }
  ParsedSets parsed = ParseSets(text, separator);
  const std::string bad_lines =
      parsed.bad_lines.empty() ? ""
                               : BadSetLinesText(*options.sets_file, parsed.bad_lines, separator, "\n  ");
  if (!bad_lines.empty() && !options.skip_bad_lines) {
    err << kProgram << bad_lines << "\n"
        << "Nothing was done. Correct these lines or the separator (--separator), or give "
           "--skip-bad-lines to "
           "use the other sets.\n";
    return kExitUsage;
  }
  if (parsed.sets.empty()) {
    err << kProgram << (bad_lines.empty() ? "" : bad_lines + "\n") << *options.sets_file
        << " holds no set: nothing to replace.\n";
    return kExitReported;
  }
  if (!bad_lines.empty()) out << "Skipped (--skip-bad-lines): " << bad_lines << "\n";
  sets = std::move(parsed.sets);
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
int RunCheck(const DataSourceView& source, const std::vector<std::string>& tables, std::ostream& out,
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

int RunReplace(const BatchOptions& options, CommandLineInputs& inputs, ConsoleToolkit& toolkit,
               std::ostream& out, std::ostream& err) {
  if (const std::string refusal = ReplacementRun::Refusal(inputs); !refusal.empty()) {
    err << kProgram << refusal << "\n";
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
    err << kProgram << "stopped; the record being edited was left as it was.\n";
    return kExitReported;
  }
  return toolkit.reports() > 0 || problems ? kExitReported : kExitClean;
}

int Run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
        const volatile std::sig_atomic_t* stop_requested) {
  const BatchOptions options = ParseBatchArguments(args);
  std::vector<ReplaceSet> sets;
  if (options.sets_file) {
    if (const std::optional<int> ended = ReadSets(options, sets, out, err)) return *ended;
  }
  if (options.help) {
    out << BatchUsage();
    return kExitClean;
  }

  ConsoleToolkit toolkit(out, err);
  if (options.undo) return RunUndo(options, toolkit, err, stop_requested);
  const CommandLineSource source(options);
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
  CommandLineInputs inputs(source, std::move(tables), options, sets, stop_requested);
  return RunReplace(options, inputs, toolkit, out, err);
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
