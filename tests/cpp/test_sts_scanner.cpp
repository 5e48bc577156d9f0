// The file walk driven through a real descriptor and mapping: buffer
// reservation and growth, faults, and the release of the descriptor.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "numpy_bridge/value_shape.hpp"
#include "sts/kernel_table.hpp"
#include "sts/scanner.hpp"
#include "sts/timestamp.hpp"

namespace {

using namespace quillrow;
using namespace quillrow::sts;

const std::string ROW = "2024 001 12 30 15 250 Q 1 2 3 4 5 6 7 8 9 10 11\n";

const std::string SHORT_ROW = "0 1 0 0 0 0 Q 1 1 1 1 1 1 1 1 1 1 1\n";

int memfd_with(const std::string& content) {
  const int fd = memfd_create("sts", MFD_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
  return fd;
}

std::string padded(std::string content, std::size_t size) {
  // Pads with blank lines (LF only), which the walk skips.
  content.insert(content.size(), size - content.size(), '\n');
  return content;
}

struct Scan {
  std::variant<ScannedFile, ScanError> result;
  int fd;
};

Scan scan(const std::string& content) {
  const int fd = memfd_with(content);
  return {scan_sts_file(FileDescriptor(fd), "mem.sts"), fd};
}

bool is_closed(int fd) {
  return fcntl(fd, F_GETFD) == -1 && errno == EBADF;
}

TEST(Scanner, ReservesFromFileSizeAndGrowsByDoubling) {
  struct Case {
    std::size_t file_size;
    int rows;
    std::size_t timestamp_capacity;
    std::size_t value_capacity;
    const char* why;
  };
  const Case cases[] = {
      {95, 1, 4, 16, "under 96 bytes: nothing reserved, then grown from 0"},
      {96, 1, 1, 11, "96 bytes: room for one row"},
      {200, 5, 8, 88, "estimate 2: grown 2, 4, 8 and 22, 44, 88"},
      {287, 5, 8, 88, "still estimate 2"},
      {288, 3, 3, 33, "estimate 3 holds three rows without growth"},
  };
  for (const Case& c : cases) {
    std::string content = "OBJECT\nEND_OBJECT\n";
    for (int i = 0; i < c.rows; ++i)
      content += SHORT_ROW;
    ASSERT_LE(content.size(), c.file_size) << c.why;
    Scan s = scan(padded(content, c.file_size));
    auto* scanned = std::get_if<ScannedFile>(&s.result);
    ASSERT_NE(scanned, nullptr) << c.why;
    EXPECT_EQ(scanned->rows.timestamps.size(), static_cast<std::size_t>(c.rows)) << c.why;
    EXPECT_EQ(scanned->rows.values.size(), 11u * static_cast<std::size_t>(c.rows)) << c.why;
    EXPECT_EQ(scanned->rows.timestamps.capacity(), c.timestamp_capacity) << c.why;
    EXPECT_EQ(scanned->rows.values.capacity(), c.value_capacity) << c.why;
  }
}

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

TEST(Scanner, FaultsAndReleaseOfTheDescriptor) {
  struct Case {
    std::string content;
    std::string message;
  };
  const Case cases[] = {
      {"", "Invalid file mem.sts: header END_OBJECT not found"},
      {"OBJECT\n", "Invalid file mem.sts: header END_OBJECT not found"},
      {"OBJECT\nEND_OBJECT\n\n", "Invalid file mem.sts: no data rows found"},
      {"OBJECT\nEND_OBJECT\n" + ROW + "1 2 3\n", "Invalid file mem.sts at line 4: missing minute"},
      {"OBJECT\nEND_OBJECT\n" + ROW.substr(0, ROW.size() - 4) + " 1e\n",
       "Invalid file mem.sts at line 3: bad data field"},
  };
  for (const Case& c : cases) {
    Scan s = scan(c.content);
    auto* error = std::get_if<ScanError>(&s.result);
    ASSERT_NE(error, nullptr) << c.content;
    auto* fault = std::get_if<FileFault>(error);
    ASSERT_NE(fault, nullptr) << c.content;
    EXPECT_EQ(std::string(fault->message.data(), fault->message.size()), c.message);
    EXPECT_TRUE(is_closed(s.fd)) << c.content;
  }
}

TEST(Scanner, SuccessKeepsTheFileUntilReleased) {
  Scan s = scan("OBJECT\nEND_OBJECT\n" + ROW);
  auto& scanned = std::get<ScannedFile>(s.result);
  EXPECT_FALSE(is_closed(s.fd));
  EXPECT_EQ(scanned.rows.timestamps.data()[0], 1704112215250);
  scanned.release_file();
  EXPECT_TRUE(is_closed(s.fd));
}

TEST(Scanner, MappingFailureIsAnOsError) {
  const int fd = open("/", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  auto result = scan_sts_file(FileDescriptor(fd), "/");
  auto* error = std::get_if<ScanError>(&result);
  ASSERT_NE(error, nullptr);
  auto* os = std::get_if<OsError>(error);
  ASSERT_NE(os, nullptr);
  EXPECT_EQ(os->code, ENODEV);
  EXPECT_TRUE(is_closed(fd));
}

TEST(ValueShape, EachKindOfMismatch) {
  struct Case {
    std::uint64_t rows, values;
    const char* expected;  // nullptr: shapes agree
  };
  const Case cases[] = {
      {3, 33, nullptr},
      {3, 34, "ShapeError/IncompatibleShape: incompatible shapes"},
      {3, 32, "ShapeError/OutOfBounds: out of bounds indexing"},
      {(std::uint64_t{1} << 63) / 11 + 1, 0, "ShapeError/Overflow: arithmetic overflow"},
  };
  for (const Case& c : cases) {
    const auto shape = numpy_bridge::check_value_shape(c.rows, c.values);
    if (c.expected == nullptr) {
      EXPECT_FALSE(shape.has_value());
    } else {
      ASSERT_TRUE(shape.has_value());
      EXPECT_EQ(std::string(shape->data(), shape->size()), c.expected);
    }
  }
}

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

// The last line of a mapping may end at a page that cannot be read: the
// line walk's 64-byte blocks must never load past the end of the mapping,
// on any row kernel, whether the line's LF is the last readable byte or the
// line itself ends there.
TEST(RowDecoder, LastLineEndingAtAnUnreadablePage) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* const base = static_cast<char*>(mapped);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  const std::string row = SHORT_ROW.substr(0, SHORT_ROW.size() - 1);  // 35 bytes, no LF
  const RowKernel& chosen = active_row_kernel();
  int kernels = 0;
  for (const RowKernel* kernel : row_kernels()) {
    if (!use_row_kernel(*kernel)) continue;
    ++kernels;
    for (const std::string_view ending : {"", "\n"}) {
      for (std::size_t length = 1; length <= 160; ++length) {
        // Shorter than a row: its head; longer: blanks before the fields.
        const std::string line =
            length < row.size() ? row.substr(0, length) : std::string(length - row.size(), ' ') + row;
        char* const start = base + page - length - ending.size();
        std::memcpy(start, line.data(), length);
        std::memcpy(start + length, ending.data(), ending.size());
        RowBuffers rows;
        std::uint64_t line_number = 0;
        const auto fault = decode_data_lines({start, length + ending.size()}, line_number, "mem.sts", rows);
        const auto where = [&] {
          return std::string(kernel->name) + ", length " + std::to_string(length) +
                 (ending.empty() ? "" : " and LF");
        };
        EXPECT_EQ(fault.has_value(), length < row.size()) << where();
        EXPECT_EQ(rows.timestamps.size(), length < row.size() ? 0U : 1U) << where();
        EXPECT_EQ(line_number, 1U) << where();
      }
    }
    // The entry chosen is the kernel that ran, by the name in its own code.
    ASSERT_NE(row_kernel_last_run(), nullptr);
    EXPECT_EQ(std::string_view(row_kernel_last_run()), kernel->name);
  }
  EXPECT_GE(kernels, 1);
  use_row_kernel(chosen);
  munmap(mapped, 2 * page);
}

}  // namespace
