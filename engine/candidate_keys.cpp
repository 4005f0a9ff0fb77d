#include "engine/candidate_keys.h"

#include <algorithm>

namespace quillon {

void CandidateKeys::Enter(fox::Recordset& recordset) {
  tags_ = recordset.CandidateTags();
  moved_.assign(tags_.size(), {});
  checked_.clear();
}

void CandidateKeys::Hold(const Key& key, int64_t by, size_t tag) {
  if (!key) return;
  // A key no record holds any longer goes: a run that changes every key of
  // a table keeps as many keys as the table holds, not twice as many. A tag
  // looked up on disk counts only the keys the run gave.
  std::unordered_map<std::string, int64_t>& keys = tags_[tag].keys;
  const auto [at, made] = keys.try_emplace(*key, 0);
  at->second += by;
  if (at->second == 0) keys.erase(at);
}

bool CandidateKeys::Held(fox::Recordset& recordset, size_t t, const std::string& after) {
  fox::Recordset::CandidateTag& tag = tags_[t];
  if (tag.on_disk) {
    if (std::optional<std::vector<uint32_t>> others = recordset.OthersWithEditedKey(tag.name)) {
      // Given by the run and not yet written, or on disk and not moved since.
      const auto given = tag.keys.find(after);
      if (given != tag.keys.end() && given->second > 0) return true;
      return std::any_of(others->begin(), others->end(), [&](uint32_t other) {
        const auto moved = moved_[t].find(other);
        return moved == moved_[t].end() || moved->second.second == after;
      });
    }
    // The pages cannot be read: every record's keys are counted from now on
    // (the saves not yet written read as saved).
    if (!recordset.CountKeys(&tag)) {
      tags_.erase(tags_.begin() + static_cast<std::ptrdiff_t>(t));
      moved_.erase(moved_.begin() + static_cast<std::ptrdiff_t>(t));
      return false;
    }
  }
  const auto held = tag.keys.find(after);
  return held != tag.keys.end() && held->second > 0;
}

std::optional<fox::Table::Refusal> CandidateKeys::Check(fox::Recordset& recordset, size_t* column) {
  checked_.clear();
  if (tags_.empty()) return std::nullopt;
  const std::vector<size_t> edited = recordset.EditedColumns();
  const uint32_t recno = recordset.recno();
  for (size_t t = 0; t < tags_.size(); ++t) {
    const fox::Recordset::CandidateTag& tag = tags_[t];
    const auto changed =
        std::find_first_of(edited.begin(), edited.end(), tag.columns.begin(), tag.columns.end());
    if (changed == edited.end()) continue;
    // What the tag holds for the record now: what the run gave it, or what
    // it was read with.
    const auto moved = moved_[t].find(recno);
    const Key before = moved != moved_[t].end() ? moved->second.second : recordset.CurrentKey(tag.name, true);
    const Key after = recordset.CurrentKey(tag.name, false);
    if (after == before) continue;
    const std::string name = tag.name;
    const size_t tags = tags_.size();
    const bool held = after && Held(recordset, t, *after);
    if (tags_.size() != tags) {  // the tag was left out: its keys cannot be worked out
      --t;
      continue;
    }
    if (held) {
      checked_.clear();
      *column = *changed;
      const std::string field = recordset.table()->field_name(*changed);
      return fox::Table::Refusal{
          fox::ErrorKind::kIndexed,
          "it would give tag " + name + " a key another record holds, which the tag allows only once",
          "The changes to record " + std::to_string(recno) + " of table '" + recordset.table()->name() +
              "' were not saved: tag " + name +
              " of its structural index allows each key only once, and another record already has the key "
              "the new value of field '" +
              field + "' would give."};
    }
    checked_.push_back(Move{t, recno, before, after});
  }
  return std::nullopt;
}

void CandidateKeys::Take() {
  for (const Move& move : checked_) {
    auto [at, made] = moved_[move.tag].try_emplace(move.recno, move.before, move.after);
    if (tags_[move.tag].on_disk) {
      // Only the keys the run gave count: what the record held on disk is
      // told by its move.
      if (!made) Hold(at->second.second, -1, move.tag);
      Hold(move.after, 1, move.tag);
    } else {
      Hold(move.before, -1, move.tag);
      Hold(move.after, 1, move.tag);
    }
    if (!made) at->second.second = move.after;
  }
  checked_.clear();
}

void CandidateKeys::NotSaved(const std::vector<uint32_t>& records) {
  for (size_t t = 0; t < tags_.size(); ++t) {
    for (uint32_t recno : records) {
      const auto at = moved_[t].find(recno);
      if (at == moved_[t].end()) continue;
      Hold(at->second.second, -1, t);
      if (!tags_[t].on_disk) Hold(at->second.first, 1, t);
      moved_[t].erase(at);
    }
  }
}

void CandidateKeys::Written() {
  for (size_t t = 0; t < tags_.size(); ++t) {
    if (!tags_[t].on_disk) continue;
    moved_[t].clear();
    tags_[t].keys.clear();
  }
}

}  // namespace quillon
