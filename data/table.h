// An open table: its file, memo file and structural index, with the record
// reads, text forms and the one save path through which every change goes.
//
// Saving is optimistic. Each edit remembers the record bytes as read; saving
// locks the record the way Visual FoxPro does (one byte at 0x7FFFFFFE - n in
// the table file), re-reads it, and refuses with Error(kConflict) if another
// program changed it meanwhile, keeping that program's change. Changed memo
// values are appended to the memo file and made durable before the record that
// points at them is written, so a crash leaves the old value or the new one.
// Only the record's bytes and the header's last-update date are written.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "data/compound_index.h"
#include "data/error.h"
#include "data/disk_file.h"
#include "data/field_codec.h"
#include "data/memo_file.h"
#include "data/table_header.h"

namespace fox {

class Table {
 public:
  struct Options {
    DiskFile::Mode mode = DiskFile::Mode::kReadOnly;
    std::string display_name;             // name used in messages; default: file base name
    std::vector<std::string> long_names;  // container long field names, column order
  };

  // Opens the table file at `path` with its memo file and structural index.
  // Throws Error: kNotFound, kReadOnly, kCorrupt, kUnsupported.
  Table(const std::string& path, const Options& options);
  ~Table();

  const std::string& name() const { return name_; }
  const std::string& path() const { return path_; }
  const TableHeader& header() const { return header_; }
  const FieldCodec& codec() const { return codec_; }

  // Record count when the table was opened; later appends are not seen.
  uint32_t record_count() const { return record_count_; }

  // The fields a user sees (system fields such as _NullFlags left out).
  size_t field_count() const { return visible_.size(); }
  const FieldDescriptor& field(size_t column) const { return header_.fields[visible_[column]]; }
  // Lower-case field name: the container's long name for database tables.
  const std::string& field_name(size_t column) const { return names_[column]; }

  // Reads `count` whole records starting at `first` (1-based) into `out`.
  void ReadRecords(uint32_t first, uint32_t count, std::string* out) const;

  bool IsDeleted(std::string_view record) const { return !record.empty() && record[0] == '*'; }

  // A record being edited: the bytes as read, the bytes as changed, and the
  // memo values that saving will append.
  struct Edit {
    uint32_t recno = 0;
    std::string original;
    std::string working;
    std::map<size_t, std::string> memo_text;  // column -> new encoded memo data
    bool changed() const { return !memo_text.empty() || working != original; }
  };

  // The text form of a column of an edited record; nothing for NULL and for
  // values without a text form. Throws Error(kCorrupt) for unreadable values.
  std::optional<std::string> Text(const Edit& edit, size_t column) const;

  // Whether the text form of a column contains `text` (compared exactly):
  // the same answer as Text(edit, column) holding `text`, false for NULL and
  // for values without a text form. Character and memo values of single-byte
  // code pages are searched in their stored bytes, without being decoded.
  // Throws like Text.
  bool Contains(const Edit& edit, size_t column, const std::string& text) const;

  // Assigns the text to a column. Assigning the column's current text form
  // changes nothing. Throws Error naming the table and field: kInvalidValue
  // when the text does not fit, kReadOnly for an autoincrement field or a
  // table opened read-only, kIndexed when a tag of the structural index
  // refers to the field. On error the edit is unchanged.
  void Assign(Edit& edit, size_t column, const std::string& text) const;

  // Writes a changed edit to disk (see above). Throws kConflict, kLocked,
  // kIo; on error nothing of the record was written.
  void Save(Edit& edit);

  // Columns that an index tag refers to; changes to them are refused.
  const std::set<size_t>& indexed_columns() const { return indexed_; }

 private:
  std::string ReadMemoData(const Edit& edit, size_t column) const;
  // The error for a value that cannot be read: names the field, the record
  // and the table, then the cause.
  Error Unreadable(const Edit& edit, size_t column, const Error& cause) const;
  // The stored bytes of a memo value: the pending new value or a view of
  // memo_value_, valid until the next read.
  std::string_view MemoBytes(const Edit& edit, size_t column) const;
  // The bytes to search for `text` (see CodePage::SearchBytes), kept for the
  // last text asked about. Nothing when no value can contain the text; sets
  // `decode` when values must be decoded to be searched.
  const std::optional<std::string>& SearchBytesFor(const std::string& text, bool* decode) const;
  // Brings the structural index in line with a record about to be written.
  void UpdateIndexes(const std::string& old_record, const std::string& new_record);
  void WriteHeaderDate();
  uint64_t RecordLockOffset(uint32_t recno) const { return 0x7FFFFFFEull - recno; }

  std::string path_;
  std::string name_;
  std::unique_ptr<DiskFile> file_;
  TableHeader header_;
  FieldCodec codec_;
  uint32_t record_count_ = 0;
  std::vector<size_t> visible_;  // indexes into header_.fields
  std::vector<std::string> names_;
  std::unique_ptr<MemoFile> memo_;
  std::unique_ptr<CompoundIndex> index_;
  std::set<size_t> indexed_;
  std::map<size_t, std::string> index_tag_of_;  // column -> first tag naming it

  // Reused from value to value by Contains.
  mutable MemoFile::Value memo_value_;
  mutable std::string search_text_;
  mutable std::optional<std::string> search_bytes_;
  mutable bool search_decode_ = true;
};

}  // namespace fox
