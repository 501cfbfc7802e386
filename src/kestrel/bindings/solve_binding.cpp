#include "kestrel/bindings/solve_binding.h"

#include <nanobind/stl/string.h>

#include <stdexcept>

namespace nb = nanobind;

namespace kestrel {

std::vector<std::uint8_t> checkedStateBytes(const StateArray& state, std::int32_t batch_size) {
  if (batch_size < 1) throw std::invalid_argument("batch_size must be positive");
  const std::size_t length = state.shape(0);
  if (length == 0) throw std::invalid_argument("State payload must contain at least one entry");
  const std::uint8_t* data = state.data();  // data pointer with the byte offset applied
  return std::vector<std::uint8_t>(data, data + length);
}

ProfilingOptions profilingOptions(const std::string& profile_dir, bool profile_trace, bool profile_summary,
                                  const std::string& profile_run_id, const char* default_run_id) {
  ProfilingOptions options;
  options.enabled = profile_trace || profile_summary;
  options.directory = profile_dir;
  options.run_id = profile_run_id.empty() ? default_run_id : profile_run_id;
  options.trace = profile_trace;
  options.summary = profile_summary;
  return options;
}

nb::dict resultDict(const SolveResult& result) {
  nb::list moves;
  for (const std::int32_t move : result.moves) moves.append(move);
  nb::dict dict;
  dict["moves"] = moves;
  dict["nodes_generated"] = result.nodes_generated;
  dict["solve_time"] = result.solve_time;
  dict["solved"] = result.solved;
  dict["search_budget_exceeded"] = result.search_budget_exceeded;
  if (result.has_operation_timings) {
    nb::dict timings;
    for (std::size_t i = 0; i < kOperationCount; ++i) {
      const OperationTiming& timing = result.operation_timings[i];
      nb::dict entry;
      entry["total_seconds"] = timing.total_seconds;
      entry["core_seconds"] = timing.core_seconds;
      entry["misc_seconds"] = timing.misc_seconds;
      entry["call_count"] = timing.call_count;
      timings[kOperationNames[i]] = entry;
    }
    dict["operation_timings"] = timings;
  }
  return dict;
}

}  // namespace kestrel
