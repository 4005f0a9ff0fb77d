#include "data/table.h"

#include <algorithm>
#include <ctime>
#include <system_error>
#include <filesystem>

#include "data/error.h"
#include "data/file_names.h"
#include "data/index_check.h"
#include "data/index_rebuild.h"
#include "data/local_time.h"
#include "data/utf8_path.h"

namespace fox {
namespace {

std::string BaseName(const std::string& path) { return Utf8FromPath(PathFromUtf8(path).stem()); }

std::exception_ptr Combine(std::exception_ptr first, std::exception_ptr second);

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

}  // namespace

Table::Table(const std::string& path, const Options& options)
    : path_(path),
      name_(options.display_name.empty() ? BaseName(path) : options.display_name),
      file_(std::make_unique<DiskFile>(path, options.mode, "table file of '" + name_ + "'")),
      header_(TableHeader::Read(*file_, name_)),
      codec_(header_, CodePage::FromMark(header_.code_page_mark)),
      record_count_(header_.record_count),
      options_(options) {
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
    if (options.mode == DiskFile::Mode::kReadWrite) {
      throw Error(ErrorKind::kCorrupt, "Table '" + name_ + "' is damaged: the file holds more records than its "
                                       "header counts, so Quillon will not change it.");
    }
    unchangeable_ = "the table is damaged: the file holds more records than its header counts";
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
        unchangeable_ = "its structural index cannot be read (" + std::string(e.what()) + ")";
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
    for (const IndexMaintainer::Tag& tag : maintainer_->tags()) {
      indexed_.insert(tag.columns.begin(), tag.columns.end());
      if (tag.maintained && (tag.header.options & IndexTag::kCandidate))
        candidate_columns_.insert(tag.columns.begin(), tag.columns.end());
    }
    if (file_->writable()) marker_ = std::make_unique<RepairMarker>(*file_, name_);
  }
}

std::string Table::RepairInterruptedRun() {
  if (!marker_ || !marker_->TakeLeftOver()) return "";
  struct Let {
    RepairMarker& marker;
    ~Let() { marker.Release(); }
  } let{*marker_};
  const std::string stopped = "Quillon's last run on table '" + name_ + "' stopped before it finished";
  std::vector<std::string> rebuilt;
  try {
    for (const TagCheck& check : CheckIndex(*this)) {
      if (check.checked && !check.consistent()) rebuilt.push_back(check.tag);
    }
    if (!rebuilt.empty()) RebuildTags(*this, rebuilt);
    DiskFile::RemoveFile(RepairMarker::PathFor(path_), "marker file");
  } catch (const Error& e) {
    throw Error(e.kind(), stopped + ", and its structural index could not be checked and repaired: " + e.what() +
                              " The table was not changed.");
  }
  if (rebuilt.empty()) {
    repair_notice_ = stopped + ": every tag of its structural index still agrees with the records.";
    return repair_notice_;
  }
  std::string tags;
  for (size_t i = 0; i < rebuilt.size(); ++i) {
    tags += (i == 0 ? "" : i + 1 == rebuilt.size() ? " and " : ", ") + rebuilt[i];
  }
  repair_notice_ = stopped + ": the " + (rebuilt.size() == 1 ? "tag " : "tags ") + tags +
                   " of its structural index no longer agreed with the records and " +
                   (rebuilt.size() == 1 ? "was" : "were") + " rebuilt.";
  return repair_notice_;
}

Table::~Table() {
  {
    std::lock_guard<std::recursive_mutex> hold(batch_mutex_);
    try {
      FlushAndWait();
    } catch (...) {
      // Reported to a caller that flushed first; nobody is left to tell.
    }
  }
  {
    std::lock_guard<std::mutex> hold(flight_mutex_);
    stopping_ = true;
  }
  flight_wake_.notify_all();
  if (batch_watchdog_.joinable()) batch_watchdog_.join();
  // The index thread goes after the watchdog, which may seal a batch.
  DropIndexJobs();
  if (index_thread_.joinable()) {
    {
      std::lock_guard<std::mutex> jobs(jobs_mutex_);
      jobs_stopping_ = true;
    }
    jobs_wake_.notify_all();
    index_thread_.join();
  }
  // Every write is done: the marker goes once the files are durable.
  if (marker_) {
    try {
      marker_->Leave([this] {
        file_->Sync();
        index_->file().Sync();
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
    std::lock_guard<std::recursive_mutex> hold(batch_mutex_);
    try {
      FlushAndWait();
    } catch (...) {
      deferred_ = Combine(deferred_, std::current_exception());
    }
  }
  if (maintainer_) maintainer_->EndSession();
}

std::unique_lock<std::recursive_mutex> Table::GuardBatch() const {
  if (!batch_pending_.load(std::memory_order_acquire)) return {};
  return std::unique_lock<std::recursive_mutex>(batch_mutex_);
}

void Table::ReadRecords(uint32_t first, uint32_t count, std::string* out) const {
  out->resize(static_cast<size_t>(count) * header_.record_length);
  if (count == 0) return;
  // Saves not yet on disk are read as they will be: those of the current
  // batch, and those the writer is writing (which it cannot finish while
  // the file is read here, so none is missed between the read and the
  // overlay).
  const std::unique_lock<std::recursive_mutex> guard = GuardBatch();
  std::lock_guard<std::mutex> flight(flight_mutex_);
  file_->ReadExactAt(header_.record_offset(first), out->data(), out->size(),
                     "records " + std::to_string(first) + " to " + std::to_string(first + count - 1) +
                         " of table '" + name_ + "'");
  auto overlay = [&](const std::vector<Pending>& saves) {
    for (const Pending& p : saves) {
      if (p.recno >= first && p.recno - first < count)
        out->replace(static_cast<size_t>(p.recno - first) * header_.record_length, p.record.size(), p.record);
    }
  };
  if (flight_busy_) overlay(flight_.batch);
  overlay(batch_);
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

// "17", "17 and 18", "17, 18 and 20", or for a long list its ends and size:
// "17 ... 2480 (2000 records)".
std::string RecordList(const std::vector<uint32_t>& records) {
  if (records.empty()) return "";
  if (records.size() > 10) {
    return std::to_string(records.front()) + " ... " + std::to_string(records.back()) + " (" +
           std::to_string(records.size()) + " records)";
  }
  std::string list;
  for (size_t i = 0; i < records.size(); ++i) {
    if (i > 0) list += i + 1 == records.size() ? " and " : ", ";
    list += std::to_string(records[i]);
  }
  return list;
}

// Why a save is refused when another program changed its record since it
// was read.
constexpr char kChangedMeanwhile[] =
    "another program changed the record after Quillon read it, and its change was kept";

// "The change to record 17 of table 'x' was not saved: <why>", or "The
// changes to records ... were".
std::string NotSaved(const std::vector<uint32_t>& records, const std::string& table, const std::string& why) {
  return (records.size() == 1 ? "The change to record " : "The changes to records ") + RecordList(records) +
         " of table '" + table + "' " + (records.size() == 1 ? "was" : "were") + " not saved: " + why;
}

// The reason in a message that says what was not saved and why ("... was
// not saved: another program has locked the record."): the part after
// "not saved: ", without its full stop; the whole message otherwise.
std::string ShortCause(const std::string& message) {
  static const std::string kMark = "not saved: ";
  const size_t at = message.find(kMark);
  std::string cause = at == std::string::npos ? message : message.substr(at + kMark.size());
  if (!cause.empty() && cause.back() == '.') cause.pop_back();
  return cause;
}

// Two failures told as one, so that neither is lost: the records of both,
// the message of each. Either may be null.
std::exception_ptr Combine(std::exception_ptr first, std::exception_ptr second) {
  if (!first) return second;
  if (!second) return first;
  ErrorKind kind = ErrorKind::kIo;
  std::string message;
  std::vector<std::pair<uint32_t, std::string>> records;  // with their causes
  std::vector<uint32_t> retryable;
  bool first_one = true;
  for (const std::exception_ptr& failure : {first, second}) {
    try {
      std::rethrow_exception(failure);
    } catch (const SaveError& e) {
      if (first_one) kind = e.kind();
      message += (message.empty() ? "" : " ") + std::string(e.what());
      for (size_t i = 0; i < e.records().size(); ++i) records.emplace_back(e.records()[i], ShortCause(e.cause(i)));
      retryable.insert(retryable.end(), e.retryable().begin(), e.retryable().end());
    } catch (const Error& e) {
      if (first_one) kind = e.kind();
      message += (message.empty() ? "" : " ") + std::string(e.what());
    } catch (const std::exception& e) {
      message += (message.empty() ? "" : " ") + std::string(e.what());
    } catch (...) {
    }
    first_one = false;
  }
  std::stable_sort(records.begin(), records.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> numbers;
  std::vector<std::string> causes;
  for (auto& [recno, cause] : records) {
    if (!numbers.empty() && numbers.back() == recno) continue;
    numbers.push_back(recno);
    causes.push_back(std::move(cause));
  }
  std::sort(retryable.begin(), retryable.end());
  retryable.erase(std::unique(retryable.begin(), retryable.end()), retryable.end());
  return std::make_exception_ptr(
      SaveError(kind, message, std::move(numbers), std::move(causes)).set_retryable(std::move(retryable)));
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

bool Table::RecordMayContain(const Edit& edit, const std::string& text, bool memos_hold_none,
                             std::vector<char>* columns) const {
  const RecordProbe& probe = ProbeFor(text);
  if (columns) columns->assign(field_count(), probe.by_field || text.empty() ? 1 : 0);
  if (probe.by_field || text.empty()) return true;
  bool any = false;
  if (probe.bytes && edit.working.find(*probe.bytes) != std::string::npos) {
    if (!columns) return true;
    // Only a column whose own bytes hold the text can show it.
    const std::string_view record(edit.working);
    for (size_t c = 0; c < field_count(); ++c) {
      const FieldDescriptor& f = field(c);
      if (!f.is_memo() && record.substr(f.offset, f.length).find(*probe.bytes) != std::string_view::npos) {
        (*columns)[c] = 1;
        any = true;
      }
    }
  }
  for (size_t c : probe.one_by_one) {
    if (memos_hold_none && field(c).is_memo()) continue;
    if (columns ? (*columns)[c] == 0 && Contains(edit, c, text) : Contains(edit, c, text)) {
      if (!columns) return true;
      (*columns)[c] = 2;
      any = true;
    }
  }
  return any;
}

bool Table::RecordsMayContain(std::string_view records, const std::string& text, bool* memos_may) const {
  bool ignored;
  bool& memos = memos_may ? *memos_may : ignored;
  memos = true;
  const RecordProbe& probe = ProbeFor(text);
  if (probe.by_field || text.empty() || !probe.bytes) return true;
  const bool in_records = records.find(*probe.bytes) != std::string_view::npos;
  if (in_records && !memos_may) return true;
  const size_t length = header_.record_length;
  uint32_t low = 0xFFFFFFFFu, high = 0;
  bool others = false;  // columns other than memos searched one by one
  for (size_t c : probe.one_by_one) {
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
  memos = high != 0 && memo_->SpanMayHold(low, high, *probe.bytes);
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
    std::unique_lock<std::recursive_mutex> guard;
    if (memo_->MayBeStaged(block)) guard = std::unique_lock<std::recursive_mutex>(batch_mutex_);
    memo_->Read(block, value);
  } catch (const Error& e) {
    throw Unreadable(edit, column, e);
  }
}

void Table::EditedColumns(const Edit& edit, std::vector<size_t>* out) const {
  std::vector<size_t>& columns = *out;
  columns.clear();
  for (size_t c = 0; c < visible_.size(); ++c) {
    const FieldDescriptor& f = field(c);
    if (edit.memo_text.count(c) || edit.original.compare(f.offset, f.length, edit.working, f.offset, f.length) != 0 ||
        (codec_.HasFlagBits(f) && codec_.FlagBits(edit.original, f) != codec_.FlagBits(edit.working, f))) {
      columns.push_back(c);
    }
  }
}

void Table::SetStoredForm(Edit& edit, size_t column, std::string_view stored) {
  const FieldDescriptor& f = field(column);
  const bool flags = codec_.HasFlagBits(f);
  auto refuse = [&](const std::string& why) {
    throw Error(ErrorKind::kInvalidValue, "Field '" + names_[column] + "' of table '" + name_ +
                                              "' cannot take back its value: " + why + ".");
  };
  if (flags && stored.empty()) refuse("the stored value has lost its flags");
  const std::string_view bytes = stored.substr(flags ? 1 : 0);
  if (f.is_memo()) {
    if (bytes.size() > FieldCodec::kLongestMemoValue) refuse("the value is longer than FoxPro can hold in one value");
    SetMemoText(edit, column, std::string(bytes));
  } else {
    if (bytes.size() != f.length) {
      refuse("the stored value has " + std::to_string(bytes.size()) + " bytes, the field " + std::to_string(f.length));
    }
    edit.working.replace(f.offset, f.length, bytes);
  }
  if (flags) codec_.SetFlagBits(edit.working, f, static_cast<unsigned char>(stored[0]));
  memo_value_block_ = 0;
}

bool Table::Contains(const Edit& edit, size_t column, const std::string& text) const {
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
  const RecordProbe& probe = ProbeFor(text);
  if (probe.by_field) {
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
        if (!codec_.IsNull(record, field(c)) && visit(first + k, c, codec_.MemoBlock(record, field(c)))) return true;
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
    why.emplace(ErrorKind::kNotFound, *missing + ", and a change would leave the index stale when it is back");
  } else if (!file_->writable() && !as_if_writable) {
    why.emplace(ErrorKind::kReadOnly, "the table is open for reading only");
  } else if (f.autoincrement()) {
    why.emplace(ErrorKind::kReadOnly, "it is an autoincrement field, which FoxPro numbers itself");
  } else if (f.is_memo() && (MemoDamage() || (as_if_writable && MemoRunsPastEnd()))) {
    why.emplace(ErrorKind::kCorrupt, "its memo file is damaged: " + *MemoDamage());
  } else if (const IndexMaintainer::Tag* tag = maintainer_ ? maintainer_->RefusingTag(column) : nullptr) {
    why.emplace(ErrorKind::kIndexed, "it is part of tag " + tag->header.name +
                                         " of the structural index, which Quillon cannot keep up to date (" +
                                         tag->refusal + ")");
  }
  if (!why) return std::nullopt;
  return Refusal{why->first, why->second,
                 "Field '" + field_name(column) + "' of table '" + name_ + "' cannot be changed: " + why->second + "."};
}

Table::Refusal Table::ValueRefusal(size_t column, const std::string& text, ErrorKind kind, const std::string& reason,
                                   const std::string& why) const {
  return Refusal{kind, reason,
                 "Field '" + field_name(column) + "' of table '" + name_ + "' cannot take the value \"" + text +
                     "\": " + why + "."};
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
  if (std::optional<Refusal> refusal = TryAssign(edit, column, text)) throw Error(refusal->kind, refusal->message);
}

// A bulk run gives a memo a new value in every record: the map node and the
// buffer of a value already written are used again, rather than allocated
// for each value and freed once its batch is written.
void Table::SetMemoText(Edit& edit, size_t column, std::string&& bytes) const {
  auto found = edit.memo_text.find(column);
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

// Write order for a batch, and what a crash after each step leaves. Steps 1
// and 2 are done when the batch is sealed, the rest by the writer thread
// while the next batch gathers (the next is sealed only once this one is
// written):
// 1. the memo values of the whole batch, appended with the advanced
//    next-free pointer: the old records with their old keys; the new memo
//    blocks are unreferenced.
// 2. the change counter (first change of an index session only) and the
//    index pages added by splits, appended at the end of the index file:
//    the same, plus index pages nothing refers to. Then one flush makes the
//    memo values durable, before any record points at them.
// 3. each record compared once more with the disk (a program that ignores
//    the locks may have changed it: then nothing of the batch is written,
//    see WriteFlight), the change log lines of the batch, then the records,
//    consecutive ones in one write: each record wholly old or
//    wholly new (a record is far smaller than a disk sector's worth of
//    atomicity only when it is written by one call, which it always is),
//    new records with old keys, which a plain REINDEX repairs.
// 4. the changed index pages: some keys old, some new, which a plain
//    REINDEX repairs.
// After step 4 the records and every tag agree again; the record locks are
// released only then. Steps 2 to 4 are not flushed (a flush per batch for
// them would double the cost of a run), so after a crash of the system (not
// only of this program) the disk may hold any mix of them: one of the
// states above, or a tree pointing to added pages that never arrived.
// REINDEX repairs every one of them, since it rebuilds each tag from the tag
// directory and the tag headers, which are never written here. Only the
// memo values must reach the disk before the records that point to them,
// since nothing rebuilds those.
// A failure in steps 1 and 2 (a full disk, say) leaves every record of the
// batch as it was (SaveError); steps 3 and 4 can fail with records written,
// and say so.
void Table::Save(Edit& edit) {
  if (!edit.changed()) return;
  if (std::optional<std::string> why = MissingIndexRefusal()) {
    throw SaveError(ErrorKind::kNotFound, NotSaved({edit.recno}, name_, *why) + ".", {edit.recno}, *why);
  }
  std::unique_lock<std::recursive_mutex> hold(batch_mutex_);
  // A failure of the saves before this one (a batch the watchdog sealed or
  // the writer wrote, or one written now because it is due) does not keep
  // this one from its batch: it is thrown once this one is there.
  std::exception_ptr earlier = std::move(deferred_);
  deferred_ = nullptr;
  try {
    // A failure of the writer drops the current batch, worked out on top of
    // the batch it could not write: this save starts the next one.
    bool failed = false;
    {
      std::lock_guard<std::mutex> flight(flight_mutex_);
      failed = !flight_busy_ && flight_failure_;
    }
    if (failed) WaitForFlight(true);
  } catch (...) {
    earlier = Combine(earlier, std::current_exception());
  }
  try {
    // Records usually come in ascending order: only a record at or below the
    // batch's highest may be in it already.
    const bool in_batch =
        !batch_.empty() && edit.recno <= batch_max_recno_ &&
        std::any_of(batch_.begin(), batch_.end(), [&](const Pending& p) { return p.recno == edit.recno; });
    if (!batch_.empty() && (in_batch ||
                            std::chrono::steady_clock::now().time_since_epoch().count() >=
                                batch_due_.load(std::memory_order_relaxed) ||
                            (maintainer_ && maintainer_->SessionDue()) ||
                            jobs_failed_.load(std::memory_order_relaxed))) {
      FlushLocked();
    }
    // A record being written is saved again once it is on disk.
    if (InFlight(edit.recno)) WaitForFlight(true);
  } catch (...) {
    earlier = Combine(earlier, std::current_exception());
    ReleaseIndex();
  }
  try {
    Queue(edit);
  } catch (const Error& refusal) {
    // The saves before it go out first, so that another program waiting for
    // a lock gets in while the caller reports the refusal.
    std::exception_ptr failure = earlier;
    try {
      FlushAndWait();
    } catch (...) {
      failure = Combine(failure, std::current_exception());
    }
    ReleaseIndex();
    SaveError refused(refusal.kind(), refusal.what(), {edit.recno}, ShortCause(refusal.what()));
    if (refusal.kind() == ErrorKind::kConflict) refused.set_retryable({edit.recno});
    if (failure) {
      try {
        std::rethrow_exception(failure);
      } catch (const SaveError&) {
        std::rethrow_exception(Combine(failure, std::make_exception_ptr(refused)));
      } catch (...) {
        deferred_ = Combine(deferred_, failure);  // told at the next call
      }
    }
    throw refused;
  }
  try {
    if (batch_.size() >= std::max<size_t>(1, options_.batch_records) || batch_bytes_ >= options_.batch_bytes ||
        batch_runs_ >= kBatchRuns) {
      FlushLocked();
    } else if (batch_.size() == 1) {
      batch_due_.store((std::chrono::steady_clock::now() + options_.batch_delay).time_since_epoch().count(),
                       std::memory_order_relaxed);
      if (!batch_watchdog_.joinable()) {
        try {
          batch_watchdog_ = std::thread([this] { WatchBatch(); });
        } catch (const std::system_error&) {
          // Without a watchdog an idle batch could wait for ever: write each
          // save at once instead.
          options_.batch_records = 1;
          FlushLocked();
        }
      }
      // Taken and let go so that the watchdog, between its look at the
      // batch and its wait, cannot miss this.
      { std::lock_guard<std::mutex> flight(flight_mutex_); }
      flight_wake_.notify_all();
    }
  } catch (...) {
    ReleaseIndex();
    deferred_ = Combine(earlier, deferred_);
    throw;
  }
  if (earlier) std::rethrow_exception(earlier);
}

void Table::Queue(Edit& edit) {
  // The edit keeps its buffers, which the next record read into it reuses;
  // the copies go into the buffers of a written batch's save.
  Pending pending;
  if (!spare_.empty()) {
    pending = std::move(spare_.back());
    spare_.pop_back();
  }
  pending.recno = edit.recno;
  pending.original.assign(edit.original);
  KeepMemoNodes(pending.memo_text);
  pending.memo_text = std::move(edit.memo_text);
  pending.record.assign(edit.working);
  // A refused save leaves the edit as it was.
  auto give_back = [&] { edit.memo_text = std::move(pending.memo_text); };
  const bool ahead = IndexAhead();
  try {
    Stage(pending, ahead);
  } catch (const Error& e) {
    give_back();
    if (maintainer_ && maintainer_->lost()) {
      // The index changes of the saves before this one could not be worked
      // out again: none of them can be written.
      std::vector<uint32_t> records = DropBatch();
      records.push_back(edit.recno);
      std::sort(records.begin(), records.end());
      const std::string message = NotSaved(records, name_, e.what());
      throw SaveError(e.kind(), message, std::move(records), ShortCause(e.what()));
    }
    // A record another program changed since it was read may no longer have
    // the keys the index changes start from: say what really happened.
    if (ChangedSinceRead(edit.recno, edit.original)) {
      throw Error(ErrorKind::kConflict, NotSaved({edit.recno}, name_, kChangedMeanwhile) + ".");
    }
    throw;
  }
  batch_bytes_ += 2 * pending.record.size();
  for (const auto& [column, data] : pending.memo_text) batch_bytes_ += 2 * data.size();
  edit.original.assign(pending.record);
  edit.working.assign(pending.record);
  edit.memo_text.clear();
  memo_value_block_ = 0;  // the edit now points at staged values
  // Records not next to the one before take a lock of their own when the
  // batch is written, and the system's lock list grows with each: a batch
  // holds a bounded number of such runs.
  if (batch_.empty() || pending.recno != batch_.back().recno + 1) ++batch_runs_;
  if (batch_.empty()) batch_runs_ = 1;
  batch_max_recno_ = batch_.empty() ? pending.recno : std::max(batch_max_recno_, pending.recno);
  if (batch_.empty()) batch_.reserve(std::min<size_t>(options_.batch_records, 4096));
  batch_.push_back(std::move(pending));
  batch_pending_.store(true, std::memory_order_release);
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
    throw Error(ErrorKind::kCorrupt, "The memo file of table '" + name_ + "' is damaged: " + *memo_damage_ + ".");
  });
}

void Table::Stage(Pending& pending, bool ahead) {
  // The memo values are staged, then everything the index needs is worked
  // out: a refusal (a candidate key taken, a tag that cannot be kept up to
  // date, a damaged tag) drops this save's values and leaves every file as
  // it was. The index lock is held from here on: taken now, or still held
  // by an earlier save of the same session. Ahead, the index thread makes
  // the changes to the pages (and takes the lock), and its refusals are
  // taken care of when the batch is sealed (FlushLocked).
  const size_t staged = memo_ ? memo_->staged_bytes() : 0;
  if (!pending.memo_text.empty() && !memo_ends_checked_) {
    MemoDamage();  // looked at once: values a stopped writer left past the next free block are passed over
    CheckMemoEnds();
  }
  try {
    for (const auto& [column, data] : pending.memo_text) {
      codec_.SetMemoBlock(pending.record, field(column), memo_->Stage(data));
    }
    if (maintainer_) {
      IndexJob job;
      job.recno = pending.recno;
      const bool deleted_changed = pending.original[0] != pending.record[0];
      if (ahead) {
        ChangedColumns(pending.original, pending.record, &pending.memo_text, &indexed_, &changed_);
        if (changed_.empty() && !deleted_changed) return;
        // A change that may take a candidate key is worked out here, after
        // the jobs before it, so that its refusal is told by this save, as
        // without the index thread: where such refusals are told in a run
        // depends on nothing but the data.
        const bool candidate =
            (deleted_changed && !candidate_columns_.empty()) ||
            std::any_of(changed_.begin(), changed_.end(), [&](size_t c) { return candidate_columns_.count(c) != 0; });
        if (!candidate) {
          if (!maintainer_->reads_memos()) {
            // The keys too are worked out by the index thread, from copies
            // of the record, as they need no memo value (read here only).
            job.before = pending.original;
            job.after = pending.record;
            job.changed = changed_;
            QueueIndexJob(std::move(job));
          } else if (maintainer_->KeyChanges(pending.original, pending.record, pending.recno, changed_,
                                             pending.memo_text, &job.changes)) {
            QueueIndexJob(std::move(job));
          }
          return;
        }
        WaitForIndexJobs();
      } else {
        ChangedColumns(pending.original, pending.record, &pending.memo_text, nullptr, &changed_);
      }
      if (maintainer_->KeyChanges(pending.original, pending.record, pending.recno, changed_, pending.memo_text,
                                  &job.changes)) {
        maintainer_->ApplyChanges(job.changes, pending.recno);
      }
    }
  } catch (...) {
    if (memo_) memo_->Unstage(staged);
    throw;
  }
}

std::vector<std::unique_ptr<RangeLock>> Table::LockAndCheck(std::vector<Pending>& batch,
                                                             std::vector<std::pair<uint32_t, Error>>* refused) {
  const size_t length = header_.record_length;
  std::vector<std::unique_ptr<RangeLock>> locks;
  size_t kept = 0;  // batch[0, kept) are the records checked and kept
  std::string on_disk;
  for (size_t i = 0; i < batch.size();) {
    size_t j = i + 1;
    while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
    const uint32_t first = batch[i].recno, last = batch[j - 1].recno;
    // One lock for the run: record n's lock byte lies at 0x7FFFFFFE - n, so
    // the bytes of consecutive records are consecutive. When another program
    // holds one of them, each record is locked on its own.
    std::vector<bool> locked(j - i, true);
    try {
      locks.push_back(std::make_unique<RangeLock>(*file_, RecordLockOffset(last), last - first + 1, ""));
    } catch (const Error& e) {
      if (e.kind() != ErrorKind::kLocked || j - i == 1) {
        if (e.kind() != ErrorKind::kLocked) throw;
        locked[0] = false;
      } else {
        for (size_t k = i; k < j; ++k) {
          try {
            locks.push_back(std::make_unique<RangeLock>(*file_, RecordLockOffset(batch[k].recno), 1, ""));
          } catch (const Error& single) {
            if (single.kind() != ErrorKind::kLocked) throw;
            locked[k - i] = false;
          }
        }
      }
    }
    on_disk.resize((last - first + 1) * length);
    file_->ReadExactAt(header_.record_offset(first), on_disk.data(), on_disk.size(),
                       "records " + std::to_string(first) + " to " + std::to_string(last) + " of table '" + name_ + "'");
    for (size_t k = i; k < j; ++k) {
      if (!locked[k - i]) {
        refused->emplace_back(batch[k].recno, Error(ErrorKind::kLocked, "another program has locked the record"));
      } else if (on_disk.compare((k - i) * length, length, batch[k].original) != 0) {
        refused->emplace_back(batch[k].recno, Error(ErrorKind::kConflict, kChangedMeanwhile));
      } else {
        if (kept != k) batch[kept] = std::move(batch[k]);
        ++kept;
      }
    }
    i = j;
  }
  batch.erase(batch.begin() + static_cast<std::ptrdiff_t>(kept), batch.end());
  return locks;
}

void Table::Flush() {
  std::lock_guard<std::recursive_mutex> hold(batch_mutex_);
  ThrowDeferred();
  FlushAndWait();
}

void Table::FlushAndWait() {
  std::exception_ptr failure;
  try {
    FlushLocked();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    WaitForFlight(true);
  } catch (...) {
    failure = Combine(failure, std::current_exception());
  }
  if (failure) std::rethrow_exception(failure);
}

size_t Table::pending_saves() const {
  std::lock_guard<std::recursive_mutex> hold(batch_mutex_);
  std::lock_guard<std::mutex> flight(flight_mutex_);
  return batch_.size() + (flight_busy_ ? flight_.batch.size() : 0);
}

void Table::ThrowDeferred() {
  if (!deferred_) return;
  std::exception_ptr failure = std::move(deferred_);
  deferred_ = nullptr;
  std::rethrow_exception(failure);
}

bool Table::InFlight(uint32_t recno) const {
  std::lock_guard<std::mutex> flight(flight_mutex_);
  if (!flight_busy_) return false;
  const auto& batch = flight_.batch;
  const auto at = std::lower_bound(batch.begin(), batch.end(), recno,
                                   [](const Pending& p, uint32_t n) { return p.recno < n; });
  return at != batch.end() && at->recno == recno;
}

void Table::WriteSealed(std::unique_lock<std::mutex>& hold) {
  flight_started_ = true;
  hold.unlock();
  std::exception_ptr failure;
  try {
    WriteFlight(flight_);
  } catch (...) {
    failure = std::current_exception();
  }
  hold.lock();
  // The saves keep their buffers, memo values included, for the next batch:
  // the saving thread that made them frees them when it reuses the saves
  // (freed here, each would go back to that thread's heap under its lock).
  flight_.locks.clear();
  flight_failure_ = Combine(flight_failure_, failure);
  flight_busy_ = false;
  flight_started_ = false;
  flight_wake_.notify_all();
}

std::vector<uint32_t> Table::DropBatch() {
  std::vector<uint32_t> records;
  for (const Pending& p : batch_) records.push_back(p.recno);
  std::sort(records.begin(), records.end());
  batch_.clear();
  batch_bytes_ = 0;
  batch_runs_ = 0;
  batch_pending_.store(false, std::memory_order_release);
  DropIndexJobs();
  if (memo_) memo_->Discard();
  if (maintainer_) maintainer_->Discard();
  return records;
}

void Table::WaitForFlight(bool throw_failure) {
  std::exception_ptr failure;
  {
    // A sealed batch the writer has not started is written here: the writer
    // may be waiting for batch_mutex_, which the caller holds.
    std::unique_lock<std::mutex> flight(flight_mutex_);
    while (flight_busy_) {
      if (flight_started_) {
        flight_wake_.wait(flight);
      } else {
        WriteSealed(flight);
      }
    }
    if (!throw_failure || !flight_failure_) return;
    failure = std::move(flight_failure_);
    flight_failure_ = nullptr;
  }
  // The current batch's memo values follow the failed batch's, and its index
  // changes were made on top of that batch's: none of it can be written.
  if (!batch_.empty()) {
    // When another program's change held the batch back, these records can
    // be read and changed again as well.
    bool retry = false;
    try {
      std::rethrow_exception(failure);
    } catch (const SaveError& e) {
      retry = !e.retryable().empty();
    } catch (...) {
    }
    const std::vector<uint32_t> failed = DropBatch();
    SaveError dropped(ErrorKind::kIo,
                      NotSaved(failed, name_, "they were to be written after the batch that failed") + ".", failed,
                      "it was to be written after a batch that failed");
    if (retry) dropped.set_retryable(failed);
    failure = Combine(failure, std::make_exception_ptr(dropped));
  }
  std::rethrow_exception(failure);
}

// Seals the current batch: the records are locked and checked, the memo
// values and new index pages written (steps 0 to 2 of Save), and the rest is
// handed to the writer. The batch before it is finished first.
void Table::FlushLocked() {
  WaitForFlight(true);
  if (batch_.empty()) return;
  std::vector<Pending> batch = std::move(batch_);
  // The written batch's saves serve the next batch's: a walk writes many
  // batches, and freeing and taking their buffers each time costs.
  batch_ = std::move(spare_);
  batch_.clear();
  spare_ = std::move(flight_.batch);
  flight_.batch.clear();
  batch_bytes_ = 0;
  batch_runs_ = 0;
  struct Done {  // whatever happens, the batch is no longer pending when this returns or throws
    std::atomic<bool>& pending;
    ~Done() { pending.store(false, std::memory_order_release); }
  } done{batch_pending_};
  const auto by_recno = [](const Pending& a, const Pending& b) { return a.recno < b.recno; };
  if (!std::is_sorted(batch.begin(), batch.end(), by_recno)) std::sort(batch.begin(), batch.end(), by_recno);

  // The index thread's work on the batch: a save it refused is taken out
  // (and the others staged again below); when it lost the changes waiting,
  // none of the batch can be written.
  std::vector<std::pair<uint32_t, Error>> index_refused;
  std::optional<Error> index_lost;
  IndexJobsDone(&index_refused, &index_lost);
  std::exception_ptr index_failure;
  if (index_lost) {
    std::vector<uint32_t> all;
    for (const Pending& p : batch) all.push_back(p.recno);
    if (memo_) memo_->Discard();
    if (maintainer_) maintainer_->Discard();
    throw SaveError(index_lost->kind(), NotSaved(all, name_, index_lost->what()), std::move(all),
                    ShortCause(index_lost->what()));
  }
  if (!index_refused.empty()) {
    std::sort(index_refused.begin(), index_refused.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [recno, refusal] : index_refused) {
      const auto at = std::lower_bound(batch.begin(), batch.end(), recno,
                                       [](const Pending& p, uint32_t n) { return p.recno < n; });
      // A record another program changed since it was read may no longer
      // have the keys the index changes start from: said as what really
      // happened, as for a save refused at once.
      const bool conflict = at != batch.end() && at->recno == recno && ChangedSinceRead(recno, at->original);
      const std::string message =
          conflict ? NotSaved({recno}, name_, kChangedMeanwhile) + "." : std::string(refusal.what());
      SaveError refused(conflict ? ErrorKind::kConflict : refusal.kind(), message, {recno}, ShortCause(message));
      if (conflict) refused.set_retryable({recno});
      index_failure = Combine(index_failure, std::make_exception_ptr(refused));
      if (at != batch.end() && at->recno == recno) batch.erase(at);
    }
  }
  std::vector<uint32_t> records;
  for (const Pending& p : batch) records.push_back(p.recno);

  // Step 0: the records are locked until they are written, and each must be
  // as it was read: another program's change is kept.
  std::vector<std::pair<uint32_t, Error>> refused;
  std::vector<std::unique_ptr<RangeLock>> locks;
  try {
    locks = LockAndCheck(batch, &refused);
    if (!refused.empty() || index_failure) {
      // The staged values and index changes of the refused records must not
      // be written: everything is worked out again for the others. A record
      // whose index change no longer fits without them is refused too.
      if (memo_) memo_->Discard();
      if (maintainer_) maintainer_->Discard();
      std::vector<Pending> kept;
      for (Pending& p : batch) {
        try {
          Stage(p);
          kept.push_back(std::move(p));
        } catch (const Error& e) {
          if (maintainer_ && maintainer_->lost()) throw;
          refused.emplace_back(p.recno, e);
        }
      }
      batch = std::move(kept);
    }
  } catch (const Error& e) {
    if (memo_) memo_->Discard();
    if (maintainer_) maintainer_->Discard();
    const std::string message = NotSaved(records, name_, e.what());
    std::rethrow_exception(Combine(
        index_failure, std::make_exception_ptr(SaveError(e.kind(), message, std::move(records), ShortCause(e.what())))));
  }

  // Steps 1 and 2: the memo values (not yet flushed) and the new index
  // pages; nothing of the records written yet.
  Flight sealed;
  try {
    // Nothing of the table or its index is written before the marker is
    // there.
    if (marker_ && !marker_->entered()) marker_->Enter();
    sealed.sync_memo = memo_ && memo_->staged_bytes() > 0;
    if (memo_) memo_->Write();
    if (maintainer_) maintainer_->WriteNewPages();
    if (maintainer_) sealed.pages = maintainer_->TakePages();
  } catch (const Error& e) {
    if (memo_) memo_->Discard();
    if (maintainer_) maintainer_->Discard();
    records.clear();
    for (const Pending& p : batch) records.push_back(p.recno);
    for (const auto& r : refused) records.push_back(r.first);
    std::sort(records.begin(), records.end());
    const std::string message = NotSaved(records, name_, e.what());
    std::rethrow_exception(Combine(
        index_failure, std::make_exception_ptr(SaveError(e.kind(), message, std::move(records), ShortCause(e.what())))));
  }
  sealed.batch = std::move(batch);
  sealed.locks = std::move(locks);

  if (batch_watchdog_.joinable()) {
    {
      std::lock_guard<std::mutex> flight(flight_mutex_);
      flight_ = std::move(sealed);
      flight_busy_ = true;
      flight_started_ = false;
    }
    flight_wake_.notify_all();
  } else {
    // No writer thread (saves written one by one): written here.
    WriteFlight(sealed);
  }

  if (!refused.empty()) {
    std::sort(refused.begin(), refused.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<uint32_t> which, retryable;
    std::vector<std::string> causes;
    std::string why;
    ErrorKind kind = refused.front().second.kind();
    for (const auto& [recno, error] : refused) {
      which.push_back(recno);
      causes.push_back(ShortCause(error.what()));
      if (why.find(error.what()) == std::string::npos) why += (why.empty() ? "" : "; ") + std::string(error.what());
      if (error.kind() == ErrorKind::kConflict) {
        kind = ErrorKind::kConflict;
        retryable.push_back(recno);
      }
    }
    const std::string message = NotSaved(which, name_, why) + ".";
    SaveError failure(kind, message, std::move(which), std::move(causes));
    failure.set_retryable(std::move(retryable));
    index_failure = Combine(index_failure, std::make_exception_ptr(failure));
  }
  if (index_failure) std::rethrow_exception(index_failure);
}

bool Table::IndexAhead() {
  if (!options_.index_ahead || options_.batch_records <= 1 || !maintainer_ || index_thread_failed_) return false;
  if (!index_thread_.joinable()) {
    try {
      index_thread_ = std::thread([this] { WorkOutIndexJobs(); });
    } catch (const std::system_error&) {
      index_thread_failed_ = true;  // the saving thread makes the changes itself
      return false;
    }
  }
  return true;
}

void Table::QueueIndexJob(IndexJob job) {
  bool idle = false;
  {
    std::lock_guard<std::mutex> jobs(jobs_mutex_);
    jobs_.push_back(std::move(job));
    idle = jobs_idle_ && jobs_.size() - jobs_next_ >= kJobsPerWake;
  }
  // An idle thread is woken for a handful of jobs at a time (or when the
  // batch is sealed), a busy one finds them itself: waking it for each would
  // cost more than the job.
  if (idle) jobs_wake_.notify_one();
}

void Table::WorkOutIndexJobs() {
  std::unique_lock<std::mutex> hold(jobs_mutex_);
  for (;;) {
    if (jobs_next_ == jobs_.size()) {
      jobs_.clear();
      jobs_next_ = 0;
      if (jobs_stopping_) return;
      jobs_idle_ = true;
      jobs_wake_.wait(hold);
      jobs_idle_ = false;
      continue;
    }
    IndexJob job = std::move(jobs_[jobs_next_++]);
    jobs_busy_ = true;
    // Once the changes waiting are lost, the batch is dropped: the jobs
    // after it are not made.
    const bool skip = jobs_lost_.has_value();
    hold.unlock();
    std::optional<Error> refusal;
    bool lost = false;
    if (!skip) {
      try {
        static const IndexExpression::MemoValues kNoMemos;
        if (job.changes.empty()) {
          maintainer_->KeyChanges(job.before, job.after, job.recno, job.changed, kNoMemos, &job.changes);
        }
        if (!job.changes.empty()) maintainer_->ApplyChanges(job.changes, job.recno);
      } catch (const Error& e) {
        refusal = e;
      } catch (const std::exception& e) {
        refusal = Error(ErrorKind::kIo, "The change to record " + std::to_string(job.recno) + " of table '" + name_ +
                                            "' was not saved: " + e.what() + ".");
      }
      if (refusal) lost = maintainer_->lost();
    }
    hold.lock();
    jobs_busy_ = false;
    if (refusal) {
      if (lost) {
        jobs_lost_ = std::move(refusal);
      } else {
        jobs_refused_.emplace_back(job.recno, std::move(*refusal));
      }
      jobs_failed_.store(true, std::memory_order_relaxed);
    }
    if (jobs_next_ == jobs_.size() && jobs_awaited_) jobs_done_.notify_all();
  }
}

void Table::WaitForIndexJobs() {
  if (!index_thread_.joinable()) return;
  std::unique_lock<std::mutex> hold(jobs_mutex_);
  if (jobs_idle_ && jobs_next_ < jobs_.size()) jobs_wake_.notify_one();
  jobs_awaited_ = true;
  jobs_done_.wait(hold, [this] { return jobs_next_ == jobs_.size() && !jobs_busy_; });
  jobs_awaited_ = false;
}

void Table::IndexJobsDone(std::vector<std::pair<uint32_t, Error>>* refused, std::optional<Error>* lost) {
  if (!index_thread_.joinable()) return;
  WaitForIndexJobs();
  std::lock_guard<std::mutex> hold(jobs_mutex_);
  *refused = std::move(jobs_refused_);
  jobs_refused_.clear();
  *lost = std::move(jobs_lost_);
  jobs_lost_.reset();
  jobs_failed_.store(false, std::memory_order_relaxed);
}

void Table::DropIndexJobs() {
  if (!index_thread_.joinable()) return;
  std::unique_lock<std::mutex> hold(jobs_mutex_);
  jobs_.clear();
  jobs_next_ = 0;
  jobs_awaited_ = true;
  jobs_done_.wait(hold, [this] { return !jobs_busy_; });
  jobs_awaited_ = false;
  jobs_refused_.clear();
  jobs_lost_.reset();
  jobs_failed_.store(false, std::memory_order_relaxed);
}

void Table::WriteFlight(Flight& flight) {
  std::vector<Pending>& batch = flight.batch;
  std::vector<uint32_t> records;
  for (const Pending& p : batch) records.push_back(p.recno);
  auto fail = [&](const Error& e, size_t written, bool retryable = false) {
    if (maintainer_) maintainer_->DropPages(flight.pages);
    flight.locks.clear();
    std::vector<uint32_t> unsaved(records.begin() + static_cast<std::ptrdiff_t>(written), records.end());
    std::string message = NotSaved(unsaved, name_, e.what());
    if (written > 0 && maintainer_) {
      message += " The records before them were saved, but the structural index was not brought up to date: "
                 "reindex the table in FoxPro before using it.";
    }
    SaveError failure(e.kind(), message, unsaved, ShortCause(e.what()));
    if (retryable) failure.set_retryable(std::move(unsaved));
    throw failure;
  };

  // Step 1's flush: the memo values are durable before any record points
  // at them. Their writing to the disk is started first, then what the
  // caller must make durable before the records (write_ahead), so that the
  // two flushes wait for the disk together rather than one after the other.
  if (flight.sync_memo) memo_->StartSync();
  if (options_.write_ahead) options_.write_ahead();
  if (flight.sync_memo) {
    try {
      memo_->Sync();
    } catch (const Error& e) {
      fail(e, 0);
    }
  }

  // Right before the records are written, each is compared once more with
  // what was read: a program that writes records without taking their locks
  // may have changed one since the batch was sealed. Its change is kept, and
  // none of the batch is written, since the batch's index changes were
  // worked out with that record; every record of it can be read and changed
  // again.
  try {
    if (options_.before_recheck) options_.before_recheck();
    if (std::optional<uint32_t> changed = ChangedOnDisk(batch)) {
      fail(Error(ErrorKind::kConflict, "another program changed record " + std::to_string(*changed) +
                                           " without locking it after Quillon read it, and its change was kept"),
           0, true);
    }
  } catch (const SaveError&) {
    throw;
  } catch (const Error& e) {
    fail(e, 0);
  }

  // Step 3: the records, runs of consecutive records in one write each.
  if (options_.before_write && !batch.empty() && !options_.before_write(records)) {
    fail(Error(ErrorKind::kIo, "the change log or the undo journal could not be written first"), 0);
  }
  const size_t length = header_.record_length;
  std::string run;
  size_t written = 0;
  try {
    for (size_t i = 0; i < batch.size();) {
      size_t j = i + 1;
      while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
      if (j - i == 1) {
        file_->WriteAt(header_.record_offset(batch[i].recno), batch[i].record.data(), length);
      } else {
        run.clear();
        for (size_t k = i; k < j; ++k) run += batch[k].record;
        file_->WriteAt(header_.record_offset(batch[i].recno), run.data(), run.size());
      }
      written = j;
      i = j;
    }
    if (written > 0) WriteHeaderDate();
  } catch (const Error& e) {
    fail(e, written);
  }

  // Step 4.
  try {
    if (maintainer_) maintainer_->WritePages(flight.pages);
  } catch (...) {
    flight.locks.clear();
    throw;
  }
  flight.locks.clear();
  // A table with a repair marker is flushed once, when it is closed, before
  // the marker goes: the records' writeback starts now, so that the flush
  // then waits for little.
  if (marker_ && written > 0) {
    const uint64_t first = header_.record_offset(batch.front().recno);
    file_->StartSync(first, header_.record_offset(batch.back().recno) + length - first);
  }
}

// The watchdog writes the batches handed over to it, and seals a batch that
// has waited for its time limit (a message box shown during a run, say).
void Table::WatchBatch() {
  std::unique_lock<std::mutex> flight(flight_mutex_);
  while (true) {
    if (flight_busy_ && !flight_started_) {
      WriteSealed(flight);
      continue;
    }
    if (stopping_) return;
    if (!batch_pending_.load(std::memory_order_acquire)) {
      flight_wake_.wait(flight);
      continue;
    }
    const auto due = std::chrono::steady_clock::time_point(
        std::chrono::steady_clock::duration(batch_due_.load(std::memory_order_relaxed)));
    if (std::chrono::steady_clock::now() < due) {
      flight_wake_.wait_until(flight, due);
      continue;
    }
    // Never waits for batch_mutex_: its holder may be waiting for this
    // thread to write a batch it has just sealed.
    flight.unlock();
    std::unique_lock<std::recursive_mutex> hold(batch_mutex_, std::try_to_lock);
    if (hold.owns_lock()) {
      const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
      if (!batch_.empty() && now >= batch_due_.load(std::memory_order_relaxed)) {
        try {
          FlushLocked();
        } catch (...) {
          deferred_ = Combine(deferred_, std::current_exception());
        }
      }
      hold.unlock();
      flight.lock();
    } else {
      flight.lock();
      if (!flight_busy_) flight_wake_.wait_for(flight, std::chrono::milliseconds(1));
    }
  }
}

bool Table::ChangedSinceRead(uint32_t recno, const std::string& original) const {
  std::string on_disk(header_.record_length, '\0');
  return file_->ReadAt(header_.record_offset(recno), on_disk.data(), on_disk.size()) == on_disk.size() &&
         on_disk != original;
}

std::optional<uint32_t> Table::ChangedOnDisk(const std::vector<Pending>& batch) {
  const size_t length = header_.record_length;
  std::string& on_disk = recheck_;
  for (size_t i = 0; i < batch.size();) {
    size_t j = i + 1;
    while (j < batch.size() && batch[j].recno == batch[j - 1].recno + 1) ++j;
    const uint32_t first = batch[i].recno, last = batch[j - 1].recno;
    on_disk.resize(size_t{last - first + 1} * length);
    file_->ReadExactAt(header_.record_offset(first), on_disk.data(), on_disk.size(),
                       "records " + std::to_string(first) + " to " + std::to_string(last) + " of table '" + name_ + "'");
    for (size_t k = i; k < j; ++k) {
      if (on_disk.compare((k - i) * length, length, batch[k].original) != 0) return batch[k].recno;
    }
    i = j;
  }
  return std::nullopt;
}

void Table::ChangedColumns(std::string_view before, std::string_view after,
                           const std::map<size_t, std::string>* memo_text, const std::set<size_t>* among,
                           std::vector<size_t>* changed) const {
  changed->clear();
  auto differs = [&](size_t c) {
    const FieldDescriptor& f = field(c);
    return (memo_text && memo_text->count(c)) || before.substr(f.offset, f.length) != after.substr(f.offset, f.length) ||
           codec_.IsNull(before, f) != codec_.IsNull(after, f);
  };
  if (among) {
    for (size_t c : *among) {
      if (differs(c)) changed->push_back(c);
    }
  } else {
    for (size_t c = 0; c < visible_.size(); ++c) {
      if (differs(c)) changed->push_back(c);
    }
  }
}

void Table::WriteHeaderDate() {
  const std::tm local = LocalTime(std::time(nullptr));
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
