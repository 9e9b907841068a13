#pragma once
// UDP receiver threads only make sense with a network source: without one the run gets none,
// whatever --receiver-threads says.

#include <cstddef>

namespace arvex {

constexpr std::size_t effective_receiver_threads(std::size_t requested, bool has_network_config) noexcept {
  return has_network_config ? requested : 0;
}

}  // namespace arvex
