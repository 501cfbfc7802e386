#pragma once

// The console sink of the Python module: solver output goes through sys.stdout
// and sys.stderr, and interrupt polls run the interpreter's signal handlers.

#include "kestrel/solve/console.h"

namespace kestrel {

// Installs the sink for the solver libraries linked into the calling module.
void installInterpreterConsole();

}  // namespace kestrel
