#include "kestrel/env/registrar.h"

#include <mutex>
#include <stdexcept>
#include <unordered_map>

#include "kestrel/env/environment.h"
#include "kestrel/env/torch_env.h"

namespace kestrel {
namespace {

// One mutex guards both registries; it is held only around map access, never
// while a factory runs, so factories may themselves register or look up.
std::mutex& registryMutex() {
  static std::mutex mutex;
  return mutex;
}

template <typename Factory>
std::unordered_map<std::string, Factory>& registry() {
  static std::unordered_map<std::string, Factory> factories;
  return factories;
}

// ASCII-only folding: other bytes, UTF-8 included, compare exactly.
std::string registryKey(std::string name) {
  for (char& c : name) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return name;
}

template <typename Factory>
void registerFactory(const char* name, Factory factory) {
  std::lock_guard<std::mutex> lock(registryMutex());
  auto& factories = registry<Factory>();
  if (name == nullptr) throw std::logic_error("basic_string: construction from null is not valid");
  factories[registryKey(name)] = factory;
}

template <typename Factory>
Factory findFactory(const std::string& name, const char* solver_label) {
  Factory factory = nullptr;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    const auto& factories = registry<Factory>();
    const auto it = factories.find(registryKey(name));
    if (it != factories.end()) factory = it->second;
  }
  if (factory == nullptr) throw std::invalid_argument(unknownEnvironmentMessage(name, solver_label));
  return factory;
}

const EnvironmentRegistrarV1 kRegistrarV1{1, &register_cpu_environment, &register_torch_environment};

}  // namespace

std::string unknownEnvironmentMessage(const std::string& name, const char* solver_label) {
  return "Unknown environment '" + name + "' for the " + solver_label +
         " solver. No C++ environment plugin registered a factory for this name. Install an environment plugin "
         "distribution (for example kestrel-experiments-cpp) or register a factory through the kestrel_cpp "
         "environment registrar.";
}

void register_cpu_environment(const char* name, CpuEnvironmentFactory factory) { registerFactory(name, factory); }

void register_torch_environment(const char* name, TorchEnvironmentFactory factory) { registerFactory(name, factory); }

std::unique_ptr<Environment> make_cpu_environment(const std::string& name, const std::vector<std::uint8_t>& state) {
  return findFactory<CpuEnvironmentFactory>(name, kCpuSolverLabel)(state);
}

std::unique_ptr<TorchEnv> make_torch_environment(const std::string& name, const c10::Device& device,
                                                 std::int32_t state_dim) {
  return findFactory<TorchEnvironmentFactory>(name, kTorchSolverLabel)(device, state_dim);
}

const EnvironmentRegistrarV1* environment_registrar_v1() { return &kRegistrarV1; }

}  // namespace kestrel
