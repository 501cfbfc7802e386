#pragma once

// Console output and interrupt polling of the solvers, which run without the
// interpreter lock. The solver libraries write to a process-wide sink: the
// Python module installs one that writes through sys.stdout / sys.stderr
// (taking the interpreter lock per write) and runs the interpreter's signal
// handlers when asked for interrupts; without one, text goes to the process's
// own stdout / stderr and nothing interrupts a solve. The solver libraries
// therefore link and test without Python.
//
// The print functions format first and hand the sink whole texts, so they may
// be called from any thread, OpenMP workers included.

#include <string>
#include <string_view>

#include "kestrel/export.h"

namespace kestrel {

class KESTREL_EXPORT ConsoleSink {
 public:
  virtual ~ConsoleSink() = default;
  virtual void writeStdout(std::string_view text) = 0;
  virtual void writeStderr(std::string_view text) = 0;
  // True when the caller of the solve asked it to stop (Ctrl-C).
  virtual bool interruptRequested() = 0;
};

// Makes `sink` receive all solver output from now on; nullptr restores the
// default. The sink must outlive every solve that may use it.
KESTREL_EXPORT void installConsoleSink(ConsoleSink* sink);

// printf-style text to standard output; an empty text is not written.
KESTREL_EXPORT void pythonPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// `text` and a newline to standard output.
KESTREL_EXPORT void pythonPrintLine(const std::string& text);
// printf-style text to standard error; an empty text is not written.
KESTREL_EXPORT void pythonWarnf(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Asks the sink whether the solve should stop.
KESTREL_EXPORT bool interruptRequested();

}  // namespace kestrel
