#include "scheduling/scheduler.hpp"

#include <fmt/format.h>

#include "arvex/fatal.hpp"

namespace arvex {

namespace {

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};

}  // namespace

std::optional<std::size_t> SchedulerImpl::main_core() const noexcept {
  return std::visit([](const auto& s) { return s->main_core(); }, scheduler_);
}

std::size_t SchedulerImpl::worker_group(const std::optional<WorkerRangeSpec>& range_spec) const {
  return std::visit(Overloaded{[](const std::unique_ptr<PoolScheduler>&) -> std::size_t { return 0; },
                               [&](const std::unique_ptr<CustomScheduler>& s) { return s->worker_group(range_spec); }},
                    scheduler_);
}

ThreadLayout SchedulerImpl::thread_layout() const noexcept {
  return std::visit([](const auto& s) { return s->thread_layout(); }, scheduler_);
}

void SchedulerImpl::set_node_executor(NodeExecutor executor) {
  std::visit(Overloaded{[](const std::unique_ptr<PoolScheduler>&) {},  // the pool runs boxed jobs only
                        [&](const std::unique_ptr<CustomScheduler>& s) { s->set_node_executor(std::move(executor)); }},
             scheduler_);
}

void SchedulerImpl::spawn_with_meta_priority(std::size_t priority, std::size_t group, std::optional<TaskMeta> meta,
                                             UniqueJob job) {
  std::visit(Overloaded{[&](const std::unique_ptr<PoolScheduler>& s) { s->spawn_task_with_meta(meta, std::move(job)); },
                        [&](const std::unique_ptr<CustomScheduler>& s) {
                          s->spawn_with_meta_priority(priority, group, meta, std::move(job));
                        }},
             scheduler_);
}

void SchedulerImpl::spawn_node(std::size_t group, std::size_t priority, const NodeTaskDesc& desc) {
  auto* custom = std::get_if<std::unique_ptr<CustomScheduler>>(&scheduler_);
  if (custom == nullptr) {
    fatal_stop("internal error: entered unreachable code: spawn_node requires has_typed_spawn() == true");
  }
  (*custom)->spawn_node(group, priority, desc);
}

std::uint64_t SchedulerImpl::total_spawned() const noexcept {
  return std::visit([](const auto& s) { return s->total_spawned(); }, scheduler_);
}

std::uint64_t SchedulerImpl::total_completed() const noexcept {
  return std::visit([](const auto& s) { return s->total_completed(); }, scheduler_);
}

void SchedulerImpl::write_record(const std::string& path) {
  std::visit([&](const auto& s) { s->write_record(path); }, scheduler_);
}

std::unique_ptr<SchedulerImpl> create_scheduler(const SchedulerConfig& config) {
  if (config.kind != SchedulerKind::Custom) {
    PoolScheduler::Options options;
    options.fifo = config.kind == SchedulerKind::PoolFifo;
    options.core_offset = config.core_offset;
    options.workers = config.workers;
    options.system_threads = config.system_threads;
    options.receiver_threads = config.receiver_threads;
    options.record = config.record;
    options.recorder = config.recorder;
    options.epoch = config.epoch;
    return std::make_unique<SchedulerImpl>(std::make_unique<PoolScheduler>(options));
  }
  CustomSchedulerBuilder builder(config.epoch, config.core_offset, config.system_threads, config.receiver_threads,
                                 config.record);
  if (config.affinity) {
    builder.with_affinity_groups(*config.affinity, config.workers);
  } else {
    builder.add_group(WorkerGroupConfig{config.workers, 0, 64});
  }
  builder.set_recorder(config.recorder);
  return std::make_unique<SchedulerImpl>(builder.build());
}

std::optional<std::string> check_worker_count(std::size_t workers) {
  if (workers >= 1) return std::nullopt;
  return fmt::format("Config error: workers must be >= 1 (got {})", workers);
}

}  // namespace arvex
