// The keys of the candidate tags of the table a run walks (a database's
// primary key is one too), which allow each key once. A record's change that
// would give such a tag a key another record holds is refused before it is
// saved, as a refusal of the key's column (reported once per column and
// reason, then counted), and a dry run foresees it the same way. Whether
// another record holds a key is looked up in the tag's pages on disk and in
// the keys the run moved since the table was last written whole (Written):
// the run's own new values collide with one another as they do in the tag,
// and the memory kept does not grow with the table. A tag whose pages
// cannot be read has the keys of every record counted instead, moved as the
// run's changes are made.
//
// Owns the keys the run moved (and a tag's counted keys); borrows nothing.
// Check throws what the table library throws reading a record's key.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "data/database/recordset.h"
#include "data/table/table.h"

namespace quillon {

class CandidateKeys {
 public:
  // Finds the candidate tags of the table open in `recordset`; forgets the
  // last table's.
  void Enter(fox::Recordset& recordset);
  // The current record's edit judged: the refusal when it gives a candidate
  // tag a key another record holds, with the column (one of the tag's that
  // the edit changes) it is told for; nothing otherwise. The keys move only
  // when Take is called for it.
  std::optional<fox::Table::Refusal> Check(fox::Recordset& recordset, size_t* column);
  // The change last checked (and not refused) is made: its keys are held.
  void Take();
  // Records whose changes were not saved after all keep the keys they had.
  void NotSaved(const std::vector<uint32_t>& records);
  // Every change taken so far is written (or refused and told NotSaved):
  // the tags' pages on disk show them.
  void Written();

 private:
  using Key = std::optional<std::string>;  // none: the tag holds no entry for the record
  struct Move {
    size_t tag;
    uint32_t recno;
    Key before, after;
  };
  // Adds `by` to the records holding `key` in `tag`: its counted keys, or
  // the keys moved there by the run.
  void Hold(const Key& key, int64_t by, size_t tag);
  // Whether a record other than the current one holds `after` in `tag`.
  bool Held(fox::Recordset& recordset, size_t tag, const std::string& after);

  std::vector<fox::Recordset::CandidateTag> tags_;
  // Records whose keys the run moved, by tag: the key as read and as given;
  // for a tag looked up on disk, kept until Written.
  std::vector<std::unordered_map<uint32_t, std::pair<Key, Key>>> moved_;
  std::vector<Move> checked_;  // the last Check's moves, waiting for Take
};

}  // namespace quillon
