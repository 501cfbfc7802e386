// The extension module kestrel_cpp._backend_impl: converts arguments, calls
// the solver core, converts results. No solver logic lives here.

#include <nanobind/nanobind.h>

#include "kestrel/bindings/console.h"
#include "kestrel/bindings/exceptions.h"
#include "kestrel/bindings/interpreter_exit.h"
#include "kestrel/bindings/solve_binding.h"
#include "kestrel/env/registrar.h"

namespace nb = nanobind;

namespace {

constexpr const char* kCapsuleDoc =
    "Return the versioned environment registrar as a PyCapsule.\n"
    "\n"
    "Environment plugin extensions extract the registrar pointer from the\n"
    "capsule and register C++ environment factories by name. The solver\n"
    "entry points resolve environments through that registry.\n"
    "\n"
    "Returns:\n"
    "    PyCapsule named ``kestrel_cpp.environment_registrar_v1``.\n";

nb::capsule environmentRegistrarCapsule() {
  // The record is static and outlives every capsule: no destructor.
  return nb::capsule(kestrel::environment_registrar_v1(), kEnvironmentRegistrarCapsuleName);
}

}  // namespace

NB_MODULE(_backend_impl, m) {
  m.doc() = "Kestrel C++ backend bindings";
  kestrel::installInterpreterConsole();
  kestrel::registerExceptionTranslation();
  kestrel::stopSolvesAtInterpreterExit();
  m.def("environment_registrar_capsule", &environmentRegistrarCapsule, kCapsuleDoc);
  kestrel::defineRunWeightedAStar(m);
  kestrel::defineRunTorchGpuAStar(m);
}
