#include "engine/change_log.h"

#include <QByteArray>
#include <QDateTime>
#include <QDir>
#include <QLocale>
#include <QString>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ctime>
#include <mutex>
#include <stdexcept>


namespace quillon {

std::string ChangeLogFolder() {
  const QString temp = qEnvironmentVariable("TEMP");
  if (!temp.isEmpty()) return temp.toLocal8Bit().toStdString();
  return QDir::toNativeSeparators(QDir::tempPath()).toLocal8Bit().toStdString();
}

std::string ChangeLogPath() {
#ifdef _WIN32
  constexpr char kSeparator = '\\';
#else
  constexpr char kSeparator = '/';
#endif
  return ChangeLogFolder() + kSeparator + kChangeLogName;
}

std::string ChangeLogDateTime(const QDateTime& moment, const QLocale& locale) {
  // The locale's short date keeps its order and separators; its year (two
  // digits in many locales) becomes four digits, and the time always shows
  // its seconds: a line must tell when the change was made.
  QString date = locale.dateFormat(QLocale::ShortFormat);
  QString format;
  for (qsizetype i = 0; i < date.size();) {
    if (date[i] == 'y') {
      while (i < date.size() && date[i] == 'y') ++i;
      format += "yyyy";
    } else if (date[i] == '\'') {
      // Quoted text stays as it is.
      const qsizetype end = date.indexOf('\'', i + 1);
      const qsizetype stop = end < 0 ? date.size() : end + 1;
      format += date.mid(i, stop - i);
      i = stop;
    } else {
      format += date[i++];
    }
  }
  format += " HH:mm:ss";
  return locale.toString(moment, format).toStdString();
}

std::string ChangeLogDateTime() {
  // A run may log thousands of lines a second: the locale is read once and
  // the text made once per second, the finest step the format shows.
  static const QLocale locale = QLocale::system();
  static std::mutex mutex;
  static std::time_t second = -1;
  static std::string text;
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  if (now != second) {
    text = ChangeLogDateTime(QDateTime::fromSecsSinceEpoch(now), locale);
    second = now;
  }
  return text;
}

std::string ChangeLogLine(const std::string& date_time, const std::string& find, const std::string& replace,
                          const std::string& table, const std::string& column) {
  std::string line;
  ChangeLogLine(&line, date_time, find, replace, table, column);
  return line;
}

std::string NotSavedLine(const std::string& date_time, uint32_t recno, const std::string& table,
                         const std::string& cause) {
  return "[" + date_time + "] - Record " + std::to_string(recno) + " of table (" + table + ") was not saved: " + cause;
}

void ChangeLogLine(std::string* out, const std::string& date_time, const std::string& find,
                   const std::string& replace, const std::string& table, const std::string& column) {
  std::string& line = *out;
  line.clear();
  line.reserve(date_time.size() + find.size() + replace.size() + table.size() + column.size() + 48);
  line += '[';
  line += date_time;
  line += "] - ";
  line += find;
  line += " was replace to ";
  line += replace;
  line += " at table (";
  line += table;
  line += ") and column (";
  line += column;
  line += ')';
}

namespace {

std::string CannotWrite(const std::string& path, int error) {
  return "Cannot write the change log '" + path + "': " + std::strerror(error) + ".";
}

}  // namespace

ChangeLog::~ChangeLog() {
  Flush();
  CloseFile();
}

void ChangeLog::CloseFile() noexcept {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void ChangeLog::Close() {
  Flush();
  std::lock_guard<std::mutex> hold(mutex_);
  CloseFile();
  if (created_empty_) {
    std::error_code ignored;
    if (std::filesystem::file_size(path_, ignored) == 0) std::filesystem::remove(path_, ignored);
    created_empty_ = false;
  }
  if (!failure_.empty()) {
    const std::string failure = std::move(failure_);
    failure_.clear();
    throw std::runtime_error(failure);
  }
}

bool ChangeLog::OpenFile(int* error) {
  if (file_ != nullptr) return true;
  path_ = ChangeLogPath();
  file_ = std::fopen(path_.c_str(), "ab");
  if (file_ == nullptr) {
    *error = errno;
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

std::string ChangeLog::WritePending() {
  int error = 0;
  if (OpenFile(&error)) {
    if (std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size()) {
      created_empty_ = false;
      pending_.clear();
      return "";
    }
    error = errno;
  }
  // The lines are lost; the next line opens the file afresh: the folder may
  // be back by then.
  pending_.clear();
  CloseFile();
  return CannotWrite(path_, error);
}

void ChangeLog::Enqueue(const std::string& line, std::string* to) {
#ifdef _WIN32
  const QByteArray text = QString::fromStdString(line).toLocal8Bit();
  to->append(text.constData(), static_cast<size_t>(text.size()));
#else
  *to += line;
#endif
  *to += "\r\n";
}

void ChangeLog::Append(const std::string& line, uint32_t recno) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (failure_.empty() && file_ != nullptr) {
      held_.Hold(recno, [&](std::string* to) { Enqueue(line, to); });
      return;
    }
  }
  // Not open, or failed: told as Append tells it.
  Append(line);
}

void ChangeLog::Append(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  Enqueue(line, &pending_);
  if (!failure_.empty()) {
    const std::string failure = std::move(failure_);
    failure_.clear();
    throw std::runtime_error(failure);
  }
  int error = 0;
  if (!OpenFile(&error)) {
    pending_.clear();  // the line is reported instead
    throw std::runtime_error(CannotWrite(path_, error));
  }
  // A run that never saves still writes its lines every so often.
  if (pending_.size() >= (1u << 20)) {
    const std::string failure = WritePending();
    if (!failure.empty()) throw std::runtime_error(failure);
  }
}

void ChangeLog::Open() {
  std::lock_guard<std::mutex> hold(mutex_);
  const bool existed = file_ != nullptr || std::filesystem::exists(ChangeLogPath());
  int error = 0;
  if (!OpenFile(&error)) throw std::runtime_error(CannotWrite(path_, error));
  // Made only to be sure it can be: removed again if no line comes.
  created_empty_ = !existed;
}

template <typename Take>
bool ChangeLog::FlushHeld(Take take) noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!failure_.empty()) return false;
  try {
    held_.Move(take, &pending_);
  } catch (const std::bad_alloc&) {
    failure_ = "The change log could not be written: out of memory.";
    return false;
  }
  if (pending_.empty()) return true;
  const std::string failure = WritePending();
  if (failure.empty()) return true;
  failure_ = failure;
  return false;
}

bool ChangeLog::Flush(const std::vector<uint32_t>& records) noexcept {
  return FlushHeld([&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); });
}

bool ChangeLog::Flush() noexcept {
  return FlushHeld([](uint32_t) { return true; });
}

size_t ChangeLog::Withdraw(const std::vector<uint32_t>& records) {
  std::lock_guard<std::mutex> hold(mutex_);
  return held_.Move([&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); },
                    nullptr);
}

void AppendToBackupsLog(const std::string& line) {
  ChangeLog log;
  log.Append(line);
  log.Close();
}

}  // namespace quillon
