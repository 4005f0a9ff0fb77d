// What a replacement run did, counted as it went, and how a save that failed
// is taken off the count.
#pragma once

#include <cstdint>
#include <set>
#include <string>

#include "data/util/error.h"
#include "engine/save_session.h"

namespace quillon {

// What a run did, counted as it went.
struct RunTally {
  int tables = 0;                 // tables walked, and tables only a cascade changed
  int64_t changed = 0;            // fields whose stored value changed and was saved (each with its lines)
  int64_t refused = 0;            // new values a field refused
  int64_t not_saved = 0;          // records whose changes could not be saved
  int64_t cascaded = 0;           // of `changed`, child keys that took their parent's new key
  std::set<std::string> counted;  // the tables counted in `tables`, lower case

  // Counts `table` (its name in lower case) once.
  void Count(const std::string& table) {
    if (counted.insert(table).second) ++tables;
  }
};

// The records `failure` names were not saved: counted so, their fields taken
// off the changed ones, and logged as not saved through `session`.
inline void TallyNotSaved(SaveSession& session, RunTally& tally, const std::string& table,
                          uint32_t journal_table, const fox::SaveError& failure) {
  tally.not_saved += static_cast<int64_t>(failure.records().size());
  // Their fields did not change after all.
  tally.changed -= static_cast<int64_t>(session.log().Changes(failure.records()));
  session.LogNotSaved(table, journal_table, failure.records(), [&](size_t i) { return failure.cause(i); });
}

}  // namespace quillon
