// An open table: its file, memo file and structural index, with the record
// reads, text forms and the one save path through which every change goes.
//
// Saving is optimistic. Each edit remembers the record bytes as read; saving
// locks the record the way Visual FoxPro does (one byte at 0x7FFFFFFE - n in
// the table file), re-reads it, and refuses with Error(kConflict) if another
// program changed it meanwhile, keeping that program's change. Changed memo
// values are appended to the memo file and made durable before the record that
// points at them is written, so a crash leaves the old value or the new one.
// Only the record's bytes and the header's last-update date are written, and
// the structural index, whose tags are kept in line with the record.
#pragma once

#include <chrono>
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
#include "data/index_maintenance.h"
#include "data/memo_file.h"
#include "data/table_header.h"

namespace fox {

class Table {
 public:
  struct Options {
    DiskFile::Mode mode = DiskFile::Mode::kReadOnly;
    std::string display_name;             // name used in messages; default: file base name
    std::vector<std::string> long_names;  // container long field names, column order
    // How long the structural index stays locked at most once a save has
    // taken its lock (see IndexMaintainer); zero locks it for each save alone.
    std::chrono::milliseconds index_lock_limit = IndexMaintainer::kDefaultLockLimit;
  };

  // Opens the table file at `path` with its memo file and structural index.
  // Throws Error: kNotFound, kReadOnly, kCorrupt, kUnsupported.
  Table(const std::string& path, const Options& options);
  // Releases the structural index's lock if a save still holds it.
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

  // False only when no column of the record can contain `text` in its text
  // form, so that a caller may pass over the whole record; true when some
  // column may (Contains then tells which). Character, varchar and numeric
  // values are tested together by one search of the stored record, memo
  // values one by one, and dates, times, logicals and binary numbers only when
  // `text` is made of characters their text forms can show.
  bool RecordMayContain(const Edit& edit, const std::string& text) const;

  // Assigns the text to a column. Assigning the column's current text form
  // changes nothing. Throws Error naming the table and field: kInvalidValue
  // when the text does not fit, kReadOnly for an autoincrement field or a
  // table opened read-only, kIndexed when a tag of the structural index that
  // cannot be kept up to date refers to the field. On error the edit is
  // unchanged.
  void Assign(Edit& edit, size_t column, const std::string& text) const;

  // Writes a changed edit to disk (see above) and brings the structural
  // index in line. Throws kConflict, kLocked, kIo, and kIndexed naming the
  // tag when the change would duplicate a candidate key or a tag cannot be
  // kept up to date; on error nothing of the record was written, except for
  // a failure after the record was written, whose message says so.
  // A save that changes the index keeps the index lock for the saves that
  // follow, for a short while; an error releases it.
  void Save(Edit& edit);

  // Releases the structural index's lock now, if a save still holds it: when
  // no more saves are coming soon. Writes nothing.
  void ReleaseIndex() noexcept;

  // Columns that a tag of the structural index refers to.
  const std::set<size_t>& indexed_columns() const { return indexed_; }
  // The tags of the structural index and how they are kept; nullptr when the
  // table has none.
  const IndexMaintainer* index_maintainer() const { return maintainer_.get(); }

 private:
  void SaveChanged(Edit& edit);
  std::string ReadMemoData(const Edit& edit, size_t column) const;
  std::set<size_t> ChangedColumns(const Edit& edit) const;
  // The error for a value that cannot be read: names the field, the record
  // and the table, then the cause.
  Error Unreadable(const Edit& edit, size_t column, const Error& cause) const;
  // The stored bytes of a memo value: the pending new value or a view of
  // memo_value_, valid until the next read.
  std::string_view MemoBytes(const Edit& edit, size_t column) const;
  // How RecordMayContain looks for one text in a record.
  struct RecordProbe {
    std::string text;
    bool by_field = false;             // no whole-record search possible
    std::optional<std::string> bytes;  // the text in stored bytes
    std::vector<size_t> one_by_one;    // columns searched through Contains
  };
  // The probe for `text`, made on first use and kept. The reference stays
  // valid until a probe for another text is made.
  const RecordProbe& ProbeFor(const std::string& text) const;
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
  std::unique_ptr<IndexMaintainer> maintainer_;
  std::set<size_t> indexed_;

  // Reused from value to value by Contains.
  mutable MemoFile::Value memo_value_;
  // Probes of the texts searched lately (a set list searches several).
  mutable std::vector<RecordProbe> probes_;
};

}  // namespace fox
