#include "engine/save_session.h"

#include <algorithm>
#include <exception>
#include <filesystem>

#include "base/error.h"
#include "data/database/connection.h"
#include "data/database/recordset.h"
#include "data/file/utf8_path.h"
#include "engine/platform.h"
#include "engine/replacement_run.h"

namespace quillon {

SaveSession::SaveSession() { log_.Attach(*run_log_); }

void SaveSession::Hook(fox::Recordset& recordset) {
  // A batch's journal entries go into the run log with its records' images
  // and are committed with them; its lines follow the commit. Once the
  // change log failed, no batch is written.
  auto hooked = std::make_shared<Hooked>();
  hooked_[&recordset] = hooked;
  recordset.BeforeWrite([this, hooked](const std::vector<uint32_t>& records) {
    if (!log_.usable()) return false;
    try {
      hooked->handed = journal_.Hand(hooked->table, records);
      // The batch's lines go with it, so that a crash before they reach the
      // change log leaves them to be written from the run log.
      std::string lines;
      log_.CopyHeld(records, &lines);
      if (!lines.empty()) run_log_->Append(LinesEntry(lines));
    } catch (...) {
      return false;
    }
    return true;
  });
  recordset.LogTo(run_log_.get(), [this, hooked](const std::vector<uint32_t>& records, uint64_t position) {
    journal_.Committed(hooked->handed);
    hooked->handed = 0;
    log_.Committed(records, position);
  });
}

void SaveSession::Open(fox::Recordset& recordset, fox::Connection& connection, const std::string& table,
                       bool read_only) {
  Hook(recordset);
  recordset.Open("SELECT * FROM " + table, connection, read_only ? fox::kLockReadOnly : fox::kLockOptimistic);
}

void SaveSession::Prepare(bool journal, std::string journal_folder, std::time_t started) {
  unstarted_ = Unstarted{journal, std::move(journal_folder), started, {}};
  hooked_.clear();
  run_log_ = std::make_unique<fox::RunLog>();
  log_.Attach(*run_log_);
}

void SaveSession::Start(const std::string& log_first, const std::string& journal_first) {
  if (!unstarted_) return;
  try {
    log_.Open();
  } catch (const std::exception& e) {
    throw Error(ErrorKind::kIo, std::string(e.what()) + " " + log_first);
  }
  try {
    // The run log is named after the moment the run started, not its first
    // change; its journal declares the tables in the order they were
    // numbered.
    MakeRunLog(*unstarted_);
    if (unstarted_->journal) {
      journal_.Open(*run_log_);
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

void SaveSession::MakeRunLog(const Unstarted& made) {
  std::string base = made.folder;
  if (!base.empty() && base.back() != '/' && base.back() != platform::kPathSeparator)
    base += platform::kPathSeparator;
  const uint32_t flags = made.journal ? fox::RunLog::kKeptAsJournal : 0;
  try {
    // Two runs started in the same second get a name each.
    for (int serial = 1;; ++serial) {
      const std::string path = base + UndoJournalName(made.started, serial);
      std::error_code ignored;
      if (!std::filesystem::exists(fox::PathFromUtf8(path), ignored)) {
        run_log_->Create(path, made.started, flags);
        return;
      }
      if (serial >= 1000)
        throw Error(ErrorKind::kIo, "Cannot make an undo journal in \"" + made.folder +
                                        "\": too many journals of this second.");
    }
  } catch (const fox::Error& e) {
    throw Error(KindOf(e), e.what());
  }
}

void SaveSession::Finish() {
  if (!run_log_->is_open()) return;
  const bool kept = journal_.is_open();
  std::string failure;
  try {
    journal_.Close();
    // Throws when a commit of the run failed: the log is then left.
    run_log_->Commit();
  } catch (const std::exception& e) {
    failure = e.what();
  }
  // A log whose lines the change log lost keeps them for CompleteChangeLog.
  if (failure.empty() && (!kept || journal_.changes() == 0) && !log_.lost_saved_lines()) {
    try {
      run_log_->Remove();
    } catch (const fox::Error&) {
      // A log left behind whose tables are whole: their next open finds
      // nothing to recover.
    }
  }
  if (!failure.empty()) throw Error(ErrorKind::kIo, failure);
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
  if (const auto hooked = hooked_.find(&recordset); hooked != hooked_.end())
    hooked->second->table = journal_table;
  const uint32_t record = RecordIdentity(*recordset.table(), recordset.RecordBytes(false), edited_);
  for (size_t column : edited_) {
    recordset.StoredForm(column, true, &before_);
    recordset.StoredForm(column, false, &after_);
    journal_.Append(journal_table, recordset.recno(), record, static_cast<uint32_t>(column),
                    recordset.fields()[column].name(), before_, after_);
  }
}

size_t SaveSession::Withdraw(uint32_t journal_table, const std::vector<uint32_t>& records) {
  journal_.Drop(journal_table, records);
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
  // Their held lines and journal entries go: only the line saying why
  // stays of them.
  journal_.Drop(journal_table, records);
  log_.Withdraw(records);
  for (size_t i = 0; i < records.size(); ++i) {
    try {
      log_.Append(NotSavedLine(ChangeLogDateTime(), records[i], table, cause(i)));
    } catch (...) {
      // The log's own failure is told when it is closed.
    }
  }
}

}  // namespace quillon
