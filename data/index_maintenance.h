// Keeps a table's structural index in line with its records.
//
// When the table is opened, every tag's key and FOR expressions are compiled
// against the table's fields. A tag is maintained when both compile, its
// key length fits the key's type, and its keys are plain bytes: MACHINE
// collation for character keys (other collations store weights from tables
// this program does not have), no VFP 9 binary (bitmap) tag, an index file
// open for writing. Changes to the fields of any other tag are refused.
//
// Saving a record asks Prepare for the change of every tag whose fields (or
// deletion flag) changed: the old and new key and FOR result are computed,
// and where they differ, under the index file's lock, the old entry is
// removed, the new one inserted (unique tags: only while no other record
// has the key), and a candidate tag is checked for a duplicate. All of it is
// worked out in memory before the first write, so any refusal leaves every
// file as it was. The prepared update then writes in two steps around the
// record (see Table::Save): first the new pages, which nothing refers to
// yet; then the changed pages and the change counter in the file header.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "data/compound_index.h"
#include "data/index_expression.h"
#include "data/index_key.h"

namespace fox {

class IndexPageStore;
class RangeLock;

class IndexMaintainer {
 public:
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
  // opened for writing. `schema` describes the table's columns.
  IndexMaintainer(CompoundIndex& index, ExpressionSchema schema);
  ~IndexMaintainer();

  const std::vector<Tag>& tags() const { return tags_; }
  const CompoundIndex& index() const { return index_; }

  // The first tag that is not maintained and whose keys a change of
  // `column` may change; nullptr when there is none.
  const Tag* RefusingTag(size_t column) const;

  // The key a maintained tag holds for `record`; nothing when its FOR
  // clause leaves the record out. Throws Error(kUnsupported) when FoxPro's
  // key cannot be told for sure and Error(kCorrupt) for unreadable values.
  // `pending_memos` holds memo values not yet written, by column.
  std::optional<std::string> KeyOf(const Tag& tag, std::string_view record,
                                   const IndexExpression::MemoValues* pending_memos = nullptr) const;

  class Update {
   public:
    ~Update();
    // Writes the pages added at the end of the file.
    void WriteNewPages();
    // Writes the changed pages and the incremented change counter. Throws
    // Error(kIo) saying that the index needs a REINDEX when that fails.
    void Finish();

   private:
    friend class IndexMaintainer;
    Update(CompoundIndex& index, const std::string& table);

    CompoundIndex& index_;
    std::string table_;
    std::unique_ptr<RangeLock> lock_;
    std::unique_ptr<IndexPageStore> pages_;
    uint32_t counter_ = 0;
  };

  // Works out what record `recno` changing from `before` to `after` (with
  // the memo values `after_memos` not yet written) does to the index;
  // `changed` lists the columns whose values differ. Returns
  // nothing when no key or FOR result changes: the index file is then not
  // touched at all. The update holds the index lock until it is destroyed.
  // Throws Error(kIndexed) naming the tag when a tag that is not maintained
  // would change, a key cannot be computed for sure, a candidate key would
  // be duplicated, or the tag's pages are damaged; Error(kLocked) when
  // another program holds the index lock. Nothing is written before
  // WriteNewPages.
  std::unique_ptr<Update> Prepare(std::string_view before, std::string_view after, uint32_t recno,
                                  const std::set<size_t>& changed,
                                  const IndexExpression::MemoValues& after_memos);

 private:
  void CompileTag(Tag& tag) const;
  [[noreturn]] void Refuse(const Tag& tag, uint32_t recno, const std::string& why) const;

  CompoundIndex& index_;
  ExpressionSchema schema_;
  std::vector<Tag> tags_;
};

}  // namespace fox
