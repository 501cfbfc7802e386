#include "support/captured_console.h"

#include <atomic>
#include <mutex>
#include <utility>

#include "kestrel/solve/console.h"

namespace kestrel::testing {
namespace {

// Collects what the solvers print, and plays the host's part in interrupts.
class CapturedConsole final : public ConsoleSink {
 public:
  CapturedConsole() { installConsoleSink(this); }

  void writeStdout(std::string_view text) override {
    const std::lock_guard lock(mutex_);
    stdout_.append(text);
  }
  void writeStderr(std::string_view text) override {
    const std::lock_guard lock(mutex_);
    stderr_.append(text);
  }
  bool interruptRequested() override { return interrupt_.exchange(false); }

  std::string takeStdout() {
    const std::lock_guard lock(mutex_);
    return std::exchange(stdout_, {});
  }
  std::string takeStderr() {
    const std::lock_guard lock(mutex_);
    return std::exchange(stderr_, {});
  }
  void requestInterrupt() { interrupt_ = true; }

 private:
  std::mutex mutex_;
  std::string stdout_;
  std::string stderr_;
  std::atomic<bool> interrupt_{false};
};

CapturedConsole& console() {
  static CapturedConsole instance;
  return instance;
}

// Installed before any test runs, also in tests that never take the text.
const bool installed = (console(), true);

}  // namespace

std::string takeCapturedStdout() { return console().takeStdout(); }
std::string takeCapturedStderr() { return console().takeStderr(); }
void requestInterrupt() { console().requestInterrupt(); }

}  // namespace kestrel::testing
