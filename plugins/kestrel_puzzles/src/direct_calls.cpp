// Functions that drive this plugin's own environment classes directly on CPU
// tensors, so that tests can compare the CPU and tensor implementations
// without going through a solver.

#include <ATen/ATen.h>
#include <kestrel/env/environment.h>
#include <kestrel/env/torch_env.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "puzzle.h"

namespace nb = nanobind;

namespace kestrel_puzzles {

namespace {

using StateArray = nb::ndarray<const std::uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using MoveArray = nb::ndarray<const std::int64_t, nb::ndim<1>, nb::c_contig, nb::device::cpu>;
using AnyArray = nb::ndarray<nb::ro, nb::c_contig, nb::device::cpu>;
using NumpyArray = nb::ndarray<nb::numpy>;

struct DtypeName {
  const char* name;
  at::ScalarType scalar;
  nb::dlpack::dtype dlpack;
};

const DtypeName kDtypes[] = {
    {"bool", at::kBool, nb::dtype<bool>()},         {"uint8", at::kByte, nb::dtype<std::uint8_t>()},
    {"int8", at::kChar, nb::dtype<std::int8_t>()},  {"int16", at::kShort, nb::dtype<std::int16_t>()},
    {"int32", at::kInt, nb::dtype<std::int32_t>()}, {"int64", at::kLong, nb::dtype<std::int64_t>()},
    {"float32", at::kFloat, nb::dtype<float>()},    {"float64", at::kDouble, nb::dtype<double>()},
};

const DtypeName& dtypeByName(const std::string& name) {
  for (const auto& entry : kDtypes) {
    if (name == entry.name) return entry;
  }
  throw std::invalid_argument("unsupported dtype '" + name + "'");
}

const DtypeName& dtypeByScalar(at::ScalarType scalar) {
  for (const auto& entry : kDtypes) {
    if (scalar == entry.scalar) return entry;
  }
  throw std::invalid_argument(std::string("unsupported tensor dtype ") + c10::toString(scalar));
}

const DtypeName& dtypeByDlpack(nb::dlpack::dtype dtype) {
  for (const auto& entry : kDtypes) {
    if (dtype == entry.dlpack) return entry;
  }
  throw std::invalid_argument("unsupported array dtype");
}

std::vector<std::uint8_t> bytesOf(const StateArray& state) { return {state.data(), state.data() + state.size()}; }

template <class T>
NumpyArray ownedArray(std::vector<T> values) {
  auto* owned = new std::vector<T>(std::move(values));
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<std::vector<T>*>(p); });
  const std::size_t shape[1] = {owned->size()};
  return NumpyArray(owned->data(), 1, shape, owner, nullptr, nb::dtype<T>());
}

// The array's own dtype is kept, so tests see what the environment returned.
NumpyArray arrayFromTensor(const at::Tensor& tensor) {
  auto* owned = new at::Tensor(tensor.contiguous().cpu());
  nb::capsule owner(owned, [](void* p) noexcept { delete static_cast<at::Tensor*>(p); });
  std::vector<std::size_t> shape(owned->sizes().begin(), owned->sizes().end());
  return NumpyArray(owned->data_ptr(), shape.size(), shape.data(), owner, nullptr,
                    dtypeByScalar(owned->scalar_type()).dlpack);
}

at::Tensor tensorFromArray(const AnyArray& array) {
  std::vector<std::int64_t> shape(array.ndim());
  for (std::size_t i = 0; i < array.ndim(); ++i) shape[i] = static_cast<std::int64_t>(array.shape(i));
  const at::ScalarType scalar = dtypeByDlpack(array.dtype()).scalar;
  return at::from_blob(const_cast<void*>(array.data()), shape, at::TensorOptions().dtype(scalar)).clone();
}

std::unique_ptr<Environment> cpuEnv(const std::string& name, const StateArray& state) {
  return cpuFactory(requirePuzzle(name))(bytesOf(state));
}

NumpyArray stateOf(const Environment& env) { return ownedArray(env.state()); }

std::unique_ptr<TorchEnv> torchEnv(const std::string& name, std::int32_t state_dim, at::ScalarType state_dtype) {
  auto env = torchFactory(requirePuzzle(name))(c10::Device(c10::kCPU), state_dim);
  env->state_dtype = state_dtype;  // as the tensor solver does right after creation
  return env;
}

std::unique_ptr<TorchEnv> torchEnv(const std::string& name, const at::Tensor& states) {
  if (states.dim() != 2) throw std::invalid_argument("states must be a 2-d array (batch, state width)");
  return torchEnv(name, requirePuzzle(name).cells(), states.scalar_type());
}

std::vector<NumpyArray> cpuSuccessors(const std::string& name, const StateArray& state) {
  std::vector<NumpyArray> successors;
  for (const auto& child : cpuEnv(name, state)->expand()) successors.push_back(stateOf(*child));
  return successors;
}

NumpyArray cpuApplyMove(const std::string& name, const StateArray& state, int move) {
  return stateOf(*cpuEnv(name, state)->apply_move(move));
}

// Applies `moves` in turn through apply_move: the walk scramble() takes.
NumpyArray cpuApplyMoves(const std::string& name, const StateArray& state, const MoveArray& moves) {
  auto env = cpuEnv(name, state);
  for (std::size_t i = 0; i < moves.size(); ++i) env = env->apply_move(static_cast<int>(moves(i)));
  return stateOf(*env);
}

NumpyArray cpuInputs(const std::string& name, const StateArray& state) {
  auto env = cpuEnv(name, state);
  std::vector<float> inputs(env->input_size());
  env->write_inputs(inputs.data());
  return ownedArray(std::move(inputs));
}

nb::dict cpuProperties(const std::string& name, const StateArray& state) {
  auto env = cpuEnv(name, state);
  nb::dict properties;
  properties["num_moves"] = env->num_moves();
  properties["input_size"] = env->input_size();
  return properties;
}

// Mean seconds per expand() of one state, with the interpreter lock released.
double timeCpuExpand(const std::string& name, const StateArray& state, int repeats) {
  if (repeats <= 0) throw std::invalid_argument("repeats must be positive");
  auto env = cpuEnv(name, state);
  nb::gil_scoped_release release;
  std::size_t children = 0;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < repeats; ++i) children += env->expand().size();
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (children != static_cast<std::size_t>(repeats) * kNumMoves) throw std::logic_error("expand lost children");
  return elapsed.count() / repeats;
}

nb::dict torchProperties(const std::string& name, std::int32_t state_dim) {
  auto env = torchEnv(name, state_dim, at::kByte);
  nb::dict properties;
  properties["num_moves"] = env->num_moves;
  properties["state_width"] = env->state_width;
  return properties;
}

NumpyArray torchEncode(const std::string& name, const StateArray& state, const std::string& state_dtype) {
  const auto& puzzle = requirePuzzle(name);
  return arrayFromTensor(torchEnv(name, puzzle.cells(), dtypeByName(state_dtype).scalar)->encodeState(bytesOf(state)));
}

NumpyArray torchDecode(const std::string& name, const AnyArray& states) {
  const at::Tensor tensor = tensorFromArray(states);
  return arrayFromTensor(torchEnv(name, tensor)->decodeStates(tensor));
}

std::pair<NumpyArray, NumpyArray> torchExpand(const std::string& name, const AnyArray& states) {
  const at::Tensor tensor = tensorFromArray(states);
  auto [children, costs] = torchEnv(name, tensor)->expand(tensor);
  return {arrayFromTensor(children), arrayFromTensor(costs)};
}

NumpyArray torchIsSolved(const std::string& name, const AnyArray& states) {
  const at::Tensor tensor = tensorFromArray(states);
  return arrayFromTensor(torchEnv(name, tensor)->isSolved(tensor));
}

std::vector<NumpyArray> torchNetworkInputs(const std::string& name, const AnyArray& states) {
  const at::Tensor tensor = tensorFromArray(states);
  std::vector<NumpyArray> inputs;
  for (const at::Tensor& input : torchEnv(name, tensor)->networkInputs(tensor))
    inputs.push_back(arrayFromTensor(input));
  return inputs;
}

}  // namespace

void bindDirectCalls(nb::module_& m) {
  using nb::arg;
  m.def("cpu_successors", &cpuSuccessors, arg("name"), arg("state"), "States of Environment::expand(), in move order.");
  m.def("cpu_apply_move", &cpuApplyMove, arg("name"), arg("state"), arg("move"), "State of Environment::apply_move().");
  m.def("cpu_apply_moves", &cpuApplyMoves, arg("name"), arg("state"), arg("moves"),
        "State after applying the int64 `moves` in turn through Environment::apply_move().");
  m.def(
      "cpu_is_solved",
      [](const std::string& name, const StateArray& state) { return cpuEnv(name, state)->is_solved(); }, arg("name"),
      arg("state"), "Environment::is_solved().");
  m.def("cpu_inputs", &cpuInputs, arg("name"), arg("state"), "float32 values of Environment::write_inputs().");
  m.def("cpu_properties", &cpuProperties, arg("name"), arg("state"),
        "num_moves() and input_size() of the CPU environment, as a dict.");
  m.def("time_cpu_expand", &timeCpuExpand, arg("name"), arg("state"), arg("repeats"),
        "Mean seconds per Environment::expand() call, one thread.");
  m.def("torch_properties", &torchProperties, arg("name"), arg("state_dim"),
        "num_moves and state_width of a tensor environment made with `state_dim`, as a dict.");
  m.def("torch_encode", &torchEncode, arg("name"), arg("state"), arg("state_dtype") = "uint8",
        "TorchEnv::encodeState() with the given state dtype.");
  m.def("torch_decode", &torchDecode, arg("name"), arg("states"), "TorchEnv::decodeStates().");
  m.def("torch_expand", &torchExpand, arg("name"), arg("states"),
        "(children, step costs) of TorchEnv::expand() on a (batch, width) array of any integer dtype.");
  m.def("torch_is_solved", &torchIsSolved, arg("name"), arg("states"), "TorchEnv::isSolved().");
  m.def("torch_network_inputs", &torchNetworkInputs, arg("name"), arg("states"), "TorchEnv::networkInputs().");
}

}  // namespace kestrel_puzzles
