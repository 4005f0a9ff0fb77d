// The field a run is changing, kept from field to field so that the walk
// does not allocate for every field: the pair being applied, the texts it
// gives, and the change log lines of the pairs that changed the field
// (logged together once its value is known to have changed).
#pragma once

#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

#include "engine/change_log.h"

namespace quillon {

// The lines of one field, one per pair that changed it. Their date and time
// is made once a second.
class ChangeLines {
 public:
  void Clear() { used_ = 0; }
  const std::string* data() const { return lines_.data(); }
  size_t size() const { return used_; }
  // Adds the line of `find` replaced by `replace` in column `column` of
  // `table`.
  void Add(const std::string& find, const std::string& replace, const std::string& table,
           const std::string& column) {
    const std::time_t now = std::time(nullptr);
    if (now != second_) {
      time_ = ChangeLogDateTime();
      second_ = now;
    }
    if (used_ == lines_.size()) lines_.emplace_back();
    ChangeLogLine(&lines_[used_], time_, find, replace, table, column);
    ++used_;
  }

 private:
  std::vector<std::string> lines_;  // [0, used_) are the field's
  size_t used_ = 0;
  std::string time_;
  std::time_t second_ = -1;
};

struct FieldEdit {
  std::string find, replace;  // the pair being applied
  std::string result;         // the field's text with the pair applied, trimmed
  bool memo = false;
  // Its text as first read and as last assigned (memos; every field in a dry
  // run, whose latest text is `pending`).
  std::string before, after;
  // Dry run: the field's text as the pairs before left it.
  std::string pending;
  bool has_pending = false;
  ChangeLines lines;
};

}  // namespace quillon
