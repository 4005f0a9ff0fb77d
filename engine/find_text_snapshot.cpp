#include "engine/find_text_snapshot.h"

#include "data/database/recordset.h"
#include "engine/replacement_run.h"

namespace quillon {

// A find text the record holds nowhere, or not in this field, is not found
// there, until a pair changes this field (later pairs may find text an
// earlier one put there). Pairs change only the field they are applied to.
bool FindTextSnapshot::Skippable(int pair, size_t column) const {
  const int known = Known(pair, column);
  return known == 0 || (known != -1 && absent_[pair]);
}

// Until a pair changes the field, a field found holding a find text when the
// record was first looked at still holds it.
bool FindTextSnapshot::Holds(int pair, size_t column) const { return Known(pair, column) == 2; }

int FindTextSnapshot::Known(int pair, size_t column) const {
  if (!current_ || column == touched_ || static_cast<size_t>(pair) >= absent_.size()) return -1;
  const std::vector<char>& columns = may_columns_[pair];
  return column < columns.size() ? columns[column] : (absent_[pair] ? 0 : 1);
}

bool FindTextSnapshot::PassOverRecords(const std::vector<FindReplacePair>& pairs, fox::Recordset& recordset) {
  try {
    if (!current_) Take(pairs);
    const uint32_t before = recordset.recno();
    recordset.PassOverRecordsHoldingNone(finds_);
    return recordset.Eof() || recordset.recno() != before;
  } catch (...) {
    current_ = false;
    return false;  // the record-by-record walk reports what fails
  }
}

bool FindTextSnapshot::RecordHoldsNone(const std::vector<FindReplacePair>& pairs, fox::Recordset& recordset) {
  absent_.clear();
  touched_ = kNoColumn;
  try {
    if (!current_) Take(pairs);
    // Pairs chain only on text that an earlier pair put there: a record that
    // holds none of the find texts is left as it is by every pair.
    absent_.assign(finds_.size(), 0);
    may_columns_.resize(finds_.size());
    bool none = true;
    for (size_t k = 0; k < finds_.size(); ++k) {
      absent_[k] = !recordset.MayContain(finds_[k], &may_columns_[k]);
      none = none && absent_[k];
    }
    return none;
  } catch (...) {
    current_ = false;
    absent_.clear();
    return false;  // the field-by-field walk reports what fails
  }
}

void FindTextSnapshot::Take(const std::vector<FindReplacePair>& pairs) {
  finds_.clear();
  for (const FindReplacePair& pair : pairs) finds_.push_back(pair.find);
  current_ = true;
}

}  // namespace quillon
