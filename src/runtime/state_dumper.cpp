#include "runtime/state_dumper.hpp"

#include <fmt/format.h>

#include <cstdint>
#include <mutex>
#include <string_view>

#include "arvex/fatal.hpp"
#include "runtime/runtime_builder.hpp"

namespace arvex {

namespace {

std::string_view state_text(SlotState state) noexcept {
  switch (state) {
    case SlotState::Active: return "active";
    case SlotState::Buffering: return "buffering";
    case SlotState::Inactive: return "inactive";
  }
  return "inactive";
}

nlohmann::json network_value(const SharedData& shared) {
  const NetworkInfra& net = shared.network;
  nlohmann::json parked = nlohmann::json::array();
  {
    std::lock_guard lock(const_cast<NetworkInfra&>(net).pending_frames.mutex);
    for (const auto& [frame, packets] : net.pending_frames.frames) parked.push_back(frame);
  }
  return {
      {"dropped_frames", net.dropped_frames.load()},
      {"frames_received", net.frames_received.load()},
      {"parked_frames", std::move(parked)},
      {"parked_packets", net.parked_packets.load()},
      {"receive_finished", net.receive_finished.load()},
  };
}

nlohmann::json slot_data_value(const SharedData& shared) {
  const SlotData& sd = shared.slots;
  // One lock at a time, each in read mode.
  std::vector<SlotState> states;
  {
    const auto locked = sd.slot_states.read();
    states = *locked;
  }
  nlohmann::json running = nlohmann::json::array();
  {
    const auto locked = sd.running_frames.read();
    for (const RunningFrame& entry : *locked) running.push_back({entry.frame_id, entry.slot});
  }
  nlohmann::json slots = nlohmann::json::array();
  for (std::size_t s = 0; s < sd.slot_count(); ++s) {
    const std::int64_t frame = sd.frame_id[s].load();
    slots.push_back({
        {"frame_id", frame < 0 ? nlohmann::json(nullptr) : nlohmann::json(frame)},
        {"generation", sd.generation[s].load()},
        {"needs_check", sd.needs_check[s].load()},
        {"packet_complete", sd.packet_complete[s].load()},
        {"packet_count", sd.packet_count[s].load()},
        {"pending_cond_tasks", sd.pending_cond_tasks[s].load()},
        {"pending_tasks", sd.pending_tasks[s].load()},
        {"processing_count", sd.processing_count[s].load()},
        {"slot", s},
        {"state", s < states.size() ? state_text(states[s]) : "inactive"},
    });
  }
  return {
      {"active_bitmap", fmt::format("{:#x}", sd.active_bitmap.load())},
      {"last_assigned", sd.last_assigned.load()},
      {"running_frames", std::move(running)},
      {"slots", std::move(slots)},
  };
}

}  // namespace

nlohmann::json StateDumper::dump_value(const ArvexRt& runtime) {
  const SharedData& shared = *runtime.shared();
  const RunConfig& config = shared.config;
  const SchedulerImpl& scheduler = *shared.exec.scheduler;
  return {
      {"config",
       {{"max_frames", config.max_frames},
        {"slots", config.slots},
        {"system_threads", config.system_threads},
        {"workers", config.workers}}},
      {"graph",
       {{"nodes", shared.graph.nodes().size()},
        {"total_cond_tasks_per_frame", shared.cache.total_cond_tasks_per_frame},
        {"total_tasks_per_frame", shared.cache.total_tasks_per_frame}}},
      {"network", network_value(shared)},
      {"progress",
       {{"frames_completed", shared.telemetry.frames_completed.load()},
        {"jobs_recorded", shared.telemetry.jobs_recorded.load()},
        {"shutdown", shared.shutdown.load()}}},
      {"scheduler",
       {{"batch_queue_len", shared.exec.batch_queue.was_size()},
        {"total_completed", scheduler.total_completed()},
        {"total_spawned", scheduler.total_spawned()}}},
      {"slot_data", slot_data_value(shared)},
  };
}

std::string StateDumper::dump(const ArvexRt& runtime) {
  try {
    return dump_value(runtime).dump(2);
  } catch (const std::exception& e) {
    fatal_stop("state JSON", e.what());
  }
}

}  // namespace arvex
