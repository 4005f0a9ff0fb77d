#include "engine/undo_run.h"

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>

#include "data/database/connection.h"
#include "data/database/connection_string.h"
#include "data/database/recordset.h"
#include "data/file/file_names.h"
#include "data/file/utf8_path.h"

namespace quillon {

namespace {

// Why an undo whose change log or journal cannot be made takes nothing back.
constexpr char kUnopened[] =
    "Nothing was taken back: an undo writes its change log and its own journal first.";

// Problems listed in the closing message when nobody takes them one by one.
constexpr size_t kProblemsListed = 10;

// A value as a change log line shows it: line breaks inside it shown as \r
// and \n, so that the line stays one line.
std::string Shown(const std::optional<std::string>& value) {
  if (!value) return "(null)";
  std::string shown;
  shown.reserve(value->size());
  for (char c : *value) {
    if (c == '\r') {
      shown += "\\r";
    } else if (c == '\n') {
      shown += "\\n";
    } else {
      shown += c;
    }
  }
  return shown;
}

std::optional<std::string> TextOf(fox::Recordset& recordset, size_t column) {
  try {
    return recordset.fields()[column].Value();
  } catch (const std::exception&) {
    return std::string("(unreadable)");
  }
}

}  // namespace

std::string UndoSummary(const UndoTally& tally, const Toolkit& toolkit) {
  std::string text = toolkit.Counted(tally.restored, "field restored", "fields restored");
  if (tally.conflicts > 0) text += ", " + toolkit.Counted(tally.conflicts, "conflict", "conflicts");
  if (tally.missing > 0) text += ", " + toolkit.Counted(tally.missing, "field gone", "fields gone");
  if (tally.not_saved > 0)
    text += ", " + toolkit.Counted(tally.not_saved, "field not saved", "fields not saved");
  return text;
}

size_t UndoRun::CountChanges(const std::string& path) { return UndoJournalReader(path).changes().size(); }

UndoRun::Contents UndoRun::Describe(const std::string& path) {
  const UndoJournalReader reader(path);
  Contents contents;
  contents.changes = reader.changes().size();
  std::vector<bool> changed(reader.tables().size(), false);
  for (const UndoJournalReader::Entry& entry : reader.changes()) changed.at(entry.table) = true;
  for (size_t t = 0; t < changed.size(); ++t) {
    if (!changed[t]) continue;
    const JournalTable& table = reader.tables()[t];
    if (std::find(contents.tables.begin(), contents.tables.end(), table.name) == contents.tables.end())
      contents.tables.push_back(table.name);
    if (contents.catalogue.empty()) contents.catalogue = table.catalogue;
  }
  return contents;
}

void UndoRun::Problem(const std::string& line) {
  reported_ = true;
  if (on_problem_) {
    on_problem_(line);
  } else {
    problems_.push_back(line);
  }
}

RunEnd UndoRun::Run(const std::string& path) {
  tally_ = UndoTally();
  problems_.clear();
  reported_ = false;
  stopped_ = false;
  refused_.clear();
  undo_journal_.clear();
  const bool dry = mode_ == RunMode::kDryRun;

  std::unique_ptr<UndoJournalReader> reader;
  try {
    reader = std::make_unique<UndoJournalReader>(path);
  } catch (const std::exception& e) {
    reported_ = true;
    toolkit_.ShowMessage(std::string(e.what()) + " Nothing was taken back.", MessageButtons::kOk,
                         MessageIcon::kWarning);
    return RunEnd::kRefused;
  }
  const UndoJournalReader& journal = *reader;
  if (!journal.cut_short().empty()) {
    // A last entry cut off is what a run stopped while writing leaves: its
    // record was not written yet. Anything else is damage.
    reported_ = reported_ || !journal.torn_tail();
    toolkit_.ShowMessage("The undo journal \"" + path + "\": " + journal.cut_short() + ".",
                         MessageButtons::kOk,
                         journal.torn_tail() ? MessageIcon::kNone : MessageIcon::kWarning);
  }
  if (!journal.ended()) {
    // The run that wrote it stopped before it finished (a crash, say), or
    // the journal lost its end: what it holds is taken back, and the user
    // hears that the run may have changed more.
    reported_ = true;
    toolkit_.ShowMessage(
        "The undo journal \"" + path +
            "\" does not say that its run ended: the run stopped before it finished, or the "
            "journal was cut short. The changes it holds are taken back, but the run may have "
            "changed more.",
        MessageButtons::kOk, MessageIcon::kWarning);
  }
  // No change without its line and its journal entry: the log and the
  // undo's own journal are made at its first change (see UndoRecord), so an
  // undo that takes nothing back writes nothing.
  if (!dry) {
    session_.Prepare(true, journal_folder_.empty() ? ChangeLogFolder() : journal_folder_, std::time(nullptr));
  }

  // Table by table, the table changed last first; each table's changes
  // newest first.
  std::vector<std::vector<size_t>> by_table(journal.tables().size());
  for (size_t i = 0; i < journal.changes().size(); ++i) by_table[journal.changes()[i].table].push_back(i);
  std::vector<uint32_t> order;
  for (uint32_t t = 0; t < by_table.size(); ++t) {
    if (!by_table[t].empty()) order.push_back(t);
  }
  std::sort(order.begin(), order.end(),
            [&](uint32_t a, uint32_t b) { return by_table[a].back() > by_table[b].back(); });
  int64_t left = static_cast<int64_t>(journal.changes().size());
  for (uint32_t t : order) {
    if (stopped_ || !refused_.empty()) break;
    UndoTable(journal, t, by_table[t]);
    left -= static_cast<int64_t>(by_table[t].size());
  }
  if (!refused_.empty()) {
    reported_ = true;
    toolkit_.ShowMessage(refused_, MessageButtons::kOk, MessageIcon::kWarning);
    return RunEnd::kRefused;
  }

  if (!dry) {
    try {
      session_.log().Close();
    } catch (const std::exception& e) {
      Problem(e.what());
    }
    const uint64_t saved = session_.journal().changes();
    const std::string own = session_.run_log().path();
    try {
      session_.Finish();
    } catch (const std::exception& e) {
      Problem(e.what());
    }
    if (saved > 0) undo_journal_ = own;
  }

  std::string text = "Undo of \"" + path + "\"" + (dry ? " (a dry run: nothing was written)" : "") + ": " +
                     toolkit_.Counted(tally_.restored, "change", "changes") + (dry ? " would be" : "") +
                     " taken back.";
  if (tally_.conflicts > 0) {
    const bool one = tally_.conflicts == 1;
    text += " " + toolkit_.Counted(tally_.conflicts, "field has", "fields have") +
            " changed since the run and " +
            (dry   ? "would be"
             : one ? "was"
                   : "were") +
            " left as " + (one ? "it is." : "they are.");
  }
  if (tally_.already > 0) {
    text += " " + toolkit_.Counted(tally_.already, "field", "fields") + " already held " +
            (tally_.already == 1 ? "its" : "their") + " old value.";
  }
  if (tally_.missing > 0) {
    text += " " + toolkit_.Counted(tally_.missing, "change was", "changes were") +
            " not taken back: the record or table is gone or could not be opened.";
  }
  if (tally_.not_saved > 0)
    text += " " + toolkit_.Counted(tally_.not_saved, "change", "changes") + " could not be saved.";
  if (stopped_)
    text +=
        " The undo was stopped: " + toolkit_.Counted(left, "change was", "changes were") + " not looked at.";
  if (!problems_.empty()) {
    text += "\r\n";
    for (size_t i = 0; i < problems_.size() && i < kProblemsListed; ++i) text += "\r\n" + problems_[i];
    if (problems_.size() > kProblemsListed) {
      text += "\r\n... and " + std::to_string(problems_.size() - kProblemsListed) + " more.";
    }
  }
  if (!undo_journal_.empty())
    text += "\r\n\r\nThis undo can be undone in turn with \"" + undo_journal_ + "\".";
  toolkit_.ShowMessage(text, MessageButtons::kOk, reported_ ? MessageIcon::kWarning : MessageIcon::kNone);
  return stopped_ ? RunEnd::kStopped : RunEnd::kDone;
}

void UndoRun::UndoTable(const UndoJournalReader& journal, uint32_t table,
                        const std::vector<size_t>& changes) {
  const bool dry = mode_ == RunMode::kDryRun;
  const JournalTable& t = journal.tables()[table];
  const int64_t restored_before = tally_.restored;
  fox::Connection connection;
  fox::Recordset recordset;
  auto gone = [&](const std::string& why) {
    tally_.missing += static_cast<int64_t>(changes.size());
    Problem("Table '" + t.name + "' (\"" + t.path + "\"): " + why + "; its " +
            toolkit_.Counted(static_cast<int64_t>(changes.size()), "change was", "changes were") +
            " not taken back.");
  };
  connection.allow_missing_index = allow_missing_index_;
  // The undo puts stored values back as they were, which no rule judges: a
  // table of a folder is opened as a free table (with the long names its
  // container gives it), whether or not its container can be read.
  connection.ignore_container = !t.container;
  try {
    connection.Open(fox::ConnectionString::Build(t.container ? fox::ConnectionString::SourceType::kDatabase
                                                             : fox::ConnectionString::SourceType::kFreeTables,
                                                 t.catalogue));
    session_.Open(recordset, connection, t.name, dry);
  } catch (const std::exception& e) {
    gone(e.what());
    return;
  }
  std::error_code ignored;
  if (recordset.table() == nullptr ||
      !std::filesystem::equivalent(fox::PathFromUtf8(recordset.table()->path()), fox::PathFromUtf8(t.path),
                                   ignored)) {
    gone("the name now stands for another file");
    return;
  }
  if (!recordset.table()->repair_notice().empty()) {
    toolkit_.ShowMessage(recordset.table()->repair_notice() +
                         CompleteChangeLogs(recordset.table()->repaired_logs()));
  }
  if (!dry) journal_table_ = session_.Declare(t);

  // The changes of each record, newest first. Records are taken in the
  // order of their numbers, as saves are batched best: the order of changes
  // matters only within a record.
  std::map<uint32_t, std::vector<const UndoJournalReader::Entry*>> by_record;
  for (auto i = changes.rbegin(); i != changes.rend(); ++i) {
    const UndoJournalReader::Entry& change = journal.changes()[*i];
    by_record[change.recno].push_back(&change);
  }
  std::vector<uint32_t> queue;
  queue.reserve(by_record.size());
  for (const auto& [recno, list] : by_record) queue.push_back(recno);
  restored_in_record_.clear();
  session_.ForgetTries();
  auto failed = [&](const fox::SaveError& failure) {
    std::vector<uint32_t> again;
    SaveFailed(t.name, failure, &again);
    for (uint32_t recno : again) {
      session_.Tried(recno);
      if (session_.MayTryAgain(recno)) {
        queue.push_back(recno);
      } else {
        tally_.not_saved += static_cast<int64_t>(by_record[recno].size());
        Problem("The changes to record " + std::to_string(recno) + " of table '" + t.name +
                "' were not taken back: another program kept changing the record.");
      }
    }
  };

  size_t next = 0;
  while (true) {
    while (next < queue.size()) {
      if (!refused_.empty()) break;
      if (stop_ && stop_()) {
        stopped_ = true;
        break;
      }
      const uint32_t recno = queue[next++];
      const auto& list = by_record[recno];
      bool found = false;
      try {
        found = SaveSession::ReadAgain(recordset, recno, failed);
      } catch (const std::exception& e) {
        tally_.missing += static_cast<int64_t>(list.size());
        Problem(e.what());
        continue;
      }
      if (!found) {
        tally_.missing += static_cast<int64_t>(list.size());
        Problem("Record " + std::to_string(recno) + " of table '" + t.name +
                "' is deleted or no longer there: its " +
                toolkit_.Counted(static_cast<int64_t>(list.size()), "change was", "changes were") +
                " not taken back.");
        continue;
      }
      UndoRecord(journal, t.name, recordset, list);
    }
    if (dry) break;
    // The last record is saved (a stop comes between records: the records
    // changed so far are kept), and every batch written; records another
    // program's change held back are looked at again.
    const size_t before = queue.size();
    try {
      recordset.MoveTo(0);
      recordset.Flush();
    } catch (const fox::SaveError& failure) {
      failed(failure);
    }
    if (stopped_ || !refused_.empty() || queue.size() == before) break;
  }
  try {
    recordset.Close();
  } catch (const fox::SaveError& failure) {
    std::vector<uint32_t> again;
    SaveFailed(t.name, failure, &again);
    for (uint32_t recno : again) tally_.not_saved += static_cast<int64_t>(by_record[recno].size());
  } catch (const std::exception& e) {
    Problem(e.what());
  }
  const std::string missing = recordset.table() != nullptr ? recordset.table()->missing_index() : "";
  if (!missing.empty() && !dry && tally_.restored > restored_before) {
    Problem("Table '" + t.name + "' was changed without its structural index \"" + missing +
            "\", which is missing: rebuild the index (REINDEX in FoxPro) before using the table.");
  }
  const std::string unnamed = recordset.table() != nullptr ? recordset.table()->unnamed_index() : "";
  if (!unnamed.empty() && !dry && tally_.restored > restored_before) {
    Problem("Table '" + t.name + "' was changed, but not its index file \"" + unnamed +
            "\", which its header does not name as its structural index: if a program opens that index, "
            "rebuild it (REINDEX in FoxPro) first.");
  }
  connection.Close();
}

void UndoRun::UndoRecord(const UndoJournalReader& journal, const std::string& name, fox::Recordset& recordset,
                         const std::vector<const UndoJournalReader::Entry*>& entries) {
  const bool dry = mode_ == RunMode::kDryRun;
  const uint32_t recno = recordset.recno();
  const size_t columns = recordset.fields().count();
  std::vector<std::optional<JournalChange>> changes;
  changes.reserve(entries.size());
  for (const UndoJournalReader::Entry* entry : entries) {
    try {
      changes.push_back(journal.Read(*entry));
    } catch (const std::exception& e) {
      ++tally_.missing;
      Problem(e.what());
      changes.emplace_back();
    }
  }
  // A run may save a record more than once (a cascade gives a child its new
  // key, then the walk of the child's table changes another of its fields),
  // each save with its own identity. Newest first, the changes of one save
  // are those that follow each other with the same identity, each column
  // once; the record as the undo has put it back so far must be the one
  // that save left.
  std::vector<size_t> save_columns;  // of the save being undone
  bool same_record = true;
  size_t save_end = 0;  // the index after the last change of that save
  int64_t restored = 0;
  for (size_t i = 0; i < changes.size(); ++i) {
    if (!changes[i]) continue;
    const JournalChange& change = *changes[i];
    if (i >= save_end) {
      // The changes of the next save, and the record's identity as it left
      // the record (the run's record bytes masked where it changed them).
      save_columns.clear();
      save_end = i;
      for (; save_end < changes.size(); ++save_end) {
        if (!changes[save_end]) continue;
        const JournalChange& next = *changes[save_end];
        if (next.record != change.record ||
            std::find(save_columns.begin(), save_columns.end(), next.column) != save_columns.end())
          break;
        save_columns.push_back(next.column);
      }
      std::vector<size_t> masked(save_columns.begin(), save_columns.end());
      std::sort(masked.begin(), masked.end());
      same_record = !change.record || *change.record == RecordIdentity(*recordset.table(),
                                                                       recordset.RecordBytes(false), masked);
    }
    const uint32_t column = change.column;
    auto where = [&] {
      return "Field '" + change.column_name + "' of record " + std::to_string(recno) + " of table '" + name +
             "'";
    };
    if (column >= columns || !fox::EqualIgnoringCase(recordset.fields()[column].name(), change.column_name)) {
      ++tally_.conflicts;
      Problem(where() + " was left as it is: the table's columns changed since the run.");
      continue;
    }
    std::string current;
    try {
      current = recordset.StoredForm(column, false);
    } catch (const std::exception& e) {
      ++tally_.conflicts;
      Problem(where() + " was left as it is: " + e.what());
      continue;
    }
    const bool after = change.IsAfter(current);
    if (!after && current == change.before) {
      // Already as it was: the record was never saved (the run stopped or
      // crashed before), or has been given its old value since.
      ++tally_.already;
      continue;
    }
    if (!after) {
      ++tally_.conflicts;
      Problem(where() + " has changed since the run and was left as it is.");
      continue;
    }
    if (!same_record) {
      ++tally_.conflicts;
      Problem(where() +
              " was left as it is: the record is no longer the one the run saved (another record took "
              "its place, after a PACK say).");
      continue;
    }
    const std::optional<std::string> was = dry ? std::nullopt : TextOf(recordset, column);
    try {
      // A dry run gives the value back in the edit too, which is never
      // saved, so that the record's older saves are judged as the real undo
      // judges them.
      recordset.SetStoredForm(column, change.before);
    } catch (const std::exception& e) {
      ++tally_.not_saved;
      Problem(where() + " was left as it is: " + e.what());
      continue;
    }
    if (dry) {
      ++restored;
      continue;
    }
    const std::optional<std::string> now = TextOf(recordset, column);
    try {
      // The first change opens the log and makes the journal; when either
      // cannot be, the record keeps what is on disk and nothing is taken
      // back.
      session_.Start(kUnopened, kUnopened);
    } catch (const std::exception& e) {
      // Taken back in the edit, which moving on would save.
      refused_ = e.what();
      for (size_t edited : recordset.EditedColumns()) recordset.RevertColumn(edited);
      return;
    }
    try {
      session_.log().Append(
          ChangeLogLine(ChangeLogDateTime(), Shown(was), Shown(now), name, change.column_name), recno);
    } catch (const std::exception& e) {
      // The record keeps what is on disk: no change without its line.
      Problem(e.what());
      recordset.Reread(recno);
      return;
    }
    ++restored;
  }
  if (dry) {
    for (size_t column : recordset.EditedColumns()) recordset.RevertColumn(column);
  }
  if (!dry && restored > 0) session_.JournalRecord(recordset, journal_table_);
  tally_.restored += restored;
  restored_in_record_[recno] += restored;
}

void UndoRun::SaveFailed(const std::string& name, const fox::SaveError& failure,
                         std::vector<uint32_t>* again) {
  // Changes to be made again lose their lines and entries, and their count.
  const SaveSession::Sorted sorted = session_.Sort(failure, journal_table_, [](uint32_t) { return true; });
  *again = sorted.again;
  for (uint32_t recno : sorted.again) {
    tally_.restored -= restored_in_record_[recno];
    restored_in_record_.erase(recno);
  }
  if (sorted.lost.empty()) return;
  session_.LogNotSaved(name, journal_table_, sorted.lost, [&](size_t i) { return sorted.causes[i]; });
  for (uint32_t recno : sorted.lost) {
    tally_.restored -= restored_in_record_[recno];
    tally_.not_saved += restored_in_record_[recno];
    restored_in_record_.erase(recno);
  }
  Problem(failure.what());
}

}  // namespace quillon
