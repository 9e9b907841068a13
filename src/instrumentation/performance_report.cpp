#include "instrumentation/performance_report.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <deque>
#include <exception>
#include <memory>
#include <nlohmann/json.hpp>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "logging/log.hpp"

namespace arvex {
namespace {

constexpr std::string_view kLogTarget = "arvex_core::performance_report";

// The default object is a std::map, which gives the keys in byte order.
using Json = nlohmann::json;

// Rounding half away from zero, as std::round does.
double r2(double x) {
  return std::round(x * 100.0) / 100.0;
}
double r1(double x) {
  return std::round(x * 10.0) / 10.0;
}

double to_us(std::chrono::nanoseconds d) {
  return static_cast<double>(d.count()) / 1000.0;
}

// The value at the index nearest to (count - 1) * q, halves away from zero; `values` not empty.
double percentile(std::vector<double> values, double q) {
  std::sort(values.begin(), values.end());
  const std::size_t last = values.size() - 1;
  const auto index = static_cast<std::size_t>(std::round(static_cast<double>(last) * q));
  return values[std::min(index, last)];
}

// Frames of the worker slots in slot-major order, without the first `exclude_frames`.
std::vector<const SlotStats*> steady_frames(const TimeBuffer& buffer, std::size_t exclude_frames) {
  const std::size_t worker_slots = std::min(
      buffer.num_slots > buffer.system_threads ? buffer.num_slots - buffer.system_threads : 0,
      buffer.slot_history.size());
  std::vector<const SlotStats*> frames;
  for (std::size_t slot = 0; slot < worker_slots; ++slot) {
    for (const SlotStats& frame : buffer.slot_history[slot]) frames.push_back(&frame);
  }
  const std::size_t excluded = std::min(frames.size(), exclude_frames);
  frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(excluded));
  return frames;
}

std::map<std::string, NodeStats> compute_node_stats(
    const std::map<std::string, std::vector<double>>& node_times, double capacity_us) {
  std::map<std::string, NodeStats> stats;
  for (const auto& [name, times] : node_times) {
    if (times.empty()) continue;
    NodeStats s;
    s.invocations = times.size();
    for (double t : times) s.total_exec_us += t;
    s.mean_exec_us = s.total_exec_us / static_cast<double>(times.size());
    s.p99_exec_us = percentile(times, 0.99);
    s.pct_of_total = capacity_us > 0 ? s.total_exec_us / capacity_us * 100.0 : 0.0;
    stats.emplace(name, s);
  }
  return stats;
}

struct OverheadDiagnostic {
  double critical_path_exec_us = 0.0;
  double overhead_us = 0.0;
  double overhead_pct = 0.0;
  std::string interpretation;
};

OverheadDiagnostic diagnose_overhead(double mean_latency_us,
                                     const std::optional<ReportCriticalPath>& path) {
  OverheadDiagnostic d;
  const double a = mean_latency_us;
  if (!path) {
    d.overhead_us = std::max(a, 0.0);
    d.overhead_pct = a > 0 ? d.overhead_us / a * 100.0 : 0.0;
    d.interpretation = "critical path unavailable — pass graph edges to enable diagnostics";
    return d;
  }
  d.critical_path_exec_us = path->estimated_latency_us;
  d.overhead_us = std::max(a - path->estimated_latency_us, 0.0);
  d.overhead_pct = a > 0 ? d.overhead_us / a * 100.0 : 0.0;
  const double pct = d.overhead_pct;
  if (pct >= 80) {
    d.interpretation = fmt::format(
        "{:.0f}% of latency is scheduling overhead — reducing task count via graph coarsening will "
        "have high impact; try larger tile_size or group_size in your graph builder, or enable "
        "coalesce_barriers=True",
        pct);
  } else if (pct >= 50) {
    d.interpretation = fmt::format(
        "{:.0f}% of latency is scheduling overhead — consider coalesce_barriers=True, "
        "batching_size tuning, or inline_continuation=True",
        pct);
  } else if (pct >= 20) {
    d.interpretation = fmt::format(
        "{:.0f}% of latency is scheduling overhead — mixed profile; try both kernel optimization "
        "and scheduling knobs",
        pct);
  } else {
    d.interpretation = fmt::format(
        "{:.0f}% of latency is scheduling overhead — compute-bound; focus on kernel optimization "
        "rather than graph structure",
        pct);
  }
  return d;
}

Json suggestion_json(const OptimizationSuggestion& s) {
  Json value;  // null unless the suggestion names a value
  if (const auto* number = std::get_if<std::uint64_t>(&s.suggested_value)) value = *number;
  if (const auto* flag = std::get_if<bool>(&s.suggested_value)) value = *flag;
  return Json{{"action", s.action},
              {"category", s.category},
              {"confidence", s.confidence},
              {"description", s.description},
              {"estimated_speedup", s.estimated_speedup},
              {"knob", s.knob},
              {"priority", s.priority},
              {"suggested_value", std::move(value)}};
}

}  // namespace

std::optional<ReportCriticalPath> find_critical_path(
    const std::vector<NodeEdges>& edges, const std::map<std::string, NodeStats>& node_stats) {
  if (edges.empty()) return std::nullopt;
  const std::size_t n = edges.size();
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);

  std::unordered_map<std::string_view, std::size_t> index;
  for (std::size_t i = 0; i < n; ++i)
    index.insert_or_assign(edges[i].node, i);  // a repeated name: the later node

  std::vector<std::vector<std::size_t>> successors(n);
  std::vector<std::size_t> incoming(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    for (const std::string& name : edges[i].successors) {
      const auto it = index.find(name);
      if (it == index.end()) continue;
      successors[i].push_back(it->second);
      ++incoming[it->second];
    }
  }

  std::vector<std::size_t> order;
  std::deque<std::size_t> ready;
  for (std::size_t i = 0; i < n; ++i) {
    if (incoming[i] == 0) ready.push_back(i);
  }
  while (!ready.empty()) {
    const std::size_t u = ready.front();
    ready.pop_front();
    order.push_back(u);
    for (std::size_t v : successors[u]) {
      if (--incoming[v] == 0) ready.push_back(v);
    }
  }

  std::vector<double> weight(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    const auto it = node_stats.find(edges[i].node);
    if (it != node_stats.end()) weight[i] = it->second.mean_exec_us;
  }
  std::vector<double> distance = weight;
  std::vector<std::size_t> predecessor(n, kNone);
  for (std::size_t u : order) {
    for (std::size_t v : successors[u]) {
      if (distance[u] + weight[v] > distance[v]) {
        distance[v] = distance[u] + weight[v];
        predecessor[v] = u;
      }
    }
  }

  std::size_t end = 0;
  for (std::size_t i = 1; i < n; ++i) {
    if (distance[i] >= distance[end]) end = i;  // ties go to the later node
  }
  ReportCriticalPath path;
  path.estimated_latency_us = distance[end];
  for (std::size_t i = end; i != kNone; i = predecessor[i]) path.nodes.push_back(edges[i].node);
  std::reverse(path.nodes.begin(), path.nodes.end());
  return path;
}

std::optional<std::string> build_json_report(const TimeBuffer& buffer,
                                             const std::vector<NodeEdges>& edges,
                                             std::size_t exclude_frames) {
  const std::vector<const SlotStats*> frames = steady_frames(buffer, exclude_frames);
  if (frames.empty()) return std::nullopt;
  const std::size_t s = frames.size();
  const auto s_u64 = static_cast<std::uint64_t>(s);
  const auto s_double = static_cast<double>(s);

  std::vector<double> latencies;
  latencies.reserve(s);
  double latency_sum = 0.0;
  for (const SlotStats* frame : frames) {
    latencies.push_back(to_us(frame->total_time));
    latency_sum += latencies.back();
  }
  const double mean_latency = latency_sum / s_double;
  const double throughput = latency_sum > 0 ? r1(s_double / (latency_sum / 1e6)) : 0.0;

  std::map<std::string, std::vector<double>> node_times;
  std::map<std::uint64_t, double> busy_us;
  for (const SlotStats* frame : frames) {
    for (const auto& [name, times] : frame->task_times) {
      std::vector<double>& list = node_times[name];
      for (const TaskTime& t : times) {
        list.push_back(to_us(t.duration));
        if (t.worker != kNoWorker) busy_us[t.worker] += list.back();
      }
    }
  }
  const std::uint64_t largest_worker = busy_us.empty() ? 0 : busy_us.rbegin()->first;
  const double worker_count = busy_us.empty() ? 1.0 : static_cast<double>(largest_worker) + 1.0;
  const std::map<std::string, NodeStats> stats =
      compute_node_stats(node_times, latency_sum * worker_count);

  const std::optional<ReportCriticalPath> path = find_critical_path(edges, stats);
  std::unordered_set<std::string_view> path_names;
  if (path) path_names.insert(path->nodes.begin(), path->nodes.end());
  const auto on_path = [&path_names](const std::string& name) { return path_names.contains(name); };

  std::vector<double> busy_pct(static_cast<std::size_t>(largest_worker) + 1, 0.0);
  const double busy_denominator = mean_latency * s_double;
  if (busy_denominator > 0) {
    for (const auto& [worker, time] : busy_us)
      busy_pct[static_cast<std::size_t>(worker)] = time / busy_denominator * 100.0;
  }

  // Nodes by total time, largest first; the stable sort keeps equal totals in name order.
  std::vector<std::pair<std::string, NodeStats>> per_node(stats.begin(), stats.end());
  std::stable_sort(per_node.begin(), per_node.end(), [](const auto& a, const auto& b) {
    return a.second.total_exec_us > b.second.total_exec_us;
  });

  std::vector<std::string> hints;
  for (const auto& [name, st] : per_node) {
    if (on_path(name) && st.pct_of_total > 20) {
      hints.push_back(fmt::format(
          "node '{}' is on the critical path and accounts for {:.1f}% of total compute time", name,
          st.pct_of_total));
    }
  }
  const double busy_max = *std::max_element(busy_pct.begin(), busy_pct.end());
  double busy_mean = 0.0;
  for (double b : busy_pct) busy_mean += b;
  busy_mean /= static_cast<double>(busy_pct.size());
  for (std::size_t w = 0; w < busy_pct.size(); ++w) {
    // Triggered by the gap to the busiest worker but reported against the mean.
    if (busy_max - busy_pct[w] > 10) {
      hints.push_back(fmt::format(
          "worker {} utilization ({:.1f}%) is {:.1f}% below average — possible load imbalance", w,
          busy_pct[w], busy_mean - busy_pct[w]));
    }
  }
  if (mean_latency > 0 && path && path->estimated_latency_us / mean_latency > 0.8) {
    hints.push_back(
        fmt::format("critical path accounts for {:.1f}% of average frame latency — limited "
                    "parallelism gains from adding workers",
                    path->estimated_latency_us / mean_latency * 100.0));
  }

  std::uint64_t tasks_per_frame = 0;
  for (const auto& [name, st] : stats) tasks_per_frame += st.invocations / s_u64;
  std::uint64_t max_node_factor = 0;
  if (path) {
    for (const std::string& name : path->nodes) {
      const auto it = stats.find(name);
      if (it != stats.end())
        max_node_factor = std::max(max_node_factor, it->second.invocations / s_u64);
    }
  }
  const OverheadDiagnostic overhead = diagnose_overhead(mean_latency, path);
  const std::vector<OptimizationSuggestion> suggestions = generate_optimization_suggestions(
      max_node_factor, tasks_per_frame, path, busy_pct, overhead.overhead_pct);

  Json report = Json::object();
  report["bottleneck_hints"] = hints;
  if (path) {
    constexpr std::size_t kSampleNodes = 5;
    std::vector<std::string> sample(
        path->nodes.begin(), path->nodes.begin() + static_cast<std::ptrdiff_t>(
                                                       std::min(path->nodes.size(), kSampleNodes)));
    if (path->nodes.size() > kSampleNodes)
      sample.push_back(fmt::format("... ({} more)", path->nodes.size() - kSampleNodes));
    report["critical_path"] =
        Json{{"estimated_latency_us", r2(path->estimated_latency_us)},
             {"length_nodes", static_cast<std::uint64_t>(path->length_nodes())},
             {"max_node_factor", max_node_factor},
             {"nodes_sample", sample}};
  } else {
    report["critical_path"] = nullptr;
  }
  Json suggestion_list = Json::array();
  for (const OptimizationSuggestion& suggestion : suggestions)
    suggestion_list.push_back(suggestion_json(suggestion));
  report["optimization_suggestions"] = std::move(suggestion_list);
  Json nodes = Json::array();
  for (const auto& [name, st] : per_node) {
    nodes.push_back(Json{{"factor", st.invocations / s_u64},
                         {"invocations", st.invocations},
                         {"mean_exec_us", r2(st.mean_exec_us)},
                         {"name", name},
                         {"on_critical_path", on_path(name)},
                         {"p99_exec_us", r2(st.p99_exec_us)},
                         {"pct_of_total", r1(st.pct_of_total)},
                         {"total_exec_us", r2(st.total_exec_us)}});
  }
  report["per_node"] = std::move(nodes);
  Json busy_rounded = Json::array();
  for (double b : busy_pct) busy_rounded.push_back(r1(b));
  report["resource_utilization"] = Json{{"worker_busy_pct", std::move(busy_rounded)}};
  report["summary"] = Json{{"avg_latency_us", r2(mean_latency)},
                           {"p50_latency_us", r2(percentile(latencies, 0.5))},
                           {"p99_latency_us", r2(percentile(latencies, 0.99))},
                           {"scheduling_overhead_diagnostic",
                            Json{{"critical_path_exec_us", r2(overhead.critical_path_exec_us)},
                                 {"interpretation", overhead.interpretation},
                                 {"overhead_pct", r1(overhead.overhead_pct)},
                                 {"overhead_us", r2(overhead.overhead_us)}}},
                           {"throughput_frames_per_sec", throughput},
                           {"total_frames", s_u64},
                           {"total_tasks_per_frame", tasks_per_frame}};
  // Task names are not guaranteed UTF-8; a bad byte becomes U+FFFD instead of losing the report.
  return report.dump(2, ' ', false, Json::error_handler_t::replace);
}

void write_json_report(const TimeBuffer& buffer, const std::vector<NodeEdges>& edges,
                       const std::string& path, std::size_t exclude_frames) {
  std::optional<std::string> text;
  try {
    text = build_json_report(buffer, edges, exclude_frames);
  } catch (const std::exception& e) {
    ARVEX_LOG_ERROR(kLogTarget, "failed to write JSON report",
                    log::field("error", std::string_view(e.what())));
    return;
  }
  if (!text) {
    ARVEX_LOG_WARN(kLogTarget, "no frames to report after exclusion");
    return;
  }

  std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "w"), &std::fclose);
  if (!file) {
    const std::string error = std::strerror(errno);
    ARVEX_LOG_ERROR(kLogTarget, "failed to create report file", log::field("path", path),
                    log::field("error", error));
    return;
  }
  // Closing flushes, so its failure is a write failure too.
  const bool written = std::fwrite(text->data(), 1, text->size(), file.get()) == text->size() &&
                       std::fclose(file.release()) == 0;
  if (!written) {
    const std::string error = std::strerror(errno);
    ARVEX_LOG_ERROR(kLogTarget, "failed to write JSON report", log::field("error", error));
    return;
  }
  ARVEX_LOG_INFO(kLogTarget, "report written", log::field("path", path));
}

}  // namespace arvex
