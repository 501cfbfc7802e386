#include "kestrel/bindings/console.h"

#include <Python.h>

#include <algorithm>

#include "kestrel/solve/shutdown_gate.h"

namespace kestrel {
namespace {

// PySys_WriteStdout/Stderr truncate a single write after 1000 bytes, so longer
// texts go out in pieces of at most this many bytes.
constexpr std::size_t kMaxWriteBytes = 900;

// Signal handlers run only on the main thread, so a solve on another thread is
// cancelled through its threading.Thread object: once the object's
// kCancelEventAttribute (anything with is_set()) is set, the solve stops with
// KeyboardInterrupt. A failing is_set() stops it with that error.
constexpr const char* kCancelEventAttribute = "kestrel_cancel_event";

bool cancelRequested() {
  PyObject* threading = PyImport_ImportModule("threading");
  if (threading == nullptr) {
    PyErr_Clear();
    return false;
  }
  PyObject* thread = PyObject_CallMethod(threading, "current_thread", nullptr);
  Py_DECREF(threading);
  PyObject* event = thread == nullptr ? nullptr : PyObject_GetAttrString(thread, kCancelEventAttribute);
  Py_XDECREF(thread);
  if (event == nullptr) {
    PyErr_Clear();  // no event: nothing cancels this solve
    return false;
  }
  PyObject* answer = PyObject_CallMethod(event, "is_set", nullptr);
  Py_DECREF(event);
  if (answer == nullptr) return true;
  const int is_set = PyObject_IsTrue(answer);
  Py_DECREF(answer);
  if (is_set < 0) return true;
  if (is_set == 0) return false;
  PyErr_SetString(PyExc_KeyboardInterrupt, "solve cancelled");
  return true;
}

class InterpreterConsole final : public ConsoleSink {
 public:
  void writeStdout(std::string_view text) override { write(PySys_WriteStdout, text); }
  void writeStderr(std::string_view text) override { write(PySys_WriteStderr, text); }

  // Signal handlers run only on the main thread; elsewhere this is a cheap
  // no-op under the lock. A handler that raises leaves its exception set on
  // this thread, where the exception translation finds it. Solves on other
  // threads stop through their thread's cancel event instead.
  bool interruptRequested() override {
    if (ShutdownGate::instance().closed()) return true;  // never wait for an exiting interpreter
    const PyGILState_STATE gil = PyGILState_Ensure();
    const bool interrupted = PyErr_CheckSignals() != 0 || cancelRequested();
    PyGILState_Release(gil);
    return interrupted;
  }

 private:
  static void write(void (*writer)(const char*, ...), std::string_view text) {
    // Output of solves that outlive the interpreter's streams is dropped.
    if (ShutdownGate::instance().closed()) return;
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
