#include "data/database/database_container.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "data/database/container_properties.h"
#include "data/file/file_names.h"
#include "data/file/utf8_path.h"
#include "data/table/memo_file.h"
#include "data/table/table.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {

namespace {

constexpr uint32_t kDatabaseObjectId = 1;  // the Database object; tables and views hang from it
constexpr uint32_t kRecordsPerRead = 256;

// One live object record of the container.
struct ObjectRow {
  uint32_t id = 0;
  uint32_t parent = 0;
  std::string type;
  std::string name;
  uint32_t property_block = 0;
  std::string riinfo;
};

ContainerRelation::Rule RelationRule(char letter) {
  switch (letter) {
    case 'C':
    case 'c':
      return ContainerRelation::Rule::kCascade;
    case 'R':
    case 'r':
      return ContainerRelation::Rule::kRestrict;
    case 'I':
    case 'i':
    case ' ':
    case '\0':
      return ContainerRelation::Rule::kIgnore;
    default:
      return ContainerRelation::Rule::kUnknown;
  }
}

std::string TrimRight(std::string s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
  return s;
}

std::string BaseName(const std::string& path) { return Utf8FromPath(PathFromUtf8(path).stem()); }

}  // namespace

DatabaseContainer::DatabaseContainer(const std::string& path) : path_(path) {
  const std::string name = BaseName(path);
  auto corrupt = [&](const std::string& what) {
    return Error(ErrorKind::kCorrupt, "The database container \"" + path + "\" is damaged: " + what + ".");
  };

  Table::Options options;
  options.display_name = name;
  std::unique_ptr<Table> table;
  try {
    table = std::make_unique<Table>(path, options);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kUnsupported) throw;
    throw corrupt(e.what());
  }
  const TableHeader& header = table->header();

  // The columns every container has. Integers and memo pointers are read
  // straight from the record; their widths are checked here once.
  auto column = [&](const char* column_name, char type) -> const FieldDescriptor& {
    for (const FieldDescriptor& f : header.fields) {
      if (!EqualIgnoringCase(f.name, column_name)) continue;
      bool fits = f.type == type && (type == 'C' || f.length == 4) &&
                  uint32_t{f.offset} + f.length <= header.record_length;
      if (!fits) throw corrupt(std::string("its column ") + column_name + " has the wrong type or width");
      return f;
    }
    throw corrupt(std::string("it has no ") + column_name + " column");
  };
  const FieldDescriptor& id_field = column("OBJECTID", 'I');
  const FieldDescriptor& parent_field = column("PARENTID", 'I');
  const FieldDescriptor& type_field = column("OBJECTTYPE", 'C');
  const FieldDescriptor& name_field = column("OBJECTNAME", 'C');
  const FieldDescriptor& property_field = column("PROPERTY", 'M');
  // RIINFO holds the relations' rules; a container without it has none.
  const FieldDescriptor* riinfo_field = nullptr;
  for (const FieldDescriptor& f : header.fields)
    if (EqualIgnoringCase(f.name, "RIINFO") && f.type == 'C' &&
        uint32_t{f.offset} + f.length <= header.record_length)
      riinfo_field = &f;

  const CodePage& code_page = table->codec().code_page();
  auto text = [&](std::string_view record, const FieldDescriptor& f) {
    return code_page.Decode(TrimRight(std::string(record.substr(f.offset, f.length))));
  };

  std::vector<ObjectRow> rows;
  std::string buffer;
  const uint32_t count = table->record_count();
  for (uint32_t first = 1; first <= count; first += kRecordsPerRead) {
    uint32_t n = std::min(kRecordsPerRead, count - first + 1);
    table->ReadRecords(first, n, &buffer);
    for (uint32_t i = 0; i < n; ++i) {
      std::string_view record(buffer.data() + size_t{i} * header.record_length, header.record_length);
      if (table->IsDeleted(record)) continue;  // stale objects
      ObjectRow row;
      row.id = LoadLE32(record.data() + id_field.offset);
      row.parent = LoadLE32(record.data() + parent_field.offset);
      row.type = text(record, type_field);
      row.name = text(record, name_field);
      row.property_block = LoadLE32(record.data() + property_field.offset);
      if (riinfo_field)
        row.riinfo = TrimRight(std::string(record.substr(riinfo_field->offset, riinfo_field->length)));
      rows.push_back(std::move(row));
    }
  }

  std::optional<MemoFile> memo;
  // The properties of `row`, named `what` in errors; none when it has none.
  auto properties = [&](const ObjectRow& row, const std::string& what) -> ContainerProperties {
    if (row.property_block == 0) return ContainerProperties("", what);
    if (!memo) {
      auto memo_path = FindCompanionFile(path, ".dct");
      if (!memo_path) throw corrupt("its memo file (.dct) is missing");
      memo.emplace(*memo_path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, name);
    }
    std::string data;
    try {
      data = memo->Read(row.property_block).data;
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kCorrupt) throw;
      throw corrupt("the properties of " + what + " cannot be read: " + e.what());
    }
    try {
      return ContainerProperties(data, what);
    } catch (const Error& e) {
      throw corrupt(e.what());
    }
  };
  auto decoded = [&](const ContainerProperties& p, ContainerProperty id) {
    return code_page.Decode(p.Text(id));
  };
  auto rule = [&](const ContainerProperties& p) {
    return ContainerRule{decoded(p, ContainerProperty::kRuleExpression),
                         decoded(p, ContainerProperty::kRuleText)};
  };

  std::map<uint32_t, std::vector<const ObjectRow*>> fields_by_parent;
  for (const ObjectRow& row : rows)
    if (EqualIgnoringCase(row.type, "Field")) fields_by_parent[row.parent].push_back(&row);

  for (const ObjectRow& row : rows) {
    if (row.parent != kDatabaseObjectId) continue;
    ContainerObject object;
    if (EqualIgnoringCase(row.type, "Table")) {
      object.kind = ContainerObject::Kind::kTable;
      const std::string what = "the table " + row.name;
      if (row.property_block == 0) throw corrupt(what + " has no properties");
      const ContainerProperties p = properties(row, what);
      object.stored_path = decoded(p, ContainerProperty::kPath);
      if (object.stored_path.empty()) throw corrupt(what + " has no file path");
      object.record_rule = rule(p);
      object.insert_trigger = decoded(p, ContainerProperty::kInsertTrigger);
      object.update_trigger = decoded(p, ContainerProperty::kUpdateTrigger);
      object.delete_trigger = decoded(p, ContainerProperty::kDeleteTrigger);
    } else if (EqualIgnoringCase(row.type, "View")) {
      object.kind = ContainerObject::Kind::kView;
    } else {
      continue;
    }
    object.name = row.name;
    auto children = fields_by_parent[row.id];
    std::stable_sort(children.begin(), children.end(),
                     [](const ObjectRow* a, const ObjectRow* b) { return a->id < b->id; });
    for (const ObjectRow* field : children) {
      object.field_names.push_back(field->name);
      if (object.kind == ContainerObject::Kind::kTable)
        object.field_rules.push_back(rule(properties(*field, "the field " + row.name + "." + field->name)));
    }
    objects_.push_back(std::move(object));
  }

  // Relations hang from their child table.
  std::map<uint32_t, const ObjectRow*> by_id;
  for (const ObjectRow& row : rows) by_id[row.id] = &row;
  for (const ObjectRow& row : rows) {
    if (!EqualIgnoringCase(row.type, "Relation")) continue;
    auto child = by_id.find(row.parent);
    if (child == by_id.end() || !EqualIgnoringCase(child->second->type, "Table")) continue;  // stale
    ContainerRelation relation;
    relation.child_table = child->second->name;
    const ContainerProperties p =
        properties(row, "the relation " + row.name + " of the table " + relation.child_table);
    relation.child_tag = decoded(p, ContainerProperty::kChildTag);
    relation.parent_table = decoded(p, ContainerProperty::kParentTable);
    relation.parent_tag = decoded(p, ContainerProperty::kParentTag);
    relation.riinfo = row.riinfo;
    auto letter = [&](size_t i) { return i < row.riinfo.size() ? row.riinfo[i] : ' '; };
    relation.on_update = RelationRule(letter(0));
    relation.on_delete = RelationRule(letter(1));
    relation.on_insert = RelationRule(letter(2));
    relations_.push_back(std::move(relation));
  }
}

const ContainerObject* DatabaseContainer::FindTable(const std::string& name) const {
  for (const ContainerObject& object : objects_)
    if (object.kind == ContainerObject::Kind::kTable && EqualIgnoringCase(object.name, name)) return &object;
  return nullptr;
}

std::string DatabaseContainer::TableFilePath(const ContainerObject& table) const {
  if (table.kind != ContainerObject::Kind::kTable)
    throw Error(ErrorKind::kUsage,
                table.name + " is a view of database " + path_ + "; it has no table file.");
  std::string folder = Utf8FromPath(PathFromUtf8(path_).parent_path());
  if (folder.empty()) folder = ".";
  std::optional<std::string> file = ResolveStoredPath(folder, table.stored_path);
  std::error_code error;
  if (!file || !std::filesystem::is_regular_file(PathFromUtf8(*file), error))
    throw Error(ErrorKind::kNotFound, "The table " + table.name + " of database \"" + path_ +
                                          "\" is missing: no file \"" + table.stored_path + "\" in \"" +
                                          folder + "\".");
  return *file;
}

}  // namespace fox
