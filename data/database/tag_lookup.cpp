#include "data/database/tag_lookup.h"

#include "data/database/relation_key.h"

namespace fox {

bool TagLookup::Readable(const IndexMaintainer::Tag& tag) const {
  return table_.index_maintainer() && tag.key && tag.header.signature == 1 && tag.header.collation.empty() &&
         tag.header.key_length == tag.format.length;
}

std::vector<uint32_t> TagLookup::Stored(const IndexMaintainer::Tag& tag, const std::string& stored) {
  if (!file_) {
    file_ = std::make_unique<DiskFile>(table_.index_maintainer()->index().path(), DiskFile::Mode::kReadOnly,
                                       "the index of table '" + table_.name() + "'");
    windows_ = std::make_unique<PageWindows>();
  }
  windows_->Clear();
  IndexPageStore pages(*file_, windows_.get());
  IndexTree tree(pages, tag.header.root_page, tag.header.key_length, tag.format.pad());
  return tree.RecordsWithKey(stored);
}

std::vector<uint32_t> TagLookup::Related(const IndexMaintainer::Tag& tag, std::string_view key) {
  const std::optional<std::string> stored = StoredKeyOf(tag.format, key);
  if (!stored) return {};
  return Stored(tag, *stored);
}

}  // namespace fox
