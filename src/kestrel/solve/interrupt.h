#pragma once

// Lets a long solve be interrupted (Ctrl-C) between iterations. The solver
// runs without the interpreter lock, so it asks the host whether an interrupt
// is pending; the Python module answers by taking the lock briefly and
// running the interpreter's signal handlers. Polled at most every
// kInterruptPollInterval, so a tight loop of small iterations never queues
// on the interpreter lock.

#include <chrono>
#include <exception>

#include "kestrel/export.h"
#include "kestrel/solve/console.h"
#include "kestrel/solve/shutdown_gate.h"

namespace kestrel {

// Leaves a solve whose caller asked it to stop. Everything the solve owns is
// released by the unwinding; the Python module re-raises the exception that
// the signal handler set (KeyboardInterrupt by default).
// Exported so that the module that catches it recognises its type.
class KESTREL_EXPORT SolveInterrupted : public std::exception {
 public:
  const char* what() const noexcept override { return "Solve interrupted"; }
};

// Leaves a solve whose callback into the host (a method of an environment
// written in Python) raised: the host's exception is pending on this thread,
// and the module re-raises it unchanged once the solve has unwound.
class KESTREL_EXPORT HostExceptionPending : public SolveInterrupted {
 public:
  const char* what() const noexcept override { return "An exception was raised by host code during the solve"; }
};

inline constexpr std::chrono::milliseconds kInterruptPollInterval{100};

class InterruptPoller {
 public:
  // Throws SolveInterrupted when an interrupt is pending or the host is
  // shutting down; asks the host only
  // when kInterruptPollInterval has passed since it last asked.
  void poll() {
    // The host is going away: stop at once, without asking it anything.
    if (ShutdownGate::instance().closed()) throw SolveInterrupted();
    const auto now = std::chrono::steady_clock::now();
    if (now - last_poll_ < kInterruptPollInterval) return;
    last_poll_ = now;
    if (interruptRequested()) throw SolveInterrupted();
  }

 private:
  std::chrono::steady_clock::time_point last_poll_{};  // the first poll asks at once
};

}  // namespace kestrel
