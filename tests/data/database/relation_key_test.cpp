// Relation keys: the keys of two tags of different stored forms (a null
// marker, another length, an integer or a double) compare by their values.
#include "data/database/relation_key.h"

#include <gtest/gtest.h>

#include "data/util/error.h"

namespace {

using fox::ExpressionValue;
using fox::KeyFormat;
using fox::KeyFormatOf;
using fox::RelationKey;
using Type = ExpressionValue::Type;

std::string Key(Type type, uint16_t length, bool nullable, const ExpressionValue& value) {
  const KeyFormat format = KeyFormatOf(type, length, nullable);
  return RelationKey(format, fox::EncodeKey(value, format)).value();
}

TEST(RelationKey, EqualValuesGiveEqualKeysWhateverTheTagsFormAndNullIsNoKey) {
  ExpressionValue alfki;
  alfki.type = Type::kCharacter;
  alfki.bytes = "ALFKI";
  EXPECT_EQ(Key(Type::kCharacter, 5, false, alfki), Key(Type::kCharacter, 11, true, alfki));
  ExpressionValue four;
  four.type = Type::kInteger;
  four.number = 4;
  ExpressionValue four_n = four;
  four_n.type = Type::kNumber;
  EXPECT_EQ(Key(Type::kInteger, 4, false, four), Key(Type::kInteger, 5, true, four));
  EXPECT_EQ(Key(Type::kInteger, 4, false, four), Key(Type::kNumber, 8, false, four_n));
  ExpressionValue minus = four;
  minus.number = -4;
  EXPECT_NE(Key(Type::kInteger, 4, false, minus), Key(Type::kInteger, 4, false, four));
  EXPECT_EQ(Key(Type::kInteger, 4, false, minus), Key(Type::kNumber, 9, true, minus));
  ExpressionValue four_c = alfki;
  four_c.bytes = "4";
  EXPECT_NE(Key(Type::kCharacter, 5, false, four_c), Key(Type::kInteger, 4, false, four));

  const KeyFormat nullable = KeyFormatOf(Type::kInteger, 5, true);
  EXPECT_EQ(RelationKey(nullable, std::string(5, '\0')), std::nullopt);
  EXPECT_THROW(RelationKey(nullable, std::string(4, '\0')), fox::Error);

  ExpressionValue blank = alfki;
  blank.bytes = "   ";
  ExpressionValue zero = four;
  zero.number = 0;
  EXPECT_TRUE(fox::IsEmptyRelationKey(Key(Type::kCharacter, 6, true, blank)));
  EXPECT_TRUE(fox::IsEmptyRelationKey(Key(Type::kInteger, 5, true, zero)));
  EXPECT_FALSE(fox::IsEmptyRelationKey(Key(Type::kInteger, 5, true, four)));
  EXPECT_FALSE(fox::IsEmptyRelationKey(Key(Type::kCharacter, 5, false, alfki)));
}

}  // namespace
