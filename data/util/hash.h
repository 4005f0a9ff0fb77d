// A fast 64-bit hash of bytes, eight at a time: enough to tell whether a
// value read before is still the same, without keeping a copy of it. Not
// for adversarial input, which nothing here has to withstand.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace fox {

inline uint64_t Hash64(std::string_view bytes) {
  constexpr uint64_t kMultiplier = 0xff51afd7ed558ccdull;
  uint64_t hash = 0x9e3779b97f4a7c15ull ^ bytes.size();
  const char* p = bytes.data();
  size_t n = bytes.size();
  for (; n >= 8; n -= 8, p += 8) {
    uint64_t word;
    std::memcpy(&word, p, sizeof word);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 32;
  }
  for (; n > 0; --n, ++p) hash = (hash ^ static_cast<unsigned char>(*p)) * kMultiplier;
  hash ^= hash >> 29;
  return hash * kMultiplier ^ (hash >> 32);
}

}  // namespace fox
