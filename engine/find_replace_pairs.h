// The find and replace pairs of a run, in order, kept flat: every text in
// one buffer and two offsets a pair, so that a set list of a million sets
// costs little more than its texts (a pair of strings would cost 64 bytes
// more, and a heap block for each text longer than 15 bytes).
//
// Owns its texts; the views it gives stay valid until the next Add (which
// may move the buffer) or until it is destroyed. Throws only what allocating
// throws.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class FindReplacePairs {
 public:
  // Room for `pairs` pairs holding `text_bytes` bytes of text in all.
  void Reserve(size_t pairs, size_t text_bytes) {
    ends_.reserve(2 * pairs);
    text_.reserve(text_bytes);
  }
  // Adds a pair after the others.
  void Add(std::string_view find, std::string_view replace) {
    text_.append(find);
    ends_.push_back(text_.size());
    text_.append(replace);
    ends_.push_back(text_.size());
  }
  size_t size() const { return ends_.size() / 2; }
  bool empty() const { return ends_.empty(); }
  // The find and replace texts of pair `k` (from 0, below size()).
  std::string_view find(size_t k) const { return Piece(2 * k); }
  std::string_view replace(size_t k) const { return Piece(2 * k + 1); }

 private:
  std::string_view Piece(size_t i) const {
    const size_t begin = i == 0 ? 0 : ends_[i - 1];
    return std::string_view(text_).substr(begin, ends_[i] - begin);
  }
  std::string text_;
  // Where each text ends in text_: the find text of pair k at 2k, its
  // replace text at 2k + 1.
  std::vector<size_t> ends_;
};

}  // namespace quillon
