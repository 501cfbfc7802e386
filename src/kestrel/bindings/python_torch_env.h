#pragma once

// Tensor environments written in Python, registered for the tensor solver.

#include <nanobind/nanobind.h>

namespace kestrel {

// Defines register_tensor_environment(name, factory) in `module`.
void definePythonTensorEnvironments(nanobind::module_& module);

}  // namespace kestrel
