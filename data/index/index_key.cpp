#include "data/index/index_key.h"

#include <cmath>
#include <cstring>

#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {

using Type = ExpressionValue::Type;

std::string OrderedDouble(double value) {
  if (value == 0) value = 0;  // -0 sorts with +0
  uint64_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  bits = (bits >> 63) ? ~bits : bits | (uint64_t{1} << 63);
  std::string out(8, '\0');
  StoreBE32(out.data(), static_cast<uint32_t>(bits >> 32));
  StoreBE32(out.data() + 4, static_cast<uint32_t>(bits));
  return out;
}

std::string OrderedInteger(int32_t value) {
  std::string out(4, '\0');
  StoreBE32(out.data(), static_cast<uint32_t>(value) ^ 0x80000000u);
  return out;
}

KeyFormat KeyFormatOf(Type type, uint16_t key_length, bool nullable) {
  KeyFormat f;
  f.length = key_length;
  f.nullable = nullable;
  const int value_length = key_length - (nullable ? 1 : 0);
  auto mismatch = [&]() {
    throw Error(ErrorKind::kUnsupported, "its key length " + std::to_string(key_length) +
                                             " does not fit a key of type " +
                                             std::string(1, static_cast<char>(type)));
  };
  switch (type) {
    case Type::kCharacter:
      f.kind = KeyFormat::Kind::kCharacter;
      if (value_length < 1) mismatch();
      break;
    case Type::kInteger:
      if (value_length != 4 && value_length != 8) mismatch();
      f.kind = value_length == 4 ? KeyFormat::Kind::kInteger : KeyFormat::Kind::kDouble;
      break;
    case Type::kNumber:
    case Type::kDate:
    case Type::kDateTime:
      if (value_length != 8) mismatch();
      f.kind = KeyFormat::Kind::kDouble;
      break;
    case Type::kLogical:
      if (value_length != 1) mismatch();
      f.kind = KeyFormat::Kind::kLogical;
      break;
    case Type::kNull:
      mismatch();
  }
  return f;
}

std::string EncodeKey(const ExpressionValue& v, const KeyFormat& f) {
  if (v.null()) {
    if (!f.nullable) throw Error(ErrorKind::kUnsupported, "the key is NULL but the tag holds no NULL keys");
    return std::string(f.length, '\0');
  }
  const size_t length = f.length - (f.nullable ? 1 : 0);
  std::string key;
  switch (f.kind) {
    case KeyFormat::Kind::kCharacter:
      if (v.type != Type::kCharacter) break;
      key = v.bytes.substr(0, length);
      key.resize(length, ' ');
      break;
    case KeyFormat::Kind::kInteger:
      if (v.type != Type::kInteger) break;
      key = OrderedInteger(static_cast<int32_t>(v.number));
      break;
    case KeyFormat::Kind::kDouble:
      if (v.type == Type::kNumber || v.type == Type::kInteger) {
        if (!std::isfinite(v.number)) throw Error(ErrorKind::kUnsupported, "the key is not a finite number");
        key = OrderedDouble(v.number);
      } else if (v.type == Type::kDate) {
        key = OrderedDouble(static_cast<double>(v.day));
      } else if (v.type == Type::kDateTime) {
        // Keys of datetimes at midnight are the day number; how the time of
        // day is added to it has not been seen in files written by FoxPro.
        if (v.millisecond != 0)
          throw Error(ErrorKind::kUnsupported,
                      "the key is a datetime with a time of day, whose stored form is not known");
        key = OrderedDouble(static_cast<double>(v.day));
      }
      break;
    case KeyFormat::Kind::kLogical:
      if (v.type == Type::kLogical) key = v.logical ? "T" : "F";
      break;
  }
  if (key.size() != length)
    throw Error(ErrorKind::kUnsupported, "a value of type " + std::string(1, static_cast<char>(v.type)) +
                                             " does not fit the tag's key");
  return f.nullable ? "\x80" + key : key;
}

}  // namespace fox
