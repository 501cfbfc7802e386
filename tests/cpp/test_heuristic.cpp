#include <ATen/core/Tensor.h>
#include <ATen/ops/from_blob.h>
#include <c10/util/Exception.h>
#include <gtest/gtest.h>
#include <torch/csrc/inductor/aoti_package/model_package_loader.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kestrel/heuristic/manifest.h"
#include "kestrel/heuristic/package_lease.h"
#include "kestrel/heuristic/runner.h"
#include "kestrel/heuristic/tensor_inference.h"
#include "support/expect_error.h"

namespace {

namespace fs = std::filesystem;
using kestrel::AOTIHeuristicRunner;
using kestrel::AOTIInputSpec;
using kestrel::AOTIManifest;
using kestrel::loadAOTIManifest;
using kestrel::testing::expectError;
using kestrel::testing::kNothingThrown;
using kestrel::testing::thrownMessage;
using Json = nlohmann::json;

// Runs `body`, expecting a JSON library exception of type E with library id `id`
// whose text mentions `fragment`.
template <typename E>
void expectJsonError(const std::function<void()>& body, int id, const std::string& fragment) {
  try {
    body();
    ADD_FAILURE() << "expected JSON error " << id;
  } catch (const E& error) {
    EXPECT_EQ(error.id, id) << error.what();
    EXPECT_NE(std::string(error.what()).find(fragment), std::string::npos) << error.what();
  }
}

class TempDir {
 public:
  TempDir() {
    static std::atomic<int> counter{0};
    path_ = fs::temp_directory_path() /
            ("kestrel_heuristic_" + std::to_string(::getpid()) + "_" + std::to_string(counter++));
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

// ---------------------------------------------------------------- manifest

class ManifestTest : public ::testing::Test {
 protected:
  // Writes `text` as the manifest of <tmp>/model.pt2 and returns the package path.
  std::string writeManifest(const std::string& text) {
    const std::string package = (dir_.path() / "model.pt2").string();
    std::ofstream(package + ".json", std::ios::binary) << text;
    return package;
  }
  AOTIManifest load(const std::string& text) { return loadAOTIManifest(writeManifest(text)); }
  std::vector<std::int64_t> shapeOf(const std::string& shape_json) {
    return load(R"({"inputs": [{"numel_per_example": 1, "shape": )" + shape_json + "}]}").inputs.at(0).shape;
  }

  TempDir dir_;
};

TEST_F(ManifestTest, MinimalManifestTakesDefaults) {
  const std::string package = writeManifest(R"({"inputs": [{"numel_per_example": 4, "shape": ["batch", 4]}]})");
  const AOTIManifest manifest = loadAOTIManifest(package);
  EXPECT_EQ(manifest.env, "");
  EXPECT_EQ(manifest.package_path, package);
  EXPECT_EQ(manifest.manifest_path, package + ".json");
  EXPECT_EQ(manifest.output_elements_per_example, 1u);
  ASSERT_EQ(manifest.inputs.size(), 1u);
  EXPECT_EQ(manifest.inputs[0].name, "input");
  EXPECT_EQ(manifest.inputs[0].dtype, "float32");
  EXPECT_EQ(manifest.inputs[0].numel_per_example, 4u);
  EXPECT_EQ(manifest.inputs[0].shape, (std::vector<std::int64_t>{-1, 4}));

  EXPECT_TRUE(load(R"({"inputs": []})").inputs.empty());
  EXPECT_TRUE(load(R"({"inputs": null})").inputs.empty());
}

TEST_F(ManifestTest, ReadsEveryFieldInFileOrderAndIgnoresUnknownKeys) {
  const AOTIManifest manifest = load(R"({
    "env": "cube3", "output_elements_per_example": 3, "note": {"anything": [1, 2]},
    "inputs": [
      {"name": "b", "numel_per_example": 10, "dtype": "float16", "shape": [-1, 10], "extra": true},
      {"name": "a", "numel_per_example": 22, "shape": ["batch", 2, 11]}
    ]})");
  EXPECT_EQ(manifest.env, "cube3");
  EXPECT_EQ(manifest.output_elements_per_example, 3u);
  ASSERT_EQ(manifest.inputs.size(), 2u);
  EXPECT_EQ(manifest.inputs[0].name, "b");
  EXPECT_EQ(manifest.inputs[0].dtype, "float16");
  EXPECT_EQ(manifest.inputs[1].name, "a");
  EXPECT_EQ(manifest.inputs[1].shape, (std::vector<std::int64_t>{-1, 2, 11}));
  EXPECT_EQ(kestrel::totalInputElements(manifest), 32u);
}

TEST_F(ManifestTest, InputsObjectIsVisitedByValueInKeyOrder) {
  const AOTIManifest manifest = load(R"({"inputs": {
      "z": {"name": "last", "numel_per_example": 1, "shape": []},
      "a": {"name": "first", "numel_per_example": 2, "shape": []}}})");
  ASSERT_EQ(manifest.inputs.size(), 2u);
  EXPECT_EQ(manifest.inputs[0].name, "first");
  EXPECT_EQ(manifest.inputs[1].name, "last");
}

TEST_F(ManifestTest, CommentsAreSkipped) {
  const AOTIManifest manifest = load(R"(// leading line comment
    /* block */ {"env": /* inline */ "x", // trailing
    "inputs": [] /* before the brace */ }
    // after the value
  )");
  EXPECT_EQ(manifest.env, "x");
}

TEST_F(ManifestTest, ManifestPathIsThePackagePathWithJsonAppended) {
  // Only <dir>/model.json exists: the loader must not replace the extension.
  std::ofstream(dir_.path() / "model.json") << R"({"inputs": []})";
  const std::string package = (dir_.path() / "model.pt2").string();
  expectError<std::runtime_error>([&] { loadAOTIManifest(package); },
                                  "Unable to open AOTI manifest at " + package + ".json");

  const std::string bare = (dir_.path() / "model").string();
  EXPECT_EQ(loadAOTIManifest(bare).manifest_path, bare + ".json");
}

TEST_F(ManifestTest, UnsignedFieldsUseTheLibraryConversion) {
  const auto numel = [&](const std::string& value) {
    return load(R"({"inputs": [{"numel_per_example": )" + value + R"(, "shape": []}]})").inputs[0].numel_per_example;
  };
  EXPECT_EQ(numel("12.9"), 12u);
  EXPECT_EQ(numel("-1"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(numel("18446744073709551615"), std::numeric_limits<std::uint64_t>::max());
  // Negative and out-of-range floating-point values saturate instead of
  // invoking an undefined conversion.
  EXPECT_EQ(numel("-3.5"), 0u);
  EXPECT_EQ(numel("1e30"), std::numeric_limits<std::uint64_t>::max());
  EXPECT_EQ(load(R"({"output_elements_per_example": 2.0, "inputs": []})").output_elements_per_example, 2u);

  AOTIManifest wraps;
  wraps.inputs = {AOTIInputSpec{"a", std::numeric_limits<std::uint64_t>::max(), {}, "float32"},
                  AOTIInputSpec{"b", 3, {}, "float32"}};
  EXPECT_EQ(kestrel::totalInputElements(wraps), 2u);
  EXPECT_EQ(kestrel::totalInputElements(AOTIManifest{}), 0u);
}

TEST_F(ManifestTest, ShapeEntries) {
  EXPECT_EQ(shapeOf(R"(["batch", 3, 3])"), (std::vector<std::int64_t>{-1, 3, 3}));
  EXPECT_EQ(shapeOf("[-1, 9]"), (std::vector<std::int64_t>{-1, 9}));
  EXPECT_EQ(shapeOf(R"("batch")"), (std::vector<std::int64_t>{-1}));
  EXPECT_EQ(shapeOf("7"), (std::vector<std::int64_t>{7}));
  EXPECT_EQ(shapeOf("null"), (std::vector<std::int64_t>{}));
  EXPECT_EQ(shapeOf(R"({"b": 5, "a": "batch"})"), (std::vector<std::int64_t>{-1, 5}));

  expectError<std::runtime_error>([&] { shapeOf(R"(["Batch"])"); },
                                  "Unsupported symbolic dimension 'Batch' in manifest");
  expectError<std::runtime_error>([&] { shapeOf(R"("")"); }, "Unsupported symbolic dimension '' in manifest");
  for (const char* bad : {"[2.0]", "[true]", "[null]", "[[3]]", R"([{"n": 3}])", "54.0"}) {
    SCOPED_TRACE(bad);
    expectError<std::runtime_error>([&] { shapeOf(bad); },
                                    "Manifest shape entries must be integers or the string 'batch'");
  }
}

TEST_F(ManifestTest, LibraryErrorsPassThrough) {
  using nlohmann::json;
  expectJsonError<json::out_of_range>([&] { load(R"({"env": "x"})"); }, 403, "'inputs'");
  expectJsonError<json::out_of_range>([&] { load(R"({"inputs": [{"shape": []}]})"); }, 403, "'numel_per_example'");
  expectJsonError<json::out_of_range>([&] { load(R"({"inputs": [{"numel_per_example": 1}]})"); }, 403, "'shape'");
  expectJsonError<json::type_error>([&] { load(R"([{"inputs": []}])"); }, 306, "array");
  expectJsonError<json::type_error>([&] { load(R"({"inputs": [5]})"); }, 306, "number");
  // A lone object is visited by its values, so the entry seen is the number 3.
  expectJsonError<json::type_error>([&] { load(R"({"inputs": {"numel_per_example": 3, "shape": []}})"); }, 306,
                                    "number");
  expectJsonError<json::type_error>([&] { load(R"({"env": 5, "inputs": []})"); }, 302, "string");
  expectJsonError<json::type_error>([&] { load(R"({"output_elements_per_example": "1", "inputs": []})"); }, 302,
                                    "number");
  expectJsonError<json::type_error>(
      [&] { load(R"({"inputs": [{"name": null, "numel_per_example": 1, "shape": []}]})"); }, 302, "null");
  expectJsonError<json::type_error>([&] { load(R"({"inputs": [{"numel_per_example": [1], "shape": []}]})"); }, 302,
                                    "array");
  EXPECT_THROW(load(""), json::parse_error);
  EXPECT_THROW(load(R"({"inputs": []} {})"), json::parse_error);
  EXPECT_THROW(load(R"({"inputs": []} /* unterminated)"), json::parse_error);
}

// ------------------------------------------------------------ device grammar

bool anyAcceleratorPresent() { return AOTIHeuristicRunner::parseDevice("auto").type() != c10::DeviceType::CPU; }

void expectDevice(const std::string& spec, c10::DeviceType type, c10::DeviceIndex index) {
  SCOPED_TRACE("spec '" + spec + "'");
  const c10::Device device = AOTIHeuristicRunner::parseDevice(spec);
  EXPECT_EQ(device.type(), type);
  EXPECT_EQ(device.index(), index);
}

TEST(ParseDevice, AutoFallsBackToCpuWithoutAccelerators) {
  if (anyAcceleratorPresent()) {
    GTEST_SKIP() << "an accelerator backend is present";
  }
  for (const char* spec : {"", "auto", ":0", "auto:3", " \t\n\r", "  auto\n", "auto:x"}) {
    expectDevice(spec, c10::DeviceType::CPU, -1);
  }
}

TEST(ParseDevice, CpuIgnoresItsIndex) {
  for (const char* spec : {"cpu", "cpu:5", "cpu:x", " cpu:\n", "cpu:99999999999"}) {
    expectDevice(spec, c10::DeviceType::CPU, -1);
  }
}

TEST(ParseDevice, IndexIsAnIntegerPrefixAndKeepsTheLowEightBits) {
  expectDevice("privateuseone:2", c10::DeviceType::PrivateUse1, 2);
  expectDevice("privateuseone", c10::DeviceType::PrivateUse1, 0);
  expectDevice("privateuseone:", c10::DeviceType::PrivateUse1, 0);
  expectDevice(" privateuseone:1abc\r\n", c10::DeviceType::PrivateUse1, 1);
  expectDevice("privateuseone: +3", c10::DeviceType::PrivateUse1, 3);
  expectDevice("privateuseone:257", c10::DeviceType::PrivateUse1, 1);
  expectDevice("privateuseone:255", c10::DeviceType::PrivateUse1, -1);
  expectDevice("privateuseone:3:4", c10::DeviceType::PrivateUse1, 3);

  // The standard library words these errors: only their types are ours to check.
  EXPECT_THROW(AOTIHeuristicRunner::parseDevice("privateuseone:x"), std::invalid_argument);
  EXPECT_THROW(AOTIHeuristicRunner::parseDevice("privateuseone:4294967296"), std::out_of_range);
}

TEST(ParseDevice, UnknownKindsQuoteTheUntrimmedSpec) {
  for (const char* spec : {"CUDA", " CUDA\n", "gpu:1", "Cpu", "auto2", "cuda :0"}) {
    expectError<std::invalid_argument>([&] { AOTIHeuristicRunner::parseDevice(spec); },
                                       std::string("Unsupported device spec: ") + spec);
  }
  // The index is parsed before the kind is matched: the error is the index's,
  // not the unknown kind's (which has the same type).
  const std::string index_error =
      thrownMessage<std::invalid_argument>([] { AOTIHeuristicRunner::parseDevice("gpu:x"); });
  EXPECT_NE(index_error, kNothingThrown);
  EXPECT_EQ(index_error.find("Unsupported device spec"), std::string::npos) << index_error;
  EXPECT_THROW(AOTIHeuristicRunner::parseDevice("gpu:-99999999999"), std::out_of_range);
}

TEST(ParseDevice, AbsentBackendsAreReported) {
  if (anyAcceleratorPresent()) {
    GTEST_SKIP() << "an accelerator backend is present";
  }
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"cuda", "CUDA device requested but CUDA is unavailable in this build"},
      {"  cuda:1 \n", "CUDA device requested but CUDA is unavailable in this build"},
      {"cuda:", "CUDA device requested but CUDA is unavailable in this build"},
      {"xpu:0", "XPU device requested but XPU support is unavailable in this build"},
      {"mps", "MPS device requested but MPS support is unavailable in this build"},
      {"xla:2", "XLA device requested but XLA support is unavailable in this build"},
      {"mtia", "MTIA device requested but MTIA support is unavailable in this build"},
      {"hpu:1", "HPU device requested but HPU support is unavailable in this build"},
  };
  for (const auto& [spec, message] : cases) {
    expectError<std::runtime_error>([&] { AOTIHeuristicRunner::parseDevice(spec); }, message);
  }
  // A bad index is reported before the missing backend, for mps too although
  // its index is discarded.
  EXPECT_THROW(AOTIHeuristicRunner::parseDevice("cuda:x"), std::invalid_argument);
  EXPECT_THROW(AOTIHeuristicRunner::parseDevice("mps:x"), std::invalid_argument);
}

// ------------------------------------------------------ runner on packages

// Packages built by tests/support/heuristic_packages.py:
//   multi_input  x (B,3), y (B,2,2) -> (x.(1,-2,3) + 10*sum(y) as (B,1), x + 1)
//   affine       x (B,K), K >= 0    -> 2x - 1             (B,K)
//   flatten      x (B,K), K >= 1    -> x.flatten() - 1    (B*K)
//   batch_sum    x (B,K)            -> x.sum(0, keepdim)  (1,K)
//   total        x (B)              -> x.sum()            ()
class PackageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* dir = std::getenv("KESTREL_TEST_PACKAGE_DIR");
    if (dir == nullptr || *dir == '\0') {
      GTEST_SKIP() << "KESTREL_TEST_PACKAGE_DIR is not set; run tests/support/heuristic_packages.py";
    }
    dir_ = dir;
  }

  std::string package(const std::string& name) const { return (dir_ / (name + ".pt2")).string(); }

  AOTIManifest manifest(const std::string& name, std::vector<AOTIInputSpec> inputs) const {
    AOTIManifest m;
    m.package_path = package(name);
    m.manifest_path = m.package_path + ".json";
    m.inputs = std::move(inputs);
    return m;
  }

  // A runner for a one-input package with the given width and shape.
  AOTIHeuristicRunner runner(const std::string& name, std::uint64_t numel, std::vector<std::int64_t> shape) const {
    return AOTIHeuristicRunner(manifest(name, {AOTIInputSpec{"x", numel, std::move(shape), "float32"}}), "cpu");
  }

  // batch * width values with both signs, distinct per position.
  static std::vector<float> values(std::size_t count) {
    std::vector<float> v(count);
    for (std::size_t i = 0; i < count; ++i) {
      v[i] = (i % 2 == 0 ? 1.0f : -1.0f) * (0.25f + static_cast<float>(i));
    }
    return v;
  }

  fs::path dir_;
};

TEST_F(PackageTest, MultiInputPackageEvaluatesItsFirstOutput) {
  // Through the manifest the exporter wrote beside the package.
  AOTIHeuristicRunner runner(loadAOTIManifest(package("multi_input")), "auto");
  ASSERT_EQ(runner.manifest().inputs.size(), 2u);
  EXPECT_TRUE(runner.device().is_cpu());
  runner.synchronize();

  for (const std::size_t batch : {std::size_t{1}, std::size_t{5}}) {
    const std::vector<float> x = values(batch * 3);
    std::vector<float> y = values(batch * 4);
    for (float& v : y) v *= 0.5f;
    const std::vector<float> h = runner.infer({x, y}, batch);
    ASSERT_EQ(h.size(), batch);
    for (std::size_t b = 0; b < batch; ++b) {
      const float expected =
          x[3 * b] - 2 * x[3 * b + 1] + 3 * x[3 * b + 2] + 10 * (y[4 * b] + y[4 * b + 1] + y[4 * b + 2] + y[4 * b + 3]);
      EXPECT_NEAR(h[b], expected, 1e-4) << "batch " << batch << " row " << b;
    }
  }
}

TEST_F(PackageTest, ConstructionReportsThePackageBeforeTheManifest) {
  AOTIManifest missing = manifest("multi_input", {});
  missing.package_path = (dir_ / "no_such_package.pt2").string();
  missing.output_elements_per_example = 2;
  EXPECT_THROW(AOTIHeuristicRunner(missing, "cpu"), c10::Error);
  // ... and the device before the package.
  expectError<std::invalid_argument>([&] { AOTIHeuristicRunner(missing, "gpu"); }, "Unsupported device spec: gpu");

  expectError<std::invalid_argument>([&] { AOTIHeuristicRunner(manifest("affine", {}), "cpu"); },
                                     "Manifest must describe at least one input tensor");
  AOTIManifest two_outputs = manifest("affine", {AOTIInputSpec{"x", 1, {-1, 1}, "float32"}});
  two_outputs.output_elements_per_example = 2;
  expectError<std::invalid_argument>([&] { AOTIHeuristicRunner(two_outputs, "cpu"); },
                                     "Only single-scalar output heads are supported for heuristics");
}

// A fresh copy of a package, so that the counts below see only this test's loads.
class PackageLeaseTest : public PackageTest {
 protected:
  void SetUp() override {
    PackageTest::SetUp();
    if (IsSkipped()) return;
    copy_ = fs::temp_directory_path() / ("kestrel_lease_" + std::to_string(::getpid()) + ".pt2");
    fs::copy_file(package("affine"), copy_, fs::copy_options::overwrite_existing);
  }
  void TearDown() override {
    if (!copy_.empty()) fs::remove(copy_);
  }
  fs::path copy_;
};

TEST_F(PackageLeaseTest, ALoaderIsReusedOnceItsLeaseEnds) {
  const std::size_t before = kestrel::loadedPackageCount();
  {
    const auto lease = kestrel::leasePackage(copy_);
  }
  {
    const auto lease = kestrel::leasePackage(copy_);
  }
  EXPECT_EQ(kestrel::loadedPackageCount() - before, 1u);
  {
    const auto first = kestrel::leasePackage(copy_);
    const auto second = kestrel::leasePackage(copy_);  // the first is busy: a second loader
    EXPECT_NE(&first.loader(), &second.loader());
  }
  EXPECT_EQ(kestrel::loadedPackageCount() - before, 2u);

  // Rewritten on disk (another inode): loaded afresh.
  fs::remove(copy_);
  fs::copy_file(package("affine"), copy_);
  {
    const auto lease = kestrel::leasePackage(copy_);
  }
  EXPECT_EQ(kestrel::loadedPackageCount() - before, 3u);
}

TEST_F(PackageLeaseTest, ConcurrentRunnersLoadAndEvaluateSafely) {
  constexpr int kThreads = 8;
  std::atomic<int> wrong{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        AOTIManifest m = manifest("affine", {AOTIInputSpec{"x", 1, {-1, 1}, "float32"}});
        m.package_path = copy_.string();
        AOTIHeuristicRunner runner(std::move(m), "cpu");
        const float x = static_cast<float>(t * 100 + i);
        if (runner.infer({{x}}, 1) != std::vector<float>{2 * x - 1}) ++wrong;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST_F(PackageTest, InputValidation) {
  AOTIHeuristicRunner affine = runner("affine", 3, {-1, 3});
  const std::vector<std::vector<float>> none;
  EXPECT_TRUE(affine.infer(none, 0).empty());
  EXPECT_TRUE(affine.infer({{1.0f}, {2.0f}}, 0).empty());

  expectError<std::invalid_argument>([&] { affine.infer(none, 2); }, "Mismatch between provided inputs and manifest");
  expectError<std::invalid_argument>([&] { affine.infer({values(6), values(6)}, 2); },
                                     "Mismatch between provided inputs and manifest");
  expectError<std::invalid_argument>([&] { affine.infer({values(5)}, 2); },
                                     "Input buffer size does not match manifest numel");
  expectError<std::invalid_argument>([&] { affine.infer({values(9)}, 2); },
                                     "Input buffer size does not match manifest numel");

  AOTIManifest half_manifest = manifest("affine", {AOTIInputSpec{"x", 3, {-1, 3}, "float16"}});
  AOTIHeuristicRunner float16(half_manifest, "cpu");
  expectError<std::invalid_argument>([&] { float16.infer({values(6)}, 2); },
                                     "Only float32 inputs are supported presently");

  // The runner stays usable after failures.
  EXPECT_EQ(affine.infer({values(6)}, 2).size(), 2u);
}

TEST_F(PackageTest, FixedFirstDimensionMustEqualTheBatch) {
  AOTIHeuristicRunner fixed = runner("affine", 3, {4, 3});
  const std::vector<float> x = values(12);
  const std::vector<float> h = fixed.infer({x}, 4);
  ASSERT_EQ(h.size(), 4u);
  EXPECT_FLOAT_EQ(h[3], 2 * x[9] - 1);
  expectError<std::invalid_argument>([&] { fixed.infer({values(9)}, 3); },
                                     "First dimension of manifest shape does not match batch size");

  AOTIHeuristicRunner one = runner("affine", 1, {3});
  expectError<std::invalid_argument>([&] { one.infer({values(1)}, 1); },
                                     "First dimension of manifest shape does not match batch size");
}

TEST_F(PackageTest, ShapeMustCoverExactlyTheCallersBuffer) {
  // numel says 3 per example, the shape says 4 (or 2): wrapping the buffer
  // with that shape would read past it (or drop data).
  const std::string message = "Manifest shape of input 'x' does not hold numel_per_example elements per example";
  for (const std::vector<std::int64_t>& shape :
       std::vector<std::vector<std::int64_t>>{{-1, 4},
                                              {-1, 2},
                                              {-1, 1, 2},
                                              {-1, std::int64_t{1} << 40},
                                              {-1, std::int64_t{1} << 32, std::int64_t{1} << 32}}) {
    AOTIHeuristicRunner bad = runner("affine", 3, shape);
    expectError<std::invalid_argument>([&] { bad.infer({values(6)}, 2); }, message);
  }
  AOTIHeuristicRunner fixed = runner("affine", 3, {2, 4});
  expectError<std::invalid_argument>([&] { fixed.infer({values(6)}, 2); }, message);

  // A negative extent is LibTorch's to reject, before any data is read.
  AOTIHeuristicRunner negative = runner("affine", 3, {-1, -3, -1});
  EXPECT_THROW(negative.infer({values(6)}, 2), c10::Error);
}

TEST_F(PackageTest, OutputShapes) {
  {  // (B, k): column 0 of each row
    AOTIHeuristicRunner affine = runner("affine", 4, {-1, 4});
    const std::vector<float> x = values(12);
    const std::vector<float> h = affine.infer({x}, 3);
    ASSERT_EQ(h.size(), 3u);
    for (std::size_t b = 0; b < 3; ++b) {
      EXPECT_FLOAT_EQ(h[b], 2 * x[4 * b] - 1);  // negative values are not clamped
    }
  }
  {  // (B): one value per example
    AOTIHeuristicRunner flat = runner("flatten", 1, {-1, 1});
    const std::vector<float> x = values(6);
    const std::vector<float> h = flat.infer({x}, 6);
    ASSERT_EQ(h.size(), 6u);
    for (std::size_t b = 0; b < 6; ++b) {
      EXPECT_FLOAT_EQ(h[b], x[b] - 1);
    }
    AOTIHeuristicRunner two = runner("flatten", 2, {-1, 2});
    expectError<std::runtime_error>([&] { two.infer({values(6)}, 3); }, "Output batch dimension mismatch");
  }
  {  // (1, K) whatever the batch
    AOTIHeuristicRunner sum = runner("batch_sum", 2, {-1, 2});
    const std::vector<float> x = values(2);
    EXPECT_EQ(sum.infer({x}, 1), std::vector<float>{x[0]});
    expectError<std::runtime_error>([&] { sum.infer({values(6)}, 3); }, "Output batch dimension mismatch");
  }
  {  // (B, 0)
    AOTIHeuristicRunner empty = runner("affine", 0, {-1, 0});
    expectError<std::runtime_error>([&] { empty.infer({{}}, 2); }, "Heuristic head produced empty output vectors");
  }
  {  // a zero-dimensional output fails in LibTorch; the empty shape is (B)
    AOTIHeuristicRunner total = runner("total", 1, {});
    try {
      total.infer({values(4)}, 4);
      ADD_FAILURE() << "a scalar output was accepted";
    } catch (const c10::Error& error) {
      EXPECT_NE(std::string(error.what()).find("no dimensions"), std::string::npos) << error.what();
    }
  }
}

// ------------------------------------------------------ tensor inference

at::Tensor floats(std::vector<float> data, std::vector<std::int64_t> shape) {
  return at::from_blob(data.data(), shape, at::TensorOptions().dtype(at::kFloat)).clone();
}

std::vector<float> contents(const at::Tensor& tensor) {
  const at::Tensor t = tensor.contiguous();
  return std::vector<float>(t.data_ptr<float>(), t.data_ptr<float>() + t.numel());
}

TEST_F(PackageTest, TensorInferenceTakesColumnZeroAndClamps) {
  torch::inductor::AOTIModelPackageLoader affine(package("affine"));
  // 2x - 1 of column 0: -2.5 -> clamped to 0, 3.0 stays.
  const at::Tensor h = kestrel::inferHeuristicTensors(affine, {floats({-0.75f, 9.0f, 2.0f, -9.0f}, {2, 2})});
  EXPECT_EQ(h.scalar_type(), at::kFloat);
  EXPECT_EQ(h.sizes(), (std::vector<std::int64_t>{2}));
  EXPECT_EQ(contents(h), (std::vector<float>{0.0f, 3.0f}));

  // A transposed (non-contiguous) input must be read by its logical layout.
  const at::Tensor columns = floats({1.0f, 2.0f, 3.0f, 10.0f, 20.0f, 30.0f}, {2, 3});
  const at::Tensor transposed = columns.t();
  ASSERT_FALSE(transposed.is_contiguous());
  EXPECT_EQ(contents(kestrel::inferHeuristicTensors(affine, {transposed})), (std::vector<float>{1.0f, 3.0f, 5.0f}));

  expectError<std::invalid_argument>(
      [&] { kestrel::inferHeuristicTensors(affine, {floats({1.0f, 2.0f}, {2, 1}).to(at::kDouble)}); },
      "AOTI heuristics expects float32 input tensors.");

  torch::inductor::AOTIModelPackageLoader multi(package("multi_input"));
  const at::Tensor h2 = kestrel::inferHeuristicTensors(
      multi, {floats({1.0f, 0.0f, 0.0f, -1.0f, 0.0f, 0.0f}, {2, 3}), floats({0, 0, 0, 0.5f, 0, 0, 0, 0}, {2, 2, 2})});
  EXPECT_EQ(contents(h2), (std::vector<float>{6.0f, 0.0f}));
}

TEST_F(PackageTest, TensorInferenceOutputRanks) {
  torch::inductor::AOTIModelPackageLoader flatten(package("flatten"));
  EXPECT_EQ(contents(kestrel::inferHeuristicTensors(flatten, {floats({0.5f, 4.0f, -2.0f}, {3, 1})})),
            (std::vector<float>{0.0f, 3.0f, 0.0f}));
  // Rows are not compared with anything here.
  EXPECT_EQ(kestrel::inferHeuristicTensors(flatten, {floats({1, 2, 3, 4}, {2, 2})}).numel(), 4);

  torch::inductor::AOTIModelPackageLoader batch_sum(package("batch_sum"));
  EXPECT_EQ(contents(kestrel::inferHeuristicTensors(batch_sum, {floats({1, 2, 3, 4, 5, 6}, {3, 2})})),
            (std::vector<float>{9.0f}));

  torch::inductor::AOTIModelPackageLoader total(package("total"));
  expectError<std::runtime_error>([&] { kestrel::inferHeuristicTensors(total, {floats({1, 2}, {2})}); },
                                  "AOTI package returned a scalar output. Expected batched heuristics.");
}

}  // namespace
