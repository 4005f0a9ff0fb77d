#include "data/record/table_header.h"

#include <cstring>

#include "data/file/disk_file.h"
#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {
namespace {

constexpr size_t kFileHeaderSize = 32;
constexpr size_t kDescriptorSize = 32;
constexpr size_t kBacklinkSize = 263;

std::string Hex(unsigned value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s = "0x";
  s += digits[(value >> 4) & 0xF];
  s += digits[value & 0xF];
  return s;
}

bool SignatureSupported(uint8_t signature) {
  switch (signature) {
    case 0x30:
    case 0x31:
    case 0x32:  // Visual FoxPro
    case 0x03:  // FoxBASE+/FoxPro/dBase III without memo
    case 0x83:  // dBase III with .dbt memo
    case 0xF5:
    case 0xFB:  // FoxPro 2.x / FoxBASE with .fpt memo
    case 0x8B:  // dBase IV with .dbt memo
      return true;
    default:
      return false;
  }
}

// Checks a field's type and length; `table` and the field name go into the
// message. Fixed-size types must have their one valid length.
void ValidateField(const FieldDescriptor& f, bool visual_foxpro, const std::string& table) {
  auto bad = [&](const std::string& why) {
    throw Error(ErrorKind::kCorrupt,
                "Table '" + table + "' has a malformed header: field '" + f.name + "' " + why + ".");
  };
  auto expect_length = [&](unsigned n) {
    if (f.length != n)
      bad("of type " + std::string(1, f.type) + " has length " + std::to_string(f.length) + " instead of " +
          std::to_string(n));
  };
  switch (f.type) {
    case 'C':
    case 'V':
    case 'Q':
    case '0':
      if (f.length == 0) bad("has length 0");
      break;
    case 'N':
    case 'F':
      if (f.length == 0 || f.length > 32) bad("has an impossible numeric width " + std::to_string(f.length));
      break;
    case 'D':
    case 'T':
    case 'Y':
    case 'B':
      expect_length(8);
      break;
    case 'L':
      expect_length(1);
      break;
    case 'I':
      expect_length(4);
      break;
    case 'M':
    case 'G':
    case 'W':
    case 'P':
      if (f.length != 4 && f.length != 10)
        bad("is a memo field with pointer length " + std::to_string(f.length));
      break;
    default:
      throw Error(ErrorKind::kUnsupported, "Table '" + table + "' has field '" + f.name + "' of type '" +
                                               std::string(1, f.type) + "', which Quillon does not handle.");
  }
  if (!visual_foxpro && (f.type == 'V' || f.type == 'Q' || f.type == 'W' || f.type == '0')) {
    bad("has a Visual FoxPro type in a table that is not a Visual FoxPro table");
  }
}

}  // namespace

TableHeader TableHeader::Read(const DiskFile& file, const std::string& table) {
  const uint64_t size = file.Size();
  unsigned char head[kFileHeaderSize];
  if (size < kFileHeaderSize) {
    throw Error(ErrorKind::kCorrupt, "Table '" + table + "' is not a table: the file '" + file.path() +
                                         "' is only " + std::to_string(size) + " bytes long.");
  }
  file.ReadExactAt(0, head, sizeof head, "the table header");

  TableHeader h;
  h.signature = head[0];
  if (!SignatureSupported(h.signature)) {
    throw Error(ErrorKind::kUnsupported,
                "Table '" + table + "' has file type " + Hex(h.signature) +
                    ", which is not a FoxPro or dBase III/IV table that Quillon can handle.");
  }
  h.last_update_year = head[1];
  h.last_update_month = head[2];
  h.last_update_day = head[3];
  h.record_count = LoadLE32(head + 4);
  h.header_length = LoadLE16(head + 8);
  h.record_length = LoadLE16(head + 10);
  h.flags = head[28];
  h.code_page_mark = head[29];

  auto corrupt = [&](const std::string& why) {
    throw Error(ErrorKind::kCorrupt, "Table '" + table + "' has a malformed header: " + why + ".");
  };
  if (h.header_length < kFileHeaderSize + 1)
    corrupt("the header length is " + std::to_string(h.header_length));
  if (h.header_length > size) corrupt("the header is longer than the file");
  if (h.record_length < 1) corrupt("the record length is 0");

  std::string raw(h.header_length, '\0');
  file.ReadExactAt(0, raw.data(), raw.size(), "the table header");

  const bool vfp = h.visual_foxpro();
  size_t pos = kFileHeaderSize;
  size_t terminator = 0;
  uint32_t next_offset = 1;
  while (pos + kDescriptorSize <= h.header_length) {
    const unsigned char* d = reinterpret_cast<const unsigned char*>(raw.data()) + pos;
    if (d[0] == 0x0D) {
      terminator = pos;
      break;
    }
    FieldDescriptor f;
    size_t name_length = strnlen(reinterpret_cast<const char*>(d), 11);
    f.name.assign(reinterpret_cast<const char*>(d), name_length);
    f.type = static_cast<char>(d[11]);
    f.length = d[16];
    f.decimals = d[17];
    if (f.type == 'C' && !vfp && f.decimals != 0) {  // Clipper stores long C lengths this way
      f.length = static_cast<uint16_t>(f.length + 256 * f.decimals);
      f.decimals = 0;
    }
    if (vfp) {
      f.flags = d[18];
      f.autoincrement_next = LoadLE32(d + 19);
      f.autoincrement_step = d[23];
      uint32_t stored = LoadLE32(d + 12);
      if (stored != next_offset) {
        corrupt("field '" + f.name + "' is placed at byte " + std::to_string(stored) + " instead of " +
                std::to_string(next_offset));
      }
    }
    if (f.name.empty()) corrupt("a field has no name");
    ValidateField(f, vfp, table);
    f.offset = next_offset;
    next_offset += f.length;
    h.fields.push_back(std::move(f));
    pos += kDescriptorSize;
  }
  if (next_offset > h.record_length) {
    corrupt("the fields need " + std::to_string(next_offset) + " bytes but a record has " +
            std::to_string(h.record_length));
  }
  if (vfp && terminator == 0) corrupt("the field list is not terminated");
  if (vfp && terminator + 1 + kBacklinkSize <= h.header_length) {
    const char* link = raw.data() + terminator + 1;
    h.backlink.assign(link, strnlen(link, kBacklinkSize));
  }

  // _NullFlags bits: per field in order, a length bit for V/Q, then a null bit.
  int bit = 0;
  for (size_t i = 0; i < h.fields.size(); ++i) {
    FieldDescriptor& f = h.fields[i];
    if (f.type == '0') {
      if (h.null_flags_index >= 0) corrupt("it has two _NullFlags fields");
      h.null_flags_index = static_cast<int>(i);
      continue;
    }
    if (f.type == 'V' || f.type == 'Q') f.varlength_bit = bit++;
    if (f.nullable()) f.null_bit = bit++;
  }
  if (bit > 0) {
    if (h.null_flags_index < 0) corrupt("it has nullable or variable-length fields but no _NullFlags field");
    if (bit > 8 * h.fields[h.null_flags_index].length) corrupt("the _NullFlags field is too short");
  }

  const uint64_t data_size = static_cast<uint64_t>(h.record_count) * h.record_length;
  if (size < h.header_length + data_size) {
    throw Error(ErrorKind::kCorrupt, "Table '" + table + "' is damaged: its header counts " +
                                         std::to_string(h.record_count) +
                                         " records but the file ends after " +
                                         std::to_string((size - h.header_length) / h.record_length) + ".");
  }
  return h;
}

bool TableHeader::has_memo_fields() const {
  for (const auto& f : fields) {
    if (f.is_memo()) return true;
  }
  return false;
}

MemoFormat TableHeader::memo_format() const {
  if (!has_memo_fields()) return MemoFormat::kNone;
  if (signature == 0x83) return MemoFormat::kDbaseIII;
  if (signature == 0x8B) return MemoFormat::kDbaseIV;
  return MemoFormat::kFpt;
}

}  // namespace fox
