// Keeps a table's structural index in line with its records.
//
// When the table is opened, every tag's key and FOR expressions are compiled
// against the table's fields. A tag is maintained when both compile, its
// key length fits the key's type, and its keys are plain bytes: MACHINE
// collation for character keys (other collations store weights from tables
// this program does not have), no VFP 9 binary (bitmap) tag, an index file
// open for writing. Changes to the fields of any other tag are refused.
//
// Saving a record asks KeyChanges and ApplyChanges for the change of every
// tag whose fields (or deletion flag) changed: the old and new key and FOR result are computed,
// and where they differ, under the index file's lock, the old entry is
// removed, the new one inserted (unique tags: only while no other record
// has the key), and a candidate tag is checked for a duplicate. All of it is
// worked out in memory before the first write, so any refusal leaves every
// file as it was. The prepared changes are then written in two steps around
// the records (see Table::Save): first the new pages, which nothing refers
// to yet; then the changed pages.
//
// Sessions. Taking the index lock, reading the tag headers and reading every
// page from the root down for every save costs more than the save itself, so
// the lock, once taken, is kept across the saves that follow, and the pages
// read or written meanwhile are kept in memory. They are trusted only while
// the lock is held without a break: the session ends, dropping them all,
// when its time limit (150 ms by default) has passed since it began, so
// that other programs wait for the lock at most that long; when EndSession
// is called; when the maintainer is destroyed; and after any error. A
// watchdog thread ends a session whose time is up while the table is idle
// (a message box shown during a run, say). After a session that ended
// because its time was up, the lock stays free for 5 ms before the next
// session takes it, so that a program trying to take it every few
// milliseconds gets it. Every session starts by reading the file header and
// the tag headers afresh, as another program may have changed the index
// since the last one.
//
// The pages of a batch of saves are written together, right after the
// batch's records (see Table::Save for the order and for what a crash
// leaves); a session whose time is up while changes wait is ended after
// they are written, never before.
//
// The change counter in the file header (which programs that cache pages
// compare to notice changes) is incremented once per session, just before
// the session's first page write. Nobody can read it while the lock is held,
// so this is the same, to them, as incrementing it when the session ends;
// but ending a session then writes nothing and cannot fail, and a session
// cut short (a crash) still leaves the counter changed.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "data/expression/index_expression.h"
#include "data/index/compound_index.h"
#include "data/index/index_key.h"
#include "data/index/index_tree.h"

namespace fox {

class IndexMaintainer {
 public:
  // How long a session keeps the index lock at most, by default.
  static constexpr std::chrono::milliseconds kDefaultLockLimit{150};

  struct Tag {
    IndexTag header;
    bool maintained = false;
    std::string refusal;       // why the tag is not maintained
    std::set<size_t> columns;  // the columns whose changes may change its keys
    bool reads_deleted_flag = false;
    std::optional<IndexExpression> key;
    std::optional<IndexExpression> filter;  // none when the tag has no FOR clause
    KeyFormat format;
    std::string header_bytes;  // the tag header as read, root pointer aside
  };

  // `index` must outlive the maintainer; it is changed only when it was
  // opened for writing. `schema` describes the table's columns. A session
  // keeps the index lock for at most `lock_limit`; zero takes it for each
  // save alone.
  IndexMaintainer(CompoundIndex& index, ExpressionSchema schema,
                  std::chrono::milliseconds lock_limit = kDefaultLockLimit);
  // Ends the session.
  ~IndexMaintainer();
  IndexMaintainer(const IndexMaintainer&) = delete;
  IndexMaintainer& operator=(const IndexMaintainer&) = delete;

  const std::vector<Tag>& tags() const { return tags_; }
  const CompoundIndex& index() const { return index_; }

  // The first tag that is not maintained and whose keys a change of
  // `column` may change; nullptr when there is none. `as_if_writable`
  // leaves out the tags that are not maintained only because the index file
  // is open for reading (a dry run opens it so).
  const Tag* RefusingTag(size_t column, bool as_if_writable = false) const;

  // The key a maintained tag holds for `record`; nothing when its FOR
  // clause leaves the record out. Throws Error(kUnsupported) when FoxPro's
  // key cannot be told for sure and Error(kCorrupt) for unreadable values.
  // `pending_memos` holds memo values not yet written, by column.
  std::optional<std::string> KeyOf(const Tag& tag, std::string_view record,
                                   const IndexExpression::MemoValues* pending_memos = nullptr) const;

  // KeyChanges then ApplyChanges work out what record `recno` changing from
  // `before` to `after` (with the memo values `after_memos` not yet written)
  // does to the index; `changed` lists the columns whose values differ. Returns false when no
  // key or FOR result changes: the index is then not touched at all.
  // Otherwise the session begins (taking the index lock) or goes on, and the
  // change is made to the session's pages in memory, after the changes
  // prepared before it and not yet written: saves are gathered in batches,
  // and a batch's changes are written together by WriteNewPages and
  // WritePages. While changes wait to be written the session is not ended
  // by its time limit (the caller writes them within it).
  // Throws Error(kIndexed) naming the tag when a tag that is not maintained
  // would change, a key cannot be computed for sure, a candidate key would
  // be duplicated, or the tag's pages are damaged; Error(kLocked) when
  // another program holds the index lock. A refused change leaves the pages
  // as the changes prepared before it left them; only when those cannot be
  // worked out again (a read failing) are they dropped, the session ended
  // and lost() true. Nothing is written.
  //
  // The two steps, for a caller that may make the second on another
  // thread. KeyChanges works out the keys and FOR results (reading memo
  // values through the schema, on the caller's thread) and appends the
  // changes to `changes`; it touches no page and no lock, and throws
  // Error(kIndexed) for the refusals that do not depend on the index's pages
  // (a tag not maintained, a key that cannot be computed for sure). Returns
  // false when nothing changes. ApplyChanges then makes them to the
  // session's pages as said above, with its refusals; calls for
  // one maintainer must come one at a time, in the order of the saves.
  struct KeyChange {
    const Tag* tag = nullptr;
    uint32_t recno = 0;
    std::optional<std::string> before, after;
    bool removed = false, inserted = false;  // what ApplyChanges did
  };
  // Whether KeyChanges may read memo values through the schema: a
  // maintained tag's expressions name a memo column. When not, it may be
  // called on any thread.
  bool reads_memos() const { return reads_memos_; }
  bool KeyChanges(std::string_view before, std::string_view after, uint32_t recno,
                  const std::vector<size_t>& changed, const IndexExpression::MemoValues& after_memos,
                  std::vector<KeyChange>* changes) const;
  void ApplyChanges(std::vector<KeyChange>& changes, uint32_t recno);
  // True once the changes waiting to be written were dropped by a failed
  // ApplyChanges; false again after Discard.
  bool lost() const;
  // Writes the waiting changes, in two steps around the records (see
  // Table::Save): WriteNewPages writes the incremented change counter when
  // this is the session's first change, and the pages added at the end of
  // the file; TakePages then hands over the changed pages' bytes, which
  // WritePages writes once the records are (from any thread: the next
  // changes are meanwhile prepared on the session's pages). Until they are
  // written or dropped (DropPages), the session neither ends nor reads pages
  // again. WritePages throws Error(kIo) saying that the index needs a
  // REINDEX when it fails. Any failure ends the session.
  struct PageWrites {
    std::vector<IndexPageStore::PageRun> runs;
    bool taken = false;  // counted among the session's pages not yet written
  };
  void WriteNewPages();
  PageWrites TakePages();
  void WritePages(PageWrites& writes);
  void DropPages(PageWrites& writes) noexcept;
  // Drops the waiting changes and ends the session. Writes nothing.
  void Discard() noexcept;
  // Whether the session has passed its time limit with changes waiting: the
  // caller should write them, so that the session can end.
  bool SessionDue() const;

  // Ends the session, if one is open: drops the kept pages (and any changes
  // waiting to be written) and releases the index lock. Writes nothing.
  void EndSession() noexcept;

 private:
  void CompileTag(Tag& tag) const;
  [[noreturn]] void Refuse(const Tag& tag, uint32_t recno, const std::string& why) const;

  struct Session;
  // With the session's mutex held.
  void BeginSession(uint32_t recno);
  uint32_t RootOf(const Tag& tag);
  void Apply(KeyChange& change, uint32_t recno);
  void Replay();

  CompoundIndex& index_;
  ExpressionSchema schema_;
  std::vector<Tag> tags_;
  bool reads_memos_ = false;
  size_t headers_near_start_ = 0;  // the file header and the tag headers within it
  std::unique_ptr<Session> session_;
};

}  // namespace fox
