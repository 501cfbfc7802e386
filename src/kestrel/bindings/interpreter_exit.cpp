#include "kestrel/bindings/interpreter_exit.h"

#include <nanobind/nanobind.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "kestrel/solve/shutdown_gate.h"

namespace nb = nanobind;

namespace kestrel {
namespace {

// A solve notices the closed gate at its next poll, so this covers one long
// iteration; a solve still running after it is left parked.
constexpr std::chrono::seconds kUnwindWait{10};

void onInterpreterExit() {
  // The exit hook runs while the interpreter is still whole, after the
  // non-daemon threads were joined. Released so that unwinding solves can
  // take the lock back and return to Python.
  nb::gil_scoped_release release;
  ShutdownGate::instance().close(kUnwindWait);
}

[[noreturn]] void parkForever() {
  for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

}  // namespace

void stopSolvesAtInterpreterExit() {
  nb::module_::import_("atexit").attr("register")(nb::cpp_function(&onInterpreterExit));
}

OutsideInterpreter::OutsideInterpreter() {
  if (!ShutdownGate::instance().enter()) throw std::runtime_error("The interpreter is exiting; no new solve starts");
  thread_state_ = PyEval_SaveThread();
}

OutsideInterpreter::~OutsideInterpreter() {
  if (!ShutdownGate::instance().mayReturn()) parkForever();
  PyEval_RestoreThread(thread_state_);
  ShutdownGate::instance().returned();
}

}  // namespace kestrel
