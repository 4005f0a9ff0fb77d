#include "data/database/relation_key.h"

#include <climits>
#include <cstdint>
#include <cstring>

#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {

std::optional<std::string> RelationKey(const KeyFormat& format, std::string_view stored) {
  if (stored.size() != format.length) {
    throw Error(ErrorKind::kCorrupt, "a key of " + std::to_string(stored.size()) +
                                         " bytes in a tag whose keys have " + std::to_string(format.length));
  }
  if (format.nullable) {
    // 0x80 before a value; NULL is zeros throughout.
    if (stored.empty() || stored.front() != '\x80') return std::nullopt;
    stored.remove_prefix(1);
  }
  switch (format.kind) {
    case KeyFormat::Kind::kCharacter: {
      while (!stored.empty() && stored.back() == ' ') stored.remove_suffix(1);
      return "C" + std::string(stored);
    }
    case KeyFormat::Kind::kInteger: {
      const int32_t value = static_cast<int32_t>(LoadBE32(stored.data()) ^ 0x80000000u);
      return "N" + OrderedDouble(static_cast<double>(value));
    }
    case KeyFormat::Kind::kDouble:
      return "N" + std::string(stored);
    case KeyFormat::Kind::kLogical:
      return "L" + std::string(stored);
  }
  return std::nullopt;
}

std::optional<std::string> StoredKeyOf(const KeyFormat& format, std::string_view key) {
  std::string stored = format.nullable ? std::string(1, '\x80') : std::string();
  const size_t room = format.length - stored.size();
  if (key.empty() || format.length < stored.size()) return std::nullopt;
  const char kind = key.front();
  key.remove_prefix(1);
  switch (format.kind) {
    case KeyFormat::Kind::kCharacter:
      if (kind != 'C' || key.size() > room) return std::nullopt;
      stored += key;
      stored.append(room - key.size(), ' ');
      break;
    case KeyFormat::Kind::kInteger: {
      if (kind != 'N' || key.size() != 8 || room != 4) return std::nullopt;
      // The sortable double back to its bits: sign bit set for positives,
      // all bits inverted for negatives.
      uint64_t bits = uint64_t{LoadBE32(key.data())} << 32 | LoadBE32(key.data() + 4);
      bits = (bits & 0x8000000000000000ull) ? bits & ~0x8000000000000000ull : ~bits;
      double value;
      static_assert(sizeof value == sizeof bits);
      std::memcpy(&value, &bits, sizeof value);
      if (!(value >= INT32_MIN && value <= INT32_MAX) ||
          value != static_cast<double>(static_cast<int32_t>(value)))
        return std::nullopt;
      stored += OrderedInteger(static_cast<int32_t>(value));
      break;
    }
    case KeyFormat::Kind::kDouble:
    case KeyFormat::Kind::kLogical:
      if (kind != (format.kind == KeyFormat::Kind::kDouble ? 'N' : 'L') || key.size() != room)
        return std::nullopt;
      stored += key;
      break;
  }
  // Only a key that stands for `key` again.
  if (RelationKey(format, stored) != std::string(1, kind) + std::string(key)) return std::nullopt;
  return stored;
}

std::optional<std::string> RelationKeyIn(const Table& table, const IndexMaintainer::Tag& tag,
                                         std::string_view record, const IndexExpression::MemoValues* memos) {
  const std::optional<std::string> key = table.index_maintainer()->KeyOf(tag, record, memos);
  if (!key) return std::nullopt;
  return RelationKey(tag.format, *key);
}

bool IsEmptyRelationKey(std::string_view key) {
  static const std::string kZero = "N" + OrderedDouble(0);
  return key == "C" || key == kZero || key == "LF";
}

}  // namespace fox
