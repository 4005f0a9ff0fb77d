#include "engine/change_log.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "base/error.h"
#include "data/file/run_log.h"
#include "data/file/utf8_path.h"
#include "data/util/byte_order.h"
#include "data/util/local_time.h"
#include "engine/platform.h"

namespace quillon {

namespace {

constexpr std::array<const char*, 12> kMonths = {"January",   "February", "March",    "April",
                                                 "May",       "June",     "July",     "August",
                                                 "September", "October",  "November", "December"};
constexpr std::array<const char*, 7> kDays = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                              "Thursday", "Friday", "Saturday"};

std::string TwoDigits(int v) {
  std::string s = std::to_string(v);
  return s.size() < 2 ? "0" + s : s;
}

}  // namespace

std::string ChangeLogFolder() {
  const std::string temp = fox::EnvironmentUtf8("TEMP");
  if (!temp.empty()) return temp;
  return platform::SystemTemporaryFolder();
}

std::string ChangeLogPath() { return ChangeLogFolder() + platform::kPathSeparator + kChangeLogName; }

std::string ChangeLogDateTime(const std::tm& moment, std::string_view date) {
  // The locale's short date keeps its order and separators; its year (two
  // digits in many locales) becomes four digits, and the time always shows
  // its seconds: a line must tell when the change was made.
  std::string text;
  for (size_t i = 0; i < date.size();) {
    const char c = date[i];
    size_t run = 1;
    while (i + run < date.size() && date[i + run] == c) ++run;
    if (c == '\'') {
      // Quoted text stays as it is; two quotes stand for one.
      if (run >= 2 && run % 2 == 0) {
        text.append(run / 2, '\'');
        i += run;
        continue;
      }
      const size_t end = date.find('\'', i + 1);
      const size_t stop = end == std::string_view::npos ? date.size() : end + 1;
      text.append(date.substr(i + 1, (end == std::string_view::npos ? date.size() : end) - i - 1));
      i = stop;
      continue;
    }
    if (c == 'y') {
      text += std::to_string(moment.tm_year + 1900);
    } else if (c == 'M') {
      text += run == 1   ? std::to_string(moment.tm_mon + 1)
              : run == 2 ? TwoDigits(moment.tm_mon + 1)
              : run == 3 ? std::string(kMonths[static_cast<size_t>(moment.tm_mon) % 12]).substr(0, 3)
                         : std::string(kMonths[static_cast<size_t>(moment.tm_mon) % 12]);
    } else if (c == 'd') {
      text += run == 1   ? std::to_string(moment.tm_mday)
              : run == 2 ? TwoDigits(moment.tm_mday)
              : run == 3 ? std::string(kDays[static_cast<size_t>(moment.tm_wday) % 7]).substr(0, 3)
                         : std::string(kDays[static_cast<size_t>(moment.tm_wday) % 7]);
    } else if (c == 'g') {
      // An era (Windows patterns): none is shown.
    } else {
      text.append(run, c);
    }
    i += run;
  }
  // Spaces an era left at an end go.
  while (!text.empty() && text.back() == ' ') text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(0, 1);
  text += ' ' + TwoDigits(moment.tm_hour) + ':' + TwoDigits(moment.tm_min) + ':' + TwoDigits(moment.tm_sec);
  return text;
}

std::string ChangeLogDateTime() {
  // A run may log thousands of lines a second: the locale is read once and
  // the text made once per second, the finest step the format shows.
  static const std::string pattern = SystemShortDatePattern();
  static std::mutex mutex;
  static std::time_t second = -1;
  static std::string text;
  const std::time_t now = std::time(nullptr);
  std::lock_guard<std::mutex> lock(mutex);
  if (now != second) {
    text = ChangeLogDateTime(fox::LocalTime(now), pattern);
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
  return "[" + date_time + "] - Record " + std::to_string(recno) + " of table (" + table +
         ") was not saved: " + cause;
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
  if (run_log_) Release(run_log_->committed());
  Flush();
  CloseFile();
}

void ChangeLog::CloseFile() noexcept {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
}

void ChangeLog::Close() {
  std::lock_guard<std::mutex> hold(mutex_);
  // The lines the log committed are written; those of changes it did not
  // commit go, with the lines still held.
  ReleaseQueued(run_log_ ? run_log_->committed() : UINT64_MAX);
  queued_.clear();
  held_.Move([](uint32_t) { return true; }, nullptr);
  if (file_ != nullptr && failure_.empty() && (wrote_ || !pending_.empty())) {
    const std::string failure = WritePending(true);
    if (!failure.empty()) failure_ = failure;
  }
  CloseFile();
  wrote_ = false;
  if (created_empty_) {
    std::error_code ignored;
    if (std::filesystem::file_size(fox::PathFromUtf8(path_), ignored) == 0)
      std::filesystem::remove(fox::PathFromUtf8(path_), ignored);
    created_empty_ = false;
  }
  if (!failure_.empty()) {
    const std::string failure = std::move(failure_);
    failure_.clear();
    throw Error(ErrorKind::kIo, failure);
  }
}

bool ChangeLog::OpenFile(int* error) {
  if (file_ != nullptr) return true;
  path_ = ChangeLogPath();
  file_ = fox::OpenFileUtf8(path_, "ab");
  if (file_ == nullptr) {
    *error = errno;
    return false;
  }
  std::setvbuf(file_, nullptr, _IONBF, 0);
  return true;
}

std::string ChangeLog::WritePending(bool durable) {
  int error = 0;
  if (OpenFile(&error)) {
    // A write that fails part-way (a full disk) is taken back whole: no line
    // may stand for a change whose record is then not written.
    const long long end = platform::FileEnd(file_);
    if (std::fwrite(pending_.data(), 1, pending_.size(), file_) == pending_.size() &&
        (!durable || platform::MakeDurable(file_))) {
      created_empty_ = false;
      wrote_ = wrote_ || !pending_.empty();
      pending_.clear();
      return "";
    }
    error = errno;
    if (end >= 0) platform::CutBack(file_, end);
  }
  broken_ = true;
  // The lines are lost; the next line opens the file afresh: the folder may
  // be back by then.
  lost_ = lost_ || !pending_.empty();
  pending_.clear();
  CloseFile();
  return CannotWrite(path_, error);
}

void ChangeLog::Enqueue(const std::string& line, std::string* to) {
  *to += line;
  *to += "\r\n";
}

void ChangeLog::Append(const std::string& line, uint32_t recno) { AppendChange(&line, 1, recno); }

void ChangeLog::AppendChange(const std::string* lines, size_t count, uint32_t recno) {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    if (failure_.empty() && file_ != nullptr && !broken_) {
      held_.Hold(recno, [&](std::string* to) {
        for (size_t i = 0; i < count; ++i) Enqueue(lines[i], to);
      });
      return;
    }
    // The log failed: the change is not saved, and its lines must not be
    // written later either.
    if (!failure_.empty()) {
      const std::string failure = std::move(failure_);
      failure_.clear();
      throw Error(ErrorKind::kIo, failure);
    }
    if (broken_)
      throw Error(ErrorKind::kIo, "The change log '" + path_ + "' could not be written earlier in this run.");
  }
  for (size_t i = 0; i < count; ++i) Append(lines[i]);
}

size_t ChangeLog::Changes(const std::vector<uint32_t>& records) {
  std::lock_guard<std::mutex> hold(mutex_);
  auto of = [&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); };
  const size_t before = last_flushed_.size();
  last_flushed_.erase(std::remove_if(last_flushed_.begin(), last_flushed_.end(), of), last_flushed_.end());
  return held_.Count(of) + (before - last_flushed_.size());
}

void ChangeLog::Append(const std::string& line) {
  std::lock_guard<std::mutex> hold(mutex_);
  Enqueue(line, &pending_);
  if (!failure_.empty()) {
    const std::string failure = std::move(failure_);
    failure_.clear();
    throw Error(ErrorKind::kIo, failure);
  }
  int error = 0;
  if (!OpenFile(&error)) {
    pending_.clear();  // the line is reported instead
    throw Error(ErrorKind::kIo, CannotWrite(path_, error));
  }
  // A run that never saves still writes its lines every so often.
  if (pending_.size() >= (1u << 20)) {
    const std::string failure = WritePending();
    if (!failure.empty()) throw Error(ErrorKind::kIo, failure);
  }
}

void ChangeLog::Open() {
  std::lock_guard<std::mutex> hold(mutex_);
  const bool existed = file_ != nullptr || std::filesystem::exists(fox::PathFromUtf8(ChangeLogPath()));
  int error = 0;
  if (!OpenFile(&error)) throw Error(ErrorKind::kIo, CannotWrite(path_, error));
  // Made only to be sure it can be: removed again if no line comes.
  created_empty_ = !existed;
  broken_ = false;
}

void ChangeLog::Attach(fox::RunLog& log) {
  run_log_ = &log;
  log.set_commit_listener([this](uint64_t committed) { Release(committed); });
  log.set_leave_listener([this] { Sync(); });
}

bool ChangeLog::usable() {
  std::lock_guard<std::mutex> hold(mutex_);
  return failure_.empty() && !broken_;
}

void ChangeLog::Committed(const std::vector<uint32_t>& records, uint64_t position) noexcept {
  {
    std::lock_guard<std::mutex> hold(mutex_);
    try {
      std::string lines;
      last_flushed_.clear();
      // Once a write failed, the run stops: no line is written after it.
      const size_t moved = held_.Move(
          [&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); },
          broken_ ? nullptr : &lines, &last_flushed_);
      lost_ = lost_ || (broken_ && moved > 0);
      if (!lines.empty()) queued_.push_back(Queued{position, std::move(lines)});
    } catch (const std::bad_alloc&) {
      if (failure_.empty()) failure_ = "The change log could not be written: out of memory.";
    }
  }
  // The log's commit may have come before the lines were queued.
  Release(run_log_ ? run_log_->committed() : UINT64_MAX);
}

void ChangeLog::Release(uint64_t committed) noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  ReleaseQueued(committed);
}

void ChangeLog::ReleaseQueued(uint64_t committed) noexcept {
  bool any = false;
  try {
    for (auto at = queued_.begin(); at != queued_.end();) {
      if (at->position > committed) {
        ++at;
        continue;
      }
      if (!broken_) pending_ += at->lines;
      lost_ = lost_ || broken_;
      at = queued_.erase(at);
      any = true;
    }
  } catch (const std::bad_alloc&) {
    if (failure_.empty()) failure_ = "The change log could not be written: out of memory.";
    return;
  }
  if (!any || pending_.empty() || !failure_.empty()) return;
  const std::string failure = WritePending();
  if (!failure.empty()) failure_ = failure;
}

bool ChangeLog::lost_saved_lines() {
  std::lock_guard<std::mutex> hold(mutex_);
  return lost_;
}

void ChangeLog::Sync() noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  if (file_ == nullptr || (!wrote_ && pending_.empty()) || !failure_.empty()) return;
  const std::string failure = WritePending(true);
  if (!failure.empty()) failure_ = failure;
}

bool ChangeLog::Flush() noexcept {
  std::lock_guard<std::mutex> hold(mutex_);
  if (!failure_.empty()) return false;
  if (pending_.empty()) return !broken_;
  const std::string failure = WritePending();
  if (!failure.empty()) failure_ = failure;
  return failure.empty() && !broken_;
}

size_t ChangeLog::Withdraw(const std::vector<uint32_t>& records) {
  std::lock_guard<std::mutex> hold(mutex_);
  return held_.Move([&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); },
                    nullptr);
}

}  // namespace quillon

namespace quillon {

namespace {

void Put32(std::string* out, uint32_t v) {
  char bytes[4];
  fox::StoreLE32(bytes, v);
  out->append(bytes, 4);
}

// Adds the lines of a lines entry to `lines`, each with its CR LF; false when
// the entry is not one.
bool ReadLinesEntry(std::string_view entry, std::vector<std::string>* lines) {
  size_t at = 1;
  const auto u32 = [&](uint32_t* v) {
    if (entry.size() - at < 4) return false;
    *v = fox::LoadLE32(entry.data() + at);
    at += 4;
    return true;
  };
  uint32_t count = 0;
  if (!u32(&count)) return false;
  std::vector<std::string_view> texts;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t size = 0;
    if (!u32(&size) || entry.size() - at < size) return false;
    texts.push_back(entry.substr(at, size));
    at += size;
  }
  if (!u32(&count)) return false;
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t text = 0;
    if (!u32(&text) || text >= texts.size()) return false;
    lines->emplace_back(texts[text]);
    lines->back() += "\r\n";
  }
  return at == entry.size();
}

}  // namespace

std::string LinesEntry(std::string_view lines) {
  std::unordered_map<std::string_view, uint32_t> numbers;
  std::vector<std::string_view> texts;
  std::vector<uint32_t> order;
  for (size_t at = 0; at < lines.size();) {
    size_t end = lines.find("\r\n", at);
    if (end == std::string_view::npos) end = lines.size();
    const std::string_view text = lines.substr(at, end - at);
    const auto [it, added] = numbers.emplace(text, static_cast<uint32_t>(texts.size()));
    if (added) texts.push_back(text);
    order.push_back(it->second);
    at = end + 2;
  }
  std::string entry(1, static_cast<char>(kLinesEntry));
  Put32(&entry, static_cast<uint32_t>(texts.size()));
  for (const std::string_view text : texts) {
    Put32(&entry, static_cast<uint32_t>(text.size()));
    entry += text;
  }
  Put32(&entry, static_cast<uint32_t>(order.size()));
  for (const uint32_t number : order) Put32(&entry, number);
  return entry;
}

void ChangeLog::CopyHeld(const std::vector<uint32_t>& records, std::string* to) {
  std::lock_guard<std::mutex> hold(mutex_);
  held_.Copy([&](uint32_t recno) { return std::binary_search(records.begin(), records.end(), recno); }, to);
}

size_t CompleteChangeLog(const std::string& run_log) {
  // The lines of the committed batches, in order.
  std::vector<std::string> lines;
  size_t bytes = 0;
  try {
    fox::RunLogReader reader(run_log);
    std::vector<std::string> uncommitted;
    std::string_view entry;
    while (reader.Next(&entry, nullptr)) {
      const auto kind = static_cast<unsigned char>(entry[0]);
      if (kind == kLinesEntry) {
        if (!ReadLinesEntry(entry, &uncommitted)) break;
      } else if (kind == fox::RunLog::kCommit) {
        for (std::string& line : uncommitted) {
          bytes += line.size();
          lines.push_back(std::move(line));
        }
        uncommitted.clear();
      }
    }
  } catch (const fox::Error& e) {
    throw Error(ErrorKind::kIo,
                "The change log could not be completed from the run log: " + std::string(e.what()));
  }
  if (lines.empty()) return 0;
  // The lines the change log's last part holds, counted: those the run
  // wrote before it stopped are not written twice.
  std::map<std::string, size_t> present;
  bool cut = false;  // the change log ends inside a line
  const std::string path = ChangeLogPath();
  if (std::FILE* file = fox::OpenFileUtf8(path, "rb")) {
    std::error_code error;
    const uint64_t size = std::filesystem::file_size(fox::PathFromUtf8(path), error);
    const uint64_t window = std::min<uint64_t>(error ? 0 : size, 2 * uint64_t{bytes} + (64u << 10));
    std::string tail(static_cast<size_t>(window), '\0');
    if (!error && std::fseek(file, static_cast<long>(size - window), SEEK_SET) == 0) {
      tail.resize(std::fread(tail.data(), 1, tail.size(), file));
    } else {
      tail.clear();
    }
    std::fclose(file);
    cut = !tail.empty() && tail.back() != '\n';
    for (size_t at = 0; at < tail.size();) {
      size_t end = tail.find("\r\n", at);
      if (end == std::string::npos) break;  // a line cut short
      ++present[tail.substr(at, end + 2 - at)];
      at = end + 2;
    }
  }
  std::vector<const std::string*> missing;
  for (const std::string& line : lines) {
    const auto at = present.find(line);
    if (at != present.end() && at->second > 0) {
      --at->second;
    } else {
      missing.push_back(&line);
    }
  }
  if (missing.empty()) return 0;
  ChangeLog log;
  // A line the crash cut short is ended, so that the next one starts afresh.
  if (cut) log.Append("");
  for (const std::string* line : missing) log.Append(line->substr(0, line->size() - 2));
  log.Close();
  return missing.size();
}

std::string CompleteChangeLogs(const std::vector<std::string>& run_logs) {
  size_t added = 0;
  std::string failed;
  for (const std::string& run_log : run_logs) {
    try {
      added += CompleteChangeLog(run_log);
    } catch (const std::exception& e) {
      failed += " " + std::string(e.what());
    }
  }
  std::string told;
  if (added > 0) {
    told = " " + std::to_string(added) + (added == 1 ? " line" : " lines") +
           " of its saved changes that the change log lacked " + (added == 1 ? "was" : "were") +
           " added to it.";
  }
  return told + failed;
}

}  // namespace quillon
