// Replays a fuzz target's corpus as a plain program: every file below the folders named on the
// command line is one input, run through the target in name order. A crash or an abort of the
// target ends the program with it; an empty or missing corpus is a failure, so that a target
// never passes a test by having nothing to replay.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size);

namespace {

std::vector<std::filesystem::path> InputsBelow(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> inputs;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(folder, error), end; !error && it != end;
       it.increment(error))
    if (it->is_regular_file()) inputs.push_back(it->path());
  std::sort(inputs.begin(), inputs.end());
  return inputs;
}

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t replayed = 0;
  for (int i = 1; i < argc; ++i) {
    for (const auto& file : InputsBelow(argv[i])) {
      const std::string bytes = ReadAll(file);
      LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
      ++replayed;
    }
  }
  if (replayed == 0)
    std::fprintf(stderr, "no inputs to replay\n");
  else
    std::printf("%zu inputs replayed\n", replayed);
  std::fflush(nullptr);
  // As under libFuzzer, the targets' static objects (a socket that keeps the binding started)
  // live to the end of the process: their destructors would run after the thread's event loop.
  std::_Exit(replayed == 0 ? 1 : 0);
}
