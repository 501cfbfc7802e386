#include "kestrel/heuristic/manifest.h"

#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>

namespace kestrel {
namespace {

using nlohmann::json;

// The library's own conversion, except that a floating-point value is
// truncated toward zero and saturated: a plain cast of a negative or huge
// double to an unsigned integer is undefined behaviour.
std::uint64_t toUnsigned(const json& value) {
  if (value.is_number_float()) {
    const double d = value.get<double>();
    if (!(d > 0.0)) {  // negative, zero and NaN
      return 0;
    }
    if (d >= 18446744073709551616.0) {  // 2^64
      return std::numeric_limits<std::uint64_t>::max();
    }
    return static_cast<std::uint64_t>(d);
  }
  return value.get<std::uint64_t>();  // rejects non-numbers with type error 302
}

std::int64_t toShapeEntry(const json& value) {
  if (value.is_number_integer()) {  // signed and unsigned alike
    return value.get<std::int64_t>();
  }
  if (value.is_string()) {
    const auto& text = value.get_ref<const std::string&>();
    if (text == "batch") {
      return -1;
    }
    throw std::runtime_error("Unsupported symbolic dimension '" + text + "' in manifest");
  }
  throw std::runtime_error("Manifest shape entries must be integers or the string 'batch'");
}

}  // namespace

AOTIManifest loadAOTIManifest(const std::string& package_path) {
  const std::string manifest_path = package_path + ".json";
  std::ifstream stream(manifest_path, std::ios::binary);
  if (!stream.is_open()) {
    throw std::runtime_error("Unable to open AOTI manifest at " + manifest_path);
  }
  return parseAOTIManifest(stream, package_path, manifest_path);
}

AOTIManifest parseAOTIManifest(std::istream& text, const std::string& package_path, const std::string& manifest_path) {
  const json root = json::parse(text, nullptr, /*allow_exceptions=*/true, /*ignore_comments=*/true);

  AOTIManifest manifest;
  manifest.package_path = package_path;
  manifest.manifest_path = manifest_path;

  // value() on a non-object root raises the library's type error 306.
  manifest.env = root.value("env", std::string());
  if (root.contains("output_elements_per_example")) {
    manifest.output_elements_per_example = toUnsigned(root.at("output_elements_per_example"));
  }

  // Range iteration also accepts null (no entries), an object (its values) and
  // a lone value (itself), as the manifest format allows.
  const json& inputs = root.at("inputs");
  manifest.inputs.reserve(inputs.size());
  for (const json& entry : inputs) {
    AOTIInputSpec spec;
    spec.name = entry.value("name", std::string("input"));
    spec.numel_per_example = toUnsigned(entry.at("numel_per_example"));
    spec.dtype = entry.value("dtype", std::string("float32"));
    const json& shape = entry.at("shape");
    spec.shape.reserve(shape.size());
    for (const json& dim : shape) {
      spec.shape.push_back(toShapeEntry(dim));
    }
    manifest.inputs.push_back(std::move(spec));
  }
  return manifest;
}

std::uint64_t totalInputElements(const AOTIManifest& manifest) {
  std::uint64_t total = 0;
  for (const auto& input : manifest.inputs) {
    total += input.numel_per_example;
  }
  return total;
}

std::string inputSizeMismatchMessage(const std::string& environment, std::uint64_t environment_inputs,
                                     const AOTIManifest& manifest, std::uint64_t manifest_inputs) {
  std::string message = "Environment/network input size mismatch with manifest metadata: environment '" + environment +
                        "' gives " + std::to_string(environment_inputs) +
                        " network inputs per state, the package expects " + std::to_string(manifest_inputs);
  if (!manifest.env.empty()) message += " (its manifest was made for environment '" + manifest.env + "')";
  return message;
}

}  // namespace kestrel
