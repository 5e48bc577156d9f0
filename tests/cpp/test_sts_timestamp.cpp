// The timestamp of a row from its six time fields.
#include <cstdint>

#include <gtest/gtest.h>

#include "sts/timestamp.hpp"

namespace {

using namespace quillrow::sts;

// Wrapping day arithmetic, checked at compile time and under UBSan at run time.
static_assert(timestamp_ms(1970, 1, 0, 0, 0, 0) == 0);
static_assert(timestamp_ms(-2147483647 - 1, 1, 0, 0, 0, 0) == -140610676982400000);
static_assert(timestamp_ms(2147483647, 1, 0, 0, 0, 0) == -140610708518400000);

TEST(Timestamp, ExtremeFieldsWrapWithoutOverflow) {
  volatile std::int32_t max = 2147483647;
  volatile std::int32_t min = -2147483647 - 1;
  EXPECT_EQ(timestamp_ms(max, max, max, max, max, max), 52793818275150647);
  EXPECT_EQ(timestamp_ms(min, min, min, min, min, min), 37069970335588352);
  EXPECT_EQ(timestamp_ms(0, 1, 0, 0, 0, 0), -62167132800000);
}

}  // namespace
