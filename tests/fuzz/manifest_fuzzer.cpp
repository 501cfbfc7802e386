// Fuzz target for the manifest loader: any bytes as manifest text must either
// load or fail with one of the loader's documented errors. Anything else (a
// crash, a sanitizer report, another exception type) is a finding.
//
// Built two ways: with libFuzzer for campaigns (scripts/fuzz.sh) and with
// replay_main.cpp as a test that replays the corpus on every build.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string>

#include "kestrel/heuristic/manifest.h"

namespace {

using nlohmann::json;

// The loader's documented failures: the library's syntax errors (a number
// too large for a double, such as 1e400, is its out-of-range error 406), type
// errors 302 (wrong value type) and 306 (keyed lookup on a non-object), 403
// (missing key), and its own std::runtime_error for unsupported shape entries.
bool documented(const json::exception& error) {
  if (dynamic_cast<const json::parse_error*>(&error) != nullptr) return true;
  if (dynamic_cast<const json::type_error*>(&error) != nullptr) return error.id == 302 || error.id == 306;
  if (dynamic_cast<const json::out_of_range*>(&error) != nullptr) return error.id == 403 || error.id == 406;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::istringstream text(std::string(reinterpret_cast<const char*>(data), size));
  try {
    const kestrel::AOTIManifest manifest = kestrel::parseAOTIManifest(text, "fuzz.pt2", "fuzz.pt2.json");
    std::uint64_t sum = 0;
    for (const auto& input : manifest.inputs) sum += input.numel_per_example;
    if (sum != kestrel::totalInputElements(manifest) || manifest.package_path != "fuzz.pt2") std::abort();
  } catch (const json::exception& error) {
    if (!documented(error)) throw;
  } catch (const std::runtime_error&) {
  }
  return 0;
}
