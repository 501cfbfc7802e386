// kestrel_cpp._testing: hooks for the Python test suite (console writes from
// native threads, exception translation) and the tensor search on any device.
// Not part of the public API.

#include <c10/util/Exception.h>
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/bindings/console.h"
#include "kestrel/bindings/exceptions.h"
#include "kestrel/bindings/interpreter_exit.h"
#include "kestrel/bindings/solve_binding.h"

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

// Throws what solver code or a plugin might, so that tests can check the
// translation every function of the package shares.
void throwException(const std::string& kind) {
  if (kind == "bad_alloc") throw std::bad_alloc();
  if (kind == "not_utf8") throw std::runtime_error("manifest names \xff\xfe here");
  if (kind == "libtorch") TORCH_CHECK(false, "a LibTorch failure");
  if (kind == "not_std") throw 42;
  throw std::invalid_argument("unknown kind '" + kind + "'");
}

}  // namespace

NB_MODULE(_testing, m) {
  kestrel::installInterpreterConsole();
  kestrel::registerExceptionTranslation();
  kestrel::stopSolvesAtInterpreterExit();
  m.def("write_from_threads", &writeFromThreads, nb::arg("stream"), nb::arg("text"), nb::arg("threads"));
  m.def("throw_exception", &throwException, nb::arg("kind"));
  kestrel::defineRunTorchAStarOnDevice(m);
}
