// kestrel_puzzles._native: registers the puzzle environments with the
// kestrel_cpp registrar and exposes the functions of direct_calls.cpp (one
// environment method at a time, for scrambles, tests and
// benchmarks).

#include <kestrel/env/registrar.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "puzzle.h"

namespace nb = nanobind;

namespace kestrel_puzzles {
void bindDirectCalls(nb::module_& m);
}

namespace {

using namespace kestrel_puzzles;

constexpr std::uint64_t kRegistrarVersion = 1;

// The capsule is the only way in: Python extension modules are loaded with
// local symbol binding, so the registration functions cannot be linked.
void registerEnvironments(nb::capsule capsule) {
  const char* name = PyCapsule_GetName(capsule.ptr());
  if (name == nullptr || std::strcmp(name, kEnvironmentRegistrarCapsuleName) != 0) {
    throw std::invalid_argument(std::string("expected a capsule named '") + kEnvironmentRegistrarCapsuleName +
                                "', got '" + (name ? name : "<unnamed>") + "'");
  }
  const auto* registrar =
      static_cast<const EnvironmentRegistrarV1*>(PyCapsule_GetPointer(capsule.ptr(), kEnvironmentRegistrarCapsuleName));
  if (registrar == nullptr) throw nb::python_error();
  if (registrar->version != kRegistrarVersion) {
    throw std::runtime_error("kestrel_cpp environment registrar version " + std::to_string(registrar->version) +
                             " is not supported; kestrel_puzzles needs version 1 (rebuild it against the installed "
                             "kestrel_cpp)");
  }
  if (registrar->register_cpu_environment == nullptr || registrar->register_torch_environment == nullptr) {
    throw std::runtime_error("kestrel_cpp environment registrar lacks its registration functions");
  }
  for (const PuzzleInfo& puzzle : kPuzzles) {
    registrar->register_cpu_environment(puzzle.name, cpuFactory(puzzle));
    registrar->register_torch_environment(puzzle.name, torchFactory(puzzle));
  }
}

nb::ndarray<nb::numpy, std::uint8_t, nb::ndim<1>> goal(const std::string& name) {
  auto* tiles = new std::vector<std::uint8_t>(goalState(requirePuzzle(name)));
  nb::capsule owner(tiles, [](void* p) noexcept { delete static_cast<std::vector<std::uint8_t>*>(p); });
  return nb::ndarray<nb::numpy, std::uint8_t, nb::ndim<1>>(tiles->data(), {tiles->size()}, owner);
}

}  // namespace

NB_MODULE(_native, m) {
  m.doc() = "Sliding-tile puzzle environments for kestrel_cpp";

  nb::list names;
  for (const PuzzleInfo& puzzle : kPuzzles) names.append(puzzle.name);
  m.attr("ENVIRONMENTS") = nb::tuple(names);

  m.def("register_environments", &registerEnvironments, nb::arg("capsule"),
        "Register the CPU and tensor factories of every puzzle through the registrar\n"
        "capsule of kestrel_cpp.environment_registrar_capsule(). Registering again\n"
        "replaces the factories with the same ones.");
  m.def(
      "side", [](const std::string& name) { return requirePuzzle(name).side; }, nb::arg("name"),
      "Board side of the named puzzle.");
  m.def("goal", &goal, nb::arg("name"), "Goal state of the named puzzle: 1, 2, ..., n*n-1, 0.");

  bindDirectCalls(m);
}
