// Runs a fuzz target without libFuzzer, for compilers that lack it: random inputs for a bounded
// time, or the files and directories named on the command line (a crash input found elsewhere).
// It takes the libFuzzer flags `make fuzz` passes (-max_total_time=S, -seed=N) and ignores the
// others. No coverage feedback: inputs are uniformly random bytes of random length, so it finds
// less than libFuzzer in the same time.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void run_file(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  long seconds = 60;
  uint64_t seed = std::random_device{}();
  std::vector<std::filesystem::path> paths;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("-max_total_time=", 0) == 0) {
      seconds = std::stol(arg.substr(16));
    } else if (arg.rfind("-seed=", 0) == 0) {
      seed = std::stoull(arg.substr(6));
    } else if (arg[0] != '-') {
      paths.emplace_back(arg);
    }
  }
  size_t files = 0;
  for (const auto& path : paths) {
    if (std::filesystem::is_directory(path)) {
      for (const auto& entry : std::filesystem::directory_iterator(path)) run_file(entry.path()), ++files;
    } else if (std::filesystem::exists(path)) {
      run_file(path), ++files;
    }
  }
  // Files named one by one are a replay; a corpus directory is only where a run starts.
  bool replay = !paths.empty();
  for (const auto& path : paths) replay = replay && !std::filesystem::is_directory(path);
  if (replay) {
    std::printf("ran %zu inputs\n", files);
    return 0;
  }
  std::mt19937_64 rng(seed);
  std::vector<uint8_t> input;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  uint64_t runs = 0;
  while (std::chrono::steady_clock::now() < deadline) {
    // Mostly short inputs: each byte is an operation or an operand.
    input.resize(rng() % (rng() % 8 == 0 ? 1024 : 256));
    for (auto& b : input) b = static_cast<uint8_t>(rng());
    LLVMFuzzerTestOneInput(input.data(), input.size());
    ++runs;
  }
  std::printf("seed %llu: %llu random inputs in %ld s, no failure\n", static_cast<unsigned long long>(seed),
              static_cast<unsigned long long>(runs), seconds);
  return 0;
}
