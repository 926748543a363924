// Replays every seed and every input a fuzzer ever crashed on through the
// same entry points the fuzzers run, so a fixed crash stays fixed in every
// build (normal, ASan, TSan), not only in the clang fuzz build.
#include <dirent.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_targets.h"

namespace {

std::vector<std::string> CorpusFiles(const std::string& dir) {
  std::vector<std::string> files;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return files;
  while (dirent* e = readdir(d)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") files.push_back(dir + "/" + name);
  }
  closedir(d);
  std::sort(files.begin(), files.end());
  return files;
}

class FuzzCorpus : public ::testing::TestWithParam<size_t> {};

TEST_P(FuzzCorpus, EveryInputPasses) {
  const FuzzTarget& target = kFuzzTargets[GetParam()];
  const std::string dir = std::string(ZEP_SOURCE_DIR) + "/tests/fuzz/corpus/" + target.name;
  const std::vector<std::string> files = CorpusFiles(dir);
  ASSERT_FALSE(files.empty()) << "no corpus in " << dir;
  for (const std::string& path : files) {
    SCOPED_TRACE(path);
    std::ifstream in(path, std::ios::binary);
    ASSERT_TRUE(in.good());
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Exactly the file's size on the heap, as the fuzzer passes it: a read
    // past the end is caught in the sanitizer builds.
    std::vector<uint8_t> exact(bytes.begin(), bytes.end());
    const uint8_t* data = exact.empty() ? nullptr : exact.data();
    EXPECT_EQ(0, target.entry(data, exact.size()));
  }
}

// The whole input as one piece and cut short at every length: the targets
// must cope with a truncated seed as well.
TEST_P(FuzzCorpus, TruncatedInputsPass) {
  const FuzzTarget& target = kFuzzTargets[GetParam()];
  const std::string dir = std::string(ZEP_SOURCE_DIR) + "/tests/fuzz/corpus/" + target.name;
  for (const std::string& path : CorpusFiles(dir)) {
    SCOPED_TRACE(path);
    std::ifstream in(path, std::ios::binary);
    std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t step = bytes.size() > 64 ? bytes.size() / 64 : 1;
    for (size_t n = 0; n < bytes.size(); n += step) {
      std::vector<uint8_t> exact(bytes.begin(), bytes.begin() + static_cast<long>(n));
      EXPECT_EQ(0, target.entry(exact.empty() ? nullptr : exact.data(), n));
    }
  }
}

std::string TargetName(const ::testing::TestParamInfo<size_t>& info) {
  return kFuzzTargets[info.param].name;
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzCorpus, ::testing::Range<size_t>(0, kFuzzTargetCount),
                         TargetName);

}  // namespace
