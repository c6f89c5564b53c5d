// Replays saved inputs through a fuzz target without libFuzzer (any compiler):
//
//   <target>_replay DIR|FILE...
//
// Every regular file (names starting with "." excepted) of every folder named,
// and every file named, is handed to the target once. A crash or a failed check
// ends the program abnormally; otherwise it prints how many inputs ran and exits 0.
// A folder that does not exist counts as empty.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_check.h"

namespace {

std::vector<std::filesystem::path> InputsOf(const std::filesystem::path& where) {
  std::vector<std::filesystem::path> inputs;
  std::error_code ec;
  if (std::filesystem::is_regular_file(where, ec)) return {where};
  if (!std::filesystem::is_directory(where, ec)) return {};
  for (auto it = std::filesystem::recursive_directory_iterator(where, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file() && !it->path().filename().string().starts_with(".")) {
      inputs.push_back(it->path());
    }
  }
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t count = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& path : InputsOf(argv[i])) {
      std::ifstream in(path, std::ios::binary);
      if (!in) {
        std::fprintf(stderr, "cannot read %s\n", path.c_str());
        return 1;
      }
      const std::string bytes((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
      std::fprintf(stderr, "%s\n", path.c_str());
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++count;
    }
  }
  std::printf("replayed %zu inputs\n", count);
  return 0;
}
