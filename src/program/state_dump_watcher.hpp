#pragma once
// Snapshots of a running program on request: with --dump-state FILE, SIGUSR1 makes a detached
// "state-dump" thread write the runtime's state to FILE.1, FILE.2, ... The signal handler only
// raises a flag; the watcher polls it every 200 ms, so signals within one poll merge.

#include <atomic>
#include <memory>
#include <string>

namespace arvex {

class SharedData;

// Raised by the SIGUSR1 handler, taken by the watcher.
inline std::atomic<bool> DUMP_REQUESTED{false};

// The SIGUSR1 handler: one atomic store, safe in signal context.
extern "C" void on_sigusr1(int signal);

// Installs on_sigusr1 for SIGUSR1 for the rest of the process.
void install_dump_request_handler();

// Starts the detached watcher. It holds the runtime's state, so a snapshot can still be taken
// after the run while the program writes its reports. A thread that cannot be started stops
// the program with "failed to spawn state-dump watcher".
void spawn_state_dump_watcher(std::string base_path, std::shared_ptr<SharedData> shared);

}  // namespace arvex
