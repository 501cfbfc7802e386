#pragma once

// The JSON manifest beside a heuristic package (package path + ".json"): the
// environment the network was made for, its inputs and its output width.

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "kestrel/export.h"

namespace kestrel {

struct AOTIInputSpec {
  std::string name = "input";
  std::uint64_t numel_per_example = 0;
  std::vector<std::int64_t> shape;  // the symbolic batch dimension is -1
  std::string dtype = "float32";
};

struct AOTIManifest {
  std::string env;            // empty when the file names none
  std::string package_path;   // as passed to the loader
  std::string manifest_path;  // package_path + ".json"
  std::vector<AOTIInputSpec> inputs;
  std::uint64_t output_elements_per_example = 1;
};

// Reads package_path + ".json". Throws std::runtime_error when the file cannot
// be opened or a shape entry is unsupported; the JSON library's own exceptions
// (syntax, type, missing key) pass through unchanged. Never partial.
KESTREL_EXPORT AOTIManifest loadAOTIManifest(const std::string& package_path);

// The same from manifest text already at hand; `package_path` and
// `manifest_path` are recorded as given. Throws as loadAOTIManifest does,
// except for the file's absence.
KESTREL_EXPORT AOTIManifest parseAOTIManifest(std::istream& text, const std::string& package_path,
                                              const std::string& manifest_path);

// Sum of numel_per_example over all inputs (unsigned wrap-around).
KESTREL_EXPORT std::uint64_t totalInputElements(const AOTIManifest& manifest);

// "Environment/network input size mismatch with manifest metadata", followed
// by both sizes and, when the manifest names one, the package's environment.
KESTREL_EXPORT std::string inputSizeMismatchMessage(const std::string& environment, std::uint64_t environment_inputs,
                                                    const AOTIManifest& manifest, std::uint64_t manifest_inputs);

}  // namespace kestrel
