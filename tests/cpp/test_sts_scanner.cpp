// The file walk driven through a real descriptor and mapping: buffer
// reservation and growth, faults, and the release of the descriptor.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "row_kernel_suite.hpp"
#include "sts/scanner.hpp"

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

class Scanner : public OnEveryRowKernel {};
QUILLROW_ON_EVERY_ROW_KERNEL(Scanner);

TEST_P(Scanner, ReservesFromFileSizeAndGrowsByDoubling) {
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

TEST_P(Scanner, FaultsAndReleaseOfTheDescriptor) {
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

TEST_P(Scanner, SuccessKeepsTheFileUntilReleased) {
  Scan s = scan("OBJECT\nEND_OBJECT\n" + ROW);
  auto& scanned = std::get<ScannedFile>(s.result);
  EXPECT_FALSE(is_closed(s.fd));
  EXPECT_EQ(scanned.rows.timestamps.data()[0], 1704112215250);
  scanned.release_file();
  EXPECT_TRUE(is_closed(s.fd));
}

TEST_P(Scanner, MappingFailureIsAnOsError) {
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

}  // namespace
