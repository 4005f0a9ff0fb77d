#include "data/table.h"

#include <ctime>
#include <filesystem>

#include "data/error.h"
#include "data/file_names.h"

namespace fox {
namespace {

std::string BaseName(const std::string& path) { return std::filesystem::path(path).stem().string(); }

bool IsContainerFile(const std::string& path) {
  return EqualIgnoringCase(std::filesystem::path(path).extension().string(), ".dbc");
}

// True when the container's long name `long_name` belongs to the header's
// short name: the first ten characters upper-cased, or a numbered variant
// that FoxPro makes when two long names share their first characters.
bool LongNameMatches(const std::string& short_name, const std::string& long_name) {
  std::string upper;
  for (char c : long_name) upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (upper.substr(0, 10) == short_name) return true;
  size_t stem = short_name.find_last_not_of("0123456789");
  if (stem == std::string::npos || stem + 1 == short_name.size()) return false;
  return upper.compare(0, stem + 1, short_name, 0, stem + 1) == 0;
}

}  // namespace

Table::Table(const std::string& path, const Options& options)
    : path_(path),
      name_(options.display_name.empty() ? BaseName(path) : options.display_name),
      file_(std::make_unique<DiskFile>(path, options.mode, "table file of '" + name_ + "'")),
      header_(TableHeader::Read(*file_, name_)),
      codec_(header_, CodePage::FromMark(header_.code_page_mark)),
      record_count_(header_.record_count) {
  for (size_t i = 0; i < header_.fields.size(); ++i) {
    const FieldDescriptor& f = header_.fields[i];
    if (f.type == '0' || (header_.visual_foxpro() && f.system())) continue;
    visible_.push_back(i);
  }
  bool use_long = options.long_names.size() == visible_.size();
  for (size_t c = 0; use_long && c < visible_.size(); ++c) {
    use_long = LongNameMatches(field(c).name, options.long_names[c]);
  }
  for (size_t c = 0; c < visible_.size(); ++c) {
    names_.push_back(LowerAscii(use_long ? options.long_names[c] : field(c).name));
  }

  if (options.mode == DiskFile::Mode::kReadWrite) {
    const uint64_t stored = file_->Size() - header_.header_length;
    if (stored / header_.record_length > record_count_) {
      throw Error(ErrorKind::kCorrupt, "Table '" + name_ + "' is damaged: the file holds more records than its "
                                       "header counts, so Quillon will not change it.");
    }
  }

  if (header_.has_memo_fields()) {
    const bool container = IsContainerFile(path);
    const std::string ext = container ? ".dct" : header_.memo_format() == MemoFormat::kFpt ? ".fpt" : ".dbt";
    std::optional<std::string> memo_path = FindCompanionFile(path, ext);
    if (!memo_path) {
      throw Error(ErrorKind::kNotFound, "The memo file of table '" + name_ + "' (" + BaseName(path) + ext +
                                            ") is missing.");
    }
    memo_ = std::make_unique<MemoFile>(*memo_path, header_.memo_format(), options.mode, name_);
  }

  if (header_.has_structural_index()) {
    const std::string ext = IsContainerFile(path) ? ".dcx" : ".cdx";
    // A table flagged as indexed whose index file is absent has no index to
    // keep correct (FoxPro itself refuses to open it until the flag is fixed).
    if (std::optional<std::string> index_path = FindCompanionFile(path, ext)) {
      CompoundIndex::FieldTypes types;
      for (size_t c = 0; c < visible_.size(); ++c) {
        types[LowerAscii(field(c).name)] = field(c).type;
        types[names_[c]] = field(c).type;
      }
      try {
        try {
          index_ = std::make_unique<CompoundIndex>(*index_path, name_, types, options.mode);
        } catch (const Error& e) {
          if (e.kind() != ErrorKind::kReadOnly) throw;
          // An index file that cannot be written: the fields of its tags
          // cannot change, the others can.
          index_ = std::make_unique<CompoundIndex>(*index_path, name_, types, DiskFile::Mode::kReadOnly);
        }
      } catch (const Error& e) {
        if (options.mode == DiskFile::Mode::kReadWrite) {
          throw Error(ErrorKind::kCorrupt, std::string(e.what()) + " Quillon will not change table '" + name_ +
                                               "' while its structural index cannot be read.");
        }
      }
    }
  }
  if (index_) {
    ExpressionSchema schema;
    for (size_t c = 0; c < visible_.size(); ++c) schema.columns.push_back({LowerAscii(field(c).name), names_[c], field(c)});
    schema.codec = &codec_;
    if (memo_) {
      schema.read_memo = [this](std::string_view record, const FieldDescriptor& f) -> std::string {
        const uint32_t block = codec_.MemoBlock(record, f);
        return block == 0 ? std::string() : memo_->Read(block).data;
      };
    }
    if (codec_.code_page().single_byte()) schema.text_case = std::make_shared<TextCase>(codec_.code_page());
    maintainer_ = std::make_unique<IndexMaintainer>(*index_, std::move(schema), options.index_lock_limit);
    for (const IndexMaintainer::Tag& tag : maintainer_->tags()) indexed_.insert(tag.columns.begin(), tag.columns.end());
  }
}

// The maintainer, declared after the index, goes first: the lock is released
// before the index file is closed.
Table::~Table() = default;

void Table::ReleaseIndex() noexcept {
  if (maintainer_) maintainer_->EndSession();
}

void Table::ReadRecords(uint32_t first, uint32_t count, std::string* out) const {
  out->resize(static_cast<size_t>(count) * header_.record_length);
  if (count == 0) return;
  file_->ReadExactAt(header_.record_offset(first), out->data(), out->size(),
                     "records " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                         " of table '" + name_ + "'");
}

std::string Table::ReadMemoData(const Edit& edit, size_t column) const {
  return std::string(MemoBytes(edit, column));
}

namespace {

// Whether every character of `text` can appear in the text form of a field
// of this type; the forms of dates, times, logicals and numbers use few.
bool TextFormCanShow(char type, const std::string& text) {
  const char* alphabet = nullptr;
  switch (type) {
    case 'D': alphabet = "0123456789-"; break;
    case 'T': alphabet = "0123456789-: "; break;
    case 'L': alphabet = "TrueFals"; break;
    case 'I': alphabet = "0123456789-"; break;
    case 'Y': alphabet = "0123456789-."; break;
    default: return true;
  }
  return text.find_first_not_of(alphabet) == std::string::npos;
}

bool IsAscii(const std::string& text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

const Table::RecordProbe& Table::ProbeFor(const std::string& text) const {
  for (const RecordProbe& probe : probes_) {
    if (probe.text == text) return probe;
  }
  if (probes_.size() >= 64) probes_.clear();
  RecordProbe probe;
  probe.text = text;
  // Values are searched in their stored bytes only where every byte stands
  // for one character of its own: single-byte code pages.
  probe.by_field = !codec_.code_page().single_byte() || text.empty();
  if (!probe.by_field) {
    try {
      probe.bytes = codec_.code_page().SearchBytes(text);
    } catch (const Error&) {
      // Text that is not valid UTF-8 may still match inside a decoded
      // value's bytes; search decoded values for it.
      probe.by_field = true;
    }
  }
  // The text forms of C and V values are runs of their decoded bytes, and
  // those of N and F values runs of their bytes as stored (ASCII): a record
  // whose bytes do not hold the searched bytes holds the text in none of them.
  const bool ascii = IsAscii(text);
  for (size_t c = 0; c < field_count(); ++c) {
    const FieldDescriptor& f = field(c);
    if (!FieldCodec::HasTextForm(f)) continue;
    const bool in_record_bytes = f.type == 'C' || f.type == 'V' || ((f.type == 'N' || f.type == 'F') && ascii);
    if (in_record_bytes) continue;
    if (f.is_memo() || TextFormCanShow(f.type, text)) probe.one_by_one.push_back(c);
  }
  probes_.push_back(std::move(probe));
  return probes_.back();
}

bool Table::RecordMayContain(const Edit& edit, const std::string& text) const {
  const RecordProbe& probe = ProbeFor(text);
  if (probe.by_field || text.empty()) return true;
  if (probe.bytes && edit.working.find(*probe.bytes) != std::string::npos) return true;
  for (size_t c : probe.one_by_one) {
    if (Contains(edit, c, text)) return true;
  }
  return false;
}

std::string_view Table::MemoBytes(const Edit& edit, size_t column) const {
  auto pending = edit.memo_text.find(column);
  if (pending != edit.memo_text.end()) return pending->second;
  const uint32_t block = codec_.MemoBlock(edit.working, field(column));
  if (block == 0) return {};
  try {
    memo_->Read(block, &memo_value_);
  } catch (const Error& e) {
    throw Unreadable(edit, column, e);
  }
  return memo_value_.data;
}

bool Table::Contains(const Edit& edit, size_t column, const std::string& text) const {
  const FieldDescriptor& f = field(column);
  if (!FieldCodec::HasTextForm(f) || codec_.IsNull(edit.working, f)) return false;
  const bool text_type = f.type == 'C' || f.type == 'V' || f.is_memo();
  const RecordProbe& probe = ProbeFor(text);
  if (!text_type || probe.by_field) {
    const std::optional<std::string> value = Text(edit, column);
    return value && value->find(text) != std::string::npos;
  }
  if (!probe.bytes) return false;
  std::string_view stored;
  if (f.is_memo()) {
    stored = MemoBytes(edit, column);
  } else {
    try {
      stored = codec_.TextBytes(edit.working, f);
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kCorrupt) throw;
      throw Unreadable(edit, column, e);
    }
  }
  return stored.find(*probe.bytes) != std::string_view::npos;
}

std::optional<std::string> Table::Text(const Edit& edit, size_t column) const {
  const FieldDescriptor& f = field(column);
  if (!FieldCodec::HasTextForm(f) || codec_.IsNull(edit.working, f)) return std::nullopt;
  // Memo reads name the field in their own errors.
  std::string memo_data;
  if (f.is_memo()) memo_data = ReadMemoData(edit, column);
  try {
    if (f.is_memo()) return codec_.MemoText(memo_data);
    return codec_.Text(edit.working, f);
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kCorrupt) throw;
    throw Unreadable(edit, column, e);
  }
}

Error Table::Unreadable(const Edit& edit, size_t column, const Error& cause) const {
  return Error(cause.kind(), "Field '" + field_name(column) + "' of record " + std::to_string(edit.recno) +
                                " in table '" + name_ + "' cannot be read: " + cause.what());
}

void Table::Assign(Edit& edit, size_t column, const std::string& text) const {
  const FieldDescriptor& f = field(column);
  auto refuse = [&](ErrorKind kind, const std::string& why) {
    throw Error(kind, "Field '" + field_name(column) + "' of table '" + name_ + "' cannot take the value \"" +
                          text + "\": " + why + ".");
  };
  if (!FieldCodec::HasTextForm(f)) refuse(ErrorKind::kReadOnly, "it holds binary data, which has no text form");
  std::optional<std::string> current = Text(edit, column);
  if (current && *current == text) return;  // keeps the stored bytes exactly
  if (!file_->writable()) refuse(ErrorKind::kReadOnly, "the table is open for reading only");
  if (f.autoincrement()) refuse(ErrorKind::kReadOnly, "it is an autoincrement field, which FoxPro numbers itself");
  if (const IndexMaintainer::Tag* tag = maintainer_ ? maintainer_->RefusingTag(column) : nullptr) {
    refuse(ErrorKind::kIndexed, "it is part of tag " + tag->header.name +
                                    " of the structural index, which Quillon cannot keep up to date (" +
                                    tag->refusal + ")");
  }
  try {
    if (f.is_memo()) {
      edit.memo_text[column] = codec_.code_page().Encode(text);
    } else {
      codec_.Assign(edit.working, f, text);
    }
  } catch (const Error& e) {
    if (e.kind() != ErrorKind::kInvalidValue) throw;
    refuse(ErrorKind::kInvalidValue, e.what());
  }
}

void Table::Save(Edit& edit) {
  if (!edit.changed()) return;
  try {
    SaveChanged(edit);
  } catch (...) {
    // Another program may be waiting for the index while the caller reports
    // the error.
    ReleaseIndex();
    throw;
  }
}

void Table::SaveChanged(Edit& edit) {
  const std::string where = "record " + std::to_string(edit.recno) + " of table '" + name_ + "'";
  RangeLock lock(*file_, RecordLockOffset(edit.recno), 1,
                 "The change to " + where + " was not saved: another program has locked the record.");

  std::string on_disk(header_.record_length, '\0');
  file_->ReadExactAt(header_.record_offset(edit.recno), on_disk.data(), on_disk.size(), where);
  if (on_disk != edit.original) {
    throw Error(ErrorKind::kConflict, "The change to " + where +
                                          " was not saved: another program changed the record after Quillon "
                                          "read it, and its change was kept.");
  }

  // Everything the index needs is worked out first: a refusal (a candidate
  // key taken, a tag that cannot be kept up to date, a damaged tag) leaves
  // every file as it was. The index lock is held from here on: taken now,
  // or still held by an earlier save of the same session.
  std::unique_ptr<IndexMaintainer::Update> index_update;
  if (maintainer_) {
    index_update =
        maintainer_->Prepare(edit.original, edit.working, edit.recno, ChangedColumns(edit), edit.memo_text);
  }

  // Write order, and what a crash after each step leaves:
  // 1. the memo values, appended and made durable: the old record with its
  //    old keys; the new memo blocks are unreferenced.
  // 2. the change counter (first change of an index session only) and the
  //    index pages added by splits, appended at the end of the index file:
  //    the same, plus index pages nothing refers to.
  // 3. the record: the new record with the old keys, which a plain REINDEX
  //    repairs.
  // 4. the changed index pages: some keys old, some new, which a plain
  //    REINDEX repairs.
  // After step 4 the record and every tag agree again, also while the
  // session keeps the index lock for the next saves: each save's pages are
  // written before the save returns, never held back for later, so a crash
  // between two saves of a session leaves a consistent index.
  // Steps 2 to 4 are not flushed one by one (a flush per saved record makes
  // a run several times slower), so after a crash of the system (not only of
  // this program) the disk may hold any mix of them: one of the states
  // above, or a tree pointing to added pages that never arrived. REINDEX
  // repairs every one of them, since it rebuilds each tag from the tag
  // directory and the tag headers, which are never written here. Only the
  // memo values must reach the disk before the record that points to them,
  // since nothing rebuilds those.
  // A failure in steps 1 and 2 (a full disk, say) leaves the record as it
  // was; only step 4 can fail with the record written, and says so.
  std::string record = edit.working;
  for (const auto& [column, data] : edit.memo_text) {
    MemoFile::Value value;
    value.block_type = 1;
    value.data = data;
    codec_.SetMemoBlock(record, field(column), memo_->Append(value));
  }
  if (index_update) index_update->WriteNewPages();
  file_->WriteAt(header_.record_offset(edit.recno), record.data(), record.size());
  WriteHeaderDate();

  edit.original = record;
  edit.working = std::move(record);
  edit.memo_text.clear();
  if (index_update) index_update->Finish();
}

std::set<size_t> Table::ChangedColumns(const Edit& edit) const {
  std::set<size_t> changed;
  for (size_t c = 0; c < visible_.size(); ++c) {
    const FieldDescriptor& f = field(c);
    if (edit.memo_text.count(c) || edit.original.compare(f.offset, f.length, edit.working, f.offset, f.length) != 0 ||
        codec_.IsNull(edit.original, f) != codec_.IsNull(edit.working, f)) {
      changed.insert(c);
    }
  }
  return changed;
}

void Table::WriteHeaderDate() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &now);
#else
  localtime_r(&now, &local);
#endif
  const unsigned char date[3] = {static_cast<unsigned char>(local.tm_year % 100),
                                 static_cast<unsigned char>(local.tm_mon + 1),
                                 static_cast<unsigned char>(local.tm_mday)};
  if (date[0] == header_.last_update_year && date[1] == header_.last_update_month &&
      date[2] == header_.last_update_day) {
    return;
  }
  file_->WriteAt(1, date, sizeof date);
  header_.last_update_year = date[0];
  header_.last_update_month = date[1];
  header_.last_update_day = date[2];
}

}  // namespace fox
