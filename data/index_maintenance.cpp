#include "data/index_maintenance.h"

#include <algorithm>

#include "data/byte_order.h"
#include "data/disk_file.h"
#include "data/error.h"
#include "data/index_tree.h"

namespace fox {
namespace {

constexpr uint32_t kTagHeaderSize = 1024;
constexpr size_t kTagHeaderCheckedFrom = 12;  // root, free list and counter aside
constexpr uint64_t kIndexLockOffset = 0x7FFFFFFE;
constexpr size_t kCounterAt = 8;
constexpr size_t kNearStart = 8192;

constexpr uint8_t kBinarySignature = 5;
constexpr uint8_t kCollatedSignature = 2;
constexpr uint8_t kBitVector = 0x10;
constexpr uint8_t kCompactCompound = 0x60;

// True when a name in an index expression may refer to the field. Tables of a
// database name fields by their long names in expressions, and a table may be
// opened without its database, where only the ten-character short name is
// known; the match is then made on the short name's characters, erring
// towards "may refer" so that an index is never left stale.
bool NameMayReferTo(const std::string& name, const std::string& short_name, const std::string& long_name) {
  if (name == long_name || name == short_name) return true;
  if (name.size() > 10 && name.compare(0, 10, short_name) == 0) return true;
  const size_t stem = short_name.find_last_not_of("0123456789");
  return stem != std::string::npos && stem + 1 < short_name.size() && name.size() > 10 &&
         name.compare(0, stem + 1, short_name, 0, stem + 1) == 0;
}

[[noreturn]] void Unsupported(const std::string& why) { throw Error(ErrorKind::kUnsupported, why); }

}  // namespace

IndexMaintainer::IndexMaintainer(CompoundIndex& index, ExpressionSchema schema)
    : index_(index), schema_(std::move(schema)) {
  for (const IndexTag& header : index.tags()) {
    Tag tag;
    tag.header = header;
    // Until the tag compiles, any column it names may change its keys, and
    // any column at all when it calls functions that are not FoxPro's own.
    std::set<std::string> names = NamesInExpression(header.key_expression);
    const std::set<std::string> filter_names = NamesInExpression(header.filter_expression);
    names.insert(filter_names.begin(), filter_names.end());
    const bool any = MayReadUnnamedFields(header.key_expression) || MayReadUnnamedFields(header.filter_expression);
    for (size_t c = 0; c < schema_.columns.size(); ++c) {
      const auto& column = schema_.columns[c];
      for (const std::string& name : names) {
        if (any || NameMayReferTo(name, column.short_name, column.long_name)) tag.columns.insert(c);
      }
      if (any) tag.columns.insert(c);
    }
    tag.reads_deleted_flag = true;
    try {
      tag.header_bytes.assign(kTagHeaderSize, '\0');
      index.file().ReadExactAt(header.header_offset, tag.header_bytes.data(), kTagHeaderSize,
                               "the header of tag " + header.name);
      tag.header_bytes.erase(0, kTagHeaderCheckedFrom);
      CompileTag(tag);
      tag.maintained = index.file().writable();
      if (!tag.maintained) tag.refusal = "the index file is open for reading only";
    } catch (const Error& e) {
      tag.refusal = e.what();
      tag.key.reset();
      tag.filter.reset();
    }
    tags_.push_back(std::move(tag));
  }
}

IndexMaintainer::~IndexMaintainer() = default;

void IndexMaintainer::CompileTag(Tag& tag) const {
  const IndexTag& h = tag.header;
  if (h.signature == kBinarySignature) Unsupported("it is a binary (bitmap) index");
  if (h.signature != 1 && h.signature != kCollatedSignature)
    Unsupported("its header has the unknown signature " + std::to_string(h.signature));
  if ((h.options & kCompactCompound) != kCompactCompound || (h.options & kBitVector))
    Unsupported("its options (" + std::to_string(h.options) + ") are not those of a compact tag");
  IndexExpression key = IndexExpression::Compile(h.key_expression, schema_);
  std::optional<IndexExpression> filter;
  if (!h.filter_expression.empty()) {
    filter = IndexExpression::Compile(h.filter_expression, schema_);
    if (filter->type() != ExpressionValue::Type::kLogical) Unsupported("its FOR expression is not logical");
  }
  const ExpressionValue::Type type = key.type();
  if ((h.signature == kCollatedSignature || !h.collation.empty()) &&
      (type == ExpressionValue::Type::kCharacter || type == ExpressionValue::Type::kLogical)) {
    Unsupported("it sorts by the collation " + (h.collation.empty() ? std::string("of its header") : h.collation) +
                ", whose key weights Quillon does not produce");
  }
  tag.format = KeyFormatOf(type, h.key_length, h.options & IndexTag::kNullableKey);
  tag.columns = key.columns();
  tag.reads_deleted_flag = key.reads_deleted_flag();
  if (filter) {
    tag.columns.insert(filter->columns().begin(), filter->columns().end());
    tag.reads_deleted_flag = tag.reads_deleted_flag || filter->reads_deleted_flag();
  }
  tag.key = std::move(key);
  tag.filter = std::move(filter);
}

const IndexMaintainer::Tag* IndexMaintainer::RefusingTag(size_t column) const {
  for (const Tag& tag : tags_)
    if (!tag.maintained && tag.columns.count(column)) return &tag;
  return nullptr;
}

std::optional<std::string> IndexMaintainer::KeyOf(const Tag& tag, std::string_view record,
                                                  const IndexExpression::MemoValues* pending_memos) const {
  if (!tag.key) Unsupported(tag.refusal);
  if (tag.filter) {
    const ExpressionValue in = tag.filter->Evaluate(record, pending_memos);
    if (in.null()) Unsupported("its FOR expression gives NULL");
    if (!in.logical) return std::nullopt;
  }
  return EncodeKey(tag.key->Evaluate(record, pending_memos), tag.format);
}

void IndexMaintainer::Refuse(const Tag& tag, uint32_t recno, const std::string& why) const {
  throw Error(ErrorKind::kIndexed, "The change to record " + std::to_string(recno) + " of table '" +
                                       index_.table() + "' was not saved: tag " + tag.header.name +
                                       " of its structural index cannot be kept up to date (" + why + ").");
}

std::unique_ptr<IndexMaintainer::Update> IndexMaintainer::Prepare(std::string_view before, std::string_view after,
                                                                  uint32_t recno, const std::set<size_t>& changed,
                                                                  const IndexExpression::MemoValues& after_memos) {
  struct Change {
    const Tag* tag;
    std::optional<std::string> before, after;
  };
  const bool deleted_changed = before.substr(0, 1) != after.substr(0, 1);
  std::vector<Change> changes;
  for (const Tag& tag : tags_) {
    bool touched = deleted_changed && tag.reads_deleted_flag;
    for (size_t c : changed) touched = touched || tag.columns.count(c);
    if (!touched) continue;
    if (!tag.maintained) Refuse(tag, recno, tag.refusal);
    Change change{&tag, std::nullopt, std::nullopt};
    try {
      change.before = KeyOf(tag, before);
      change.after = KeyOf(tag, after, &after_memos);
    } catch (const Error& e) {
      Refuse(tag, recno, e.what());
    }
    if (change.before != change.after) changes.push_back(std::move(change));
  }
  if (changes.empty()) return nullptr;

  const std::string where = "record " + std::to_string(recno) + " of table '" + index_.table() + "'";
  std::unique_ptr<Update> update(new Update(index_, index_.table()));
  update->lock_ = std::make_unique<RangeLock>(
      index_.file(), kIndexLockOffset, 1,
      "The change to " + where + " was not saved: another program is changing its index file (it is locked).");
  // Everything below is read afresh under the lock: other programs change
  // the index between saves.
  update->pages_ = std::make_unique<IndexPageStore>(index_.file());
  // The change counter in the file header, and the headers of the tags that
  // lie near it (those of the first tags made), come in one read.
  size_t near_end = kCounterAt + 4;
  for (const Change& change : changes) {
    const size_t end = size_t{change.tag->header.header_offset} + kTagHeaderSize;
    if (end <= kNearStart) near_end = std::max(near_end, end);
  }
  std::string start(near_end, '\0');
  index_.file().ReadExactAt(0, start.data(), start.size(), "the header of the index file");
  update->counter_ = LoadBE32(start.data() + kCounterAt);

  for (const Change& change : changes) {
    const Tag& tag = *change.tag;
    try {
      std::string header;
      if (tag.header.header_offset + kTagHeaderSize <= start.size()) {
        header = start.substr(tag.header.header_offset, kTagHeaderSize);
      } else {
        header.assign(kTagHeaderSize, '\0');
        index_.file().ReadExactAt(tag.header.header_offset, header.data(), header.size(),
                                  "the header of tag " + tag.header.name);
      }
      if (header.compare(kTagHeaderCheckedFrom, std::string::npos, tag.header_bytes) != 0)
        Unsupported("another program has redefined it since the table was opened; open the table again");
      IndexTree tree(*update->pages_, LoadLE32(header.data()), tag.header.key_length, tag.format.pad());
      const bool unique = tag.header.options & IndexTag::kUnique;
      const bool candidate = tag.header.options & IndexTag::kCandidate;
      if (change.before && !tree.Remove({*change.before, recno}) && !unique) {
        throw Error(ErrorKind::kCorrupt, "it does not hold the key of the record's stored values");
      }
      if (change.after) {
        std::optional<uint32_t> other;
        if (unique || candidate) other = tree.OtherRecordWithKey(*change.after, recno);
        if (other && candidate) {
          throw Error(ErrorKind::kIndexed, "The change to " + where + " was not saved: tag " + tag.header.name +
                                               " of its structural index allows each key only once, and record " +
                                               std::to_string(*other) + " already has the key the change would give.");
        }
        if (!other) tree.Insert({*change.after, recno});  // a unique tag keeps the first record of a key
      }
    } catch (const Error& e) {
      if (e.kind() == ErrorKind::kIndexed || e.kind() == ErrorKind::kIo) throw;
      if (e.kind() == ErrorKind::kCorrupt) {
        Refuse(tag, recno, std::string("it is damaged: ") + e.what() + "; reindex the table in FoxPro");
      }
      Refuse(tag, recno, e.what());
    }
  }
  update->pages_->Encode();
  return update;
}

// ---------------------------------------------------------------------------

IndexMaintainer::Update::Update(CompoundIndex& index, const std::string& table) : index_(index), table_(table) {}

IndexMaintainer::Update::~Update() = default;

void IndexMaintainer::Update::WriteNewPages() { pages_->WriteNewPages(); }

void IndexMaintainer::Update::Finish() {
  if (!pages_->changed()) return;
  try {
    pages_->WriteChangedPages();
    // Programs that cache index pages compare this counter to notice changes.
    unsigned char counter[4];
    StoreBE32(counter, counter_ + 1);
    index_.file().WriteAt(kCounterAt, counter, sizeof counter);
  } catch (const Error& e) {
    throw Error(e.kind(), "The record of table '" + table_ + "' was saved, but its structural index \"" +
                              index_.path() + "\" could not be brought up to date (" + e.what() +
                              "). Reindex the table in FoxPro before using it.");
  }
}

}  // namespace fox
