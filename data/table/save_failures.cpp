#include "data/table/save_failures.h"

#include <algorithm>
#include <utility>

#include "data/util/error.h"

namespace fox {

std::string RecordList(const std::vector<uint32_t>& records) {
  if (records.empty()) return "";
  if (records.size() > 10) {
    return std::to_string(records.front()) + " ... " + std::to_string(records.back()) + " (" +
           std::to_string(records.size()) + " records)";
  }
  std::string list;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0) list += i + 1 == records.size() ? " and " : ", ";
    list += std::to_string(records[i]);
  }
  return list;
}

std::string NotSaved(const std::vector<uint32_t>& records, const std::string& table, const std::string& why) {
  return (records.size() == 1 ? "The change to record " : "The changes to records ") + RecordList(records) +
         " of table '" + table + "' " + (records.size() == 1 ? "was" : "were") + " not saved: " + why;
}

std::string ShortCause(const std::string& message) {
  static const std::string kMark = "not saved: ";
  const size_t at = message.find(kMark);
  std::string cause = at == std::string::npos ? message : message.substr(at + kMark.size());
  if (!cause.empty() && cause.back() == '.') cause.pop_back();
  return cause;
}

std::exception_ptr Combine(std::exception_ptr first, std::exception_ptr second) {
  if (!first) return second;
  if (!second) return first;
  ErrorKind kind = ErrorKind::kIo;
  std::string message;
  std::vector<std::pair<uint32_t, std::string>> records;  // with their causes
  std::vector<uint32_t> retryable;
  bool first_one = true;
  for (const std::exception_ptr& failure : {first, second}) {
    try {
      std::rethrow_exception(failure);
    } catch (const SaveError& e) {
      if (first_one) kind = e.kind();
      message += (message.empty() ? "" : " ") + std::string(e.what());
      for (size_t i = 0; i < e.records().size(); ++i)
        records.emplace_back(e.records()[i], ShortCause(e.cause(i)));
      retryable.insert(retryable.end(), e.retryable().begin(), e.retryable().end());
    } catch (const Error& e) {
      if (first_one) kind = e.kind();
      message += (message.empty() ? "" : " ") + std::string(e.what());
    } catch (const std::exception& e) {
      message += (message.empty() ? "" : " ") + std::string(e.what());
    } catch (...) {
    }
    first_one = false;
  }
  std::stable_sort(records.begin(), records.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> numbers;
  std::vector<std::string> causes;
  for (auto& [recno, cause] : records) {
    if (!numbers.empty() && numbers.back() == recno) continue;
    numbers.push_back(recno);
    causes.push_back(std::move(cause));
  }
  std::sort(retryable.begin(), retryable.end());
  retryable.erase(std::unique(retryable.begin(), retryable.end()), retryable.end());
  return std::make_exception_ptr(
      SaveError(kind, message, std::move(numbers), std::move(causes)).set_retryable(std::move(retryable)));
}

}  // namespace fox
