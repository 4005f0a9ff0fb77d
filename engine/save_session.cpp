#include "engine/save_session.h"

#include <algorithm>
#include <exception>
#include <filesystem>

#include "base/error.h"
#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/file/utf8_path.h"
#include "engine/replacement_run.h"

namespace quillon {

void SaveSession::Hook(fox::Recordset& recordset) {
  // The journal entries of a batch of saves are durable, and its lines in
  // the change log, before the records are written; the entries are on
  // their way to the disk while the batch's memo values are flushed.
  recordset.BeforeWrite(
      [this](const std::vector<uint32_t>& records) { return journal_.Flush() && log_.Flush(records); },
      [this] { journal_.WriteAhead(); });
}

void SaveSession::Open(fox::Recordset& recordset, fox::Connection& connection, const std::string& table,
                       bool read_only) {
  Hook(recordset);
  recordset.Open("SELECT * FROM " + table, connection, read_only ? fox::kLockReadOnly : fox::kLockOptimistic);
}

void SaveSession::Prepare(bool journal, std::string journal_folder, std::time_t started) {
  unstarted_ = Unstarted{journal, std::move(journal_folder), started, {}};
}

void SaveSession::Start(const std::string& log_first, const std::string& journal_first) {
  if (!unstarted_) return;
  try {
    log_.Open();
  } catch (const std::exception& e) {
    throw Error(ErrorKind::kIo, std::string(e.what()) + " " + log_first);
  }
  try {
    // The journal is named after the moment the run started, not its first
    // change, and declares the tables in the order they were numbered.
    if (unstarted_->journal) {
      journal_.Create(unstarted_->folder, unstarted_->started);
      for (const JournalTable& table : unstarted_->tables) journal_.AddTable(table);
    }
  } catch (const std::exception& e) {
    try {
      log_.Close();
    } catch (...) {
      // Nothing was written to it.
    }
    throw Error(ErrorKind::kIo, std::string(e.what()) + " " + journal_first);
  }
  unstarted_.reset();
}

uint32_t SaveSession::Declare(const JournalTable& table) {
  if (!unstarted_) return journal_.AddTable(table);
  unstarted_->tables.push_back(table);
  return static_cast<uint32_t>(unstarted_->tables.size() - 1);
}

uint32_t SaveSession::TableNumber(const std::string& table, const fox::Table& opened) {
  const auto [at, made] = tables_.try_emplace(LowerAscii(table));
  if (!made) return at->second;
  try {
    std::error_code ignored;
    at->second = Declare(JournalTable{
        container_, fox::Utf8FromPath(std::filesystem::absolute(fox::PathFromUtf8(catalogue_), ignored)),
        table, fox::Utf8FromPath(std::filesystem::absolute(fox::PathFromUtf8(opened.path()), ignored))});
  } catch (...) {
    tables_.erase(at);
    throw;
  }
  return at->second;
}

void SaveSession::JournalRecord(fox::Recordset& recordset, uint32_t journal_table) {
  recordset.EditedColumns(&edited_);
  if (edited_.empty()) return;
  const uint32_t record = RecordIdentity(*recordset.table(), recordset.RecordBytes(false), edited_);
  for (size_t column : edited_) {
    recordset.StoredForm(column, true, &before_);
    recordset.StoredForm(column, false, &after_);
    journal_.Append(journal_table, recordset.recno(), record, static_cast<uint32_t>(column),
                    recordset.fields()[column].name(), before_, after_);
  }
}

size_t SaveSession::Withdraw(uint32_t journal_table, const std::vector<uint32_t>& records) {
  journal_.NotSaved(journal_table, records);
  return log_.Withdraw(records);
}

SaveSession::Sorted SaveSession::Sort(const fox::SaveError& failure, uint32_t journal_table,
                                      const std::function<bool(uint32_t)>& again_if) {
  Sorted sorted;
  for (size_t i = 0; i < failure.records().size(); ++i) {
    const uint32_t recno = failure.records()[i];
    if (std::binary_search(failure.retryable().begin(), failure.retryable().end(), recno) &&
        again_if(recno)) {
      sorted.again.push_back(recno);
    } else {
      sorted.lost.push_back(recno);
      sorted.causes.push_back(failure.cause(i));
    }
  }
  // The lines and entries of the changes that were not saved go: each
  // record gets those of the change that is saved in the end.
  sorted.withdrawn = Withdraw(journal_table, sorted.again);
  return sorted;
}

bool SaveSession::ReadAgain(fox::Recordset& recordset, uint32_t recno,
                            const std::function<void(const fox::SaveError&)>& failed) {
  try {
    return recordset.Reread(recno);
  } catch (const fox::SaveError& failure) {
    failed(failure);
    return !recordset.Eof() && recordset.recno() == recno;
  }
}

void SaveSession::LogNotSaved(const std::string& table, uint32_t journal_table,
                              const std::vector<uint32_t>& records,
                              const std::function<std::string(size_t)>& cause) {
  // Their lines, held until the records were written, come first. Their
  // journal entries go, and those already written are marked not saved.
  journal_.NotSaved(journal_table, records);
  log_.Flush(records);
  for (size_t i = 0; i < records.size(); ++i) {
    try {
      log_.Append(NotSavedLine(ChangeLogDateTime(), records[i], table, cause(i)));
    } catch (...) {
      // The log's own failure is told when it is closed.
    }
  }
}

}  // namespace quillon
