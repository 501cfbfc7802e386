#pragma once

// Solves and the interpreter's exit. A solve releases the interpreter lock for
// its whole run; if the interpreter exits meanwhile (a daemon thread still
// solving), the solve must stop and its thread must never take the lock of a
// finalizing interpreter, which would abort the process.

#include <Python.h>

namespace kestrel {

// Registers, once per module, an exit hook that stops running solves and
// waits briefly for them to unwind. Call with the interpreter lock held.
void stopSolvesAtInterpreterExit();

// Holds a solve's thread outside the interpreter: releases the lock on
// construction and takes it back on destruction. When the interpreter began
// exiting meanwhile, the destructor never returns: the thread stays parked
// until the process ends, exactly as the interpreter parks its own daemon
// threads.
class OutsideInterpreter {
 public:
  OutsideInterpreter();
  ~OutsideInterpreter();
  OutsideInterpreter(const OutsideInterpreter&) = delete;
  OutsideInterpreter& operator=(const OutsideInterpreter&) = delete;

 private:
  PyThreadState* thread_state_;
};

}  // namespace kestrel
