// A 64-bit FNV-1a hash of bytes: enough to tell whether a value read before
// is still the same, without keeping a copy of it.
#pragma once

#include <cstdint>
#include <string_view>

namespace fox {

inline uint64_t Fnv1a64(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace fox
