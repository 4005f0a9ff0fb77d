// The probes of the texts a table was asked to search records for, kept
// flat: a set list may search every record for a million texts, so each
// probe costs its text (and its stored bytes, where they differ) in blocks
// of bytes, a small entry and a slot of an open-addressing index, instead of
// two strings, a node of a hash map and its bucket.
//
// A probe says how to search a record for its text (see Table::RecordMayContain):
// the text in stored bytes (none when the code page cannot store it),
// whether only the decoded values can be searched, and which list of columns
// (a number the table gives out) is searched value by value.
//
// Owns the bytes and the probes; a probe and its views stay valid until
// Clear or the store's end. Throws fox::Error(kUsage) for a text of 4 GiB or more, and
// what allocating throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace fox {

class ProbeStore {
 public:
  // One text's probe, as stored.
  class Probe {
   public:
    std::string_view text() const { return std::string_view(at_, text_size_); }
    // The text in stored bytes; none when the code page cannot store it.
    std::optional<std::string_view> bytes() const {
      if (!(flags_ & kHasBytes)) return std::nullopt;
      return flags_ & kOwnBytes ? std::string_view(at_ + text_size_, bytes_size_) : text();
    }
    bool by_field() const { return (flags_ & kByField) != 0; }  // no whole-record search possible
    uint32_t one_by_one() const {
      return one_by_one_;
    }  // the table's number of the columns searched one by one

   private:
    friend class ProbeStore;
    static constexpr uint8_t kByField = 1, kHasBytes = 2, kOwnBytes = 4;
    const char* at_ = nullptr;  // the text, then its stored bytes when they differ
    uint32_t text_size_ = 0;
    uint32_t bytes_size_ = 0;  // the stored bytes' size, with kOwnBytes
    uint32_t one_by_one_ = 0;
    uint8_t flags_ = 0;
  };

  // The probe of `text`, if stored (else null). Texts are usually asked for
  // in the order they were first stored (a set list's), each several times
  // in a row: the probe last found is tried first, then the one after it,
  // then the index.
  const Probe* Find(std::string_view text);
  // Stores the probe of `text` (not stored yet) and returns it; `bytes` is
  // copied only where it differs from the text.
  const Probe& Add(std::string_view text, std::optional<std::string_view> bytes, bool by_field,
                   uint32_t one_by_one);
  size_t size() const { return entries_.size(); }
  void Clear();

 private:
  // Room for `size` bytes in blocks_ that never moves (null for none).
  char* Keep(size_t size);
  // The slot of `text` in slots_: its entry's or the empty one where it goes.
  size_t SlotOf(std::string_view text) const;
  void Grow();

  static constexpr size_t kBlockBytes = size_t{64} << 10;
  std::vector<std::unique_ptr<char[]>> blocks_;
  char* block_at_ = nullptr;  // the free room of the current block
  size_t block_left_ = 0;
  std::deque<Probe> entries_;  // a deque's entries stay put
  // Open addressing, linear probing: 0 is empty, else an entry's index + 1.
  // Never more than half full.
  std::vector<uint32_t> slots_;
  size_t next_ = 0;              // the entry after the one last found
  const Probe* last_ = nullptr;  // the one last found or stored
};

}  // namespace fox
