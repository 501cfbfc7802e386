// Replays fuzz inputs through the fuzz target without libFuzzer: each argument
// is a file or a folder of files. Exits non-zero on the first input the
// target rejects (an uncaught exception or a sanitizer report ends it anyway).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace fs = std::filesystem;

namespace {

int replay(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    std::vector<fs::path> files;
    if (fs::is_directory(argv[i])) {
      for (const auto& entry : fs::recursive_directory_iterator(argv[i])) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
    } else {
      files.emplace_back(argv[i]);
    }
    for (const fs::path& file : files) {
      if (replay(file) != 0) {
        std::fprintf(stderr, "rejected: %s\n", file.c_str());
        return 1;
      }
      ++count;
    }
  }
  if (count == 0) {
    std::fprintf(stderr, "no inputs replayed\n");
    return 1;
  }
  std::printf("%zu inputs replayed\n", count);
  return 0;
}
