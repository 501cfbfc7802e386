#pragma once

// Console output for solver code that runs without the interpreter lock.
// Each call formats first, then takes the interpreter lock only for the write,
// so it may be called from any thread, OpenMP workers included. Output goes
// through sys.stdout / sys.stderr and follows any redirection of them.
//
// The solver libraries only declare these; the Python module links the
// implementation that writes through the interpreter, and the C++ tests link
// one that captures the text.

#include <string>

namespace kestrel {

void pythonPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));
void pythonPrintLine(const std::string& text);
void pythonWarnf(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace kestrel
