// kestrel_cpp._environments: environments as Python sees them. What a
// registered CPU environment looks like from outside (state size, move count,
// network input size), so that callers can check a test set and a heuristic
// package against it before solving; and tensor environments written in
// Python.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>
#include <string>
#include <vector>

#include "kestrel/bindings/exceptions.h"
#include "kestrel/bindings/python_torch_env.h"
#include "kestrel/bindings/solve_binding.h"
#include "kestrel/env/environment.h"
#include "kestrel/env/registrar.h"

namespace nb = nanobind;
using namespace nb::literals;

namespace {

constexpr const char* kDescribeDoc = R"doc(Describe the CPU environment `env` at `state`.

Creates the environment through its registered factory, exactly as a solve
would, and reports its sizes.

Returns:
    Dict with `state_size` (bytes of the state it keeps), `num_moves` and
    `input_size` (network inputs per state, in float32 values).

Raises:
    ValueError: If no plugin registered `env`, or the plugin refuses `state`.
)doc";

nb::dict describeEnvironment(const std::string& env, const kestrel::StateArray& state) {
  std::string name = env;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
  const std::uint8_t* data = state.data();
  const std::vector<std::uint8_t> bytes(data, data + state.shape(0));
  const std::unique_ptr<Environment> environment = kestrel::make_cpu_environment(name, bytes);
  if (!environment) throw std::runtime_error("The factory of environment '" + name + "' returned no environment");
  nb::dict description;
  description["state_size"] = environment->state().size();
  description["num_moves"] = environment->num_moves();
  description["input_size"] = environment->input_size();
  return description;
}

}  // namespace

NB_MODULE(_environments, m) {
  kestrel::registerExceptionTranslation();
  m.def("describe_environment", &describeEnvironment, "env"_a, "state"_a.noconvert(), kDescribeDoc);
  kestrel::definePythonTensorEnvironments(m);
}
