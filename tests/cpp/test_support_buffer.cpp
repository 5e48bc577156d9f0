// The growing buffer of the rows: its capacities, and the pages the kernel
// supplies ahead of the writes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "support/buffer.hpp"

namespace {

using namespace quillrow;

TEST(Buffer, GrowthFromZeroMatchesElementwiseAppends) {
  Buffer<std::int64_t> timestamps;
  Buffer<float> values;
  for (int row = 0; row < 5; ++row) {
    values.reserve_more(11);
    for (int i = 0; i < 11; ++i)
      values.append_reserved(1.0f);
    timestamps.push_back(row);
  }
  EXPECT_EQ(timestamps.capacity(), 8u);
  EXPECT_EQ(values.capacity(), 64u);
  Buffer<float> one_by_one;
  for (int i = 0; i < 55; ++i)
    one_by_one.push_back(1.0f);
  EXPECT_EQ(one_by_one.capacity(), 64u);
}

// A large buffer gets its pages just ahead of the rows written into it:
// all written pages resident, none beyond the stretch prepared ahead.
TEST(Buffer, LargeBufferIsResidentOnlyAheadOfTheRows) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  Buffer<float> values(std::size_t{64} << 20);  // 256 MiB of room
  const std::size_t rows = 1'000'000;
  for (std::size_t row = 0; row < rows; ++row) {
    values.reserve_more(11);
    for (int i = 0; i < 11; ++i)
      values.append_reserved(1.0f);
  }
  const auto start = reinterpret_cast<std::uintptr_t>(values.data()) & ~(page - 1);
  const std::size_t pages =
      (reinterpret_cast<std::uintptr_t>(values.data() + values.capacity()) - start) / page;
  std::vector<unsigned char> resident(pages);
  ASSERT_EQ(mincore(reinterpret_cast<void*>(start), pages * page, resident.data()), 0);
  const std::size_t written =
      (reinterpret_cast<std::uintptr_t>(values.data() + values.size()) - start) / page;
  std::size_t resident_pages = 0;
  for (std::size_t i = 0; i < pages; ++i)
    resident_pages += resident[i] & 1;
  EXPECT_GE(resident_pages, written);
  EXPECT_LE(resident_pages, written + (std::size_t{1} << 20) / page + 1);
}

}  // namespace
