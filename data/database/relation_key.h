// The key by which a container's relation matches a child record to its
// parent record: the value the two tags' keys stand for, compared as FoxPro
// compares the key values, whatever each tag's own stored form.
//
// A tag stores its key in a form of its own (index_key.h): a tag on a
// nullable field puts a null-marker byte before every key and stores NULL as
// zeros; character keys are padded with blanks to the tag's length; a bare
// integer field in a 4-byte key is stored as an integer, other numbers as
// doubles. A relation between a tag of one form and one of another (a
// primary key that cannot be null, a child's key field that can) must see
// equal values as equal keys, so a relation key is the value alone: its kind
// ('C' character, 'N' number or date, 'L' logical) followed by the character
// bytes with trailing blanks cut, the number as a sortable double, or the
// logical's "T" or "F". A NULL key is no key: it has no parent and needs
// none.
//
// Plain functions over values; they own nothing.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "data/index/index_key.h"
#include "data/table/table.h"

namespace fox {

// The relation key of `stored`, a key in the tag format `format` as
// IndexMaintainer::KeyOf gives it (full length, marker included); nothing
// for a NULL key. Throws Error(kCorrupt) when `stored` does not have the
// format's length.
std::optional<std::string> RelationKey(const KeyFormat& format, std::string_view stored);

// The key a tag of format `format` stores for the relation key `key`, the
// one RelationKey turns back into it; nothing when no key of the format
// stands for it (a character key longer than the tag's, a number a 4-byte
// integer key cannot hold, a value of another kind).
std::optional<std::string> StoredKeyOf(const KeyFormat& format, std::string_view key);

// The relation key of `record` in `tag` of `table` (with `memos`, memo values
// not yet written); nothing when the tag's FOR clause leaves the record out
// or the key is NULL. Throws what IndexMaintainer::KeyOf throws; the table
// must have a structural index.
std::optional<std::string> RelationKeyIn(const Table& table, const IndexMaintainer::Tag& tag,
                                         std::string_view record,
                                         const IndexExpression::MemoValues* memos = nullptr);

// Whether a relation key is an empty value, as FoxPro's EMPTY() says: blanks,
// zero or an empty date, .F.
bool IsEmptyRelationKey(std::string_view key);

}  // namespace fox
