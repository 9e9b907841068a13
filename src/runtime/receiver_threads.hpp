#pragma once
// The UDP receiver threads of a run: how many run, which sockets each polls, where each is
// pinned, and how they are stopped and accounted for. The run loop starts them before the
// resolution threads and stops them after the resolution threads have ended.

#include <cstddef>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "arvex/expected.hpp"

namespace arvex {

class SharedData;

// The sockets one receiver thread serves: [first, end); empty when first >= end.
struct SocketRange {
  std::size_t first = 0;
  std::size_t end = 0;

  friend bool operator==(const SocketRange&, const SocketRange&) = default;
};

// One socket per thread when there are at least as many threads as sockets (only num_sockets
// threads then); otherwise ceil(num_sockets / threads) consecutive sockets per thread, the last
// ranges shorter or empty. `threads` must be at least 1.
std::vector<SocketRange> receiver_socket_ranges(std::size_t threads, std::size_t num_sockets);

// Starts the receivers of a run with a network source ("rx-{i}" one-to-one, "rx-multi-{t}"
// round-robin), each on core position receiver_core_start + its id; without a network source
// starts none. A thread that cannot be started detaches the ones already running and returns
// the system error.
Expected<std::vector<std::thread>, std::string> spawn_receiver_threads(const std::shared_ptr<SharedData>& shared);

// Sets shutdown, joins the receivers in start order and reports the drops: per socket, in
// total, and the frames given up; also the late and excess packets discarded. Does nothing for
// an empty list.
void shutdown_receiver_threads(SharedData& shared, std::vector<std::thread>& threads);

}  // namespace arvex
