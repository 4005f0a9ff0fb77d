// How index tags store the value of their key expression.
//
// Keys are byte strings compared unsigned, so every encoding keeps the
// order of the values: character keys are the code-page bytes padded with
// blanks (MACHINE collation); numbers, dates and datetimes are IEEE doubles
// made sortable (big-endian, sign bit set for positives, all bits inverted
// for negatives), datetimes only at midnight (the day number; the stored
// form of a time of day is not known, so such keys are refused); a bare integer field in a 4-byte key is its
// value big-endian with the sign bit flipped; logical keys are "T" or "F". Tags on nullable columns put 0x80
// before the key, and store NULL as all zeros so that it sorts first.
#pragma once

#include <cstdint>
#include <string>

#include "data/expression/index_expression.h"

namespace fox {

struct KeyFormat {
  enum class Kind { kCharacter, kDouble, kInteger, kLogical };
  Kind kind = Kind::kCharacter;
  uint16_t length = 0;  // stored length, null marker included
  bool nullable = false;
  // The byte that leaf pages leave out at the end of keys: blank for
  // character keys, zero for the others.
  char pad() const { return kind == Kind::kCharacter ? ' ' : '\0'; }
};

// The format of a tag whose key expression gives values of `type`, from the
// key length and nullable flag in its header. Throws Error(kUnsupported)
// when the two do not fit together.
KeyFormat KeyFormatOf(ExpressionValue::Type type, uint16_t key_length, bool nullable);

// The key of a value. Throws Error(kUnsupported) for a NULL value in a tag
// that is not nullable, or a value the format cannot hold.
std::string EncodeKey(const ExpressionValue& value, const KeyFormat& format);

// The sortable bytes of a double, and of a 32-bit integer.
std::string OrderedDouble(double value);
std::string OrderedInteger(int32_t value);

}  // namespace fox
