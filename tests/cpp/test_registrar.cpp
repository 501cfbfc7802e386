#include <c10/core/Device.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <vector>

#include "kestrel/env/environment.h"
#include "kestrel/env/registrar.h"
#include "kestrel/env/torch_env.h"
#include "support/expect_error.h"

namespace {

using kestrel::testing::expectError;
using kestrel::testing::kNothingThrown;
using kestrel::testing::thrownMessage;

// An environment that only remembers which factory made it and from what.
class TaggedEnvironment : public Environment {
 public:
  TaggedEnvironment(int tag, std::vector<std::uint8_t> state) : tag_(tag), state_(std::move(state)) {}
  std::unique_ptr<Environment> apply_move(int) const override { return nullptr; }
  std::vector<std::unique_ptr<Environment>> expand() const override { return {}; }
  const std::vector<std::uint8_t>& state() const override { return state_; }
  bool is_solved() const override { return false; }
  int num_moves() const override { return 0; }
  std::size_t input_size() const override { return 0; }
  void write_inputs(float*) const override {}
  int tag() const { return tag_; }

 private:
  int tag_;
  std::vector<std::uint8_t> state_;
};

class TaggedTorchEnv : public TorchEnv {
 public:
  explicit TaggedTorchEnv(std::int64_t width) { state_width = width; }
  at::Tensor encodeState(const std::vector<std::uint8_t>&) const override { return {}; }
  at::Tensor decodeStates(const at::Tensor&) const override { return {}; }
  at::Tensor isSolved(const at::Tensor&) const override { return {}; }
  std::pair<at::Tensor, at::Tensor> expand(const at::Tensor&) const override { return {}; }
  std::vector<at::Tensor> networkInputs(const at::Tensor&) const override { return {}; }
};

std::unique_ptr<Environment> makeFirst(const std::vector<std::uint8_t>& s) {
  return std::make_unique<TaggedEnvironment>(1, s);
}
std::unique_ptr<Environment> makeSecond(const std::vector<std::uint8_t>& s) {
  return std::make_unique<TaggedEnvironment>(2, s);
}
std::unique_ptr<TorchEnv> makeTorch(const c10::Device&, std::int32_t state_dim) {
  return std::make_unique<TaggedTorchEnv>(state_dim);
}

int tagOf(const std::string& name) {
  auto env = kestrel::make_cpu_environment(name, {7, 8});
  return static_cast<TaggedEnvironment&>(*env).tag();
}

std::string lookupError(const std::string& name, bool torch) {
  return thrownMessage<std::invalid_argument>([&] {
    if (torch) {
      kestrel::make_torch_environment(name, c10::Device(c10::kCPU), 4);
    } else {
      kestrel::make_cpu_environment(name, {1});
    }
  });
}

TEST(Registrar, RecordLayoutAndAddresses) {
  const EnvironmentRegistrarV1* record = kestrel::environment_registrar_v1();
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record, kestrel::environment_registrar_v1());

  unsigned char bytes[24];
  std::memcpy(bytes, record, sizeof bytes);
  EXPECT_EQ(bytes[0], 1);
  for (int i = 1; i < 8; ++i) EXPECT_EQ(bytes[i], 0) << "version byte " << i;
  void* cpu = nullptr;
  void* torch = nullptr;
  std::memcpy(&cpu, bytes + 8, 8);
  std::memcpy(&torch, bytes + 16, 8);
  EXPECT_EQ(cpu, reinterpret_cast<void*>(&kestrel::register_cpu_environment));
  EXPECT_EQ(torch, reinterpret_cast<void*>(&kestrel::register_torch_environment));
}

TEST(Registrar, LookupIsCaseInsensitiveAndPassesTheState) {
  kestrel::register_cpu_environment("MixedCase-Puzzle", &makeFirst);
  EXPECT_EQ(tagOf("mixedcase-puzzle"), 1);
  EXPECT_EQ(tagOf("MIXEDCASE-PUZZLE"), 1);
  auto env = kestrel::make_cpu_environment("mixedCASE-puzzle", {3, 4, 5});
  EXPECT_EQ(env->state(), (std::vector<std::uint8_t>{3, 4, 5}));
}

TEST(Registrar, UnknownNameMessageRepeatsTheCallersSpellingAndNamesTheSolver) {
  EXPECT_EQ(lookupError("No-Such-Env", false),
            "Unknown environment 'No-Such-Env' for the C++ parallel weighted A* solver. No C++ environment plugin "
            "registered a factory for this name. Install an environment plugin distribution (for example "
            "kestrel-experiments-cpp) or register a factory through the kestrel_cpp environment registrar.");
  EXPECT_EQ(lookupError("No-Such-Env", true).rfind("Unknown environment 'No-Such-Env' for the Torch GPU A* solver.", 0),
            0u);
}

TEST(Registrar, LastRegistrationWins) {
  kestrel::register_cpu_environment("twice", &makeFirst);
  kestrel::register_cpu_environment("TWICE", &makeSecond);
  EXPECT_EQ(tagOf("twice"), 2);
}

TEST(Registrar, NullFactoryBehavesAsUnregistered) {
  kestrel::register_cpu_environment("nulled", &makeFirst);
  kestrel::register_cpu_environment("nulled", nullptr);
  EXPECT_NE(lookupError("Nulled", false).find("Unknown environment 'Nulled'"), std::string::npos);
}

TEST(Registrar, RegistriesAreIndependent) {
  kestrel::register_cpu_environment("cpu-only", &makeFirst);
  kestrel::register_torch_environment("torch-only", &makeTorch);
  EXPECT_NE(lookupError("cpu-only", true).find("Torch GPU A*"), std::string::npos);
  EXPECT_NE(lookupError("torch-only", false).find("C++ parallel weighted A*"), std::string::npos);
  auto env = kestrel::make_torch_environment("Torch-Only", c10::Device(c10::kCPU), 9);
  EXPECT_EQ(env->state_width, 9);
}

TEST(Registrar, NullNameIsRejectedAndLeavesTheRegistryUsable) {
  EXPECT_THROW(kestrel::register_cpu_environment(nullptr, &makeFirst), std::logic_error);
  EXPECT_THROW(kestrel::register_torch_environment(nullptr, &makeTorch), std::logic_error);
  kestrel::register_cpu_environment("after-null", &makeSecond);  // the mutex was released
  EXPECT_EQ(tagOf("after-null"), 2);
}

TEST(Registrar, NonAsciiBytesAreComparedExactly) {
  kestrel::register_cpu_environment("\xc3\x89tat", &makeFirst);  // "État" in UTF-8
  EXPECT_EQ(tagOf("\xc3\x89TAT"), 1);
  EXPECT_NE(lookupError("\xc3\xa9tat", false), kNothingThrown);  // "état": é is not folded
}

// A factory that registers while it runs: proves the lock is not held then.
std::unique_ptr<Environment> makeReentrant(const std::vector<std::uint8_t>& s) {
  kestrel::register_cpu_environment("registered-by-factory", &makeSecond);
  return std::make_unique<TaggedEnvironment>(3, s);
}

TEST(Registrar, FactoryRunsOutsideTheLock) {
  kestrel::register_cpu_environment("reentrant", &makeReentrant);
  EXPECT_EQ(tagOf("reentrant"), 3);
  EXPECT_EQ(tagOf("registered-by-factory"), 2);
}

std::unique_ptr<Environment> makeFailing(const std::vector<std::uint8_t>&) {
  throw std::runtime_error("factory refused the state");
}

TEST(Registrar, FactoryExceptionsPassThrough) {
  kestrel::register_cpu_environment("failing", &makeFailing);
  expectError<std::runtime_error>([] { kestrel::make_cpu_environment("failing", {}); }, "factory refused the state");
}

TEST(Registrar, ConcurrentRegistrationAndLookup) {
  kestrel::register_cpu_environment("contended", &makeFirst);
  std::atomic<int> bad{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &bad] {
      for (int i = 0; i < 2000; ++i) {
        if (t % 2 == 0) {
          kestrel::register_cpu_environment("contended", (i % 2) ? &makeFirst : &makeSecond);
          kestrel::register_cpu_environment(("thread-" + std::to_string(t) + "-" + std::to_string(i)).c_str(),
                                            &makeFirst);
        } else {
          const int tag = tagOf("CONTENDED");
          if (tag != 1 && tag != 2) ++bad;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_EQ(tagOf("thread-4-1999"), 1);
}

}  // namespace
