#pragma once

// Process-wide registries of environment factories, and the versioned record
// through which plugins reach the registration functions.
//
// A plugin obtains the record from the Python capsule
// "kestrel_cpp.environment_registrar_v1" (kestrel_cpp._backend_impl.
// environment_registrar_capsule()) and registers its factories while it is
// imported. Names are case-insensitive for ASCII letters; the last
// registration of a name wins.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "kestrel/export.h"

class Environment;
class TorchEnv;
namespace c10 {
struct Device;
}

using CpuEnvironmentFactory = std::unique_ptr<Environment> (*)(const std::vector<std::uint8_t>& state);
using TorchEnvironmentFactory = std::unique_ptr<TorchEnv> (*)(const c10::Device& device, std::int32_t state_dim);

// Shared binary layout: little-endian, 64-bit pointers, 24 bytes.
struct EnvironmentRegistrarV1 {
  std::uint64_t version;
  void (*register_cpu_environment)(const char* name, CpuEnvironmentFactory factory);
  void (*register_torch_environment)(const char* name, TorchEnvironmentFactory factory);
};

static_assert(sizeof(EnvironmentRegistrarV1) == 24, "EnvironmentRegistrarV1 is 24 bytes");
static_assert(offsetof(EnvironmentRegistrarV1, version) == 0, "version at offset 0");
static_assert(offsetof(EnvironmentRegistrarV1, register_cpu_environment) == 8, "CPU registration at offset 8");
static_assert(offsetof(EnvironmentRegistrarV1, register_torch_environment) == 16, "tensor registration at offset 16");

inline constexpr const char* kEnvironmentRegistrarCapsuleName = "kestrel_cpp.environment_registrar_v1";

namespace kestrel {

// Adds or replaces the factory for `name`. A null factory is stored as given
// and behaves like an unregistered name at lookup. A null `name` throws
// std::logic_error.
KESTREL_EXPORT void register_cpu_environment(const char* name, CpuEnvironmentFactory factory);
KESTREL_EXPORT void register_torch_environment(const char* name, TorchEnvironmentFactory factory);

// Creates an environment through the registered factory, called outside the
// registry lock. Unknown names throw std::invalid_argument naming the solver.
// The factory's result is returned unchecked; callers reject a null one.
KESTREL_EXPORT std::unique_ptr<Environment> make_cpu_environment(const std::string& name,
                                                                 const std::vector<std::uint8_t>& state);
KESTREL_EXPORT std::unique_ptr<TorchEnv> make_torch_environment(const std::string& name, const c10::Device& device,
                                                                std::int32_t state_dim);

// The one registrar record; never null, same address on every call.
KESTREL_EXPORT const EnvironmentRegistrarV1* environment_registrar_v1();

// The lookup's error text, exposed so callers and tests share one wording.
std::string unknownEnvironmentMessage(const std::string& name, const char* solver_label);

inline constexpr const char* kCpuSolverLabel = "C++ parallel weighted A*";
inline constexpr const char* kTorchSolverLabel = "Torch GPU A*";

}  // namespace kestrel
