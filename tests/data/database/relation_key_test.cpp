// Relation keys: the keys of two tags of different stored forms (a null
// marker, another length, an integer or a double) compare by their values,
// and a relation key turns back into the key a tag stores for it.
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

// A tag is looked up on disk by the key it stores for another table's
// relation key: each form gives back the very bytes its records' keys have
// (a wrong byte would find no record and leave children behind), and a key
// no record of the form can hold finds none.
TEST(RelationKey, TurnsBackIntoTheKeyEachFormStores) {
  ExpressionValue alfki;
  alfki.type = Type::kCharacter;
  alfki.bytes = "ALFKI";
  ExpressionValue minus;
  minus.type = Type::kInteger;
  minus.number = -4;
  ExpressionValue minus_n = minus;
  minus_n.type = Type::kNumber;
  ExpressionValue half = minus_n;
  half.number = 2.5;
  ExpressionValue yes;
  yes.type = Type::kLogical;
  yes.logical = true;
  const struct {
    Type type;
    uint16_t length;
    bool nullable;
    const ExpressionValue& value;
  } forms[] = {{Type::kCharacter, 8, false, alfki}, {Type::kCharacter, 9, true, alfki},
               {Type::kInteger, 4, false, minus},   {Type::kInteger, 5, true, minus},
               {Type::kNumber, 8, false, minus_n},  {Type::kNumber, 9, true, half},
               {Type::kLogical, 1, false, yes}};
  for (const auto& form : forms) {
    const KeyFormat format = KeyFormatOf(form.type, form.length, form.nullable);
    const std::string stored = fox::EncodeKey(form.value, format);
    EXPECT_EQ(fox::StoredKeyOf(format, RelationKey(format, stored).value()), stored)
        << static_cast<char>(form.type) << form.length;
  }
  // The same value from a tag of another form.
  EXPECT_EQ(fox::StoredKeyOf(KeyFormatOf(Type::kInteger, 5, true), Key(Type::kNumber, 8, false, minus_n)),
            fox::EncodeKey(minus, KeyFormatOf(Type::kInteger, 5, true)));
  EXPECT_EQ(fox::StoredKeyOf(KeyFormatOf(Type::kCharacter, 4, false), Key(Type::kCharacter, 8, false, alfki)),
            std::nullopt);
  EXPECT_EQ(fox::StoredKeyOf(KeyFormatOf(Type::kInteger, 4, false), Key(Type::kNumber, 8, false, half)),
            std::nullopt);
  EXPECT_EQ(fox::StoredKeyOf(KeyFormatOf(Type::kInteger, 4, false), Key(Type::kCharacter, 8, false, alfki)),
            std::nullopt);
}

}  // namespace
