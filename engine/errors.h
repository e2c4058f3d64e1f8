// Messages of the engine's refusals, written one way everywhere: text as
// given, integers in full, other numbers to ten significant digits (enough
// to show the value the caller passed).
#pragma once

#include <cstdio>
#include <stdexcept>
#include <string>
#include <type_traits>

namespace morvat::vexolin {

template <typename T>
std::string format_value(const T& value) {
  if constexpr (std::is_floating_point_v<T>) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.10g", static_cast<double>(value));
    return buf;
  } else if constexpr (std::is_integral_v<T>) {
    return std::to_string(value);
  } else {
    return std::string(value);
  }
}

// The parts in order, numbers written by format_value.
template <typename... Parts>
std::string error_message(const Parts&... parts) {
  return (std::string() + ... + format_value(parts));
}

// The std::invalid_argument of a refused parameter, with that message.
template <typename... Parts>
std::invalid_argument argument_error(const Parts&... parts) {
  return std::invalid_argument(error_message(parts...));
}

}  // namespace morvat::vexolin
