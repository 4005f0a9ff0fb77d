// The keys of the candidate tags of the table a run walks (a database's
// primary key is one too), which allow each key once. A record's change that
// would give such a tag a key another record holds is refused before it is
// saved, as a refusal of the key's column (reported once per column and
// reason, then counted), and a dry run foresees it the same way: the keys of
// every record are read when the walk reaches the table and moved as the
// run's changes are made, so that the run's own new values collide with one
// another as they do in the tag.
//
// Owns the keys of the table being walked; borrows nothing. Check throws
// what the table library throws reading a record's key.
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
  // Reads the keys of the candidate tags of the table open in `recordset`;
  // forgets the last table's.
  void Enter(const fox::Recordset& recordset);
  // The current record's edit judged: the refusal when it gives a candidate
  // tag a key another record holds, with the column (one of the tag's that
  // the edit changes) it is told for; nothing otherwise. The keys move only
  // when Take is called for it.
  std::optional<fox::Table::Refusal> Check(const fox::Recordset& recordset, size_t* column);
  // The change last checked (and not refused) is made: its keys are held.
  void Take();
  // Records whose changes were not saved after all keep the keys they had.
  void NotSaved(const std::vector<uint32_t>& records);

 private:
  using Key = std::optional<std::string>;  // none: the tag holds no entry for the record
  struct Move {
    size_t tag;
    uint32_t recno;
    Key before, after;
  };
  void Hold(const Key& key, int64_t by, size_t tag);

  std::vector<fox::Recordset::CandidateTag> tags_;
  // Records whose keys the run moved, by tag: the key as read and as given.
  std::vector<std::unordered_map<uint32_t, std::pair<Key, Key>>> moved_;
  std::vector<Move> checked_;  // the last Check's moves, waiting for Take
};

}  // namespace quillon
