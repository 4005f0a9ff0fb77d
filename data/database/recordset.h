// A recordset: the rows of one table (or of a schema) with a cursor, read
// field by field and edited by assigning text.
//
// Opened on "SELECT * FROM <table>", it is a static snapshot of the records
// present at open; deleted records are not shown, as the FoxPro driver hides
// them. Records are read in blocks, so memory stays bounded whatever the size
// of the table. A record whose fields were assigned is saved when the cursor
// moves on (MoveNext), and only then; Close drops an unsaved edit. Saves are
// written in batches (see Table): a failure to write one may be thrown by a
// later MoveNext or by Close, as a SaveError naming the records it kept from
// being saved.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "data/database/table_rules.h"
#include "data/database/tag_lookup.h"
#include "data/table/table.h"

namespace fox {

class Connection;
class Recordset;

constexpr int kLockOptimistic = 3;
constexpr int kLockReadOnly = 1;
constexpr int kSchemaTables = 20;

// One column of the current row.
class Field {
 public:
  // The current value's text form; nothing for NULL (and for values without a
  // text form). Throws Error when the value cannot be read.
  std::optional<std::string> Value() const;
  // Whether the current value's text form contains `text`: the same answer
  // as searching Value(), faster for character and memo values. False for
  // NULL. Throws Error when the value cannot be read.
  bool Contains(std::string_view text) const;
  // Converts the text to the column's type and assigns it. Throws Error when
  // the text does not fit; the field then keeps its value.
  void SetValue(const std::string& text);
  // SetValue that returns the refusal of a text the column cannot take
  // instead of throwing it (see Table::TryAssign).
  std::optional<Table::Refusal> TrySetValue(const std::string& text);
  Field& operator=(const std::string& text) {
    SetValue(text);
    return *this;
  }
  std::string name() const;

 private:
  friend class Fields;
  Field(Recordset* owner, size_t column) : owner_(owner), column_(column) {}
  Recordset* owner_;
  size_t column_;
};

class Fields {
 public:
  size_t count() const;
  Field operator[](size_t column) const;
  // Throws Error(kNotFound) when no column has that name (ignoring case).
  Field operator[](const std::string& name) const;

 private:
  friend class Recordset;
  explicit Fields(Recordset* owner) : owner_(owner) {}
  Recordset* owner_;
};

class Recordset {
 public:
  Recordset();
  ~Recordset();

  // Opens "SELECT * FROM <table name>" on an open connection. Lock type 3
  // (optimistic) opens the table for writing; 1 opens it read-only.
  void Open(const std::string& source, Connection& connection, int lock_type);
  // Called before each batch of saves of the tables opened from now on is
  // written, from the thread that writes it; must not throw. `ahead`: see
  // Table::Options::write_ahead.
  void BeforeWrite(Table::Options::BeforeWrite hook, Table::Options::WriteAhead ahead = {}) {
    before_write_ = std::move(hook);
    write_ahead_ = std::move(ahead);
  }
  // The run log the batches of the tables opened from now on go to, and
  // what is told when one is committed there (Table::Options).
  void LogTo(RunLog* run_log, Table::Options::AfterCommit after_commit = {}) {
    run_log_ = run_log;
    after_commit_ = std::move(after_commit);
  }
  // Writes the saves still waiting and closes; throws when they cannot be
  // written, closed all the same.
  void Close();
  bool is_open() const { return open_; }

  bool Eof() const;
  // Saves the current record if it was edited, then moves on. When the save
  // fails the cursor still moves on and the error is thrown: the record keeps
  // the values on disk.
  void MoveNext();
  // Saves the current record as MoveNext does, then moves to record `recno`
  // (or the first record after it that is not deleted; 0: the end) as the
  // cursor would reach it.
  void MoveTo(uint32_t recno);
  // Saves the current record as MoveNext does, then makes record `recno`
  // current, read afresh from the file: a record another program changed
  // while it was edited, to be changed again. False, with the cursor at the
  // end, when it is deleted or no longer there.
  bool Reread(uint32_t recno);
  // Writes the saves still waiting (see Close), the recordset staying open.
  void Flush();

  Fields fields() { return Fields(this); }

  // False only when no field of the current row can contain `text` in its
  // text form (see Table::RecordMayContain): a whole row can then be passed
  // over without looking at its fields one by one.
  // `columns`, when given, gets one flag per column: 0 when it cannot, 1
  // when it may, 2 when it does.
  bool MayContain(std::string_view text, std::vector<char>* columns = nullptr) const;

  // Whether the column could take `text` (Table::CheckValue); writes nothing.
  std::optional<Table::Refusal> CheckValue(size_t column, const std::string& text) const;
  // A dry run's assignment: `text` is given to `column` of the current edit
  // as a table open for writing would take it, on a table open read-only
  // too, so that the rules, relations and keys judge the record as the
  // real run would. The refusal (CheckValue) leaves the edit as it was. The
  // caller takes the edit back (RevertColumn) before the cursor moves: it
  // is never saved.
  std::optional<Table::Refusal> Foresee(size_t column, const std::string& text);

  // Moves the cursor past records that hold none of `texts` (see
  // Table::RecordsMayContain), a span of records at a time, stopping at the
  // first span that may hold one, at the end, or after about a block of
  // records (so that the caller can show progress). Does nothing on an
  // edited row. Throws Error when records cannot be read.
  void PassOverRecordsHoldingNone(const std::vector<std::string_view>& texts);

  // The current row's stored forms (see Table::StoredForm): as read, or as
  // edited; the columns its edit changes; a stored form given back.
  std::string StoredForm(size_t column, bool original) const;
  void StoredForm(size_t column, bool original, std::string* out) const;
  std::vector<size_t> EditedColumns() const;
  void EditedColumns(std::vector<size_t>* columns) const;
  void SetStoredForm(size_t column, std::string_view stored);
  // The current row's record bytes as read (`original`) or as edited.
  std::string_view RecordBytes(bool original) const;
  // Table::RevertIfUnchanged for the current row's edit.
  bool RevertIfUnchanged(size_t column);
  // Record number of the current row in its table (1-based); 0 for schemas.
  uint32_t recno() const;
  const Table* table() const { return table_.get(); }
  // The name the table's container gives it (relations name it so); "" for
  // a free table.
  std::string ContainerName() const { return rules_ ? rules_->table_name() : std::string(); }

  // The rules of the container the table belongs to (see TableRules); each
  // gives nothing for a free table. Why the table must not change at all:
  // an update trigger other than the referential-integrity builder's, which
  // runs code Quillon cannot run, or a record rule Quillon cannot evaluate
  // (neither when `allow_triggers`, the user's override: the code is then
  // not run, see LetCodeThrough).
  std::optional<Table::Refusal> RulesRefuseTable(bool allow_triggers) const;
  // The user's override for this recordset: a record rule Quillon cannot
  // evaluate is passed over by CheckRule and CheckRecordRuleWith (the
  // caller tells the table changed without it), as RulesRefuseTable(true)
  // lets the table change.
  void LetCodeThrough(bool let) { let_code_through_ = let; }
  // The table's update trigger when it is not the referential-integrity
  // builder's (code Quillon cannot run); "" otherwise.
  std::string ForeignTrigger() const;
  // Why the table's record rule can never be evaluated ("a rule Quillon
  // cannot evaluate: it calls checkcredit()"); "" when it can, or there is
  // none.
  std::string UnevaluableRecordRule() const;
  // Why `column` must not change: its rule cannot be evaluated.
  std::optional<Table::Refusal> RulesRefuseColumn(size_t column) const;
  // The current edit checked with the rule of `column` (after its value was
  // set), or, with no column, with the record's rule: the refusal, carrying
  // FoxPro's message, or nothing when the rule holds.
  std::optional<Table::Refusal> CheckRule(std::optional<size_t> column) const;
  // The same for `text` as the value of `column`, the current edit left as
  // it is (a dry run).
  std::optional<Table::Refusal> CheckRuleWith(size_t column, const std::string& text) const;
  // The record's rule over the current record with `values` (column, text)
  // assigned, the current edit left as it is (a dry run).
  std::optional<Table::Refusal> CheckRecordRuleWith(
      const std::vector<std::pair<size_t, std::string>>& values) const;
  // The container's restrict rules over the current edit: a parent's key
  // changed while a child holds the old one (update rule restrict), or a
  // child's key changed to one no parent holds (insert rule restrict). The
  // refusal, or nothing.
  std::optional<Table::Refusal> CheckRelations();
  // The same for the current record with `values` (column, text)
  // assigned, the current edit left as it is (a dry run).
  std::optional<Table::Refusal> CheckRelationsWith(const std::vector<std::pair<size_t, std::string>>& values);
  // The same, except for `cascading`'s insert rule: the current record is
  // its child, taking a new key its parent is taking too.
  std::optional<Table::Refusal> CheckRelations(const ContainerRelation& cascading);
  // Puts the value `column` had when the record was read back into the
  // current edit.
  void RevertColumn(size_t column);

  // A change of the current edit's key in a relation whose update rule is
  // cascade: the child records that hold the old key must take the new one.
  // Such keys are plain fields on both sides (as FoxPro's own cascade
  // needs); RulesRefuseColumn refuses any other.
  struct KeyCascade {
    ContainerRelation relation;
    size_t column = 0;      // the key's column in this table
    std::string old_key;    // this table's key as read (relation_key.h)
    std::string old_value;  // the key column's value as read and as edited, as text
    std::string new_value;
  };
  // The cascades the current edit calls for, in relation order; a key
  // change that cannot be carried to the children (the key cannot be worked
  // out, or the new one is null or leaves the tag) gives a refusal instead.
  std::vector<KeyCascade> KeyCascades(std::optional<Table::Refusal>* refusal) const;
  // The same for the current record with `values` (column, text) assigned,
  // the current edit left as it is (a dry run).
  std::vector<KeyCascade> KeyCascadesWith(const std::vector<std::pair<size_t, std::string>>& values,
                                          std::optional<Table::Refusal>* refusal) const;
  // The column a tag of this table keys on when its key is that plain field;
  // nothing otherwise.
  std::optional<size_t> PlainKeyColumn(const std::string& tag) const;
  // How many records of a relation's child hold `key` in its tag (deleted
  // ones included): -1 when that cannot be known.
  int64_t ChildrenHolding(const ContainerRelation& relation, const std::string& key) const;
  // The records of this table whose key in `tag` may be `key`, and those
  // NoteKeyed told of; a caller confirms each on reading it (CurrentKey),
  // deleted ones included. They are looked up in the tag's pages on disk
  // (TagLookup), which show every save once the table is flushed: what
  // NoteKeyed tells is kept until then. A tag whose pages cannot be read so
  // has its keys worked out from the whole table once instead, kept up to
  // date by NoteKeyed.
  std::vector<uint32_t> RecordsKeyed(const std::string& tag, const std::string& key);
  void NoteKeyed(const std::string& tag, const std::string& key, uint32_t recno);
  // The current record's relation key in `tag` (relation_key.h: none when
  // NULL or left out by the tag's FOR clause), as read (`original`) or as
  // edited.
  std::optional<std::string> CurrentKey(const std::string& tag, bool original) const;
  // The maintained candidate tags of the table (a database's primary key is
  // one too), which allow each key once: their names, the columns whose
  // changes may change their keys, and how many records hold each key
  // (deleted records too, as the tag holds them; none for a record its FOR
  // clause leaves out). A tag whose keys cannot all be worked out is left
  // out: its save refuses what it must.
  // A tag whose pages can be read (`on_disk`) has no keys counted: they are
  // looked up there (OthersWithEditedKey) instead.
  struct CandidateTag {
    std::string name;
    std::vector<size_t> columns;
    std::unordered_map<std::string, int64_t> keys;
    bool on_disk = false;
  };
  std::vector<CandidateTag> CandidateTags();
  // Counts the keys of `tag` over the whole table (records saved and not
  // yet written included); false when they cannot all be worked out.
  bool CountKeys(CandidateTag* tag) const;
  // The records other than the current one whose entries in `tag` on disk
  // hold the key the current edit gives it (pages read afresh: they show
  // what was saved before the table's last flush, and perhaps more);
  // nothing when the pages cannot be read so.
  std::optional<std::vector<uint32_t>> OthersWithEditedKey(const std::string& tag);
  // Table::Hold and Table::ReleaseHolds for this recordset's table.
  void Hold(uint32_t recno);
  void ReleaseHolds() noexcept;

 private:
  friend class Field;
  friend class Fields;
  friend class Connection;

  void OpenRows(std::vector<std::string> names, std::vector<std::vector<std::string>> rows);
  // Moves to the next record that is not deleted and starts its edit.
  void Advance();
  // Saves the current edit, then `move`s; a save failure is thrown after
  // the move, together with the move's own failure.
  void SaveAndMove(const std::function<void()>& move);
  size_t ColumnCount() const;
  std::string ColumnName(size_t column) const;
  std::optional<std::string> Read(size_t column) const;
  bool Contains(size_t column, std::string_view text) const;
  void Write(size_t column, const std::string& text);
  std::optional<Table::Refusal> TryWrite(size_t column, const std::string& text);
  // `text` as the value of `column` in `edit`, a copy for the rules to
  // judge; false when the field cannot hold it at all.
  bool AssignToCheck(Table::Edit& edit, size_t column, const std::string& text) const;
  // The refusal of `column`'s rule (none: the record's rule) over `edit`
  // after the columns `changed` changed, or nothing when it holds.
  std::optional<Table::Refusal> RuleRefusalIn(const Table::Edit& edit, const std::vector<size_t>& changed,
                                              std::optional<size_t> column) const;

  bool open_ = false;
  bool let_code_through_ = false;
  Table::Options::BeforeWrite before_write_;
  Table::Options::WriteAhead write_ahead_;
  RunLog* run_log_ = nullptr;
  Table::Options::AfterCommit after_commit_;
  // Table rows.
  std::unique_ptr<Table> table_;
  std::unique_ptr<TableRules> rules_;       // the container's rules for the table; null for a free table
  const Connection* connection_ = nullptr;  // the table's, while open
  // The keys the other table of a relation holds in the relation's tag (its
  // relation keys: NULL keys left out), read once per table opened, for the
  // restrict rules; null when they cannot be known (why in `why`).
  // Looked up in the other table's tag (`lookup`, the table kept open)
  // when its pages can be read so; counted in `keys` otherwise.
  struct RelatedKeys {
    std::unordered_map<std::string, int64_t> keys;  // how many records hold each
    std::string why;
    bool of_child = false;
    std::unique_ptr<Table> table;
    const IndexMaintainer::Tag* tag = nullptr;
    std::unique_ptr<TagLookup> lookup;
  };
  // How many records of the other table hold `key` (live ones only for a
  // parent's keys); -1 when that cannot be known (why in `why`).
  int64_t HoldersOf(RelatedKeys& related, const std::string& key) const;
  // Counts the other table's keys in `related.keys` (`why` when they
  // cannot be worked out), and lets go of the table.
  static void CountRelated(RelatedKeys& related);
  // RecordsKeyed's lookups, by tag (lower case): the tag's pages on disk
  // read through `index`, with `noted` the records told of since the last
  // flush; or, without `index`, `noted` the whole table's live records. By
  // the hash of their key.
  struct KeyedTag {
    bool on_disk = false;
    std::unordered_map<uint64_t, std::vector<uint32_t>> noted;
  };
  std::map<std::string, KeyedTag> keyed_;
  std::unique_ptr<TagLookup> lookup_;  // the table's tags' pages on disk
  std::vector<KeyCascade> CascadesIn(const Table::Edit& edit, std::optional<Table::Refusal>* refusal) const;
  std::optional<Table::Refusal> RelationsRefuse(const Table::Edit& edit, const ContainerRelation* cascading);
  mutable std::map<std::string, RelatedKeys> related_;  // by "table.tag", lower case
  // The relation's other table's keys: its child's (`of_child`, deleted
  // records included) or its parent's (live records only).
  RelatedKeys& KeysOf(const ContainerRelation& relation, bool of_child) const;
  std::string block_;  // records [block_first_, block_first_ + block_count_)
  uint32_t block_first_ = 0;
  uint32_t block_count_ = 0;
  uint32_t position_ = 0;  // current record number, > record_count at end
  // Records before this one may hold one of these texts (PassOverRecordsHoldingNone).
  uint32_t may_hold_until_ = 0;
  // The texts' hashes, in order: a set list may hold a million texts, so
  // they are told apart by hash rather than kept again. MayContain is asked
  // for them in order, so the one after the last asked for is tried first,
  // then the first.
  std::vector<uint64_t> may_hold_hashes_;
  mutable size_t may_hold_next_ = 0;
  std::vector<char> memos_hold_none_;  // by text: no memo value of the span holds it
  Table::Edit edit_;
  // Schema rows.
  bool schema_ = false;
  std::vector<std::string> row_names_;
  std::vector<std::vector<std::string>> rows_;
};

}  // namespace fox
