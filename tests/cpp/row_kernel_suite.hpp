// A suite run once per entry of the row kernel table: TEST_P(Suite, Name)
// with `class Suite : public OnEveryRowKernel {};` and
// QUILLROW_ON_EVERY_ROW_KERNEL(Suite).  Each test is named after its kernel
// (Kernels/RowDecoder.Name/avx2), so `ctest -R 'RowDecoder.*avx512'` or a
// --gtest_filter runs one kernel; a kernel this machine cannot run skips.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "sts/kernel_table.hpp"

namespace quillrow::sts {

class OnEveryRowKernel : public testing::TestWithParam<const RowKernel*> {
 protected:
  void SetUp() override {
    if (!use_row_kernel(*GetParam())) GTEST_SKIP() << "this machine cannot run " << GetParam()->name;
  }

  // The kernel's own code names the kernel that last ran: the entry chosen.
  static void expect_kernel_ran(const RowKernel& kernel) {
    ASSERT_NE(row_kernel_last_run(), nullptr);
    EXPECT_EQ(std::string(row_kernel_last_run()), std::string(kernel.name));
  }
};

inline std::string row_kernel_name(const testing::TestParamInfo<const RowKernel*>& info) {
  return std::string(info.param->name);
}

}  // namespace quillrow::sts

#define QUILLROW_ON_EVERY_ROW_KERNEL(suite)                                                        \
  INSTANTIATE_TEST_SUITE_P(                                                                        \
      Kernels, suite,                                                                              \
      testing::ValuesIn(quillrow::sts::row_kernels().begin(), quillrow::sts::row_kernels().end()), \
      quillrow::sts::row_kernel_name)
