// Runs every test of this binary on the block path named by the environment
// variable QUILLROW_BLOCK_PATH (sse2, avx2 or avx512), so that ctest runs
// the whole scanner and row suite once per path; a path this machine cannot
// run skips the suite.  Without the variable the preferred path runs.
#include <cstdlib>
#include <string_view>

#include <gtest/gtest.h>

#include "sts/block_path.hpp"

namespace {

using namespace quillrow::sts;

class BlockPathEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const char* wanted = std::getenv("QUILLROW_BLOCK_PATH");
    if (wanted == nullptr) return;
    for (BlockPath path : BLOCK_PATHS) {
      if (block_path_name(path) != std::string_view(wanted)) continue;
      if (!use_block_path(path)) GTEST_SKIP() << "this machine cannot run " << wanted;
      return;
    }
    FAIL() << "QUILLROW_BLOCK_PATH names no block path: " << wanted;
  }
};

const auto* const environment = testing::AddGlobalTestEnvironment(new BlockPathEnvironment);

}  // namespace
