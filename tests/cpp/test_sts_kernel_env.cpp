// Runs every test of this binary on the row kernel named by the environment
// variable QUILLROW_ROW_KERNEL (an entry of the kernel table: avx2, sse2,
// avx512, portable), so that ctest runs the whole scanner and row suite
// once per kernel; a kernel this machine cannot run skips the suite.
// Without the variable the kernel chosen at load time runs.
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include <gtest/gtest.h>

#include "sts/kernel_table.hpp"

namespace {

using namespace quillrow::sts;

class RowKernelEnvironment : public testing::Environment {
 public:
  void SetUp() override {
    const char* wanted = std::getenv("QUILLROW_ROW_KERNEL");
    if (wanted == nullptr) return;
    for (const RowKernel* kernel : row_kernels()) {
      if (kernel->name != std::string_view(wanted)) continue;
      if (!use_row_kernel(*kernel)) GTEST_SKIP() << "this machine cannot run " << wanted;
      return;
    }
    // Not a failure inside the environment, which GoogleTest reports as
    // skipped tests: a name the table lacks (an entry lost or swapped) must
    // fail the run.
    std::fprintf(stderr, "QUILLROW_ROW_KERNEL names no row kernel: %s\n", wanted);
    std::exit(EXIT_FAILURE);
  }
};

const auto* const environment = testing::AddGlobalTestEnvironment(new RowKernelEnvironment);

}  // namespace
