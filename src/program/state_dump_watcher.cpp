#include "program/state_dump_watcher.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <system_error>
#include <thread>

#include "arvex/fatal.hpp"
#include "runtime/runtime_builder.hpp"
#include "runtime/state_dumper.hpp"

namespace arvex {

namespace {

constexpr auto kPollInterval = std::chrono::milliseconds(200);

// Straight to standard error, not through the logger: the messages must reach the terminal
// even when standard output is redirected to a file.
void tell(const std::string& line) {
  const std::string text = line + "\n";
  (void)std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

// Creates or replaces `path` with `text`; the system's error text on failure.
std::optional<std::string> write_file(const std::string& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) return std::string(std::strerror(errno));
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  const int write_error = errno;
  const bool closed = std::fclose(file) == 0;
  if (!written) return std::string(std::strerror(write_error));
  if (!closed) return std::string(std::strerror(errno));
  return std::nullopt;
}

void watch(const std::string& base_path, const std::shared_ptr<SharedData>& shared) {
  const ArvexRt runtime(shared);
  std::uint64_t counter = 0;
  for (;;) {
    // sleep_for resumes after a signal for the remaining time.
    std::this_thread::sleep_for(kPollInterval);
    if (!DUMP_REQUESTED.exchange(false)) continue;
    ++counter;
    const std::string path = fmt::format("{}.{}", base_path, counter);
    if (const auto error = write_file(path, StateDumper::dump(runtime))) {
      tell(fmt::format("[arvex] state snapshot failed: {}", *error));
    } else {
      tell(fmt::format("[arvex] state snapshot written to {}", path));
    }
  }
}

}  // namespace

extern "C" void on_sigusr1(int /*signal*/) { DUMP_REQUESTED.store(true); }

void install_dump_request_handler() {
  struct sigaction action {};
  action.sa_handler = on_sigusr1;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  (void)::sigaction(SIGUSR1, &action, nullptr);
}

void spawn_state_dump_watcher(std::string base_path, std::shared_ptr<SharedData> shared) {
  try {
    std::thread watcher([path = std::move(base_path), shared = std::move(shared)] {
      ::pthread_setname_np(::pthread_self(), "state-dump");
      watch(path, shared);
    });
    watcher.detach();
  } catch (const std::system_error& e) {
    fatal_stop("failed to spawn state-dump watcher", e.what());
  }
}

}  // namespace arvex
