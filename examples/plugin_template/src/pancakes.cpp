// A template environment plugin: the pancake puzzle on a stack of kPancakes
// pancakes, for both solvers. Copy this folder, rename, and replace the puzzle.
//
// A state is kPancakes bytes, the pancake sizes 0..kPancakes-1 from the top of
// the stack down; the goal is 0, 1, ..., kPancakes-1. Move m flips the top
// m + 2 pancakes, so there are kPancakes - 1 moves, each costing 1. The network
// input is one-hot: element p * kPancakes + v is 1.0 where position p holds
// pancake v.

#include <ATen/ATen.h>
#include <kestrel/env/environment.h>
#include <kestrel/env/registrar.h>
#include <kestrel/env/torch_env.h>
#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace nb = nanobind;

namespace {

constexpr int kPancakes = 6;
constexpr int kMoves = kPancakes - 1;
constexpr const char* kName = "pancake6";

// Factories receive any bytes a caller passes: check them before use.
void requirePermutation(const std::uint8_t* state, std::size_t size) {
  if (size != kPancakes) {
    throw std::invalid_argument(std::string(kName) + " state must hold " + std::to_string(kPancakes) +
                                " pancakes, got " + std::to_string(size));
  }
  std::vector<bool> seen(kPancakes, false);
  for (std::size_t i = 0; i < size; ++i) {
    if (state[i] >= kPancakes || seen[state[i]]) {
      throw std::invalid_argument(std::string(kName) + " state must be a permutation of 0.." +
                                  std::to_string(kPancakes - 1));
    }
    seen[state[i]] = true;
  }
}

// ---- The CPU solver's environment: one object per state.

class PancakeEnvironment final : public Environment {
 public:
  explicit PancakeEnvironment(std::vector<std::uint8_t> state) : state_(std::move(state)) {}

  std::unique_ptr<Environment> apply_move(int move) const override {
    if (move < 0 || move >= kMoves) throw std::out_of_range("pancake move out of range");
    std::vector<std::uint8_t> child = state_;
    std::reverse(child.begin(), child.begin() + move + 2);
    return std::make_unique<PancakeEnvironment>(std::move(child));
  }

  // Runs on worker threads, possibly twice at once on one object: reads only.
  std::vector<std::unique_ptr<Environment>> expand() const override {
    std::vector<std::unique_ptr<Environment>> children;
    children.reserve(kMoves);
    for (int move = 0; move < kMoves; ++move) children.push_back(apply_move(move));
    return children;
  }

  const std::vector<std::uint8_t>& state() const override { return state_; }

  bool is_solved() const override {
    for (int i = 0; i < kPancakes; ++i) {
      if (state_[i] != i) return false;
    }
    return true;
  }

  int num_moves() const override { return kMoves; }
  std::size_t input_size() const override { return kPancakes * kPancakes; }

  void write_inputs(float* out) const override {
    std::fill(out, out + input_size(), 0.0f);
    for (int position = 0; position < kPancakes; ++position) out[position * kPancakes + state_[position]] = 1.0f;
  }

 private:
  std::vector<std::uint8_t> state_;
};

std::unique_ptr<Environment> makeCpuEnvironment(const std::vector<std::uint8_t>& state) {
  requirePermutation(state.data(), state.size());
  return std::make_unique<PancakeEnvironment>(state);
}

// ---- The tensor solver's environment: batches of states as (B, W) tensors.

class PancakeTorchEnv final : public TorchEnv {
 public:
  explicit PancakeTorchEnv(const c10::Device& device) : device_(device) {
    num_moves = kMoves;
    state_width = kPancakes;
    // sources_[m][p]: the position whose pancake lands at p after move m, so
    // that expanding a batch is one gather.
    at::Tensor sources = at::empty({kMoves, kPancakes}, at::kLong);
    auto source = sources.accessor<std::int64_t, 2>();
    for (int move = 0; move < kMoves; ++move) {
      for (int p = 0; p < kPancakes; ++p) source[move][p] = p < move + 2 ? move + 1 - p : p;
    }
    sources_ = sources.view({-1}).to(device_);
    goal_ = at::arange(kPancakes, at::TensorOptions().dtype(at::kLong).device(device_));
    one_hot_offsets_ = goal_.mul(kPancakes);
  }

  // state_dtype is set by the solver right after creation: encode in it.
  at::Tensor encodeState(const std::vector<std::uint8_t>& state) const override {
    requirePermutation(state.data(), state.size());
    at::Tensor bytes = at::empty({kPancakes}, at::kByte);
    std::memcpy(bytes.data_ptr<std::uint8_t>(), state.data(), state.size());
    return bytes.to(device_, state_dtype);
  }

  at::Tensor decodeStates(const at::Tensor& states) const override { return states.to(at::kByte); }

  at::Tensor isSolved(const at::Tensor& states) const override { return states.eq(goal_).all(1); }

  // Children (B, M, W) in move order, and one step cost per child.
  std::pair<at::Tensor, at::Tensor> expand(const at::Tensor& states) const override {
    const std::int64_t batch = states.size(0);
    at::Tensor children = states.index_select(1, sources_).view({batch, kMoves, kPancakes});
    at::Tensor costs = at::ones({batch, kMoves}, states.options().dtype(at::kFloat));
    return {std::move(children), std::move(costs)};
  }

  // One float32 tensor per manifest input, laid out as write_inputs does.
  std::vector<at::Tensor> networkInputs(const at::Tensor& states) const override {
    const at::Tensor index = states.to(at::kLong).add(one_hot_offsets_);
    at::Tensor inputs = at::zeros({states.size(0), kPancakes * kPancakes}, states.options().dtype(at::kFloat));
    inputs.scatter_(1, index, 1.0);
    return {std::move(inputs)};
  }

 private:
  c10::Device device_;
  at::Tensor sources_;          // (M * W) int64
  at::Tensor goal_;             // (W) int64
  at::Tensor one_hot_offsets_;  // (W) int64: p * kPancakes
};

std::unique_ptr<TorchEnv> makeTorchEnvironment(const c10::Device& device, std::int32_t state_dim) {
  if (state_dim != kPancakes) {
    throw std::invalid_argument(std::string(kName) + " state must hold " + std::to_string(kPancakes) + " pancakes");
  }
  return std::make_unique<PancakeTorchEnv>(device);
}

// ---- Registration: the only way in is the registrar record in the capsule
// that kestrel_cpp.environment_registrar_capsule() returns.

void registerEnvironments(nb::capsule capsule) {
  const auto* registrar =
      static_cast<const EnvironmentRegistrarV1*>(PyCapsule_GetPointer(capsule.ptr(), kEnvironmentRegistrarCapsuleName));
  if (registrar == nullptr) throw nb::python_error();  // not the registrar capsule
  if (registrar->version != 1) {
    throw std::runtime_error("kestrel_pancakes needs environment registrar version 1, got " +
                             std::to_string(registrar->version) + ": rebuild it against the installed kestrel_cpp");
  }
  registrar->register_cpu_environment(kName, &makeCpuEnvironment);
  registrar->register_torch_environment(kName, &makeTorchEnvironment);
}

}  // namespace

NB_MODULE(_native, m) {
  m.def("register_environments", &registerEnvironments, nb::arg("capsule"));
  m.attr("NAME") = kName;
  m.attr("PANCAKES") = kPancakes;
}
