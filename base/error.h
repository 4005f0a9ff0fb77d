// The program's one error type.
//
// Every failure on the program side (the engine, the sets, the data source,
// the batch command and the windows) is thrown as quillon::Error, whose text
// is written for the person using the program and whose kind lets callers
// and tests tell failures apart without parsing the text. The table
// library's own fox::Error passes through unchanged; KindOf gives both one
// kind. Each entry point catches in one place (the error trap of a window's
// handler, the batch command's main) and decides there what the user sees
// and which exit status follows.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

#include "data/util/error.h"

namespace quillon {

enum class ErrorKind {
  kUsage,    // the program was called the wrong way (a command line, a call out of order)
  kInput,    // what the user gave cannot be used: a set file, a data source, a find text
  kIo,       // a file could not be read, written, made or found
  kRefused,  // the data refuses the change: a rule, a lock, another program's change
  kFull,     // no room: a full disk, a file at its format's size limit
  kCorrupt,  // a file Quillon reads is damaged
  kInternal  // anything else: a fault of the program itself
};

class Error : public fox::KindedError<ErrorKind> {
 public:
  using KindedError::KindedError;
};

// The kind of a table library error as the program sees it.
inline ErrorKind KindOf(const fox::Error& error) {
  switch (error.kind()) {
    case fox::ErrorKind::kUsage:
      return ErrorKind::kUsage;
    case fox::ErrorKind::kInvalidValue:
    case fox::ErrorKind::kReadOnly:
    case fox::ErrorKind::kLocked:
    case fox::ErrorKind::kConflict:
    case fox::ErrorKind::kIndexed:
      return ErrorKind::kRefused;
    case fox::ErrorKind::kFull:
      return ErrorKind::kFull;
    case fox::ErrorKind::kCorrupt:
    case fox::ErrorKind::kUnsupported:
      return ErrorKind::kCorrupt;
    case fox::ErrorKind::kNotFound:
    case fox::ErrorKind::kIo:
      return ErrorKind::kIo;
  }
  return ErrorKind::kInternal;
}

// The kind of any caught exception: quillon::Error's and fox::Error's own,
// kInternal for anything else.
inline ErrorKind KindOf(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const Error& e) {
    return e.kind();
  } catch (const fox::Error& e) {
    return KindOf(e);
  } catch (...) {
  }
  return ErrorKind::kInternal;
}

}  // namespace quillon
