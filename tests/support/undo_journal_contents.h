// A whole undo journal read into memory, for tests that look at what a run
// wrote: its tables and its changes, and how its reading ended. Throws like
// UndoJournalReader.
#pragma once

#include <ctime>
#include <string>
#include <vector>

#include "engine/undo_journal.h"

namespace quillon {

struct UndoJournalContents {
  std::time_t started = 0;
  std::vector<JournalTable> tables;
  // In the order they were saved, the changes of records marked not saved
  // or that no commit entry covers left out.
  std::vector<JournalChange> changes;
  // Why the reading stopped before the end of the file ("" when it did not):
  // the entries before that point are whole.
  std::string cut_short;
  // The stop is at a last entry that the file ends in the middle of, as a
  // run that was stopped while writing leaves it (not damage inside it).
  bool torn_tail = false;
  // Whether the journal says that its run ended (always so of version 1,
  // which could not say it).
  bool ended = false;
};

UndoJournalContents ReadUndoJournal(const std::string& path);

}  // namespace quillon
