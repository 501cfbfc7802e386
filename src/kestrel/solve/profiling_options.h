#pragma once

#include <string>

namespace kestrel {

// What a solve writes to disk. Profiling is on exactly when a trace or a
// summary is requested.
struct ProfilingOptions {
  bool enabled = false;
  std::string directory;  // empty: "profile" under the working directory
  std::string run_id;     // prefix of both artifact names
  bool trace = false;     // run_id + "_trace.json"
  bool summary = false;   // run_id + "_summary.txt"
};

}  // namespace kestrel
