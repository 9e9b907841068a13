#pragma once
// A JSON snapshot of a runtime's shared state, for diagnosing a run that does not progress. It
// can be taken at any moment from any thread while the engine keeps working: each lock is taken
// in read mode and alone, so the snapshot never blocks the engine for long and never deadlocks
// with it, but its groups may come from slightly different moments.

#include <string>

#include <nlohmann/json.hpp>

namespace arvex {

class ArvexRt;

class StateDumper {
 public:
  // Keys in ascending byte order: config, graph, network, progress, scheduler, slot_data.
  static nlohmann::json dump_value(const ArvexRt& runtime);
  // dump_value with two-space indentation and no trailing newline.
  static std::string dump(const ArvexRt& runtime);
};

}  // namespace arvex
