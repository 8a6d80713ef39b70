// The fuzz targets' entry point run over files, for builds without libFuzzer (gcc,
// the sanitizer build): every target then compiles with the rest of the tree and the
// suite runs each on its seeds, so a target cannot rot between fuzzing sessions.
//   fuzz_<target> FILE_OR_FOLDER...
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

int RunFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    return 1;
  }
  std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int failed = 0, ran = 0;
  for (int i = 1; i < argc; ++i) {
    std::error_code ec;
    if (std::filesystem::is_directory(argv[i], ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(argv[i])) {
        if (!entry.is_regular_file()) continue;
        failed += RunFile(entry.path());
        ++ran;
      }
    } else {
      failed += RunFile(argv[i]);
      ++ran;
    }
  }
  // No input at all is a broken seed step, not a pass.
  if (ran == 0) {
    std::fprintf(stderr, "no input to run\n");
    return 1;
  }
  std::printf("%d inputs\n", ran);
  return failed == 0 ? 0 : 1;
}
