#pragma once

// String arguments of a solve reach C interfaces (file names, the plugin
// registrar) that stop at the first NUL byte: one inside a string would
// silently cut it, so that "puzzle8\0x" named puzzle8 and a package path
// read another file. Such strings are refused instead.

#include <stdexcept>
#include <string>

namespace kestrel {

inline void requireNoNulByte(const char* parameter, const std::string& value) {
  if (value.find('\0') != std::string::npos) {
    throw std::invalid_argument(std::string(parameter) + " must not contain a NUL byte");
  }
}

}  // namespace kestrel
