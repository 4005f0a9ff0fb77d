// Which records and fields of a walked table may hold which find text, so
// that the run passes over the rest without reading their values.
//
// The snapshot is the run's find texts, taken once and kept until a search
// with them fails (Forget). For the
// current record it holds which find texts the record holds nowhere and, by
// find text, which columns may hold it (or surely do), as long as that
// stands: a pair changes only the field it is applied to (Touched), so what
// was found in the others still stands, and the touched field is searched
// again.
//
// Borrows the find texts of the pairs it was taken from (views of them,
// not copies: a set list may hold a million), which must outlive the
// snapshot or its next Forget, and the recordsets given to each call. Nothing it does throws: a failure
// forgets the snapshot, and the field-by-field walk then reports it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run_request.h"

namespace fox {
class Recordset;
}

namespace quillon {

class FindTextSnapshot {
 public:
  // Forgets the snapshot: it is taken again when next needed.
  void Forget() { current_ = false; }
  // Whether the snapshot stands.
  bool current() const { return current_; }

  // Moves `recordset` past the records that hold none of the find texts, a
  // span at a time; true when it moved.
  bool PassOverRecords(const FindReplacePairs& pairs, fox::Recordset& recordset);
  // Looks at the current record afresh (nothing touched yet); true when it
  // holds none of the find texts.
  bool RecordHoldsNone(const FindReplacePairs& pairs, fox::Recordset& recordset);
  // A pair changed field `column` of the record: what was found there no
  // longer stands.
  void Touched(size_t column) { touched_ = column; }

  // Whether pair `pair` need not be tried on field `column` of the record,
  // and whether the field is known to hold its find text.
  bool Skippable(int pair, size_t column) const;
  bool Holds(int pair, size_t column) const;

 private:
  void Take(const FindReplacePairs& pairs);
  // What was found for the pair's find text in the field (0 none, 1 may, 2
  // holds), while it still stands; -1 when nothing stands.
  int Known(int pair, size_t column) const;

  static constexpr size_t kNoColumn = static_cast<size_t>(-1);
  bool current_ = false;
  std::vector<std::string_view> finds_;
  // For the current record: which find texts it holds nowhere, and for
  // those it may hold, where their flags by column start in `columns_`
  // (one flat buffer, reused record after record: a set list may hold a
  // million find texts, few of them in any one record).
  std::vector<char> absent_;
  std::vector<uint32_t> columns_at_;
  std::vector<char> columns_;
  std::vector<char> scratch_;  // the flags of the find text at hand
  size_t touched_ = kNoColumn;
};

}  // namespace quillon
