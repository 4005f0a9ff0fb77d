// quillon-replace: the replacement run from a command line, for people who
// script their clean-ups. Its options are read by ParseBatchArguments
// (batch_options.h); --check is a CheckRun (engine/check_run.h), the run a
// ReplacementRun and --undo an UndoRun: this prints what they find and
// chooses the exit status.
//
//   quillon-replace (--folder DIR | --dbc FILE) [--table NAME]...
//                   (--find TEXT --replace TEXT | --sets FILE [--separator SEP] [--skip-bad-lines])
//                   [--dry-run] [--without-index] [--without-triggers] [--no-undo-journal]
//                   [--ignore-container]
//   quillon-replace (--folder DIR | --dbc FILE) [--table NAME]... --check [--ignore-container]
//   quillon-replace --undo JOURNAL [--dry-run] [--without-index]
//
// It drives the same run as the main window, with every named table ticked
// (every table of the catalogue when none is named), writes the same change
// log lines, prints each error report to standard error and "Done." at the
// end. Exit status: 0 when nothing was reported, 1 when something was, 2 for
// a usage error (nothing is opened then). A set file with lines that are
// neither a set nor blank is refused as a usage error naming them, unless
// --skip-bad-lines is given: the other sets are then used and the lines
// skipped are named on standard output.
//
// With --check it writes nothing: it opens each named table (every table of
// the catalogue when none is named) for reading and checks every tag of its
// structural index against its records (fox::CheckIndex), printing one line
// per tag to standard output:
//
//   TABLE: tag NAME: N keys, consistent
//   TABLE: tag NAME: INCONSISTENT: what is wrong
//   TABLE: tag NAME: not checked: why (keys Quillon does not compute)
//
// and one line for a table without a structural index ("TABLE: no structural
// index") or one that cannot be checked ("TABLE: cannot be checked: why": it
// cannot be opened, or its index file is missing or unreadable). Exit status:
// 0 when every tag was checked and is consistent, 1 when a tag is
// inconsistent or not checked or a table cannot be checked, 2 for a usage
// error (--check with --find, --replace, --sets, --separator, --dry-run or
// --without-index among them).
//
// With --undo it takes back the run whose undo journal is JOURNAL (UndoRun):
// each problem (a field changed since, a record or table gone) is printed
// to standard error, the closing message says what was taken back. Exit
// status: 0 when everything was, 1 otherwise, 2 for a usage error. A run
// that saved changes prints the path of its journal.
#pragma once

#include <csignal>
#include <iosfwd>
#include <string>
#include <vector>

#include "cli/batch_options.h"

namespace quillon {

inline constexpr int kExitClean = 0;
inline constexpr int kExitReported = 1;
inline constexpr int kExitUsage = 2;

// Runs the command; returns the exit status. Throws nothing: a failure is
// printed to `err` and becomes exit status 1 (2 for a usage error). `stop_requested`, when given,
// is polled once per field: when it turns true (the user pressed Ctrl+C) the
// run stops at once without saving the record being edited.
int RunBatchCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                    const volatile std::sig_atomic_t* stop_requested = nullptr);

}  // namespace quillon
