// Errors raised by the FoxPro table library.
//
// Every failure of the library is reported by throwing fox::Error. Its text is
// written for the person using the program: it names the table, the field or
// the file concerned and says why the operation failed. The kind lets callers
// (and tests) tell failures apart without parsing the text.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace fox {

enum class ErrorKind {
  kNotFound,      // a file, table or field does not exist
  kCorrupt,       // a file is truncated or malformed
  kUnsupported,   // a valid file uses a feature the library does not handle
  kInvalidValue,  // a text does not fit the field it is assigned to
  kReadOnly,      // the file or field cannot be written
  kLocked,        // another program holds a lock that is needed
  kConflict,      // another program changed the record since it was read
  kIndexed,       // the change would leave a structural index stale
  kIo,            // the operating system refused a read or write
  kFull,          // the disk has no room left, or a file would pass its format's size limit
  kUsage,         // the library was called the wrong way
};

// An error whose text is for the person using the program and whose kind,
// of the enumeration `Kind`, tells failures apart; the program's own error
// type is made from it too.
template <typename Kind>
class KindedError : public std::runtime_error {
 public:
  KindedError(Kind kind, const std::string& message) : std::runtime_error(message), kind_(kind) {}
  Kind kind() const { return kind_; }

 private:
  Kind kind_;
};

class Error : public KindedError<ErrorKind> {
 public:
  using KindedError::KindedError;
};

// A failure that kept records from being saved after they had been accepted
// for saving (saves are written in batches): names those records.
class SaveError : public Error {
 public:
  // `cause`: why the records were not saved, in a few words, when one reason
  // holds for all of them ("another program has locked the record").
  SaveError(ErrorKind kind, const std::string& message, std::vector<uint32_t> records,
            const std::string& cause = "")
      : Error(kind, message),
        records_(std::move(records)),
        causes_(cause.empty() ? 0 : records_.size(), cause) {}
  SaveError(ErrorKind kind, const std::string& message, std::vector<uint32_t> records,
            std::vector<std::string> causes)
      : Error(kind, message), records_(std::move(records)), causes_(std::move(causes)) {
    if (causes_.size() != records_.size()) causes_.clear();
  }
  // The numbers of the records that keep the values on disk, ascending.
  const std::vector<uint32_t>& records() const { return records_; }
  // Why record records()[i] was not saved, in a few words; the whole
  // message when that is not known.
  std::string cause(size_t i) const { return i < causes_.size() ? causes_[i] : std::string(what()); }
  // The records among records() that another program's change kept from
  // being saved (ascending): read again, they can be changed again.
  const std::vector<uint32_t>& retryable() const { return retryable_; }
  SaveError& set_retryable(std::vector<uint32_t> records) {
    retryable_ = std::move(records);
    return *this;
  }

 private:
  std::vector<uint32_t> records_;
  std::vector<std::string> causes_;  // by record, or empty
  std::vector<uint32_t> retryable_;
};

}  // namespace fox
