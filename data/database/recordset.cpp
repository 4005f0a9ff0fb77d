#include "data/database/recordset.h"

#include <algorithm>
#include <cctype>

#include "data/database/connection.h"
#include "data/database/relation_key.h"
#include "data/file/file_names.h"
#include "data/util/error.h"
#include "data/util/full_stop.h"
#include "data/util/hash.h"

namespace fox {
namespace {

constexpr size_t kBlockBytes = 1 << 20;  // records are read about a megabyte at a time

std::string TableNameOf(const std::string& source) {
  static const std::string kPrefix = "SELECT * FROM ";
  if (source.size() <= kPrefix.size() || !EqualIgnoringCase(source.substr(0, kPrefix.size()), kPrefix)) {
    throw Error(ErrorKind::kUsage, "Only \"SELECT * FROM <table>\" can be opened, not \"" + source + "\".");
  }
  std::string name = source.substr(kPrefix.size());
  const size_t first = name.find_first_not_of(" \t");
  const size_t last = name.find_last_not_of(" \t;");
  if (first == std::string::npos || last == std::string::npos || last < first) {
    throw Error(ErrorKind::kUsage, "\"" + source + "\" names no table.");
  }
  return name.substr(first, last - first + 1);
}

}  // namespace

std::optional<std::string> Field::Value() const { return owner_->Read(column_); }
bool Field::Contains(std::string_view text) const { return owner_->Contains(column_, text); }
void Field::SetValue(const std::string& text) { owner_->Write(column_, text); }
std::optional<Table::Refusal> Field::TrySetValue(const std::string& text) {
  return owner_->TryWrite(column_, text);
}
std::string Field::name() const { return owner_->ColumnName(column_); }

size_t Fields::count() const { return owner_->ColumnCount(); }

Field Fields::operator[](size_t column) const {
  if (column >= owner_->ColumnCount()) {
    throw Error(ErrorKind::kNotFound, "There is no column " + std::to_string(column) + ".");
  }
  return Field(owner_, column);
}

Field Fields::operator[](const std::string& name) const {
  for (size_t c = 0; c < owner_->ColumnCount(); ++c) {
    if (EqualIgnoringCase(owner_->ColumnName(c), name)) return Field(owner_, c);
  }
  throw Error(ErrorKind::kNotFound, "There is no column called '" + name + "'.");
}

Recordset::Recordset() = default;
Recordset::~Recordset() = default;

void Recordset::Open(const std::string& source, Connection& connection, int lock_type) {
  Close();
  const DiskFile::Mode mode =
      lock_type == kLockReadOnly ? DiskFile::Mode::kReadOnly : DiskFile::Mode::kReadWrite;
  table_ =
      connection.OpenTable(TableNameOf(source), mode, before_write_, write_ahead_, run_log_, after_commit_);
  rules_ = connection.RulesOf(TableNameOf(source), *table_);
  connection_ = &connection;
  related_.clear();
  keyed_.clear();
  lookup_ = std::make_unique<TagLookup>(*table_);
  open_ = true;
  position_ = 0;
  Advance();
}

void Recordset::OpenRows(std::vector<std::string> names, std::vector<std::vector<std::string>> rows) {
  Close();
  schema_ = true;
  row_names_ = std::move(names);
  rows_ = std::move(rows);
  position_ = 0;
  open_ = true;
}

void Recordset::Close() {
  // Saves still gathered in the table's batch are written now; the edit of
  // the current record, never saved, is dropped.
  std::exception_ptr failure;
  if (table_) {
    try {
      table_->Flush();
    } catch (...) {
      failure = std::current_exception();
    }
    table_->ReleaseIndex();
  }
  table_.reset();
  keyed_.clear();
  related_.clear();
  lookup_.reset();
  block_.clear();
  block_.shrink_to_fit();
  block_first_ = block_count_ = 0;
  may_hold_until_ = 0;
  edit_ = Table::Edit();
  schema_ = false;
  row_names_.clear();
  rows_.clear();
  position_ = 0;
  open_ = false;
  if (failure) std::rethrow_exception(failure);
}

static void RequireOpen(bool open) {
  if (!open) throw Error(ErrorKind::kUsage, "The recordset is not open.");
}

bool Recordset::Eof() const {
  RequireOpen(open_);
  if (schema_) return position_ >= rows_.size();
  return position_ > table_->record_count();
}

void Recordset::Advance() {
  const uint32_t count = table_->record_count();
  const uint32_t length = table_->header().record_length;
  // The edit's buffers are reused from record to record.
  edit_.recno = 0;
  edit_.memo_text.clear();
  edit_.memo_read.clear();
  for (++position_; position_ <= count; ++position_) {
    if (position_ < block_first_ || position_ >= block_first_ + block_count_) {
      block_first_ = position_;
      block_count_ = std::min<uint32_t>(count - position_ + 1,
                                        static_cast<uint32_t>(std::max<size_t>(1, kBlockBytes / length)));
      table_->ReadRecords(block_first_, block_count_, &block_);
    }
    std::string_view record(block_.data() + static_cast<size_t>(position_ - block_first_) * length, length);
    if (table_->IsDeleted(record)) continue;  // the FoxPro driver hides deleted records
    edit_.recno = position_;
    edit_.original.assign(record);
    edit_.working.assign(record);
    return;
  }
  edit_.original.clear();
  edit_.working.clear();
}

void Recordset::MoveNext() {
  RequireOpen(open_);
  if (Eof()) throw Error(ErrorKind::kUsage, "MoveNext was called past the last record.");
  if (schema_) {
    ++position_;
    return;
  }
  SaveAndMove([this] { Advance(); });
}

void Recordset::MoveTo(uint32_t recno) {
  RequireOpen(open_);
  if (schema_) throw Error(ErrorKind::kUsage, "MoveTo is for table rows.");
  SaveAndMove([&] {
    may_hold_until_ = 0;
    position_ = recno == 0 ? table_->record_count() : recno - 1;
    Advance();
  });
}

bool Recordset::Reread(uint32_t recno) {
  RequireOpen(open_);
  if (schema_) throw Error(ErrorKind::kUsage, "Reread is for table rows.");
  bool found = false;
  SaveAndMove([&] {
    may_hold_until_ = 0;
    edit_.recno = 0;
    edit_.memo_text.clear();
    edit_.memo_read.clear();
    table_->ForgetMemoValue();
    // A record read on its own: the block read ahead for a walk goes (a
    // cascade's child tables are read this way only, a megabyte each), and
    // a walk that goes on reads its next block afresh.
    block_count_ = 0;
    std::string().swap(block_);
    const uint32_t count = table_->record_count();
    std::string record;
    if (recno >= 1 && recno <= count) {
      table_->ReadRecords(recno, 1, &record);
      found = !table_->IsDeleted(record);
    }
    if (!found) {
      position_ = count + 1;
      edit_.original.clear();
      edit_.working.clear();
      return;
    }
    position_ = recno;
    edit_.recno = recno;
    edit_.original.assign(record);
    edit_.working.assign(record);
  });
  return found;
}

void Recordset::Flush() {
  RequireOpen(open_);
  if (!table_) return;
  // Once written (or refused), the tags' pages on disk show what was saved.
  auto forget_noted = [&] {
    for (auto& [id, keyed] : keyed_) {
      if (keyed.on_disk) keyed.noted.clear();
    }
  };
  try {
    table_->Flush();
  } catch (...) {
    forget_noted();
    throw;
  }
  forget_noted();
}

void Recordset::SaveAndMove(const std::function<void()>& move) {
  std::exception_ptr failure;
  if (edit_.changed()) {
    try {
      table_->Save(edit_);
    } catch (...) {
      failure = std::current_exception();
    }
  }
  try {
    move();
  } catch (const std::exception& read) {
    if (!failure) throw;
    // Both are told: the save's failure, which names its records, and why
    // the next record cannot be read.
    try {
      std::rethrow_exception(failure);
    } catch (const SaveError& save) {
      std::vector<std::string> causes;
      for (size_t i = 0; i < save.records().size(); ++i) causes.push_back(save.cause(i));
      throw SaveError(save.kind(), std::string(save.what()) + " " + read.what(), save.records(),
                      std::move(causes))
          .set_retryable(save.retryable());
    } catch (const Error& save) {
      throw Error(save.kind(), std::string(save.what()) + " " + read.what());
    }
  }
  if (failure) std::rethrow_exception(failure);
}

void Recordset::PassOverRecordsHoldingNone(const std::vector<std::string_view>& texts) {
  RequireOpen(open_);
  if (schema_ || edit_.changed()) return;
  constexpr uint32_t kSpan = 256;  // records tested together
  const uint32_t length = table_->header().record_length;
  const uint32_t limit = position_ + static_cast<uint32_t>(std::max<size_t>(kSpan, kBlockBytes / length));
  // A run gives the same texts every time: a span tested for others is
  // tested again.
  bool same = texts.size() == may_hold_hashes_.size();
  if (same) {
    for (size_t k = 0; k < texts.size() && same; ++k) same = Hash64(texts[k]) == may_hold_hashes_[k];
  }
  if (!same) {
    may_hold_until_ = 0;
    may_hold_hashes_.clear();
    may_hold_hashes_.reserve(texts.size());
    for (std::string_view text : texts) may_hold_hashes_.push_back(Hash64(text));
  }
  while (!Eof() && position_ < limit) {
    if (position_ >= may_hold_until_) {
      const uint32_t span_end = std::min(block_first_ + block_count_, position_ + kSpan);
      const std::string_view span(block_.data() + static_cast<size_t>(position_ - block_first_) * length,
                                  static_cast<size_t>(span_end - position_) * length);
      bool any = false;
      memos_hold_none_.assign(texts.size(), 0);
      for (size_t k = 0; k < texts.size(); ++k) {
        bool memos = true;
        if (table_->RecordsMayContain(span, texts[k], &memos)) any = true;
        memos_hold_none_[k] = !memos;
      }
      if (!any) {
        position_ = span_end - 1;
        Advance();
        continue;
      }
      may_hold_until_ = span_end;
    }
    // In a span that holds a find text, the records that hold none are
    // passed over one by one.
    for (size_t k = 0; k < texts.size(); ++k) {
      if (table_->RecordMayContain(edit_, texts[k], memos_hold_none_[k] != 0)) return;
    }
    Advance();
  }
}

uint32_t Recordset::recno() const { return schema_ ? 0 : edit_.recno; }

size_t Recordset::ColumnCount() const {
  RequireOpen(open_);
  return schema_ ? row_names_.size() : table_->field_count();
}

std::string Recordset::ColumnName(size_t column) const {
  RequireOpen(open_);
  return schema_ ? row_names_.at(column) : table_->field_name(column);
}

std::optional<std::string> Recordset::Read(size_t column) const {
  RequireOpen(open_);
  if (Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (schema_) return rows_[position_].at(column);
  return table_->Text(edit_, column);
}

bool Recordset::MayContain(std::string_view text, std::vector<char>* columns) const {
  RequireOpen(open_);
  if (Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (schema_) {
    if (columns) columns->assign(row_names_.size(), 1);
    return true;
  }
  // Within a span PassOverRecordsHoldingNone tested, the memo values found
  // to hold a text nowhere are not read again for it.
  bool memos_hold_none = false;
  if (position_ < may_hold_until_ && !edit_.changed()) {
    const uint64_t hash = Hash64(text);
    size_t k = may_hold_next_ < may_hold_hashes_.size() ? may_hold_next_ : 0;
    if (k < may_hold_hashes_.size() && may_hold_hashes_[k] == hash) {
      memos_hold_none = memos_hold_none_[k] != 0;
      may_hold_next_ = k + 1;
    }
  }
  return table_->RecordMayContain(edit_, text, memos_hold_none, columns);
}

bool Recordset::Contains(size_t column, std::string_view text) const {
  RequireOpen(open_);
  if (Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (schema_) {
    const std::string& value = rows_[position_].at(column);
    return value.find(text) != std::string::npos;
  }
  return table_->Contains(edit_, column, text);
}

void Recordset::Write(size_t column, const std::string& text) {
  if (std::optional<Table::Refusal> refusal = TryWrite(column, text))
    throw Error(refusal->kind, refusal->message);
}

std::optional<Table::Refusal> Recordset::CheckValue(size_t column, const std::string& text) const {
  RequireOpen(open_);
  if (schema_ || !table_) return std::nullopt;
  return table_->CheckValue(column, text);
}

std::optional<Table::Refusal> Recordset::Foresee(size_t column, const std::string& text) {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (std::optional<Table::Refusal> refusal = table_->CheckValue(column, text)) return refusal;
  AssignToCheck(edit_, column, text);
  return std::nullopt;
}

std::string Recordset::StoredForm(size_t column, bool original) const {
  std::string form;
  StoredForm(column, original, &form);
  return form;
}

void Recordset::StoredForm(size_t column, bool original, std::string* out) const {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (column >= ColumnCount())
    throw Error(ErrorKind::kNotFound, "There is no column " + std::to_string(column) + ".");
  table_->StoredForm(edit_, column, original, out);
}

std::vector<size_t> Recordset::EditedColumns() const {
  std::vector<size_t> columns;
  EditedColumns(&columns);
  return columns;
}

void Recordset::EditedColumns(std::vector<size_t>* columns) const {
  RequireOpen(open_);
  columns->clear();
  if (schema_ || !table_ || Eof()) return;
  table_->EditedColumns(edit_, columns);
}

void Recordset::SetStoredForm(size_t column, std::string_view stored) {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (column >= ColumnCount())
    throw Error(ErrorKind::kNotFound, "There is no column " + std::to_string(column) + ".");
  table_->SetStoredForm(edit_, column, stored);
}

std::string_view Recordset::RecordBytes(bool original) const {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  return original ? edit_.original : edit_.working;
}

bool Recordset::RevertIfUnchanged(size_t column) {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (column >= ColumnCount())
    throw Error(ErrorKind::kNotFound, "There is no column " + std::to_string(column) + ".");
  return table_->RevertIfUnchanged(edit_, column);
}

std::optional<Table::Refusal> Recordset::TryWrite(size_t column, const std::string& text) {
  RequireOpen(open_);
  if (Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  if (schema_) throw Error(ErrorKind::kReadOnly, "A schema cannot be changed.");
  return table_->TryAssign(edit_, column, text);
}

namespace {

const IndexMaintainer::Tag* FindTag(const Table& table, const std::string& name) {
  if (const IndexMaintainer* maintainer = table.index_maintainer()) {
    for (const IndexMaintainer::Tag& tag : maintainer->tags()) {
      if (EqualIgnoringCase(tag.header.name, name)) return &tag;
    }
  }
  return nullptr;
}

// The relation key of `record` in `tag` of `table` (none when the tag's FOR
// clause leaves the record out or the key is NULL), so that the keys of two
// tags of different forms compare (relation_key.h).
std::optional<std::string> KeyIn(const Table& table, const IndexMaintainer::Tag& tag, std::string_view record,
                                 const IndexExpression::MemoValues* memos = nullptr) {
  return RelationKeyIn(table, tag, record, memos);
}

bool SameRelation(const ContainerRelation& a, const ContainerRelation& b) {
  return EqualIgnoringCase(a.child_table, b.child_table) && EqualIgnoringCase(a.child_tag, b.child_tag) &&
         EqualIgnoringCase(a.parent_table, b.parent_table) && EqualIgnoringCase(a.parent_tag, b.parent_tag);
}

// The refusal of a rule for the record `recno` of `table`, telling FoxPro's
// message as it is and which rule gave it.
Table::Refusal RuleRefusalOf(const RuleRefusal& refusal, const Table& table, uint32_t recno) {
  const std::string what = refusal.column ? "The new value of field '" + table.field_name(*refusal.column) +
                                                "' of record " + std::to_string(recno) + " of table '" +
                                                table.name() + "' was not saved: "
                                          : "The changes to record " + std::to_string(recno) + " of table '" +
                                                table.name() + "' were not saved: ";
  if (refusal.kind == RuleRefusal::Kind::kCannotEvaluate) {
    return {ErrorKind::kUnsupported, "it is guarded by " + refusal.message,
            WithFullStop(what + refusal.message)};
  }
  return {ErrorKind::kInvalidValue,
          "it breaks " + refusal.rule + " (" + refusal.expression + "): " + refusal.message,
          what + refusal.message + " (" + refusal.rule + ": " + refusal.expression + ")."};
}

}  // namespace

std::optional<Table::Refusal> Recordset::RulesRefuseTable(bool allow_triggers) const {
  if (!rules_) return std::nullopt;
  if (!allow_triggers && !ForeignTrigger().empty()) {
    const std::string reason =
        "its update trigger " + rules_->update_trigger() + " runs code Quillon cannot run";
    return Table::Refusal{ErrorKind::kUnsupported, reason,
                          WithFullStop("Table '" + table_->name() + "' cannot be changed: " + reason)};
  }
  const std::string record = rules_->RecordRuleUnevaluable();
  if (!allow_triggers && !record.empty()) {
    const std::string reason = "its record validation rule is " + record;
    return Table::Refusal{ErrorKind::kUnsupported, reason,
                          WithFullStop("Table '" + table_->name() + "' cannot be changed: " + reason)};
  }
  return std::nullopt;
}

std::string Recordset::ForeignTrigger() const {
  return rules_ && !rules_->update_trigger_is_ri() ? rules_->update_trigger() : std::string();
}

std::string Recordset::UnevaluableRecordRule() const {
  return rules_ ? rules_->RecordRuleUnevaluable() : std::string();
}

std::optional<Table::Refusal> Recordset::RulesRefuseColumn(size_t column) const {
  if (!rules_) return std::nullopt;
  auto column_refusal = [&](const std::string& reason) {
    return Table::Refusal{ErrorKind::kUnsupported, reason,
                          WithFullStop("Field '" + table_->field_name(column) + "' of table '" +
                                       table_->name() + "' cannot be changed: " + reason)};
  };
  const std::string why = rules_->FieldRuleUnevaluable(column);
  if (!why.empty()) return column_refusal("its validation rule is " + why);
  // A key of a relation whose referential integrity is declared (an update
  // rule on the parent's side, an insert rule on the child's) needs the
  // relation's other table changed (cascade) or checked (restrict) with it.
  // Quillon checks restrict rules (CheckRelations) when both tables' keys
  // can be worked out; any other such key does not change, so that no child
  // is left without its parent.
  auto rule_name = [](ContainerRelation::Rule rule) {
    return rule == ContainerRelation::Rule::kCascade    ? "cascade"
           : rule == ContainerRelation::Rule::kRestrict ? "restrict"
                                                        : "not known to Quillon";
  };
  auto refuse = [&](const ContainerRelation& relation, const std::string& tag, const char* which,
                    ContainerRelation::Rule rule) -> std::optional<Table::Refusal> {
    // A tag that cannot be found: any column may be its key.
    const IndexMaintainer::Tag* key = FindTag(*table_, tag);
    if (key && key->columns.count(column) == 0) return std::nullopt;
    return column_refusal("it is part of the key (tag " + tag + ") of the relation between " +
                          relation.child_table + " and " + relation.parent_table + ", whose " + which +
                          " rule (" + rule_name(rule) +
                          ") Quillon does not apply: change it in FoxPro, where the rule is kept");
  };
  auto checkable = [&](const ContainerRelation& relation, bool parent_side) {
    const std::string& own_tag = parent_side ? relation.parent_tag : relation.child_tag;
    const IndexMaintainer::Tag* own = FindTag(*table_, own_tag);
    return own && own->key && KeysOf(relation, parent_side).why.empty();
  };
  for (const ContainerRelation& relation : rules_->as_parent()) {
    if (relation.on_update == ContainerRelation::Rule::kIgnore) continue;
    if (relation.on_update == ContainerRelation::Rule::kRestrict && checkable(relation, true)) continue;
    // A cascade is carried to the children by the caller (KeyCascades),
    // through a key that is a plain field here and in a child table that is
    // not this one.
    if (relation.on_update == ContainerRelation::Rule::kCascade && PlainKeyColumn(relation.parent_tag) &&
        !EqualIgnoringCase(relation.child_table, relation.parent_table)) {
      continue;
    }
    if (auto refusal = refuse(relation, relation.parent_tag, "update", relation.on_update)) return refusal;
  }
  for (const ContainerRelation& relation : rules_->as_child()) {
    if (relation.on_insert == ContainerRelation::Rule::kIgnore) continue;
    if (relation.on_insert == ContainerRelation::Rule::kRestrict && checkable(relation, false)) continue;
    if (auto refusal = refuse(relation, relation.child_tag, "insert", relation.on_insert)) return refusal;
  }
  return std::nullopt;
}

std::optional<Table::Refusal> Recordset::CheckRule(std::optional<size_t> column) const {
  RequireOpen(open_);
  if (!rules_ || schema_ || !table_ || Eof()) return std::nullopt;
  std::vector<size_t> changed;
  if (column) {
    if (!rules_->HasFieldRule(*column)) return std::nullopt;
    changed.push_back(*column);
  } else {
    if (!rules_->HasRecordRule()) return std::nullopt;
    table_->EditedColumns(edit_, &changed);
    if (changed.empty()) return std::nullopt;
  }
  return RuleRefusalIn(edit_, changed, column);
}

std::optional<Table::Refusal> Recordset::RuleRefusalIn(const Table::Edit& edit,
                                                       const std::vector<size_t>& changed,
                                                       std::optional<size_t> column) const {
  for (const RuleRefusal& refusal : rules_->Check(edit.working, changed, &edit.memo_text)) {
    // Each rule is asked for on its own: a field's rule, or the record's.
    // The override lets a record rule that cannot be evaluated go.
    if (refusal.column == column &&
        !(let_code_through_ && !column && refusal.kind == RuleRefusal::Kind::kCannotEvaluate))
      return RuleRefusalOf(refusal, *table_, recno());
  }
  return std::nullopt;
}

bool Recordset::AssignToCheck(Table::Edit& edit, size_t column, const std::string& text) const {
  // Only the rules look at the copy: the table's own refusals (open for
  // reading only in a dry run) are told apart.
  const FieldDescriptor& f = table_->field(column);
  std::string bytes;
  bool short_value = false;
  if (f.is_memo()) {
    if (table_->codec().EncodeMemo(text, &bytes)) return false;
    edit.memo_text[column] = std::move(bytes);
    return true;
  }
  if (table_->codec().Encode(f, text, &bytes, &short_value)) return false;
  table_->codec().Store(edit.working, f, bytes, short_value);
  return true;
}

std::optional<Table::Refusal> Recordset::CheckRuleWith(size_t column, const std::string& text) const {
  RequireOpen(open_);
  if (!rules_ || schema_ || !table_ || Eof() || !rules_->HasFieldRule(column)) return std::nullopt;
  Table::Edit edit = edit_;
  if (!AssignToCheck(edit, column, text)) return std::nullopt;  // refused for its own reasons, told apart
  return RuleRefusalIn(edit, {column}, column);
}

std::optional<Table::Refusal> Recordset::CheckRecordRuleWith(
    const std::vector<std::pair<size_t, std::string>>& values) const {
  RequireOpen(open_);
  if (!rules_ || schema_ || !table_ || Eof() || !rules_->HasRecordRule() || values.empty())
    return std::nullopt;
  Table::Edit edit = edit_;
  std::vector<size_t> changed;
  for (const auto& [column, text] : values) {
    if (AssignToCheck(edit, column, text)) changed.push_back(column);
  }
  if (changed.empty()) return std::nullopt;
  return RuleRefusalIn(edit, changed, std::nullopt);
}

Recordset::RelatedKeys& Recordset::KeysOf(const ContainerRelation& relation, bool of_child) const {
  const std::string& name = of_child ? relation.child_table : relation.parent_table;
  const std::string& tag_name = of_child ? relation.child_tag : relation.parent_tag;
  std::string id = name + "." + tag_name;
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  auto [at, made] = related_.try_emplace(id);
  RelatedKeys& related = at->second;
  if (!made) return related;
  related.of_child = of_child;
  try {
    related.table = connection_->OpenTable(name, DiskFile::Mode::kReadOnly);
    related.tag = FindTag(*related.table, tag_name);
    if (!related.tag || !related.tag->key) {
      related.why = "the keys of tag " + tag_name + " of table " + name + " cannot be worked out";
      related.table.reset();
      return related;
    }
    related.lookup = std::make_unique<TagLookup>(*related.table);
    if (related.lookup->Readable(*related.tag)) {
      related.lookup->Stored(*related.tag, std::string(related.tag->header.key_length, '\0'));
      return related;
    }
  } catch (const Error& e) {
    if (!related.table) {
      related.why = e.what();
      return related;
    }
  }
  CountRelated(related);
  return related;
}

void Recordset::CountRelated(RelatedKeys& related) {
  related.lookup.reset();
  related.keys.clear();
  try {
    const Table& other = *related.table;
    other.VisitRecords([&](uint32_t, std::string_view record) {
      // A deleted child still counts against a parent's change; only a
      // live parent makes a child's key good.
      if (!related.of_child && other.IsDeleted(record)) return;
      if (std::optional<std::string> key = KeyIn(other, *related.tag, record))
        ++related.keys[std::move(*key)];
    });
  } catch (const Error& e) {
    related.keys.clear();
    related.why = e.what();
  }
  related.tag = nullptr;
  related.table.reset();
}

int64_t Recordset::HoldersOf(RelatedKeys& related, const std::string& key) const {
  if (related.lookup) {
    try {
      int64_t holders = 0;
      std::string record;
      for (uint32_t recno : related.lookup->Related(*related.tag, key)) {
        if (!related.of_child) {
          related.table->ReadRecords(recno, 1, &record);
          if (related.table->IsDeleted(record)) continue;
        }
        ++holders;
      }
      return holders;
    } catch (const Error&) {
      CountRelated(related);
    }
  }
  if (!related.why.empty()) return -1;
  const auto at = related.keys.find(key);
  return at == related.keys.end() ? 0 : at->second;
}

std::optional<Table::Refusal> Recordset::CheckRelations() {
  RequireOpen(open_);
  if (!rules_ || schema_ || !table_ || Eof()) return std::nullopt;
  return RelationsRefuse(edit_, nullptr);
}

std::optional<Table::Refusal> Recordset::CheckRelationsWith(
    const std::vector<std::pair<size_t, std::string>>& values) {
  RequireOpen(open_);
  if (!rules_ || schema_ || !table_ || Eof() || values.empty()) return std::nullopt;
  Table::Edit edit = edit_;
  for (const auto& [column, text] : values) AssignToCheck(edit, column, text);
  return RelationsRefuse(edit, nullptr);
}

std::optional<Table::Refusal> Recordset::CheckRelations(const ContainerRelation& cascading) {
  RequireOpen(open_);
  if (!rules_ || schema_ || !table_ || Eof()) return std::nullopt;
  return RelationsRefuse(edit_, &cascading);
}

std::optional<Table::Refusal> Recordset::RelationsRefuse(const Table::Edit& edit,
                                                         const ContainerRelation* cascading) {
  auto refusal = [&](const std::string& reason) {
    return Table::Refusal{ErrorKind::kConflict, reason,
                          WithFullStop("The changes to record " + std::to_string(recno()) + " of table '" +
                                       table_->name() + "' were not saved: " + reason)};
  };
  // The record's key in the relation's tag, before and after (none: its
  // FOR clause leaves the record out): a key that cannot be worked out
  // refuses the change rather than let it go unchecked.
  struct Keys {
    bool checked = false;  // the tag's keys can be worked out at all
    std::optional<std::string> before, after;
    std::optional<Table::Refusal> refused;
  };
  auto keys = [&](const ContainerRelation& relation, const std::string& tag_name) {
    Keys k;
    const IndexMaintainer::Tag* tag = FindTag(*table_, tag_name);
    if (!tag || !tag->key) return k;  // its columns do not change (RulesRefuseColumn)
    k.checked = true;
    try {
      k.before = KeyIn(*table_, *tag, edit.original);
      k.after = KeyIn(*table_, *tag, edit.working, &edit.memo_text);
    } catch (const Error& e) {
      k.refused = refusal("its key in the relation between " + relation.child_table + " and " +
                          relation.parent_table + " cannot be worked out (" + e.what() + ")");
    }
    return k;
  };
  for (const ContainerRelation& relation : rules_->as_parent()) {
    if (relation.on_update != ContainerRelation::Rule::kRestrict) continue;
    const Keys k = keys(relation, relation.parent_tag);
    if (k.refused) return k.refused;
    if (!k.checked || !k.before || k.before == k.after) continue;
    RelatedKeys& children = KeysOf(relation, true);
    if (!children.why.empty() || HoldersOf(children, *k.before) != 0) {
      return refusal("records of table " + relation.child_table + " hold its key, and the relation between " +
                     relation.child_table + " and " + relation.parent_table +
                     " restricts changing it (update rule restrict)");
    }
  }
  for (const ContainerRelation& relation : rules_->as_child()) {
    if (relation.on_insert != ContainerRelation::Rule::kRestrict) continue;
    if (cascading && SameRelation(relation, *cascading)) continue;
    const Keys k = keys(relation, relation.child_tag);
    if (k.refused) return k.refused;
    if (!k.checked || !k.after || k.before == k.after) continue;
    RelatedKeys& parents = KeysOf(relation, false);
    if (!parents.why.empty() || HoldersOf(parents, *k.after) <= 0) {
      return refusal("no record of table " + relation.parent_table +
                     " holds the new key, and the relation between " + relation.child_table + " and " +
                     relation.parent_table + " requires one (insert rule restrict)");
    }
  }
  return std::nullopt;
}

void Recordset::RevertColumn(size_t column) {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  table_->RevertColumn(edit_, column);
}

std::optional<size_t> Recordset::PlainKeyColumn(const std::string& tag_name) const {
  const IndexMaintainer::Tag* tag = table_ ? FindTag(*table_, tag_name) : nullptr;
  if (!tag || !tag->key || tag->filter || tag->columns.size() != 1) return std::nullopt;
  std::string expression = tag->header.key_expression;
  while (!expression.empty() && expression.back() == ' ') expression.pop_back();
  while (!expression.empty() && expression.front() == ' ') expression.erase(0, 1);
  const size_t column = *tag->columns.begin();
  if (!EqualIgnoringCase(expression, table_->field_name(column))) return std::nullopt;
  return column;
}

std::vector<Recordset::KeyCascade> Recordset::KeyCascades(std::optional<Table::Refusal>* refusal) const {
  RequireOpen(open_);
  refusal->reset();
  if (!rules_ || schema_ || !table_ || Eof()) return {};
  return CascadesIn(edit_, refusal);
}

std::vector<Recordset::KeyCascade> Recordset::KeyCascadesWith(
    const std::vector<std::pair<size_t, std::string>>& values, std::optional<Table::Refusal>* refusal) const {
  RequireOpen(open_);
  refusal->reset();
  if (!rules_ || schema_ || !table_ || Eof() || values.empty()) return {};
  Table::Edit edit = edit_;
  for (const auto& [column, text] : values) AssignToCheck(edit, column, text);
  return CascadesIn(edit, refusal);
}

std::vector<Recordset::KeyCascade> Recordset::CascadesIn(const Table::Edit& edit,
                                                         std::optional<Table::Refusal>* refusal) const {
  std::vector<KeyCascade> cascades;
  auto refuse = [&](const std::string& why) {
    *refusal = Table::Refusal{ErrorKind::kConflict, why,
                              WithFullStop("The changes to record " + std::to_string(recno()) +
                                           " of table '" + table_->name() + "' were not saved: " + why)};
    return std::vector<KeyCascade>{};
  };
  for (const ContainerRelation& relation : rules_->as_parent()) {
    if (relation.on_update != ContainerRelation::Rule::kCascade) continue;
    const std::optional<size_t> column = PlainKeyColumn(relation.parent_tag);
    if (!column) continue;  // its columns do not change (RulesRefuseColumn)
    const IndexMaintainer::Tag& tag = *FindTag(*table_, relation.parent_tag);
    const std::string between =
        "the relation between " + relation.child_table + " and " + relation.parent_table;
    KeyCascade cascade{relation, *column, {}, {}, {}};
    try {
      const std::optional<std::string> before = KeyIn(*table_, tag, edit.original);
      const std::optional<std::string> after = KeyIn(*table_, tag, edit.working, &edit.memo_text);
      if (!before || before == after) continue;
      Table::Edit as_read;  // a key is never a memo: the record's bytes tell it
      as_read.recno = edit.recno;
      as_read.original = as_read.working = edit.original;
      const std::optional<std::string> old_value = table_->Text(as_read, *column);
      const std::optional<std::string> new_value = table_->Text(edit, *column);
      if (!after || !new_value || !old_value) {
        return refuse("its new key in " + between + " cannot be given to the records of table " +
                      relation.child_table + " that hold the old one (update rule cascade)");
      }
      cascade.old_key = *before;
      cascade.old_value = *old_value;
      cascade.new_value = *new_value;
    } catch (const Error& e) {
      return refuse("its key in " + between + " cannot be worked out (" + e.what() + ")");
    }
    cascades.push_back(std::move(cascade));
  }
  return cascades;
}

int64_t Recordset::ChildrenHolding(const ContainerRelation& relation, const std::string& key) const {
  RelatedKeys& children = KeysOf(relation, true);
  if (!children.why.empty()) return -1;
  return HoldersOf(children, key);
}

std::vector<uint32_t> Recordset::RecordsKeyed(const std::string& tag_name, const std::string& key) {
  RequireOpen(open_);
  std::string id = tag_name;
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const IndexMaintainer::Tag* tag = table_ ? FindTag(*table_, tag_name) : nullptr;
  if (!tag || !tag->key) {
    throw Error(ErrorKind::kUnsupported, "The keys of tag " + tag_name + " of table '" +
                                             (table_ ? table_->name() : "") + "' cannot be worked out.");
  }
  auto [at, made] = keyed_.try_emplace(id);
  KeyedTag& keyed = at->second;
  std::vector<uint32_t> records;
  if (made || keyed.on_disk) {
    bool on_disk = lookup_->Readable(*tag);
    if (on_disk) {
      try {
        records = lookup_->Related(*tag, key);
      } catch (const Error&) {
        on_disk = false;
      }
    }
    keyed.on_disk = on_disk;
    if (!on_disk) {
      // The whole table's keys from now on.
      keyed.on_disk = false;
      keyed.noted.clear();
      try {
        table_->VisitRecords([&](uint32_t recno, std::string_view record) {
          if (table_->IsDeleted(record)) return;
          if (std::optional<std::string> k = KeyIn(*table_, *tag, record))
            keyed.noted[Hash64(*k)].push_back(recno);
        });
      } catch (...) {
        keyed_.erase(at);
        throw;
      }
    }
  }
  const auto found = keyed.noted.find(Hash64(key));
  if (found != keyed.noted.end()) {
    for (uint32_t recno : found->second) {
      if (std::find(records.begin(), records.end(), recno) == records.end()) records.push_back(recno);
    }
  }
  return records;
}

void Recordset::NoteKeyed(const std::string& tag_name, const std::string& key, uint32_t recno) {
  std::string id = tag_name;
  for (char& c : id) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const auto at = keyed_.find(id);
  if (at == keyed_.end()) return;  // looked up when first asked
  std::vector<uint32_t>& records = at->second.noted[Hash64(key)];
  if (std::find(records.begin(), records.end(), recno) == records.end()) records.push_back(recno);
}

std::optional<std::string> Recordset::CurrentKey(const std::string& tag_name, bool original) const {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  const IndexMaintainer::Tag* tag = FindTag(*table_, tag_name);
  if (!tag || !tag->key) {
    throw Error(ErrorKind::kUnsupported,
                "The keys of tag " + tag_name + " of table '" + table_->name() + "' cannot be worked out.");
  }
  return original ? KeyIn(*table_, *tag, edit_.original)
                  : KeyIn(*table_, *tag, edit_.working, &edit_.memo_text);
}

void Recordset::Hold(uint32_t recno) {
  RequireOpen(open_);
  if (schema_ || !table_) throw Error(ErrorKind::kUsage, "Hold is for table rows.");
  table_->Hold(recno);
}

void Recordset::ReleaseHolds() noexcept {
  if (table_) table_->ReleaseHolds();
}

std::vector<Recordset::CandidateTag> Recordset::CandidateTags() {
  RequireOpen(open_);
  std::vector<CandidateTag> tags;
  const IndexMaintainer* maintainer = table_ ? table_->index_maintainer() : nullptr;
  if (schema_ || !maintainer) return tags;
  for (const IndexMaintainer::Tag& tag : maintainer->tags()) {
    // A tag not maintained refuses its columns (Table::ColumnRefusal); one that
    // is not only because the index is open read-only (a dry run) counts.
    if (!tag.key || !(tag.header.options & IndexTag::kCandidate)) continue;
    CandidateTag candidate{tag.header.name, {tag.columns.begin(), tag.columns.end()}, {}, false};
    if (lookup_->Readable(tag)) {
      try {
        lookup_->Stored(tag, std::string(tag.header.key_length, '\0'));
        candidate.on_disk = true;
      } catch (const Error&) {
      }
    }
    if (!candidate.on_disk && !CountKeys(&candidate)) continue;
    tags.push_back(std::move(candidate));
  }
  return tags;
}

bool Recordset::CountKeys(CandidateTag* candidate) const {
  const IndexMaintainer::Tag* tag = FindTag(*table_, candidate->name);
  if (!tag || !tag->key) return false;
  candidate->keys.clear();
  candidate->on_disk = false;
  try {
    table_->VisitRecords([&](uint32_t, std::string_view record) {
      if (std::optional<std::string> key = KeyIn(*table_, *tag, record)) ++candidate->keys[std::move(*key)];
    });
  } catch (const Error&) {
    candidate->keys.clear();
    return false;
  }
  return true;
}

std::optional<std::vector<uint32_t>> Recordset::OthersWithEditedKey(const std::string& tag_name) {
  RequireOpen(open_);
  if (schema_ || !table_ || Eof()) throw Error(ErrorKind::kUsage, "There is no current record.");
  const IndexMaintainer::Tag* tag = FindTag(*table_, tag_name);
  if (!tag || !lookup_->Readable(*tag)) return std::nullopt;
  try {
    const std::optional<std::string> stored =
        table_->index_maintainer()->KeyOf(*tag, edit_.working, &edit_.memo_text);
    std::vector<uint32_t> records;
    if (stored) records = lookup_->Stored(*tag, *stored);
    records.erase(std::remove(records.begin(), records.end(), edit_.recno), records.end());
    return records;
  } catch (const Error&) {
    return std::nullopt;
  }
}

}  // namespace fox
