#pragma once

// Lets the host stop every running solve before it goes away. A Python
// interpreter that exits while a daemon thread is still solving must not be
// touched by that solve again: once the interpreter is finalizing, a thread
// that takes its lock is terminated on the spot, which inside C++ frames
// aborts the whole process. The host therefore closes the gate first (from an
// exit hook, while the interpreter is still whole): every solve stops at its
// next interrupt poll, console output is dropped, and a thread whose solve
// has unwound never returns to the host.
//
// Python-free: the bindings drive it, the solvers only poll it.

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kestrel/export.h"

namespace kestrel {

class KESTREL_EXPORT ShutdownGate {
 public:
  // The process-wide gate; never destroyed.
  static ShutdownGate& instance();

  // A solve is about to leave the host. False once the gate is closed.
  bool enter();
  // The solve has unwound and wants the host back. False when the gate closed
  // meanwhile: the solve no longer counts as running, and its thread must not
  // touch the host again.
  bool mayReturn();
  // The solve's thread holds the host again.
  void returned();

  // Stops every running solve at its next poll and refuses new ones, then
  // waits up to `timeout` for the running ones to unwind. True when none is
  // left running.
  bool close(std::chrono::milliseconds timeout);
  bool closed() const;

 private:
  ShutdownGate() = default;

  mutable std::mutex mutex_;
  std::condition_variable none_running_;
  bool closed_ = false;
  int running_ = 0;
};

}  // namespace kestrel
