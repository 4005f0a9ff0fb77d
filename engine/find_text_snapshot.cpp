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
  // A find text the record holds nowhere is in none of its columns.
  if (absent_[pair]) return 0;
  const size_t at = columns_at_[pair];
  const size_t count =
      (static_cast<size_t>(pair) + 1 < columns_at_.size() ? columns_at_[pair + 1] : columns_.size()) - at;
  return column < count ? columns_[at + column] : 1;
}

bool FindTextSnapshot::PassOverRecords(const FindReplacePairs& pairs, fox::Recordset& recordset) {
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

bool FindTextSnapshot::RecordHoldsNone(const FindReplacePairs& pairs, fox::Recordset& recordset) {
  absent_.clear();
  touched_ = kNoColumn;
  try {
    if (!current_) Take(pairs);
    // Pairs chain only on text that an earlier pair put there: a record that
    // holds none of the find texts is left as it is by every pair.
    absent_.assign(finds_.size(), 0);
    columns_at_.resize(finds_.size());
    columns_.clear();
    bool none = true;
    for (size_t k = 0; k < finds_.size(); ++k) {
      absent_[k] = !recordset.MayContain(finds_[k], &scratch_);
      columns_at_[k] = static_cast<uint32_t>(columns_.size());
      if (!absent_[k]) columns_.insert(columns_.end(), scratch_.begin(), scratch_.end());
      none = none && absent_[k];
    }
    return none;
  } catch (...) {
    current_ = false;
    absent_.clear();
    return false;  // the field-by-field walk reports what fails
  }
}

void FindTextSnapshot::Take(const FindReplacePairs& pairs) {
  finds_.clear();
  finds_.reserve(pairs.size());
  for (size_t k = 0; k < pairs.size(); ++k) finds_.push_back(pairs.find(k));
  current_ = true;
}

}  // namespace quillon
