#include "engine/check_run.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <unordered_set>
#include <utility>

#include "base/error.h"
#include "data/database/relation_key.h"
#include "data/file/file_names.h"
#include "data/file/repair_marker.h"
#include "data/file/utf8_path.h"

namespace quillon {
namespace {

// Why the structural index of a table opened without one cannot be read; ""
// when the table has none.
std::string IndexTrouble(const fox::Table& table) {
  if (!table.header().has_structural_index()) return "";
  if (!table.missing_index().empty())
    return "its structural index \"" + table.missing_index() + "\" is missing";
  const std::string& path = table.path();
  const bool container = path.size() >= 4 && fox::EqualIgnoringCase(path.substr(path.size() - 4), ".dbc");
  const std::optional<std::string> index = fox::FindCompanionFile(path, container ? ".dcx" : ".cdx");
  if (!index) return "its structural index is missing";
  try {
    fox::CompoundIndex probe(*index, table.name());
  } catch (const std::exception& e) {
    return std::string("its structural index cannot be read: ") + e.what();
  }
  return "its structural index cannot be read";
}

// The records of a database's table that already break one of the
// container's rules, one RuleCheck per rule broken in the order first met;
// a rule Quillon cannot evaluate is told once.
std::vector<RuleCheck> CheckRules(const fox::Connection& connection, const std::string& name,
                                  const fox::Table& table) {
  const std::unique_ptr<fox::TableRules> rules = connection.RulesOf(name, table);
  if (!rules) return {};
  std::vector<RuleCheck> broken;
  std::vector<size_t> every(table.field_count());
  for (size_t c = 0; c < every.size(); ++c) every[c] = c;
  table.VisitRecords([&](uint32_t recno, std::string_view record) {
    if (table.IsDeleted(record)) return;
    for (fox::RuleRefusal& refusal : rules->Check(record, every)) {
      auto at = std::find_if(broken.begin(), broken.end(),
                             [&](const RuleCheck& b) { return b.rule == refusal.rule; });
      if (at == broken.end()) {
        at = broken.insert(broken.end(), RuleCheck{std::move(refusal.rule),
                                                   std::move(refusal.expression),
                                                   std::move(refusal.message),
                                                   refusal.kind != fox::RuleRefusal::Kind::kCannotEvaluate,
                                                   0,
                                                   {}});
      }
      if (at->first.size() < TableCheck::kFirstRecords) at->first.push_back(recno);
      ++at->records;
    }
  });
  return broken;
}

// The relation keys `table` holds in its tag `tag_name` (relation_key.h) for
// each live record the tag's FOR clause takes in and whose key is not NULL.
// Throws Error(kCorrupt) when the tag's keys cannot be worked out.
std::vector<std::pair<uint32_t, std::string>> KeysIn(const fox::Table& table, const std::string& tag_name) {
  const fox::IndexMaintainer* maintainer = table.index_maintainer();
  const fox::IndexMaintainer::Tag* tag = nullptr;
  if (maintainer) {
    for (const auto& t : maintainer->tags()) {
      if (fox::EqualIgnoringCase(t.header.name, tag_name)) tag = &t;
    }
  }
  if (!tag || !tag->key) {
    throw Error(ErrorKind::kCorrupt, "the keys of its tag " + tag_name + " cannot be worked out");
  }
  std::vector<std::pair<uint32_t, std::string>> keys;
  table.VisitRecords([&](uint32_t recno, std::string_view record) {
    if (table.IsDeleted(record)) return;
    std::optional<std::string> key = fox::RelationKeyIn(table, *tag, record);
    if (key) keys.emplace_back(recno, std::move(*key));
  });
  return keys;
}

// The relations in which a database's table is the child and whose key some
// of its records hold with no parent record holding it, or that could not
// be checked. Such a record breaks the relation when it declares
// referential integrity (any rule other than ignore). A child whose key is
// NULL or empty (relation_key.h) has no parent and needs none.
std::vector<RelationCheck> CheckRelationKeys(const fox::Connection& connection, const std::string& name,
                                             const fox::Table& table) {
  const std::unique_ptr<fox::TableRules> rules = connection.RulesOf(name, table);
  if (!rules) return {};
  std::vector<RelationCheck> found;
  for (const fox::ContainerRelation& relation : rules->as_child()) {
    using Rule = fox::ContainerRelation::Rule;
    RelationCheck check{relation.parent_table,
                        relation.child_tag,
                        relation.on_update != Rule::kIgnore || relation.on_delete != Rule::kIgnore ||
                            relation.on_insert != Rule::kIgnore,
                        "",
                        0,
                        {}};
    try {
      const std::unique_ptr<fox::Table> parent =
          connection.OpenTable(relation.parent_table, fox::DiskFile::Mode::kReadOnly);
      std::unordered_set<std::string> parents;
      for (auto& [recno, key] : KeysIn(*parent, relation.parent_tag)) parents.insert(std::move(key));
      for (const auto& [recno, key] : KeysIn(table, relation.child_tag)) {
        if (fox::IsEmptyRelationKey(key) || parents.count(key) != 0) continue;
        if (check.first.size() < TableCheck::kFirstRecords) check.first.push_back(recno);
        ++check.orphans;
      }
    } catch (const std::exception& e) {
      check.not_checked = e.what();
      check.orphans = 0;
      check.first.clear();
    }
    if (check.orphans > 0 || !check.not_checked.empty()) found.push_back(std::move(check));
  }
  return found;
}

}  // namespace

bool TableCheck::clean() const {
  if (cannot_check) return false;
  for (const RuleCheck& rule : rules) {
    if (rule.evaluated) return false;
  }
  for (const RelationCheck& relation : relations) {
    if (relation.declared && relation.orphans > 0) return false;
  }
  return std::all_of(tags.begin(), tags.end(), [](const fox::TagCheck& tag) { return tag.consistent(); });
}

CheckRun::CheckRun(const DataSource& source) {
  connection_.ignore_container = source.ignore_container;
  connection_.Open(ConnectionStringOf(source));
}

TableCheck CheckRun::Check(const std::string& name) const {
  TableCheck check;
  check.table = name;
  try {
    const std::unique_ptr<fox::Table> table = connection_.OpenTable(name, fox::DiskFile::Mode::kReadOnly);
    std::error_code ignored;
    check.run_interrupted =
        std::filesystem::exists(fox::PathFromUtf8(fox::RepairMarker::PathFor(table->path())), ignored);
    check.rules = CheckRules(connection_, name, *table);
    check.relations = CheckRelationKeys(connection_, name, *table);
    if (!table->index_maintainer()) {
      const std::string trouble = IndexTrouble(*table);
      if (!trouble.empty()) check.cannot_check = trouble;
      return check;
    }
    check.tags = fox::CheckIndex(*table);
    check.has_index = true;
  } catch (const std::exception& e) {
    check.cannot_check = e.what();
  }
  return check;
}

}  // namespace quillon
