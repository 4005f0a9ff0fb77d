#include "data/database/relation_key.h"

#include <cstdint>

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
