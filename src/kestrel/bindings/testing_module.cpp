// kestrel_cpp._testing: hooks that let the Python test suite drive the console
// functions from native threads, as the solvers do. Not part of the public API.

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <thread>
#include <vector>

#include "kestrel/bindings/console.h"

namespace nb = nanobind;

namespace {

// Each of `threads` native threads writes one tagged line through the chosen
// console function; the interpreter lock is released while they run.
void writeFromThreads(const std::string& stream, const std::string& text, int threads) {
  nb::gil_scoped_release release;
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&stream, &text, t] {
      if (stream == "stdout") {
        kestrel::pythonPrintf("%s %d\n", text.c_str(), t);
      } else if (stream == "line") {
        kestrel::pythonPrintLine(text + " " + std::to_string(t));
      } else {
        kestrel::pythonWarnf("%s %d\n", text.c_str(), t);
      }
    });
  }
  for (auto& worker : workers) worker.join();
}

}  // namespace

NB_MODULE(_testing, m) {
  m.def("write_from_threads", &writeFromThreads, nb::arg("stream"), nb::arg("text"), nb::arg("threads"));
}
