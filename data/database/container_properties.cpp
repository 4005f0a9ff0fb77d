#include "data/database/container_properties.h"

#include "data/util/byte_order.h"
#include "data/util/error.h"

namespace fox {

ContainerProperties::ContainerProperties(std::string_view memo, const std::string& what) {
  size_t at = 0;
  while (at + 6 <= memo.size()) {
    const uint32_t length = LoadLE32(memo.data() + at);
    const uint16_t id_size = LoadLE16(memo.data() + at + 4);
    if (id_size == 0 || id_size > 4 || length < 6u + id_size || length > memo.size() - at)
      throw Error(ErrorKind::kCorrupt, "the properties of " + what + " are malformed");
    uint32_t id = 0;
    for (uint16_t k = 0; k < id_size; ++k)
      id |= uint32_t{static_cast<unsigned char>(memo[at + 6 + k])} << (8 * k);
    values_.emplace(id, std::string(memo.substr(at + 6 + id_size, length - 6 - id_size)));
    at += length;
  }
}

std::string ContainerProperties::Text(ContainerProperty id) const {
  auto found = values_.find(static_cast<uint32_t>(id));
  if (found == values_.end()) return "";
  return found->second.substr(0, found->second.find('\0'));
}

}  // namespace fox
