#include "data/database/database_container.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "data/util/byte_order.h"
#include "data/util/error.h"
#include "data/file/file_names.h"
#include "data/table/memo_file.h"
#include "data/table/table.h"
#include "data/file/utf8_path.h"

namespace fox {

namespace {

constexpr uint32_t kDatabaseObjectId = 1;  // the Database object; tables and views hang from it
constexpr uint32_t kPathProperty = 1;
constexpr uint32_t kRecordsPerRead = 256;

// One live object record of the container.
struct ObjectRow {
  uint32_t id = 0;
  uint32_t parent = 0;
  std::string type;
  std::string name;
  uint32_t property_block = 0;
};

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
      rows.push_back(std::move(row));
    }
  }

  std::optional<MemoFile> memo;
  auto path_property = [&](const ObjectRow& row) -> std::string {
    const std::string what = "the table " + row.name;
    if (row.property_block == 0) throw corrupt(what + " has no properties");
    if (!memo) {
      auto memo_path = FindCompanionFile(path, ".dct");
      if (!memo_path) throw corrupt("its memo file (.dct) is missing");
      memo.emplace(*memo_path, MemoFormat::kFpt, DiskFile::Mode::kReadOnly, name);
    }
    // [u32 LE length incl. itself][u16 LE id size k][k-byte LE id][value]
    std::string data;
    try {
      data = memo->Read(row.property_block).data;
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kCorrupt) throw;
      throw corrupt("the properties of " + what + " cannot be read: " + e.what());
    }
    size_t at = 0;
    while (at + 6 <= data.size()) {
      uint32_t length = LoadLE32(data.data() + at);
      uint16_t id_size = LoadLE16(data.data() + at + 4);
      if (id_size == 0 || id_size > 4 || length < 6u + id_size || length > data.size() - at)
        throw corrupt("the properties of " + what + " are malformed");
      uint32_t id = 0;
      for (uint16_t k = 0; k < id_size; ++k)
        id |= uint32_t{static_cast<unsigned char>(data[at + 6 + k])} << (8 * k);
      if (id == kPathProperty) {
        std::string value = data.substr(at + 6 + id_size, length - 6 - id_size);
        value = value.substr(0, value.find('\0'));
        if (value.empty()) break;
        return code_page.Decode(value);
      }
      at += length;
    }
    throw corrupt(what + " has no file path");
  };

  std::map<uint32_t, std::vector<const ObjectRow*>> fields_by_parent;
  for (const ObjectRow& row : rows)
    if (EqualIgnoringCase(row.type, "Field")) fields_by_parent[row.parent].push_back(&row);

  for (const ObjectRow& row : rows) {
    if (row.parent != kDatabaseObjectId) continue;
    ContainerObject object;
    if (EqualIgnoringCase(row.type, "Table")) {
      object.kind = ContainerObject::Kind::kTable;
      object.stored_path = path_property(row);
    } else if (EqualIgnoringCase(row.type, "View")) {
      object.kind = ContainerObject::Kind::kView;
    } else {
      continue;
    }
    object.name = row.name;
    auto children = fields_by_parent[row.id];
    std::stable_sort(children.begin(), children.end(),
                     [](const ObjectRow* a, const ObjectRow* b) { return a->id < b->id; });
    for (const ObjectRow* field : children) object.field_names.push_back(field->name);
    objects_.push_back(std::move(object));
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
