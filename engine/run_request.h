// What a run is asked to do, as one plain value, and how it tells the one
// who asked how it goes.
//
// The window, the batch command and the tests build a RunRequest once, when
// the run starts: the data source, the tables in list order, the find and
// replace pairs in order (the single pair is a list of one) and the options.
// The run never reads a window: nothing the user does while it goes changes
// what it does. It reports its progress and end to a RunObserver, whose
// calls come on the run's own thread and must not throw.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "access/foxpro_module.h"
#include "engine/find_replace_pairs.h"

namespace quillon {

enum class RunMode {
  // The run as "Start Replacing" does it.
  kReplace,
  // The same walk with nothing written: tables are opened read-only, no line
  // is logged and nothing is assigned; the run counts, per table and column,
  // the fields in which a find text is found. Pairs chain on the replaced
  // text as the run would assign it; each new text is checked against the
  // field's type and width without being assigned, and the texts a column
  // would refuse are counted with the reason, as are the columns that
  // cannot be changed at all.
  kDryRun,
};

enum class RunEnd {
  kDone,     // "Done." was shown
  kRefused,  // an empty find text was refused before anything was opened
  kStopped,  // the run was asked to stop (the program was closed) before it ended
};

struct RunRequest {
  DataSource source;
  // The tables to walk, in order, by the names the data source gives them.
  std::vector<std::string> tables;
  // Applied in order to every field, each to what the one before left.
  FindReplacePairs pairs;
  // Whether the pairs are the set list's (its empty find text is refused
  // naming the set) rather than the single pair.
  bool from_set_list = false;
  RunMode mode = RunMode::kReplace;
  // Change tables whose structural index file is missing (each is told).
  bool allow_missing_index = false;
  // Change tables of a container whose trigger or rule runs code Quillon
  // cannot run (each is told).
  bool allow_triggers = false;
  // Write an undo journal (in `journal_folder`, else the change log's).
  bool write_journal = true;
  std::string journal_folder;
};

struct RunTally;
struct TableReach;

// How the run goes, for the one who started it. Every call has a default
// that does nothing.
class RunObserver {
 public:
  virtual ~RunObserver() = default;
  // The run starts (true) or has ended (false) its work on the tables.
  virtual void Busy(bool /*busy*/) {}
  // The walk reached record `record` (from 1, deleted records counted) of
  // `records` in `table`, before its fields.
  virtual void RecordReached(const std::string& /*table*/, uint32_t /*record*/, uint32_t /*records*/) {}
  // Dry run: a table's counts, as soon as the table is closed.
  virtual void TableWalked(const TableReach& /*reach*/) {}
  // The walk is over and the change log closed, just before "Done.".
  virtual void Finished(const RunTally& /*tally*/) {}
  // Asked between records and fields: true ends the run there, dropping the
  // record being edited unsaved.
  virtual bool StopRequested() { return false; }
};

}  // namespace quillon
