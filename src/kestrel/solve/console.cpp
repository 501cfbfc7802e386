#include "kestrel/solve/console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace kestrel {
namespace {

class ProcessStreams final : public ConsoleSink {
 public:
  void writeStdout(std::string_view text) override { write(stdout, text); }
  void writeStderr(std::string_view text) override { write(stderr, text); }
  bool interruptRequested() override { return false; }

 private:
  static void write(std::FILE* stream, std::string_view text) {
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
  }
};

ProcessStreams process_streams;
std::atomic<ConsoleSink*> installed{nullptr};

ConsoleSink& sink() {
  ConsoleSink* current = installed.load(std::memory_order_acquire);
  return current != nullptr ? *current : process_streams;
}

std::string formatText(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

}  // namespace

void installConsoleSink(ConsoleSink* sink) { installed.store(sink, std::memory_order_release); }

void pythonPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  if (!text.empty()) sink().writeStdout(text);
}

void pythonPrintLine(const std::string& text) { sink().writeStdout(text + "\n"); }

void pythonWarnf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  if (!text.empty()) sink().writeStderr(text);
}

bool interruptRequested() { return sink().interruptRequested(); }

}  // namespace kestrel
