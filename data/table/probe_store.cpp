#include "data/table/probe_store.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>

#include "data/util/error.h"

namespace fox {

ProbeStore::Probe ProbeStore::ProbeOf(const Entry& entry) const {
  Probe probe;
  probe.text = std::string_view(entry.at, entry.text_size);
  if (entry.flags & kHasBytes) {
    probe.bytes =
        entry.flags & kOwnBytes ? std::string_view(entry.at + entry.text_size, entry.bytes_size) : probe.text;
  }
  probe.by_field = (entry.flags & kByField) != 0;
  probe.one_by_one = entry.one_by_one;
  return probe;
}

std::optional<ProbeStore::Probe> ProbeStore::Find(std::string_view text) {
  if (next_ < entries_.size()) {
    const Entry& entry = entries_[next_];
    if (std::string_view(entry.at, entry.text_size) == text) return ProbeOf(entries_[next_++]);
  }
  if (slots_.empty()) return std::nullopt;
  const uint32_t slot = slots_[SlotOf(text)];
  if (slot == 0) return std::nullopt;
  next_ = slot;
  return ProbeOf(entries_[slot - 1]);
}

ProbeStore::Probe ProbeStore::Add(std::string_view text, std::optional<std::string_view> bytes, bool by_field,
                                  uint32_t one_by_one) {
  const bool own_bytes = bytes && *bytes != text;
  const size_t bytes_size = own_bytes ? bytes->size() : 0;
  constexpr size_t kLongest = std::numeric_limits<uint32_t>::max();
  if (text.size() >= kLongest || bytes_size >= kLongest || entries_.size() >= kLongest - 1)
    throw Error(ErrorKind::kUsage, "A find text of 4 GiB or more cannot be searched for.");
  if (2 * (entries_.size() + 1) > slots_.size()) Grow();
  Entry entry;
  char* at = Keep(text.size() + bytes_size);
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  if (own_bytes && bytes_size > 0) std::memcpy(at + text.size(), bytes->data(), bytes_size);
  entry.at = at;
  entry.text_size = static_cast<uint32_t>(text.size());
  entry.bytes_size = static_cast<uint32_t>(bytes_size);
  entry.one_by_one = one_by_one;
  entry.flags =
      static_cast<uint8_t>((by_field ? kByField : 0) | (bytes ? kHasBytes : 0) | (own_bytes ? kOwnBytes : 0));
  entries_.push_back(entry);
  slots_[SlotOf(text)] = static_cast<uint32_t>(entries_.size());
  next_ = entries_.size();
  return ProbeOf(entries_.back());
}

void ProbeStore::Clear() {
  blocks_.clear();
  block_at_ = nullptr;
  block_left_ = 0;
  entries_.clear();
  slots_.clear();
  next_ = 0;
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
    const Entry& entry = entries_[slot - 1];
    if (std::string_view(entry.at, entry.text_size) == text) return at;
  }
}

void ProbeStore::Grow() {
  slots_.assign(std::max<size_t>(64, 2 * slots_.size()), 0);
  for (size_t k = 0; k < entries_.size(); ++k) {
    const Entry& entry = entries_[k];
    slots_[SlotOf(std::string_view(entry.at, entry.text_size))] = static_cast<uint32_t>(k + 1);
  }
}

}  // namespace fox
