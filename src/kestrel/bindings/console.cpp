#include "kestrel/bindings/console.h"
#include "kestrel/solve/interrupt.h"

#include <Python.h>

#include <cstdarg>
#include <algorithm>
#include <cstdio>
#include <string>

namespace kestrel {
namespace {

// PySys_WriteStdout/Stderr truncate a single write after 1000 bytes, so longer
// texts go out in pieces of at most this many bytes.
constexpr std::size_t kMaxWriteBytes = 900;

enum class Stream { Stdout, Stderr };

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

void writeLocked(Stream stream, const char* data, std::size_t size) {
  const PyGILState_STATE gil = PyGILState_Ensure();
  for (std::size_t offset = 0; offset < size; offset += kMaxWriteBytes) {
    const int piece = static_cast<int>(std::min(kMaxWriteBytes, size - offset));
    if (stream == Stream::Stdout) {
      PySys_WriteStdout("%.*s", piece, data + offset);
    } else {
      PySys_WriteStderr("%.*s", piece, data + offset);
    }
  }
  PyGILState_Release(gil);
}

}  // namespace

void pythonPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  if (!text.empty()) writeLocked(Stream::Stdout, text.data(), text.size());
}

void pythonPrintLine(const std::string& text) {
  const std::string line = text + "\n";
  writeLocked(Stream::Stdout, line.data(), line.size());
}

void pythonWarnf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const std::string text = formatText(format, args);
  va_end(args);
  if (!text.empty()) writeLocked(Stream::Stderr, text.data(), text.size());
}

// Signal handlers run only on the main thread; elsewhere this is a cheap
// no-op under the lock. A handler that raises leaves its exception set on
// this thread, where the exception translation finds it.
bool interruptRequested() {
  const PyGILState_STATE gil = PyGILState_Ensure();
  const bool interrupted = PyErr_CheckSignals() != 0;
  PyGILState_Release(gil);
  return interrupted;
}

}  // namespace kestrel
