// Runs a fuzz target over given inputs without libFuzzer, for builds whose
// compiler has none: each file argument once, each directory argument's files
// in name order. Arguments starting with '-' (libFuzzer options) are ignored.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::fprintf(stderr, "replaying %s (%zu bytes)\n", path.c_str(), bytes.size());
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t runs = 0;
  for (int i = 1; i < argc; ++i) {
    std::string argument = argv[i];
    if (!argument.empty() && argument[0] == '-') continue;
    std::filesystem::path path(argument);
    if (std::filesystem::is_directory(path)) {
      std::vector<std::filesystem::path> files;
      for (const auto& entry : std::filesystem::directory_iterator(path)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      std::sort(files.begin(), files.end());
      for (const auto& file : files) RunFile(file);
      runs += files.size();
    } else {
      RunFile(path);
      ++runs;
    }
  }
  // As libFuzzer does, an empty corpus still runs the empty input.
  if (runs == 0) LLVMFuzzerTestOneInput(nullptr, 0);
  std::fprintf(stderr, "%zu inputs replayed\n", runs);
  return 0;
}
