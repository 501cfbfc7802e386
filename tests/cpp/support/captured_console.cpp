#include "support/captured_console.h"

#include <cstdarg>
#include <cstdio>
#include <algorithm>
#include <atomic>
#include <mutex>
#include <utility>

#include "kestrel/bindings/console.h"
#include "kestrel/solve/interrupt.h"

namespace kestrel {
namespace {

std::mutex capture_mutex;
std::string captured_stdout;
std::string captured_stderr;
std::atomic<bool> interrupt_pending{false};

void appendFormatted(std::string& sink, const char* format, va_list args) {
  char buffer[4096];
  const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
  std::lock_guard<std::mutex> lock(capture_mutex);
  if (length > 0) sink.append(buffer, static_cast<std::size_t>(std::min<int>(length, sizeof buffer - 1)));
}

}  // namespace

void pythonPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  appendFormatted(captured_stdout, format, args);
  va_end(args);
}

void pythonPrintLine(const std::string& text) {
  std::lock_guard<std::mutex> lock(capture_mutex);
  captured_stdout += text + "\n";
}

void pythonWarnf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  appendFormatted(captured_stderr, format, args);
  va_end(args);
}

bool interruptRequested() { return interrupt_pending.exchange(false); }

namespace testing {

void requestInterrupt() { interrupt_pending = true; }

std::string takeCapturedStdout() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return std::exchange(captured_stdout, {});
}

std::string takeCapturedStderr() {
  std::lock_guard<std::mutex> lock(capture_mutex);
  return std::exchange(captured_stderr, {});
}

}  // namespace testing
}  // namespace kestrel
