#include "tests/support/undo_journal_contents.h"

namespace quillon {

UndoJournalContents ReadUndoJournal(const std::string& path) {
  const UndoJournalReader reader(path);
  UndoJournalContents contents;
  contents.started = reader.started();
  contents.tables = reader.tables();
  contents.cut_short = reader.cut_short();
  contents.torn_tail = reader.torn_tail();
  contents.ended = reader.ended();
  for (const UndoJournalReader::Entry& entry : reader.changes())
    contents.changes.push_back(reader.Read(entry));
  return contents;
}

}  // namespace quillon
