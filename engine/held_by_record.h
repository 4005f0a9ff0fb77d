// Bytes held back per record until the record is written: the change log's
// lines and the undo journal's entries of a record that another program's
// change kept from being saved are dropped, those of a record written are
// passed on. Not thread-safe: the owner guards it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class HeldByRecord {
 public:
  // Holds the bytes that `make(std::string*)` appends, made in place.
  template <typename Make>
  void Hold(uint32_t recno, Make make) {
    make(&bytes_);
    held_.push_back(Held{recno, bytes_.size()});
  }
  bool empty() const { return held_.empty(); }

  // How many pieces are held for the records for which `take` is true.
  template <typename Take>
  size_t Count(Take take) const {
    size_t n = 0;
    for (const Held& piece : held_) n += take(piece.recno) ? 1 : 0;
    return n;
  }

  // Moves the held bytes of the records for which `take` is true, in the
  // order they came, to the end of `to` (nullptr: drops them); returns how
  // many pieces went. `records`, when given, gets the record of each piece
  // that went.
  template <typename Take>
  size_t Move(Take take, std::string* to, std::vector<uint32_t>* records = nullptr) {
    // Records are mostly written in the order their bytes came: the pieces
    // taken are then the first ones held, moved without copying the others.
    size_t first = 0;
    while (first < held_.size() && take(held_[first].recno)) {
      if (records) records->push_back(held_[first].recno);
      ++first;
    }
    if (first > 0) {
      const size_t end = held_[first - 1].end;
      if (to) to->append(bytes_, 0, end);
      bytes_.erase(0, end);
      held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(first));
      for (Held& piece : held_) piece.end -= end;
    }
    size_t moved = first, kept_end = 0, start = 0;
    bool others = false;
    for (const Held& piece : held_) others = others || take(piece.recno);
    if (!others) return moved;
    std::vector<Held> kept;
    std::string rest;
    for (const Held& piece : held_) {
      const std::string_view bytes(bytes_.data() + start, piece.end - start);
      start = piece.end;
      if (take(piece.recno)) {
        ++moved;
        if (records) records->push_back(piece.recno);
        if (to) *to += bytes;
      } else {
        rest += bytes;
        kept_end += bytes.size();
        kept.push_back(Held{piece.recno, kept_end});
      }
    }
    bytes_ = std::move(rest);
    held_ = std::move(kept);
    return moved;
  }

  // Appends the held bytes of the records for which `take` is true, in the
  // order they came, to `to`, keeping them held.
  template <typename Take>
  void Copy(Take take, std::string* to) const {
    size_t start = 0;
    for (const Held& piece : held_) {
      if (take(piece.recno)) to->append(bytes_, start, piece.end - start);
      start = piece.end;
    }
  }

 private:
  struct Held {
    uint32_t recno;
    size_t end;  // where the piece ends in bytes_
  };
  std::string bytes_;  // the pieces, one after the other
  std::vector<Held> held_;
};

}  // namespace quillon
