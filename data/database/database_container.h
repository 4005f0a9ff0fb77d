// A database container (.dbc): the Visual FoxPro table that lists the tables
// and views of a database, with their file paths, long field names, the
// validation rules and triggers of tables and fields, and the relations
// between tables with their referential-integrity rules.
//
// The container is an ordinary table (memo .dct, index .dcx) of objects:
// OBJECTID, PARENTID, OBJECTTYPE ("Table", "View", "Field", "Relation", ...),
// OBJECTNAME, a PROPERTY memo (container_properties.h) and RIINFO, the
// update, delete and insert rules of a relation. Deleted objects are stale
// and ignored. The container is only ever read.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace fox {

// A validation rule: the expression that must give .T. and the expression
// of its message (usually a quoted string), as stored, in UTF-8; both ""
// when there is none.
struct ContainerRule {
  std::string expression;
  std::string text;
  bool empty() const { return expression.empty(); }
};

struct ContainerObject {
  enum class Kind { kTable, kView };
  Kind kind = Kind::kTable;
  std::string name;                      // long name as stored (lower case in practice)
  std::string stored_path;               // property 1 as stored, "" for views
  std::vector<std::string> field_names;  // long field names in column order
  // Tables: the rule of each field, in the order of field_names; the
  // record's rule; the trigger expressions ("" for none), as stored.
  std::vector<ContainerRule> field_rules;
  ContainerRule record_rule;
  std::string insert_trigger;
  std::string update_trigger;
  std::string delete_trigger;
};

// A persistent relation between two tables of the container, with the
// referential-integrity rules FoxPro's RI builder recorded for it.
struct ContainerRelation {
  // RIINFO letters: C cascade, R restrict, I or blank ignore. kUnknown for
  // any other letter, which a caller must not take for any of these.
  enum class Rule { kIgnore, kCascade, kRestrict, kUnknown };
  std::string parent_table;  // as stored (its case may differ from the table's name)
  std::string parent_tag;
  std::string child_table;  // the table that owns the relation object
  std::string child_tag;
  Rule on_update = Rule::kIgnore;
  Rule on_delete = Rule::kIgnore;
  Rule on_insert = Rule::kIgnore;
  std::string riinfo;  // the RIINFO column as stored, trailing blanks cut
};

class DatabaseContainer {
 public:
  // Reads the container at `path`. Throws Error(kNotFound) when it does not
  // exist and Error(kCorrupt) when it is not a well-formed container.
  explicit DatabaseContainer(const std::string& path);

  const std::string& path() const { return path_; }

  // Tables and views in container order.
  const std::vector<ContainerObject>& objects() const { return objects_; }

  // The relations between the container's tables, in container order.
  const std::vector<ContainerRelation>& relations() const { return relations_; }

  // The table called `name` (compared ignoring case), or nothing.
  const ContainerObject* FindTable(const std::string& name) const;

  // The table file of `table`: its stored path resolved against the
  // container's folder, "\" read as a separator, names matched ignoring case.
  // Throws Error(kNotFound) naming the table and the path when it is missing.
  std::string TableFilePath(const ContainerObject& table) const;

 private:
  std::string path_;
  std::vector<ContainerObject> objects_;
  std::vector<ContainerRelation> relations_;
};

}  // namespace fox
