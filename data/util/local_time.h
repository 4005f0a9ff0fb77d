// The local calendar time of a moment, thread-safe on every system.
#pragma once

#include <ctime>

namespace fox {

inline std::tm LocalTime(std::time_t moment) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &moment);
#else
  localtime_r(&moment, &local);
#endif
  return local;
}

}  // namespace fox
