#include "fuzz/fuzz_support.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>

#include "data/database/recordset.h"
#include "data/util/error.h"
#include "engine/text_replace.h"

namespace fs = std::filesystem;

namespace fuzz {
namespace {

// The scratch folder, removed when the process ends normally.
struct ScratchFolder {
  fs::path path;
  ScratchFolder() {
    std::error_code ec;
    const char* chosen = std::getenv("QUILLON_FUZZ_SCRATCH");
    const fs::path base = chosen && *chosen ? fs::path(chosen)
                          : fs::is_directory("/dev/shm", ec) && access("/dev/shm", W_OK) == 0
                              ? fs::path("/dev/shm")
                              : fs::temp_directory_path();
    path = base / ("quillon-fuzz-" + std::to_string(getpid()));
    fs::create_directories(path);
    path = fs::canonical(path);
  }
  ~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path, ec);
  }
};

// A cell for messages: its text from byte `from` on, cut after 80 bytes.
std::string Shown(const Cell& cell, size_t from = 0) {
  if (cell.state == Cell::kUnreadable) return "(unreadable)";
  if (cell.state == Cell::kNull) return "(null)";
  std::string text;
  for (char c : cell.text.substr(std::min(from, cell.text.size()), 80)) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
    text += static_cast<unsigned char>(c) < 0x20 || c == 0x7F ? std::string(hex) : std::string(1, c);
  }
  const std::string where =
      from > 0 ? "(" + std::to_string(cell.text.size()) + " bytes, from byte " + std::to_string(from) + ") "
               : "";
  return where + "\"" + text + (cell.text.size() > from + 80 ? "\"..." : "\"");
}

// The columns where `is` differs from `want`.
std::string Differences(const std::vector<Cell>& want, const std::vector<Cell>& is) {
  std::string out;
  for (size_t c = 0; c < std::max(want.size(), is.size()); ++c) {
    const Cell none;
    const Cell& a = c < want.size() ? want[c] : none;
    const Cell& b = c < is.size() ? is[c] : none;
    if (a == b) continue;
    size_t from = 0;  // long texts are shown from a little before where they part
    while (from < a.text.size() && from < b.text.size() && a.text[from] == b.text[from]) ++from;
    from = from > 70 ? from - 10 : 0;
    out += "\n  column " + std::to_string(c) + ": " + Shown(a, from) + " -> " + Shown(b, from);
  }
  return out;
}

bool Holds(const Cell& cell, const std::string& find) {
  return cell.state == Cell::kText && cell.text.find(find) != std::string::npos;
}

std::string Where(uint32_t recno, size_t column, const std::string& find) {
  return "record " + std::to_string(recno) + " column " + std::to_string(column) + " find \"" + find + "\"";
}

Cell ReadCell(const std::function<std::optional<std::string>()>& text) {
  Cell cell;
  try {
    std::optional<std::string> value = text();
    cell.state = value ? Cell::kText : Cell::kNull;
    if (value) cell.text = std::move(*value);
  } catch (const fox::Error&) {
    cell.state = Cell::kUnreadable;
  }
  return cell;
}

// Contains and RecordMayContain against the text forms of one record.
void CheckRecordSearch(const fox::Table& table, const fox::Table::Edit& edit, const Record& record,
                       const std::vector<std::string>& finds) {
  for (const std::string& find : finds) {
    std::vector<char> columns;
    std::optional<bool> may;
    try {
      may = table.RecordMayContain(edit, find, false, &columns);
    } catch (const fox::Error&) {
    }
    for (size_t c = 0; c < record.cells.size(); ++c) {
      const Cell& cell = record.cells[c];
      if (cell.state == Cell::kUnreadable) continue;
      const bool holds = Holds(cell, find);
      try {
        if (table.Contains(edit, c, find) != holds)
          Fail("Contains disagrees with Text: " + Where(edit.recno, c, find));
      } catch (const fox::Error&) {
      }
      if (may && holds && (!*may || columns.at(c) == 0)) {
        Fail("RecordMayContain passes over a value holding the find text: " + Where(edit.recno, c, find));
      }
      if (may && columns.at(c) == 2 && !holds) {
        Fail("RecordMayContain finds a text the value does not hold: " + Where(edit.recno, c, find));
      }
    }
  }
}

// RecordsMayContain over spans of records as read: a span it passes over
// holds the find text in no value, and memo values it clears hold none. Only
// live records count: the memo values of deleted ones are not searched (a
// recordset never shows them).
void CheckSpanSearch(const fox::Table& table, const Image& image, const std::vector<std::string>& finds) {
  constexpr uint32_t kSpan = 64;
  std::string span;
  const uint32_t count = static_cast<uint32_t>(image.records.size());
  for (uint32_t first = 1; first <= count; first += kSpan) {
    const uint32_t n = std::min(kSpan, count - first + 1);
    try {
      table.ReadRecords(first, n, &span);
    } catch (const fox::Error&) {
      continue;
    }
    for (const std::string& find : finds) {
      bool memos_may = true;
      bool may = true;
      try {
        may = table.RecordsMayContain(span, find, &memos_may);
      } catch (const fox::Error&) {
        continue;
      }
      for (uint32_t r = first; r < first + n; ++r) {
        const Record& record = image.records[r - 1];
        if (!record.readable || record.bytes[0] == '*') continue;
        for (size_t c = 0; c < record.cells.size(); ++c) {
          if (!Holds(record.cells[c], find)) continue;
          if (!may) Fail("RecordsMayContain passes over a value holding the find text: " + Where(r, c, find));
          if (!memos_may && table.field(c).is_memo()) {
            Fail("RecordsMayContain clears a memo value holding the find text: " + Where(r, c, find));
          }
        }
      }
    }
  }
}

// Records the recordset passed over, [from, to), hold none of the find texts.
void CheckPassedOver(const std::optional<Image>& before, uint32_t from, uint32_t to,
                     const std::vector<std::string>& finds) {
  if (!before) return;
  for (uint32_t r = std::max<uint32_t>(from, 1); r < to && r <= before->records.size(); ++r) {
    const Record& record = before->records[r - 1];
    if (!record.readable || record.bytes.empty() || record.bytes[0] == '*') continue;
    for (size_t c = 0; c < record.cells.size(); ++c) {
      for (const std::string& find : finds) {
        if (Holds(record.cells[c], find)) Fail("PassOverRecordsHoldingNone passed over " + Where(r, c, find));
      }
    }
  }
}

std::string g_table;  // the table being walked, for Fail's message

bool Known(const char* fault) {
  const char* known = std::getenv("QUILLON_FUZZ_KNOWN");
  return known && std::string(known).find(fault) != std::string::npos;
}

// The known faults QUILLON_FUZZ_KNOWN lets through: `is` differs from `was`
// only in memo values that could not be read before (memo-past-end), or that
// read on past where they ended before (memo-runs-on).
bool KnownMemoFault(const Image& image, const std::vector<Cell>& was, const std::vector<Cell>& is) {
  static const bool past_end = Known("memo-past-end"), runs_on = Known("memo-runs-on");
  if (!(past_end || runs_on) || was.size() != is.size()) return false;
  for (size_t c = 0; c < was.size(); ++c) {
    if (was[c] == is[c]) continue;
    if (c >= image.memo.size() || !image.memo[c]) return false;
    const bool unreadable = was[c].state == Cell::kUnreadable;
    const bool longer = was[c].state == Cell::kText && is[c].state == Cell::kText &&
                        is[c].text.compare(0, was[c].text.size(), was[c].text) == 0;
    if (!(past_end && unreadable) && !(runs_on && longer)) return false;
  }
  static size_t seen = 0;
  if (seen++ % 1000 == 0) std::fprintf(stderr, "known memo fault let through (%zu times)\n", seen);
  return true;
}

}  // namespace

void Fail(const std::string& what) {
  std::fprintf(stderr, "\n*** ORACLE FAILURE (table %s): %s\n", g_table.c_str(), what.c_str());
  std::fflush(stderr);
  std::abort();
}

std::vector<std::string_view> SplitParts(std::string_view input, size_t count) {
  std::vector<std::string_view> parts;
  for (size_t i = 0; i < count; ++i) {
    if (input.size() < 4) {
      parts.emplace_back();
      input = {};
      continue;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(input.data());
    size_t n = p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24;
    input.remove_prefix(4);
    n = std::min(n, input.size());
    parts.push_back(input.substr(0, n));
    input.remove_prefix(n);
  }
  return parts;
}

std::string JoinParts(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) {
    const uint32_t n = static_cast<uint32_t>(part.size());
    for (int i = 0; i < 4; ++i) out += static_cast<char>(n >> (8 * i));
    out += part;
  }
  return out;
}

const fs::path& Scratch() {
  static ScratchFolder folder;
  return folder.path;
}

void ClearScratch() {
  for (const auto& entry : fs::directory_iterator(Scratch())) fs::remove_all(entry.path());
}

void PutFile(const std::string& name, std::string_view bytes) {
  if (bytes.empty()) return;
  std::ofstream out(Scratch() / name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) Fail("cannot write " + (Scratch() / name).string());
}

std::string ReadWholeFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool InScratch(const fs::path& path) {
  std::error_code ec;
  const fs::path full = fs::weakly_canonical(path, ec);
  if (ec) return false;
  const std::string inside = Scratch().string() + "/";
  return full.string().compare(0, inside.size(), inside) == 0;
}

std::vector<Pair> PickPairs(uint8_t choice) {
  static const std::vector<Pair> kPairs = {
      {"a", "bb"},                   // grows values
      {"e", ""},                     // shrinks them
      {"1", "2"},                    // numbers, dates, keys
      {" ", ""},                     // padding and blanks
      {"o", "0"},                    // letters into digits (refused by numbers)
      {"True", "False"},             // logicals
      {"S", "\xC3\x9F"},             // a character not every code page has
      {"n", std::string(100, 'n')},  // memo values over many blocks; too long for most fields
  };
  return {kPairs[choice & 7], kPairs[(choice >> 3) & 7]};
}

std::optional<Image> ReadWalk(const Source& source, const std::vector<std::string>& finds) {
  g_table = source.table;
  std::unique_ptr<fox::Table> table;
  try {
    fox::Connection connection;
    connection.Open(source.connection);
    table = connection.OpenTable(source.table, fox::DiskFile::Mode::kReadOnly);
  } catch (const fox::Error&) {
    return std::nullopt;
  }
  Image image;
  image.file = ReadWholeFile(table->path());
  image.header_length = table->header().header_length;
  image.record_length = table->header().record_length;
  for (size_t c = 0; c < table->field_count(); ++c) image.memo.push_back(table->field(c).is_memo());
  fox::Table::Edit edit;
  for (uint32_t r = 1; r <= table->record_count(); ++r) {
    Record& record = image.records.emplace_back();
    try {
      table->ReadRecords(r, 1, &record.bytes);
    } catch (const fox::Error&) {
      record.bytes.clear();
      continue;
    }
    record.readable = true;
    edit.recno = r;
    edit.original = edit.working = record.bytes;
    for (size_t c = 0; c < table->field_count(); ++c) {
      record.cells.push_back(ReadCell([&] { return table->Text(edit, c); }));
    }
    CheckRecordSearch(*table, edit, record, finds);
  }
  CheckSpanSearch(*table, image, finds);
  return image;
}

Outcome WriteWalk(const Source& source, const std::vector<Pair>& pairs, const std::optional<Image>& before) {
  g_table = source.table;
  Outcome outcome;
  std::vector<std::string> finds;
  for (const Pair& pair : pairs) finds.push_back(pair.find);
  fox::Connection connection;
  connection.allow_missing_index = source.allow_missing_index;
  fox::Recordset recordset;
  size_t columns = 0;
  try {
    connection.Open(source.connection);
    recordset.Open("SELECT * FROM " + source.table, connection, fox::kLockOptimistic);
    columns = recordset.fields().count();
  } catch (const fox::Error&) {
    return outcome;
  }
  const uint32_t count = recordset.table()->record_count();
  std::string result;
  const std::vector<std::string_view> find_views(finds.begin(), finds.end());
  std::vector<std::vector<char>> may_columns(finds.size());
  std::vector<int> may(finds.size());  // -1: MayContain threw
  while (!recordset.Eof()) {
    // Records holding no find text are passed over a span at a time, as a run does.
    const uint32_t from = recordset.recno();
    bool moved = false;
    try {
      recordset.PassOverRecordsHoldingNone(find_views);
      moved = recordset.Eof() || recordset.recno() != from;
    } catch (const fox::Error&) {
    }
    if (moved) {
      CheckPassedOver(before, from, recordset.Eof() ? count + 1 : recordset.recno(), finds);
      continue;
    }
    const uint32_t recno = recordset.recno();
    for (size_t k = 0; k < finds.size(); ++k) {
      try {
        may[k] = recordset.MayContain(finds[k], &may_columns[k]);
      } catch (const fox::Error&) {
        may[k] = -1;
      }
    }
    bool assigned = false;
    for (size_t j = 0; j < columns; ++j) {
      for (size_t k = 0; k < pairs.size(); ++k) {
        std::optional<std::string> value;
        try {
          const fox::Field field = recordset.fields()[j];
          const bool contains = field.Contains(pairs[k].find);
          // Until the record changes, MayContain's answer stands.
          if (!assigned && contains && (may[k] == 0 || (may[k] == 1 && may_columns[k].at(j) == 0))) {
            Fail("MayContain passes over a value holding the find text: " + Where(recno, j, finds[k]));
          }
          if (contains) value = field.Value();
          if (contains && (!value || value->find(pairs[k].find) == std::string::npos)) {
            Fail("Field::Contains disagrees with Field::Value: " + Where(recno, j, finds[k]));
          }
        } catch (const fox::Error&) {
          continue;
        }
        if (!value) continue;
        quillon::ReplaceAll(*value, pairs[k].find, pairs[k].replace, &result);
        quillon::TrimSpaces(&result);
        try {
          if (!recordset.fields()[j].TrySetValue(result)) assigned = true;
        } catch (const fox::Error&) {
        }
      }
    }
    std::vector<Cell> expected;
    if (assigned) {
      for (size_t c = 0; c < columns; ++c)
        expected.push_back(ReadCell([&] { return recordset.fields()[c].Value(); }));
    }
    // Moving on saves the record.
    bool failed = false;
    try {
      recordset.MoveNext();
    } catch (const fox::SaveError& e) {
      outcome.refused.insert(e.records().begin(), e.records().end());
      failed = true;
    } catch (const fox::Error&) {
      if (assigned) outcome.uncertain.insert(recno);
      failed = true;
    }
    if (assigned) outcome.assigned[recno] = std::move(expected);
    if (failed && !recordset.Eof() && recordset.recno() == 0) break;  // the next record cannot be read
  }
  try {
    recordset.Close();
  } catch (const fox::SaveError& e) {
    outcome.refused.insert(e.records().begin(), e.records().end());
  } catch (const fox::Error&) {
    for (const auto& [recno, cells] : outcome.assigned) outcome.uncertain.insert(recno);
  }
  connection.Close();
  return outcome;
}

void CheckUntouched(const Source& source, const std::optional<Image>& before, const Outcome& outcome,
                    const std::optional<Image>& after) {
  g_table = source.table;
  if (std::getenv("QUILLON_FUZZ_VERBOSE")) {
    std::fprintf(stderr, "table %s: %s, %zu assigned and saved, %zu refused, %zu uncertain\n",
                 source.table.c_str(),
                 before ? (std::to_string(before->records.size()) + " records").c_str() : "not opened",
                 outcome.assigned.size(), outcome.refused.size(), outcome.uncertain.size());
  }
  if (!before) return;  // never opened: nothing was saved
  if (!after) Fail("the table opened before the write walk but not after it");
  if (after->records.size() != before->records.size()) Fail("the record count changed");
  if (after->file.size() != before->file.size()) Fail("the table file changed size");
  // Saves write the records and the last-update date (bytes 1 to 3) only.
  const std::string& a = after->file;
  const std::string& b = before->file;
  const size_t header_end = std::min<size_t>(before->header_length, b.size());
  const size_t records_end =
      std::min(b.size(), header_end + before->records.size() * size_t{before->record_length});
  if (b.empty() || a[0] != b[0] ||
      (header_end > 4 && a.compare(4, header_end - 4, b, 4, header_end - 4) != 0)) {
    Fail("the table header changed beyond its date");
  }
  if (a.compare(records_end, std::string::npos, b, records_end) != 0)
    Fail("the bytes after the last record changed");
  for (uint32_t r = 1; r <= before->records.size(); ++r) {
    const Record& was = before->records[r - 1];
    const Record& is = after->records[r - 1];
    const auto saved = outcome.assigned.find(r);
    const bool as_before = was.readable == is.readable && was.bytes == is.bytes && was.cells == is.cells;
    if (saved == outcome.assigned.end() || outcome.refused.count(r)) {
      if (!as_before && !(was.bytes == is.bytes && KnownMemoFault(*before, was.cells, is.cells))) {
        Fail("record " + std::to_string(r) + " was not saved but changed" +
             (was.bytes != is.bytes ? " (its bytes too)" : "") + ":" + Differences(was.cells, is.cells));
      }
      continue;
    }
    const bool as_saved = is.readable && is.cells == saved->second;
    if (!as_saved && !(outcome.uncertain.count(r) && as_before) &&
        !(is.readable && KnownMemoFault(*before, saved->second, is.cells))) {
      Fail("record " + std::to_string(r) +
           " does not read as saved (saved -> read):" + Differences(saved->second, is.cells) +
           "\n  changed by the save (before -> saved):" + Differences(was.cells, saved->second));
    }
  }
}

}  // namespace fuzz
