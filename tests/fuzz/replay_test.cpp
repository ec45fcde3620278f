// Runs every kept input of one fuzz target through it: the seed corpus and each crash found.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

std::vector<std::filesystem::path> kept_inputs(const std::string& folder) {
  std::vector<std::filesystem::path> files;
  if (!std::filesystem::is_directory(folder)) return files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.is_regular_file()) files.push_back(entry.path());
  std::sort(files.begin(), files.end());
  return files;
}

void replay(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  SCOPED_TRACE(file.string());
  // A fault aborts the whole test binary; the trace above names the input that did it.
  LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(FuzzReplay, every_seed_and_every_crash_found_runs_cleanly) {
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(nullptr, nullptr);
  const auto seeds = kept_inputs(PALVEX_FUZZ_CORPUS_DIR);
  ASSERT_FALSE(seeds.empty()) << "no seeds in " << PALVEX_FUZZ_CORPUS_DIR;
  for (const auto& file : seeds) replay(file);
  for (const auto& file : kept_inputs(PALVEX_FUZZ_REGRESSION_DIR)) replay(file);
}
