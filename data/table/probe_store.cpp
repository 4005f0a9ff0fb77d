#include "data/table/probe_store.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "data/util/error.h"

namespace fox {

const ProbeStore::Probe* ProbeStore::Find(std::string_view text) {
  // A text is asked for again and again while one record is searched for
  // it (once for the record, then column by column), then the next one.
  if (last_ != nullptr && last_->text() == text) return last_;
  if (next_ < entries_.size() && entries_[next_].text() == text) return last_ = &entries_[next_++];
  if (slots_.empty()) return nullptr;
  const uint32_t slot = slots_[SlotOf(text)];
  if (slot == 0) return nullptr;
  next_ = slot;
  return last_ = &entries_[slot - 1];
}

const ProbeStore::Probe& ProbeStore::Add(std::string_view text, std::optional<std::string_view> bytes,
                                         bool by_field, uint32_t one_by_one) {
  const bool own_bytes = bytes && *bytes != text;
  const size_t bytes_size = own_bytes ? bytes->size() : 0;
  constexpr size_t kLongest = std::numeric_limits<uint32_t>::max();
  if (text.size() >= kLongest || bytes_size >= kLongest || entries_.size() >= kLongest - 1)
    throw Error(ErrorKind::kUsage, "A find text of 4 GiB or more cannot be searched for.");
  if (2 * (entries_.size() + 1) > slots_.size()) Grow();
  Probe probe;
  char* at = Keep(text.size() + bytes_size);
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  if (own_bytes && bytes_size > 0) std::memcpy(at + text.size(), bytes->data(), bytes_size);
  probe.at_ = at;
  probe.text_size_ = static_cast<uint32_t>(text.size());
  probe.bytes_size_ = static_cast<uint32_t>(bytes_size);
  probe.one_by_one_ = one_by_one;
  probe.flags_ = static_cast<uint8_t>((by_field ? Probe::kByField : 0) | (bytes ? Probe::kHasBytes : 0) |
                                      (own_bytes ? Probe::kOwnBytes : 0));
  entries_.push_back(probe);
  slots_[SlotOf(text)] = static_cast<uint32_t>(entries_.size());
  next_ = entries_.size();
  last_ = &entries_.back();
  return *last_;
}

void ProbeStore::Clear() {
  blocks_.clear();
  block_at_ = nullptr;
  block_left_ = 0;
  entries_.clear();
  slots_.clear();
  next_ = 0;
  last_ = nullptr;
}

char* ProbeStore::Keep(size_t size) {
  if (size == 0) return nullptr;
  if (size > kBlockBytes / 4) {
    // A long text gets a block of its own; the current block keeps its
    // room for the next short texts.
    blocks_.push_back(std::make_unique<char[]>(size));
    return blocks_.back().get();
  }
  if (size > block_left_) {
    blocks_.push_back(std::make_unique<char[]>(kBlockBytes));
    block_at_ = blocks_.back().get();
    block_left_ = kBlockBytes;
  }
  char* at = block_at_;
  block_at_ += size;
  block_left_ -= size;
  return at;
}

size_t ProbeStore::SlotOf(std::string_view text) const {
  const size_t mask = slots_.size() - 1;
  for (size_t at = std::hash<std::string_view>{}(text)&mask;; at = (at + 1) & mask) {
    const uint32_t slot = slots_[at];
    if (slot == 0) return at;
    if (entries_[slot - 1].text() == text) return at;
  }
}

void ProbeStore::Grow() {
  slots_.assign(std::max<size_t>(64, 2 * slots_.size()), 0);
  for (size_t k = 0; k < entries_.size(); ++k)
    slots_[SlotOf(entries_[k].text())] = static_cast<uint32_t>(k + 1);
}

}  // namespace fox
