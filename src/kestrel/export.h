#pragma once

// Symbols that other modules in the process (environment plugins, embedders)
// may resolve at run time. Everything else is built with hidden visibility.
#define KESTREL_EXPORT __attribute__((visibility("default")))
