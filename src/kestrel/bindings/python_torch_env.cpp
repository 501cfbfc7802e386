// Tensor environments written in Python. A PythonTorchEnv is the TorchEnv of
// the tensor solver whose operations call the methods of a Python object; the
// solve runs without the interpreter lock and takes it only for those calls.
// Tensors cross in both directions through DLPack, without copies.

#include "kestrel/bindings/python_torch_env.h"

#include <ATen/ATen.h>
#include <ATen/DLConvertor.h>
#include <nanobind/stl/string.h>

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "kestrel/env/registrar.h"
#include "kestrel/env/torch_env.h"
#include "kestrel/solve/interrupt.h"
#include "kestrel/solve/shutdown_gate.h"

namespace nb = nanobind;

namespace kestrel {
namespace {

// The registry takes plain function pointers, which carry no name: each
// Python environment gets one of a fixed set of factory functions, bound to
// its slot.
constexpr int kSlots = 64;

struct Slot {
  std::string name;
  nb::object factory;
};

// Never destroyed: the Python objects it holds must not be released after the
// interpreter is gone.
std::array<Slot, kSlots>& slots() {
  static auto* table = new std::array<Slot, kSlots>;
  return *table;
}

constexpr const char* kUnconsumed = "dltensor";
constexpr const char* kConsumed = "used_dltensor";

void deleteUnconsumed(PyObject* capsule) {
  if (!PyCapsule_IsValid(capsule, kUnconsumed)) return;  // taken over by its consumer
  auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule, kUnconsumed));
  if (managed != nullptr && managed->deleter != nullptr) managed->deleter(managed);
}

nb::object toPython(const at::Tensor& tensor) {
  DLManagedTensor* managed = at::toDLPack(tensor);
  PyObject* capsule = PyCapsule_New(managed, kUnconsumed, &deleteUnconsumed);
  if (capsule == nullptr) {
    managed->deleter(managed);
    throw nb::python_error();
  }
  return nb::module_::import_("torch.utils.dlpack").attr("from_dlpack")(nb::steal(capsule));
}

at::Tensor fromPython(nb::handle value, const std::string& what) {
  if (!nb::isinstance(value, nb::module_::import_("torch").attr("Tensor"))) {
    throw std::invalid_argument(what + " must be a torch.Tensor, got " +
                                nb::cast<std::string>(nb::str(nb::handle(value.type()).attr("__name__"))));
  }
  nb::object capsule = nb::module_::import_("torch.utils.dlpack").attr("to_dlpack")(value);
  auto* managed = static_cast<DLManagedTensor*>(PyCapsule_GetPointer(capsule.ptr(), kUnconsumed));
  if (managed == nullptr) throw nb::python_error();
  PyCapsule_SetName(capsule.ptr(), kConsumed);
  return at::fromDLPack(managed);
}

// Runs `call` holding the interpreter lock, unless the interpreter is exiting.
// A Python exception it raises stays pending on this thread and unwinds the
// solve, which re-raises it unchanged, as a C++ plugin's exception would be.
template <typename Call>
auto withInterpreter(Call&& call) {
  if (ShutdownGate::instance().closed()) throw SolveInterrupted();
  nb::gil_scoped_acquire interpreter;
  try {
    return call();
  } catch (nb::python_error& error) {
    error.restore();
    throw HostExceptionPending();
  }
}

class PythonTorchEnv final : public TorchEnv {
 public:
  // Called with the interpreter lock held.
  PythonTorchEnv(nb::object environment, std::string name, const c10::Device& device)
      : environment_(std::move(environment)), name_(std::move(name)), device_(device) {
    num_moves = nb::cast<std::int64_t>(environment_.attr("num_moves"));
    state_width = nb::cast<std::int64_t>(environment_.attr("state_width"));
    if (num_moves < 1 || state_width < 1) {
      throw std::invalid_argument("tensor environment '" + name_ + "' must have num_moves and state_width >= 1");
    }
  }

  ~PythonTorchEnv() override {
    if (ShutdownGate::instance().closed()) {
      environment_.release();  // the interpreter is going away: never touch it again
      return;
    }
    nb::gil_scoped_acquire interpreter;
    environment_.reset();
  }

  at::Tensor encodeState(const std::vector<std::uint8_t>& state) const override {
    at::Tensor bytes = at::empty({static_cast<std::int64_t>(state.size())}, at::kByte);
    std::copy(state.begin(), state.end(), bytes.data_ptr<std::uint8_t>());
    const at::Tensor encoded = withInterpreter([&] {
      return fromPython(environment_.attr("encode_state")(toPython(bytes)), method("encode_state") + " result");
    });
    return encoded.reshape({-1}).to(device_, state_dtype);
  }

  at::Tensor decodeStates(const at::Tensor& states) const override { return states.to(at::kByte); }

  at::Tensor isSolved(const at::Tensor& states) const override {
    const at::Tensor solved = withInterpreter(
        [&] { return fromPython(environment_.attr("is_solved")(toPython(states)), method("is_solved") + " result"); });
    return solved.to(device_, at::kBool).reshape({-1});
  }

  std::pair<at::Tensor, at::Tensor> expand(const at::Tensor& states) const override {
    auto [children, costs] = withInterpreter([&] {
      nb::object result = environment_.attr("expand")(toPython(states));
      if (!nb::isinstance<nb::tuple>(result) || nb::len(result) != 2) {
        throw std::invalid_argument(method("expand") + " must return a tuple (children, step_costs)");
      }
      at::Tensor children = fromPython(result[0], method("expand") + " children");
      at::Tensor costs = fromPython(result[1], method("expand") + " step costs");
      return std::make_pair(std::move(children), std::move(costs));
    });
    const std::int64_t batch = states.size(0);
    return {children.to(device_, state_dtype).reshape({batch, num_moves, state_width}),
            costs.to(device_, at::kFloat).reshape({batch, num_moves})};
  }

  std::vector<at::Tensor> networkInputs(const at::Tensor& states) const override {
    return withInterpreter([&] {
      nb::object result = environment_.attr("network_inputs")(toPython(states));
      std::vector<at::Tensor> inputs;
      for (nb::handle input : result) {
        inputs.push_back(fromPython(input, method("network_inputs") + " element").to(device_, at::kFloat));
      }
      return inputs;
    });
  }

 private:
  std::string method(const char* name) const { return name_ + "." + name + "()"; }

  nb::object environment_;
  std::string name_;
  c10::Device device_;
};

std::unique_ptr<TorchEnv> makeFromSlot(int slot, const c10::Device& device, std::int32_t state_dim) {
  return withInterpreter([&]() -> std::unique_ptr<TorchEnv> {
    const Slot& entry = slots()[slot];
    nb::object environment = entry.factory(device.str(), state_dim);
    return std::make_unique<PythonTorchEnv>(std::move(environment), entry.name, device);
  });
}

template <std::size_t... Index>
constexpr std::array<TorchEnvironmentFactory, kSlots> slotFactories(std::index_sequence<Index...>) {
  return {[](const c10::Device& device, std::int32_t state_dim) { return makeFromSlot(Index, device, state_dim); }...};
}

constexpr std::array<TorchEnvironmentFactory, kSlots> kSlotFactories =
    slotFactories(std::make_index_sequence<kSlots>{});

void registerPythonTensorEnvironment(const std::string& name, nb::object factory) {
  if (!PyCallable_Check(factory.ptr())) throw std::invalid_argument("factory must be callable");
  std::array<Slot, kSlots>& table = slots();
  int slot = 0;
  while (slot < kSlots && !table[slot].name.empty() && table[slot].name != name) ++slot;
  if (slot == kSlots) {
    throw std::length_error("at most " + std::to_string(kSlots) + " tensor environments can be written in Python");
  }
  table[slot].name = name;
  table[slot].factory = std::move(factory);
  register_torch_environment(name.c_str(), kSlotFactories[slot]);
}

constexpr const char* kRegisterDoc = R"doc(Register a tensor environment written in Python under `name`.

`factory(device: str, state_dim: int)` is called at the start of each tensor
solve of `name` and returns the environment object; see
kestrel_cpp.tensor_environments for the methods it needs.)doc";

}  // namespace

void definePythonTensorEnvironments(nb::module_& module) {
  module.def("register_tensor_environment", &registerPythonTensorEnvironment, nb::arg("name"), nb::arg("factory"),
             kRegisterDoc);
}

}  // namespace kestrel
