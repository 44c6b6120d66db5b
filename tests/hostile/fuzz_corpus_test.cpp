// Replays every fuzz seed and every kept crash input (fuzz/corpus/<target>/*.bin) through the
// same harness functions the fuzzers run, so a fixed crash stays fixed in the regular build.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "harness/harnesses.h"

namespace korvane::fuzz {
namespace {

namespace fs = std::filesystem;

std::vector<fs::path> CorpusFiles(const std::string& target) {
  std::vector<fs::path> files;
  const fs::path dir = fs::path(KORVANE_FUZZ_CORPUS_DIR) / target;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec)) {
    if (entry.is_regular_file() && entry.path().extension() == ".bin") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzCorpus : public ::testing::TestWithParam<Target> {};

TEST_P(FuzzCorpus, EveryKeptInputRunsClean) {
  const Target target = GetParam();
  const std::vector<fs::path> files = CorpusFiles(target.name);
  ASSERT_FALSE(files.empty()) << "no inputs under " << KORVANE_FUZZ_CORPUS_DIR << "/" << target.name;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    ASSERT_TRUE(in) << file;
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A broken invariant aborts the process; the name on stderr says which input did it.
    std::fprintf(stderr, "%s\n", file.filename().c_str());
    EXPECT_EQ(target.entry(bytes.data(), bytes.size()), 0) << file;
  }
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, ::testing::ValuesIn(kTargets),
                         [](const ::testing::TestParamInfo<Target>& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace korvane::fuzz
