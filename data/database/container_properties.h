// The PROPERTY memo of a database container's object: the properties Visual
// FoxPro keeps for a table, field, index or relation, decoded.
//
// The memo is a run of entries [u32 LE length, itself included][u16 LE size k
// of the id][k-byte LE id][value]; text values end with a NUL. The ids read
// here were checked against containers made by Visual FoxPro (the fixtures
// foxbin2prg/fb2p_dbc.dbc and ruby-dbf/foxprodb): a field's rule
// ".NOT.EMPTY(nombre)" is id 9 and its text "El nombre está vacío" (quotes
// included) id 10; a table's rule "edad>10" id 9, its text id 10, its
// triggers "__ri_insert_...()" id 14, "__ri_update_...()" id 15,
// "del_trg()" id 16; a relation (whose parent object is the child table)
// holds its child tag in id 13, the parent table in 18, the parent tag in 19.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace fox {

enum class ContainerProperty : uint32_t {
  kPath = 1,            // a table's file, relative to the container
  kRuleExpression = 9,  // a field's or table's validation rule
  kRuleText = 10,       // the message of that rule, itself an expression
  kChildTag = 13,       // a relation's tag in the child table
  kInsertTrigger = 14,  // a table's triggers
  kUpdateTrigger = 15,
  kDeleteTrigger = 16,
  kParentTable = 18,  // a relation's parent table
  kParentTag = 19,    // a relation's tag in the parent table
};

class ContainerProperties {
 public:
  // Decodes `memo`. Throws Error(kCorrupt) saying that the properties of
  // `what` ("the table orders") are malformed when an entry does not fit.
  ContainerProperties(std::string_view memo, const std::string& what);

  // The value of `id` as stored up to its first NUL (code-page bytes of the
  // container), "" when the object does not have it.
  std::string Text(ContainerProperty id) const;
  bool Has(ContainerProperty id) const { return values_.count(static_cast<uint32_t>(id)) != 0; }

 private:
  std::map<uint32_t, std::string> values_;  // by id: the raw value; the first entry of an id wins
};

}  // namespace fox
