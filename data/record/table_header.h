// The header of a table file (.dbf): file header, field descriptors and, for
// Visual FoxPro tables, the database backlink.
//
// Layout: 32-byte file header; one 32-byte descriptor per field (the hidden
// _NullFlags field included) ended by 0x0D; for Visual FoxPro signatures the
// 263-byte backlink naming the owning database container (all NUL for a free
// table). Records start at header_length; each begins with the deletion flag.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fox {

class DiskFile;

enum class MemoFormat {
  kNone,
  kFpt,       // FoxPro .fpt: 512-byte header, typed blocks
  kDbaseIII,  // dBase III .dbt: 512-byte blocks ended by 0x1A 0x1A
  kDbaseIV,   // dBase IV .dbt: blocks with an FF FF 08 00 header
};

struct FieldDescriptor {
  std::string name;     // as stored: up to 10 characters, upper case
  char type = 'C';      // C V N F D T L M G W Q I Y B P 0
  uint32_t offset = 0;  // of the field's first byte within the record
  uint16_t length = 0;  // bytes; Clipper-style long C fields exceed 255
  uint8_t decimals = 0;
  uint8_t flags = 0;  // Visual FoxPro tables only; 0 elsewhere
  uint32_t autoincrement_next = 0;
  uint8_t autoincrement_step = 0;
  int null_bit = -1;       // bit in _NullFlags that marks NULL, -1 if none
  int varlength_bit = -1;  // bit in _NullFlags that marks a short V/Q value

  static constexpr uint8_t kSystem = 0x01;
  static constexpr uint8_t kNullable = 0x02;
  static constexpr uint8_t kBinary = 0x04;
  static constexpr uint8_t kAutoincrement = 0x08;

  bool system() const { return flags & kSystem; }
  bool nullable() const { return flags & kNullable; }
  bool binary() const { return flags & kBinary; }
  bool autoincrement() const { return flags & kAutoincrement; }
  // Memo-pointer fields: M, G, W, P.
  bool is_memo() const { return type == 'M' || type == 'G' || type == 'W' || type == 'P'; }
};

struct TableHeader {
  uint8_t signature = 0;
  int last_update_year = 0;  // as stored: year modulo 100
  int last_update_month = 0;
  int last_update_day = 0;
  uint32_t record_count = 0;
  uint16_t header_length = 0;
  uint16_t record_length = 0;
  uint8_t flags = 0;
  uint8_t code_page_mark = 0;
  std::vector<FieldDescriptor> fields;  // every descriptor, _NullFlags included
  int null_flags_index = -1;            // index of _NullFlags in fields, -1 if none
  std::string backlink;                 // database container path, "" for free tables

  static constexpr uint8_t kHasStructuralIndex = 0x01;
  static constexpr uint8_t kHasMemo = 0x02;
  static constexpr uint8_t kIsDatabase = 0x04;

  // Reads and validates the header of `file`. `table` names the table in
  // error messages. Throws Error(kUnsupported) for signatures the library
  // does not handle and Error(kCorrupt) for a malformed or truncated header
  // or a file whose size disagrees with the record count.
  static TableHeader Read(const DiskFile& file, const std::string& table);

  bool visual_foxpro() const { return signature == 0x30 || signature == 0x31 || signature == 0x32; }
  bool has_structural_index() const { return flags & kHasStructuralIndex; }
  bool has_memo_fields() const;
  MemoFormat memo_format() const;
  uint64_t record_offset(uint32_t recno) const {  // recno counts from 1
    return header_length + static_cast<uint64_t>(recno - 1) * record_length;
  }
};

}  // namespace fox
