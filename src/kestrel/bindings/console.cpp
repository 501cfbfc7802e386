#include "kestrel/bindings/console.h"

#include <Python.h>

#include <algorithm>

namespace kestrel {
namespace {

// PySys_WriteStdout/Stderr truncate a single write after 1000 bytes, so longer
// texts go out in pieces of at most this many bytes.
constexpr std::size_t kMaxWriteBytes = 900;

class InterpreterConsole final : public ConsoleSink {
 public:
  void writeStdout(std::string_view text) override { write(PySys_WriteStdout, text); }
  void writeStderr(std::string_view text) override { write(PySys_WriteStderr, text); }

  // Signal handlers run only on the main thread; elsewhere this is a cheap
  // no-op under the lock. A handler that raises leaves its exception set on
  // this thread, where the exception translation finds it.
  bool interruptRequested() override {
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool interrupted = PyErr_CheckSignals() != 0;
    PyGILState_Release(gil);
    return interrupted;
  }

 private:
  static void write(void (*writer)(const char*, ...), std::string_view text) {
    const PyGILState_STATE gil = PyGILState_Ensure();
    for (std::size_t offset = 0; offset < text.size(); offset += kMaxWriteBytes) {
      const int piece = static_cast<int>(std::min(kMaxWriteBytes, text.size() - offset));
      writer("%.*s", piece, text.data() + offset);
    }
    PyGILState_Release(gil);
  }
};

}  // namespace

void installInterpreterConsole() {
  // Never destroyed: solves on other threads may still write during exit.
  static InterpreterConsole* console = new InterpreterConsole;
  installConsoleSink(console);
}

}  // namespace kestrel
