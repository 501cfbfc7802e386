#include "kestrel/solve/shutdown_gate.h"

namespace kestrel {

ShutdownGate& ShutdownGate::instance() {
  static ShutdownGate* gate = new ShutdownGate;  // threads may still ask during exit
  return *gate;
}

bool ShutdownGate::enter() {
  const std::lock_guard lock(mutex_);
  if (closed_) return false;
  ++running_;
  return true;
}

bool ShutdownGate::mayReturn() {
  const std::lock_guard lock(mutex_);
  if (!closed_) return true;
  --running_;
  none_running_.notify_all();
  return false;
}

void ShutdownGate::returned() {
  const std::lock_guard lock(mutex_);
  --running_;
  none_running_.notify_all();
}

bool ShutdownGate::close(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  closed_ = true;
  return none_running_.wait_for(lock, timeout, [this] { return running_ == 0; });
}

bool ShutdownGate::closed() const {
  const std::lock_guard lock(mutex_);
  return closed_;
}

}  // namespace kestrel
