#include "data/table/table.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "data/file/file_names.h"
#include "data/file/utf8_path.h"
#include "data/table/index_check.h"
#include "data/table/index_rebuild.h"
#include "data/table/save_failures.h"
#include "data/util/error.h"
#include "data/util/full_stop.h"
#include "data/util/hash.h"

namespace fox {
namespace {

std::string BaseName(const std::string& path) { return Utf8FromPath(PathFromUtf8(path).stem()); }

bool IsContainerFile(const std::string& path) {
  return EqualIgnoringCase(Utf8FromPath(PathFromUtf8(path).extension()), ".dbc");
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

// The table file opened in `mode`; a file that is read-only is opened for
// reading instead (`*read_only` then true). Opened for reading, the file is
// tried for writing once, so that a dry run judges it as the run would.
std::unique_ptr<DiskFile> OpenTableFile(const std::string& path, DiskFile::Mode mode, const std::string& what,
                                        bool* read_only) {
  try {
    if (mode == DiskFile::Mode::kReadOnly) (void)DiskFile(path, DiskFile::Mode::kReadWrite, what);
  } catch (const Error& e) {
    *read_only = e.kind() == ErrorKind::kReadOnly;
  }
  try {
    return std::make_unique<DiskFile>(path, mode, what);
  } catch (const Error& e) {
    if (mode != DiskFile::Mode::kReadWrite || e.kind() != ErrorKind::kReadOnly) throw;
  }
  *read_only = true;
  return std::make_unique<DiskFile>(path, DiskFile::Mode::kReadOnly, what);
}

}  // namespace

Table::Table(const std::string& path, const Options& options)
    : path_(path),
      name_(options.display_name.empty() ? BaseName(path) : options.display_name),
      file_(OpenTableFile(path, options.mode, "table file of '" + name_ + "'", &read_only_file_)),
      header_(TableHeader::Read(*file_, name_)),
      codec_(header_, CodePage::FromMark(header_.code_page_mark)),
      record_count_(header_.record_count),
      options_(options) {
  // The mode the table is open in: for reading when its file is read-only.
  const DiskFile::Mode mode = file_->writable() ? DiskFile::Mode::kReadWrite : DiskFile::Mode::kReadOnly;
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

  // Damage that keeps the table from being changed: opening it for writing
  // fails; opened for reading (a dry run), it is told as why no column of it
  // could change.
  const uint64_t stored = file_->Size() - header_.header_length;
  if (stored / header_.record_length > record_count_) {
    if (mode == DiskFile::Mode::kReadWrite) {
      throw Error(ErrorKind::kCorrupt, "Table '" + name_ +
                                           "' is damaged: the file holds more records than its "
                                           "header counts, so Quillon will not change it.");
    }
    unchangeable_ = "the table is damaged: the file holds more records than its header counts";
  }

  if (header_.has_memo_fields()) {
    const bool container = IsContainerFile(path);
    const std::string ext = container ? ".dct" : header_.memo_format() == MemoFormat::kFpt ? ".fpt" : ".dbt";
    std::optional<std::string> memo_path = FindCompanionFile(path, ext);
    if (!memo_path) {
      throw Error(ErrorKind::kNotFound,
                  "The memo file of table '" + name_ + "' (" + BaseName(path) + ext + ") is missing.");
    }
    memo_ = std::make_unique<MemoFile>(*memo_path, header_.memo_format(), mode, name_);
  }

  const std::string index_ext = IsContainerFile(path) ? ".dcx" : ".cdx";
  if (!header_.has_structural_index()) {
    // An index file beside a table whose header does not name it is not
    // kept by saves (nor opened by FoxPro with the table); a program that
    // opens it itself finds it stale after a change.
    if (FindCompanionFile(path, index_ext)) unnamed_index_ = BaseName(path) + index_ext;
  } else {
    const std::string& ext = index_ext;
    // A table flagged as indexed whose index file is absent (not copied yet,
    // on another share) is read, but not changed: the index would be stale
    // when it comes back (FoxPro itself refuses to open such a table).
    std::optional<std::string> index_path = FindCompanionFile(path, ext);
    if (!index_path) missing_index_ = BaseName(path) + ext;
    if (index_path) {
      CompoundIndex::FieldTypes types;
      for (size_t c = 0; c < visible_.size(); ++c) {
        types[LowerAscii(field(c).name)] = field(c).type;
        types[names_[c]] = field(c).type;
      }
      try {
        try {
          index_ = std::make_unique<CompoundIndex>(*index_path, name_, types, mode);
        } catch (const Error& e) {
          if (e.kind() != ErrorKind::kReadOnly) throw;
          // An index file that cannot be written: the fields of its tags
          // cannot change, the others can.
          index_ = std::make_unique<CompoundIndex>(*index_path, name_, types, DiskFile::Mode::kReadOnly);
        }
      } catch (const Error& e) {
        if (mode == DiskFile::Mode::kReadWrite) {
          throw Error(ErrorKind::kCorrupt, std::string(e.what()) + " Quillon will not change table '" +
                                               name_ + "' while its structural index cannot be read.");
        }
        unchangeable_ = "its structural index cannot be read (" + std::string(e.what()) + ")";
      }
    }
  }
  if (index_) {
    maintainer_ = std::make_unique<IndexMaintainer>(*index_, expression_schema(), options.index_lock_limit);
    for (const IndexMaintainer::Tag& tag : maintainer_->tags()) {
      indexed_.insert(tag.columns.begin(), tag.columns.end());
      if (tag.maintained && (tag.header.options & IndexTag::kCandidate))
        candidate_columns_.insert(tag.columns.begin(), tag.columns.end());
    }
  }
  if (file_->writable()) marker_ = std::make_unique<RepairMarker>(*file_, name_);
}

ExpressionSchema Table::expression_schema() const {
  ExpressionSchema schema;
  for (size_t c = 0; c < visible_.size(); ++c)
    schema.columns.push_back({LowerAscii(field(c).name), names_[c], field(c)});
  schema.codec = &codec_;
  if (memo_) {
    schema.read_memo = [this](std::string_view record, const FieldDescriptor& f) -> std::string {
      const uint32_t block = codec_.MemoBlock(record, f);
      return block == 0 ? std::string() : memo_->Read(block).data;
    };
  }
  if (codec_.code_page().single_byte()) schema.text_case = std::make_shared<TextCase>(codec_.code_page());
  return schema;
}

std::string Table::RepairInterruptedRun() {
  if (!marker_ || !marker_->TakeLeftOver()) return "";
  struct Let {
    RepairMarker& marker;
    ~Let() { marker.Release(); }
  } let{*marker_};
  const std::string stopped = "Quillon's last run on table '" + name_ + "' stopped before it finished";
  std::vector<std::string> rebuilt;
  LeftRecords put_back;
  try {
    // The records first, so that the index is checked against whole ones.
    put_back = PutBackRecords();
    for (const LeftRecords::Log& log : put_back.logs) repaired_logs_.push_back(log.path);
    if (index_) {
      for (const TagCheck& check : CheckIndex(*this)) {
        if (check.checked && !check.consistent()) rebuilt.push_back(check.tag);
      }
      if (!rebuilt.empty()) RebuildTags(*this, rebuilt);
    }
    DiskFile::RemoveFile(RepairMarker::PathFor(path_), "marker file");
  } catch (const Error& e) {
    throw Error(e.kind(), stopped + ", and what it left could not be checked and repaired: " + e.what() +
                              " The table was not changed.");
  }
  std::string records;
  if (put_back.written > 0) {
    records += " " + std::to_string(put_back.written) + (put_back.written == 1 ? " record" : " records") +
               " it was writing when it stopped " + (put_back.written == 1 ? "was" : "were") +
               " written whole.";
  }
  if (put_back.left > 0) {
    records += " " + std::to_string(put_back.left) + (put_back.left == 1 ? " record" : " records") +
               " it was writing had been changed by another program since, and " +
               (put_back.left == 1 ? "was" : "were") + " left as " +
               (put_back.left == 1 ? "it is" : "they are") + " (check " +
               (put_back.left == 1 ? "it" : "them") + ": record " + put_back.left_records + ").";
  }
  // The run's other tables, before anything else reads them.
  records += PutBackOthers(put_back);
  if (!index_) {
    repair_notice_ = stopped + "." + records;
    return repair_notice_;
  }
  if (rebuilt.empty()) {
    repair_notice_ = stopped + ":" + records + (records.empty() ? " every" : " Every") +
                     " tag of its structural index still agrees with the records.";
    return repair_notice_;
  }
  std::string tags;
  for (size_t i = 0; i < rebuilt.size(); ++i) {
    tags += (i == 0 ? "" : i + 1 == rebuilt.size() ? " and " : ", ") + rebuilt[i];
  }
  repair_notice_ = stopped + ":" + records + (records.empty() ? " the " : " The ") +
                   (rebuilt.size() == 1 ? "tag " : "tags ") + tags +
                   " of its structural index no longer agreed with the records and " +
                   (rebuilt.size() == 1 ? "was" : "were") + " rebuilt.";
  return repair_notice_;
}

LeftRecords Table::PutBackRecords() {
  const std::vector<std::string> files = WriteAheadFile::Find(path_);
  if (files.empty()) return {};
  LeftRecords done = PutBackLeftRecords(*file_, header_, name_, files);
  for (const std::string& path : files) DiskFile::RemoveFile(path, "write-ahead file");
  return done;
}

Table::~Table() {
  {
    MutexLock hold(&batch_mutex_);
    try {
      FlushAndWait();
    } catch (...) {
      // Reported to a caller that flushed first; nobody is left to tell.
    }
  }
  writer_.Stop();
  // The index thread goes after the watchdog, which may seal a batch.
  if (index_thread_) index_thread_->Drop();
  ReleaseHolds();  // before the file they lock
  if (index_thread_) index_thread_->Stop();
  // Every write is done: the marker goes once the files are durable. While
  // the run's log holds a unit not yet committed, whose records this table
  // may hold, the marker and the link to the log stay, for a recovery to
  // take them back if the unit never commits.
  if (marker_ && !(options_.run_log && marker_->entered() && options_.run_log->in_unit())) {
    try {
      marker_->Leave([this] {
        file_->Sync();
        if (index_) index_->file().Sync();
        if (options_.run_log && marker_->entered()) options_.run_log->TableLeaving();
      });
    } catch (...) {
      // The marker stays: the next open checks the index.
    }
  }
  // The maintainer, declared after the index, goes next: the lock is
  // released before the index file is closed.
}

void Table::ReleaseIndex() noexcept {
  {
    MutexLock hold(&batch_mutex_);
    try {
      FlushAndWait();
    } catch (...) {
      deferred_ = Combine(deferred_, std::current_exception());
    }
  }
  if (maintainer_) maintainer_->EndSession();
}

void Table::VisitRecords(const std::function<void(uint32_t recno, std::string_view record)>& visit) const {
  // About a megabyte of records at a time, however wide they are.
  const size_t length = header_.record_length;
  const auto block =
      static_cast<uint32_t>(std::max<size_t>(1, (size_t{1} << 20) / std::max<size_t>(1, length)));
  std::string records;
  for (uint32_t first = 1; first <= record_count_; first += block) {
    const uint32_t n = std::min(block, record_count_ - first + 1);
    ReadRecords(first, n, &records);
    for (uint32_t k = 0; k < n; ++k)
      visit(first + k, std::string_view(records.data() + size_t{k} * length, length));
  }
}

void Table::ReadRecords(uint32_t first, uint32_t count, std::string* out) const {
  out->resize(static_cast<size_t>(count) * header_.record_length);
  if (count == 0) return;
  // Saves not yet on disk are read as they will be: those of the current
  // batch, and those the writer is writing (which it cannot finish while
  // the file is read here, so none is missed between the read and the
  // overlay).
  // The current batch is empty while the writer says nothing is pending
  // (only the saving thread, which reads here, then adds to it).
  auto read = [&](const std::vector<Pending>* batch) {
    writer_.WithFlight([&](const std::vector<Pending>* flight) {
      file_->ReadExactAt(header_.record_offset(first), out->data(), out->size(),
                         "records " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                             " of table '" + name_ + "'");
      auto overlay = [&](const std::vector<Pending>& saves) {
        for (const Pending& p : saves) {
          if (p.recno >= first && p.recno - first < count)
            out->replace(static_cast<size_t>(p.recno - first) * header_.record_length, p.record.size(),
                         p.record);
        }
      };
      if (flight) overlay(*flight);
      if (batch) overlay(*batch);
    });
  };
  if (writer_.pending()) {
    MutexLock hold(&batch_mutex_);
    read(&batch_);
  } else {
    read(nullptr);
  }
}

namespace {

// Whether every character of `text` can appear in the text form of a field
// of this type; the forms of dates, times, logicals and numbers use few.
bool TextFormCanShow(char type, std::string_view text) {
  const char* alphabet = nullptr;
  switch (type) {
    case 'D':
      alphabet = "0123456789-";
      break;
    case 'T':
      alphabet = "0123456789-: ";
      break;
    case 'L':
      alphabet = "TrueFals";
      break;
    case 'I':
      alphabet = "0123456789-";
      break;
    case 'Y':
      alphabet = "0123456789-.";
      break;
    default:
      return true;
  }
  return text.find_first_not_of(alphabet) == std::string::npos;
}

bool IsAscii(std::string_view text) {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

}  // namespace

const ProbeStore::Probe& Table::ProbeFor(std::string_view text) const {
  // Asked for each find text of a set list in every record, in the list's
  // order. A text's probe is made once (its stored bytes need the code page).
  if (const ProbeStore::Probe* known = probes_.Find(text)) return *known;
  if (probes_.size() >= kMaxProbes) {
    probes_.Clear();
    probe_columns_.clear();
  }
  // Values are searched in their stored bytes only where every byte stands
  // for one character of its own: single-byte code pages.
  bool by_field = !codec_.code_page().single_byte() || text.empty();
  std::optional<std::string> bytes;
  if (!by_field) {
    try {
      bytes = codec_.code_page().SearchBytes(text);
    } catch (const Error&) {
      // Text that is not valid UTF-8 may still match inside a decoded
      // value's bytes; search decoded values for it.
      by_field = true;
    }
  }
  // The text forms of C and V values are runs of their decoded bytes, and
  // those of N and F values runs of their bytes as stored (ASCII): a record
  // whose bytes do not hold the searched bytes holds the text in none of them.
  const bool ascii = IsAscii(text);
  std::vector<size_t> one_by_one;
  for (size_t c = 0; c < field_count(); ++c) {
    const FieldDescriptor& f = field(c);
    if (!FieldCodec::HasTextForm(f)) continue;
    const bool in_record_bytes =
        f.type == 'C' || f.type == 'V' || ((f.type == 'N' || f.type == 'F') && ascii);
    if (in_record_bytes) continue;
    if (f.is_memo() || TextFormCanShow(f.type, text)) one_by_one.push_back(c);
  }
  const auto same = std::find(probe_columns_.begin(), probe_columns_.end(), one_by_one);
  const auto columns = static_cast<uint32_t>(same - probe_columns_.begin());
  if (same == probe_columns_.end()) probe_columns_.push_back(std::move(one_by_one));
  return probes_.Add(text, bytes ? std::optional<std::string_view>(*bytes) : std::nullopt, by_field, columns);
}

bool Table::RecordMayContain(const Edit& edit, std::string_view text, bool memos_hold_none,
                             std::vector<char>* columns) const {
  const ProbeStore::Probe& probe = ProbeFor(text);
  const std::optional<std::string_view> bytes = probe.bytes();
  const std::vector<size_t>& one_by_one = probe_columns_[probe.one_by_one()];
  if (columns) columns->assign(field_count(), probe.by_field() || text.empty() ? 1 : 0);
  if (probe.by_field() || text.empty()) return true;
  bool any = false;
  if (bytes && edit.working.find(*bytes) != std::string::npos) {
    if (!columns) return true;
    // Only a column whose own bytes hold the text can show it.
    const std::string_view record(edit.working);
    for (size_t c = 0; c < field_count(); ++c) {
      const FieldDescriptor& f = field(c);
      if (!f.is_memo() && record.substr(f.offset, f.length).find(*bytes) != std::string_view::npos) {
        (*columns)[c] = 1;
        any = true;
      }
    }
  }
  for (size_t c : one_by_one) {
    if (memos_hold_none && field(c).is_memo()) continue;
    if (columns ? (*columns)[c] == 0 && Contains(edit, c, text) : Contains(edit, c, text)) {
      if (!columns) return true;
      (*columns)[c] = 2;
      any = true;
    }
  }
  return any;
}

bool Table::RecordsMayContain(std::string_view records, std::string_view text, bool* memos_may) const {
  bool ignored;
  bool& memos = memos_may ? *memos_may : ignored;
  memos = true;
  const ProbeStore::Probe& probe = ProbeFor(text);
  const std::optional<std::string_view> bytes = probe.bytes();
  const std::vector<size_t>& one_by_one = probe_columns_[probe.one_by_one()];
  if (probe.by_field() || text.empty() || !bytes) return true;
  const bool in_records = records.find(*bytes) != std::string_view::npos;
  if (in_records && !memos_may) return true;
  const size_t length = header_.record_length;
  uint32_t low = 0xFFFFFFFFu, high = 0;
  bool others = false;  // columns other than memos searched one by one
  for (size_t c : one_by_one) {
    const FieldDescriptor& f = field(c);
    if (!f.is_memo() || !memo_) {
      others = true;
      continue;
    }
    for (size_t at = 0; at + length <= records.size(); at += length) {
      const std::string_view record = records.substr(at, length);
      if (IsDeleted(record) || codec_.IsNull(record, f)) continue;
      uint32_t block = 0;
      try {
        block = codec_.MemoBlock(record, f);
      } catch (const Error&) {
        return true;  // the record's own read reports it
      }
      if (block == 0) continue;
      low = std::min(low, block);
      high = std::max(high, block);
    }
  }
  memos = high != 0 && memo_->SpanMayHold(low, high, *bytes);
  return in_records || others || memos;
}

std::string_view Table::MemoBytes(const Edit& edit, size_t column) const {
  auto pending = edit.memo_text.find(column);
  if (pending != edit.memo_text.end()) return pending->second;
  const uint32_t block = codec_.MemoBlock(edit.working, field(column));
  if (block == 0) return {};
  // The same value is often asked for several times in a row (once per find
  // text): it is read once per edit.
  if (block == memo_value_block_ && edit.recno == memo_value_recno_ && &edit == memo_value_edit_)
    return memo_value_.data;
  memo_value_block_ = 0;
  ReadMemoValue(edit, column, block, &memo_value_);
  memo_value_block_ = block;
  memo_value_recno_ = edit.recno;
  memo_value_edit_ = &edit;
  return memo_value_.data;
}

void Table::StoredForm(const Edit& edit, size_t column, bool original, std::string* out) const {
  const FieldDescriptor& f = field(column);
  const std::string& record = original ? edit.original : edit.working;
  std::string& form = *out;
  form.clear();
  if (codec_.HasFlagBits(f)) form += static_cast<char>(codec_.FlagBits(record, f));
  if (!f.is_memo()) {
    form.append(record, f.offset, f.length);
    return;
  }
  if (!original) {
    form += MemoBytes(edit, column);
    return;
  }
  const uint32_t block = codec_.MemoBlock(record, f);
  if (block == 0) return;
  // The value read for the search of the record is usually the one asked
  // for: the edit's memo was read through MemoBytes before it was changed.
  if (block == memo_value_block_ && edit.recno == memo_value_recno_ && &edit == memo_value_edit_) {
    form += memo_value_.data;
    return;
  }
  MemoFile::Value value;
  ReadMemoValue(edit, column, block, &value);
  form += value.data;
}

void Table::ReadMemoValue(const Edit& edit, size_t column, uint32_t block, MemoFile::Value* value) const {
  try {
    // Only a value staged in the current batch, which the watchdog may be
    // writing, is read under the batch's lock.
    if (memo_->MayBeStaged(block)) {
      MutexLock hold(&batch_mutex_);
      memo_->Read(block, value);
    } else {
      memo_->Read(block, value);
    }
  } catch (const Error& e) {
    throw Unreadable(edit, column, e);
  }
}

void Table::EditedColumns(const Edit& edit, std::vector<size_t>* out) const {
  std::vector<size_t>& columns = *out;
  columns.clear();
  for (size_t c = 0; c < visible_.size(); ++c) {
    const FieldDescriptor& f = field(c);
    if (edit.memo_text.count(c) ||
        edit.original.compare(f.offset, f.length, edit.working, f.offset, f.length) != 0 ||
        (codec_.HasFlagBits(f) && codec_.FlagBits(edit.original, f) != codec_.FlagBits(edit.working, f))) {
      columns.push_back(c);
    }
  }
}

bool Table::RevertIfUnchanged(Edit& edit, size_t column) const {
  const FieldDescriptor& f = field(column);
  const bool flags = codec_.HasFlagBits(f);
  if (flags && codec_.FlagBits(edit.original, f) != codec_.FlagBits(edit.working, f)) return false;
  const auto pending = edit.memo_text.find(column);
  if (pending != edit.memo_text.end()) {
    const uint32_t block = codec_.MemoBlock(edit.original, f);
    MemoFile::Value was;
    if (block != 0) ReadMemoValue(edit, column, block, &was);
    if (was.data != pending->second) return false;
  } else if (edit.original.compare(f.offset, f.length, edit.working, f.offset, f.length) != 0) {
    return false;
  }
  RevertColumn(edit, column);
  return true;
}

void Table::RevertColumn(Edit& edit, size_t column) const {
  const FieldDescriptor& f = field(column);
  edit.memo_text.erase(column);
  edit.memo_read.erase(column);
  edit.working.replace(f.offset, f.length, edit.original, f.offset, f.length);
  if (codec_.HasFlagBits(f)) codec_.SetFlagBits(edit.working, f, codec_.FlagBits(edit.original, f));
}

void Table::SetStoredForm(Edit& edit, size_t column, std::string_view stored) {
  const FieldDescriptor& f = field(column);
  const bool flags = codec_.HasFlagBits(f);
  auto refuse = [&](const std::string& why) {
    throw Error(ErrorKind::kInvalidValue, WithFullStop("Field '" + names_[column] + "' of table '" + name_ +
                                                       "' cannot take back its value: " + why));
  };
  if (flags && stored.empty()) refuse("the stored value has lost its flags");
  const std::string_view bytes = stored.substr(flags ? 1 : 0);
  if (f.is_memo()) {
    if (bytes.size() > FieldCodec::kLongestMemoValue)
      refuse("the value is longer than FoxPro can hold in one value");
    SetMemoText(edit, column, std::string(bytes));
  } else {
    if (bytes.size() != f.length) {
      refuse("the stored value has " + std::to_string(bytes.size()) + " bytes, the field " +
             std::to_string(f.length));
    }
    edit.working.replace(f.offset, f.length, bytes);
  }
  if (flags) codec_.SetFlagBits(edit.working, f, static_cast<unsigned char>(stored[0]));
  memo_value_block_ = 0;
}

bool Table::Contains(const Edit& edit, size_t column, std::string_view text) const {
  const FieldDescriptor& f = field(column);
  if (!FieldCodec::HasTextForm(f) || codec_.IsNull(edit.working, f)) return false;
  const bool text_type = f.type == 'C' || f.type == 'V' || f.is_memo();
  if (!text_type) {
    // Dates, numbers and the like are searched in their text form, which
    // depends on the field's bytes alone: it is made once for all the find
    // texts a record is searched for.
    const std::string_view raw = std::string_view(edit.working).substr(f.offset, f.length);
    if (text_forms_.size() <= column) text_forms_.resize(column + 1);
    TextForm& form = text_forms_[column];
    if (form.raw != raw) {
      form.raw.clear();  // a field's bytes are never empty: unknown until made
      form.text = Text(edit, column);
      form.raw.assign(raw);
    }
    return form.text && form.text->find(text) != std::string::npos;
  }
  const ProbeStore::Probe& probe = ProbeFor(text);
  if (probe.by_field()) {
    const std::optional<std::string> value = Text(edit, column);
    return value && value->find(text) != std::string::npos;
  }
  const std::optional<std::string_view> bytes = probe.bytes();
  if (!bytes) return false;
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
  return stored.find(*bytes) != std::string_view::npos;
}

std::optional<std::string> Table::Text(const Edit& edit, size_t column) const {
  const FieldDescriptor& f = field(column);
  if (!FieldCodec::HasTextForm(f) || codec_.IsNull(edit.working, f)) return std::nullopt;
  // Memo reads name the field in their own errors; the bytes are decoded
  // where they were read.
  std::string_view memo_data;
  if (f.is_memo()) memo_data = MemoBytes(edit, column);
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

// Looked at once, when first asked: staging checks again before each batch
// of memo values is appended.
const std::optional<std::string>& Table::MemoDamage() const {
  if (!memo_damage_checked_) {
    memo_damage_ = memo_ ? memo_->Damage() : std::nullopt;
    memo_damage_checked_ = true;
    // Values appended past the next free block by a writer that stopped
    // before it advanced the pointer (a Quillon run killed between the two
    // writes leaves that) are no record's: new values go after them.
    if (memo_damage_ && memo_->HasTailPastNextFree() && !MemoTailReferenced()) {
      memo_->AppendAfterTail();
      memo_damage_ = memo_->Damage();
    }
  }
  return memo_damage_;
}

template <typename Visit>
bool Table::FindMemoPointer(Visit visit) const {
  std::vector<size_t> memos;
  for (size_t c = 0; c < visible_.size(); ++c) {
    if (field(c).is_memo()) memos.push_back(c);
  }
  if (memos.empty()) return false;
  const uint32_t length = header_.record_length;
  const uint32_t block = std::max<uint32_t>(1, (1u << 20) / length);
  std::string records;
  for (uint32_t first = 1; first <= record_count_; first += block) {
    const uint32_t n = std::min(block, record_count_ - first + 1);
    records.resize(size_t{n} * length);
    file_->ReadExactAt(header_.record_offset(first), records.data(), records.size(),
                       "the records of table '" + name_ + "'");
    for (uint32_t k = 0; k < n; ++k) {
      const std::string_view record(records.data() + size_t{k} * length, length);
      for (size_t c : memos) {
        if (codec_.IsNull(record, field(c))) continue;
        uint32_t at = 0;
        try {
          at = codec_.MemoBlock(record, field(c));
        } catch (const Error&) {
          continue;  // a malformed pointer points nowhere (that value is told unreadable when it is read)
        }
        if (visit(first + k, c, at)) return true;
      }
    }
  }
  return false;
}

bool Table::MemoTailReferenced() const {
  const uint32_t next_free = memo_->next_free_block();
  try {
    return FindMemoPointer([&](uint32_t, size_t, uint32_t at) { return at >= next_free; });
  } catch (const Error&) {
    return true;  // what cannot be read may point there
  }
}

// A stored memo value whose length runs past the end of the memo file cannot
// be read; values appended to the file would make it read as their bytes.
// Before the first memo value is appended, every record's memo values are
// looked at once: when one runs past the end, the memo file is damaged and no
// memo value of the table is changed (MemoDamage tells it from then on).
bool Table::MemoRunsPastEnd() const {
  if (!memo_ends_checked_ && memo_) {
    try {
      CheckMemoEnds();
    } catch (const Error&) {
      if (!memo_damage_) throw;  // the records could not be read: told when they are
    }
  }
  return memo_damage_.has_value();
}

void Table::CheckMemoEnds() const {
  memo_ends_checked_ = true;
  const uint64_t memo_size = memo_->FileSize();
  FindMemoPointer([&](uint32_t recno, size_t column, uint32_t at) {
    if (at == 0 || !memo_->RunsPastEnd(at, memo_size)) return false;
    memo_damage_checked_ = true;
    memo_damage_ = "the memo of record " + std::to_string(recno) + " (field " + names_[column] +
                   ") lies or runs past the end of the memo file; Quillon changes no memo value "
                   "of this table until it is repaired (PACK MEMO in FoxPro), so that new values cannot "
                   "turn that memo into other bytes";
    throw Error(ErrorKind::kCorrupt,
                "The memo file of table '" + name_ + "' is damaged: " + *memo_damage_ + ".");
  });
}

std::optional<std::string> Table::MissingIndexRefusal() const {
  if (missing_index_.empty() || options_.allow_missing_index) return std::nullopt;
  return "its structural index \"" + missing_index_ + "\" is missing";
}

std::optional<Table::Refusal> Table::ColumnRefusal(size_t column, bool as_if_writable) const {
  const FieldDescriptor& f = field(column);
  std::optional<std::pair<ErrorKind, std::string>> why;
  if (!FieldCodec::HasTextForm(f)) {
    why.emplace(ErrorKind::kReadOnly, "it holds binary data, which has no text form");
  } else if (!unchangeable_.empty()) {
    why.emplace(ErrorKind::kCorrupt, unchangeable_);
  } else if (std::optional<std::string> missing = MissingIndexRefusal()) {
    why.emplace(ErrorKind::kNotFound,
                *missing + ", and a change would leave the index stale when it is back");
  } else if (read_only_file_) {
    why.emplace(ErrorKind::kReadOnly, "its file is read-only");
  } else if (!file_->writable() && !as_if_writable) {
    why.emplace(ErrorKind::kReadOnly, "the table is open for reading only");
  } else if (f.autoincrement()) {
    why.emplace(ErrorKind::kReadOnly, "it is an autoincrement field, which FoxPro numbers itself");
  } else if (f.is_memo() && (MemoDamage() || (as_if_writable && MemoRunsPastEnd()))) {
    why.emplace(ErrorKind::kCorrupt, "its memo file is damaged: " + *MemoDamage());
  } else if (const IndexMaintainer::Tag* tag =
                 maintainer_ ? maintainer_->RefusingTag(column, as_if_writable) : nullptr) {
    why.emplace(ErrorKind::kIndexed, "it is part of tag " + tag->header.name +
                                         " of the structural index, which Quillon cannot keep up to date (" +
                                         tag->refusal + ")");
  }
  if (!why) return std::nullopt;
  return Refusal{
      why->first, why->second,
      "Field '" + field_name(column) + "' of table '" + name_ + "' cannot be changed: " + why->second + "."};
}

Table::Refusal Table::ValueRefusal(size_t column, const std::string& text, ErrorKind kind,
                                   const std::string& reason, const std::string& why) const {
  return Refusal{kind, reason,
                 WithFullStop("Field '" + field_name(column) + "' of table '" + name_ +
                              "' cannot take the value \"" + text + "\": " + why)};
}

std::optional<Table::Refusal> Table::CheckValue(size_t column, const std::string& text) const {
  const FieldDescriptor& f = field(column);
  if (std::optional<Refusal> refusal = ColumnRefusal(column, true)) return refusal;
  std::string bytes;
  bool short_value = false;
  std::optional<ValueProblem> problem =
      f.is_memo() ? codec_.EncodeMemo(text, &bytes) : codec_.Encode(f, text, &bytes, &short_value);
  if (problem) return ValueRefusal(column, text, ErrorKind::kInvalidValue, problem->reason, problem->message);
  return std::nullopt;
}

void Table::Assign(Edit& edit, size_t column, const std::string& text) const {
  if (std::optional<Refusal> refusal = TryAssign(edit, column, text))
    throw Error(refusal->kind, refusal->message);
}

// A bulk run gives a memo a new value in every record: the map node and the
// buffer of a value already written are used again, rather than allocated
// for each value and freed once its batch is written.
void Table::SetMemoText(Edit& edit, size_t column, std::string&& bytes) const {
  auto found = edit.memo_text.find(column);
  // The value replaced, as read (the first change of the column in this
  // edit): the save checks that nobody rewrote it in place meanwhile.
  if (found == edit.memo_text.end() && codec_.MemoBlock(edit.original, field(column)) != 0) {
    edit.memo_read[column] = Hash64(MemoBytes(edit, column));
  }
  if (found != edit.memo_text.end()) {
    found->second = std::move(bytes);
  } else if (memo_nodes_.empty()) {
    edit.memo_text.emplace(column, std::move(bytes));
  } else {
    auto node = std::move(memo_nodes_.back());
    memo_nodes_.pop_back();
    node.key() = column;
    node.mapped() = std::move(bytes);
    edit.memo_text.insert(std::move(node));
  }
}

void Table::KeepMemoNodes(std::map<size_t, std::string>& values) {
  constexpr size_t kKeptNodes = 64, kLargestKept = 64 << 10;
  while (!values.empty()) {
    auto node = values.extract(values.begin());
    if (memo_nodes_.size() < kKeptNodes && node.mapped().capacity() <= kLargestKept) {
      node.mapped().clear();
      memo_nodes_.push_back(std::move(node));
    }
  }
}

std::optional<Table::Refusal> Table::TryAssign(Edit& edit, size_t column, const std::string& text) const {
  const FieldDescriptor& f = field(column);
  auto refuse = [&](ErrorKind kind, const std::string& reason, const std::string& why) {
    return ValueRefusal(column, text, kind, reason, why);
  };
  if (!FieldCodec::HasTextForm(f)) {
    const std::string why = "it holds binary data, which has no text form";
    return refuse(ErrorKind::kReadOnly, why, why);
  }
  // Assigning the current text form keeps the stored bytes exactly. A memo
  // of a single-byte code page is compared in its stored bytes, so that the
  // value is not decoded only to be compared.
  std::string encoded;
  std::optional<ValueProblem> problem;
  if (f.is_memo()) {
    if (!memo_nodes_.empty()) encoded.swap(memo_nodes_.back().mapped());
    problem = codec_.EncodeMemo(text, &encoded);
    if (!problem && codec_.code_page().single_byte() && !codec_.IsNull(edit.working, f) &&
        MemoBytes(edit, column) == encoded) {
      return std::nullopt;
    }
  }
  if (!f.is_memo() || !codec_.code_page().single_byte()) {
    std::optional<std::string> current = Text(edit, column);
    if (current && *current == text) return std::nullopt;
  }
  if (std::optional<Refusal> refusal = ColumnRefusal(column)) {
    return refuse(refusal->kind, refusal->reason, refusal->reason);
  }
  if (f.is_memo()) {
    if (problem) return refuse(ErrorKind::kInvalidValue, problem->reason, problem->message);
    SetMemoText(edit, column, std::move(encoded));
    return std::nullopt;
  }
  bool short_value = false;
  if ((problem = codec_.Encode(f, text, &encoded, &short_value))) {
    return refuse(ErrorKind::kInvalidValue, problem->reason, problem->message);
  }
  codec_.Store(edit.working, f, encoded, short_value);
  return std::nullopt;
}
}  // namespace fox
