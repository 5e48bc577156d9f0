// libFuzzer target for the file walk and the row decoding.  Every input is
// written to a memfd and read through scan_sts_file, so the status queries,
// the mapping and its release are the real ones.  A small reference reader,
// written independently here from the format's rules (it shares only the two
// token conversions, which fuzz_numeric checks against strtof), predicts the
// outcome of each input, and the target aborts on any difference:
//   - a file whose header never closes, or closes with no data line after
//     it, fails with the matching message;
//   - otherwise the first data line that the reference finds faulty is the
//     line of the message, with the same fault; a file without a faulty line
//     succeeds with one timestamp and eleven values per data line, equal bit
//     for bit to the reference's;
//   - an operating-system error never happens for a memfd;
//   - the descriptor handed to the scanner is closed, and the mapping gone,
//     once the result is dropped;
//   - all of this on every row kernel of the table (kernel_table.hpp) the
//     machine supports: each input is read once per kernel.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "sts/kernel_table.hpp"
#include "sts/numeric/parse.hpp"
#include "sts/scanner.hpp"

namespace {

constexpr std::string_view PATH = "in \xff.sts";  // the path text is never decoded

[[noreturn]] void fail(const char* what, std::string_view detail = {}) {
  std::fprintf(stderr, "fuzz_rows: %s%s%.*s\n", what, detail.empty() ? "" : ": ",
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// ---- the reference reader ----------------------------------------------
// Not instrumented for coverage: the fuzzer should steer by the reader under
// test, not by this one.
#define REFERENCE __attribute__((no_sanitize("coverage")))

struct Expected {
  std::string message;  // empty: success
  std::vector<std::int64_t> timestamps;
  std::vector<std::uint32_t> values;
};

REFERENCE bool separator(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

REFERENCE std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && separator(line[i]))
      ++i;
    if (i == line.size()) return fields;
    const std::size_t start = i;
    while (i < line.size() && !separator(line[i]))
      ++i;
    fields.push_back(line.substr(start, i - start));
  }
}

REFERENCE std::int64_t reference_timestamp(const std::int32_t t[6]) {
  // 32-bit wrapping day count, written with explicit modular reduction.
  const auto wrap = [](std::int64_t x) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(x)));
  };
  const std::int32_t y1 = wrap(std::int64_t{t[0]} - 1);
  const std::int32_t days =
      wrap(std::int64_t{t[0]} * 365 + y1 / 4 - y1 / 100 + y1 / 400 + std::int64_t{t[1]} - 719528);
  return std::int64_t{days} * 86'400'000 + std::int64_t{t[2]} * 3'600'000 + std::int64_t{t[3]} * 60'000 +
         std::int64_t{t[4]} * 1'000 + std::int64_t{t[5]};
}

REFERENCE std::string at_line(std::uint64_t line, std::string_view what) {
  return "Invalid file " + std::string(PATH) + " at line " + std::to_string(line) + ": " + std::string(what);
}

// The fault of one data line, or none (then its row is appended).
REFERENCE std::optional<std::string> reference_row(std::string_view line, std::uint64_t number,
                                                   Expected& out) {
  static constexpr const char* TIME_NAMES[] = {"year", "doy", "hour", "minute", "second", "millisecond"};
  const std::vector<std::string_view> fields = split_fields(line);
  std::int32_t time[6];
  for (std::size_t i = 0; i < 6; ++i) {
    if (i >= fields.size()) return at_line(number, std::string("missing ") + TIME_NAMES[i]);
    const auto value = quillrow::numeric::parse_i32_token(fields[i]);
    if (!value) return at_line(number, std::string("bad ") + TIME_NAMES[i]);
    time[i] = *value;
  }
  if (fields.size() < 7) return at_line(number, "missing field 7");
  std::uint32_t values[11];
  for (std::size_t i = 0; i < 11; ++i) {
    if (7 + i >= fields.size()) return at_line(number, "missing data field");
    const auto bits = quillrow::numeric::parse_f32_token(fields[7 + i]);
    if (!bits) return at_line(number, "bad data field");
    values[i] = *bits;
  }
  if (fields.size() > 18) return at_line(number, "too many fields");
  out.timestamps.push_back(reference_timestamp(time));
  out.values.insert(out.values.end(), values, values + 11);
  return std::nullopt;
}

REFERENCE Expected reference_read(std::string_view file) {
  Expected out;
  const std::string prefix = "Invalid file " + std::string(PATH);
  std::uint64_t objects = 0, end_objects = 0, number = 0;
  bool header = true;
  std::size_t position = 0;
  while (position < file.size()) {
    const std::size_t lf = file.find('\n', position);
    std::string_view line =
        file.substr(position, lf == std::string_view::npos ? std::string_view::npos : lf - position);
    position = lf == std::string_view::npos ? file.size() : lf + 1;
    ++number;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) continue;
    if (header) {
      if (line.find("END_OBJECT") != std::string_view::npos) {
        ++end_objects;
      } else if (line.find("OBJECT") != std::string_view::npos) {
        ++objects;
      }
      header = !(objects > 0 && objects == end_objects);
    } else if (auto fault = reference_row(line, number, out)) {
      out.message = *fault;
      return out;
    }
  }
  if (header) {
    out.message = prefix + ": header END_OBJECT not found";
  } else if (out.timestamps.empty()) {
    out.message = prefix + ": no data rows found";
  }
  return out;
}

// ---- the file under test -----------------------------------------------

int file_with(const std::uint8_t* data, std::size_t size) {
  static const int memfd = [] {
    const int fd = ::memfd_create("fuzz_rows", MFD_CLOEXEC);
    if (fd < 0) fail("memfd_create failed");
    return fd;
  }();
  if (::ftruncate(memfd, 0) != 0) fail("ftruncate failed");
  std::size_t written = 0;
  while (written < size) {
    const ssize_t n = ::pwrite(memfd, data + written, size - written, static_cast<off_t>(written));
    if (n <= 0) fail("pwrite failed");
    written += static_cast<std::size_t>(n);
  }
  // The scanner takes over (and closes) a descriptor of its own.
  const int fd = ::dup(memfd);
  if (fd < 0) fail("dup failed");
  return fd;
}

// The line of /proc/self/maps whose range holds an address, or "" if none.
std::string mapping_at(std::uintptr_t address) {
  std::FILE* maps = std::fopen("/proc/self/maps", "r");
  if (maps == nullptr) fail("/proc/self/maps cannot be read");
  std::string found;
  char line[4096];
  while (std::fgets(line, sizeof line, maps) != nullptr) {
    unsigned long low = 0, high = 0;
    if (std::sscanf(line, "%lx-%lx", &low, &high) == 2 && low <= address && address < high) {
      found = line;
      break;
    }
  }
  std::fclose(maps);
  return found;
}

void expect_closed(int fd) {
  errno = 0;
  if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) fail("the descriptor was left open");
}

std::string_view view(const quillrow::Text& text) {
  return {text.data(), text.size()};
}

void check_success(quillrow::sts::ScannedFile& scanned, const Expected& expected) {
  auto& rows = scanned.rows;
  if (rows.timestamps.empty()) fail("success without rows");
  if (rows.values.size() != quillrow::sts::VALUES_PER_ROW * rows.timestamps.size()) {
    fail("values are not eleven per timestamp");
  }
  if (rows.timestamps.size() > rows.timestamps.capacity() || rows.values.size() > rows.values.capacity()) {
    fail("a buffer holds more than its capacity");
  }
  if (rows.timestamps.size() != expected.timestamps.size()) fail("row count differs from the reference");
  for (std::size_t i = 0; i < expected.timestamps.size(); ++i) {
    if (rows.timestamps.data()[i] != expected.timestamps[i]) fail("timestamp differs from the reference");
  }
  for (std::size_t i = 0; i < expected.values.size(); ++i) {
    if (std::bit_cast<std::uint32_t>(rows.values.data()[i]) != expected.values[i]) {
      fail("value differs from the reference");
    }
  }
}

// One read of the input through the file walk, on the row kernel in use.
void check_read(const std::uint8_t* data, std::size_t size, const Expected& expected) {
  const int fd = file_with(data, size);
  auto scanned = quillrow::sts::scan_sts_file(quillrow::sts::FileDescriptor(fd), PATH);

  if (auto* success = std::get_if<quillrow::sts::ScannedFile>(&scanned)) {
    if (!expected.message.empty()) fail("success where the reference fails", expected.message);
    check_success(*success, expected);
    const void* base = success->mapping.data();
    const long page = ::sysconf(_SC_PAGESIZE);
    scanned = quillrow::sts::ScanError{};  // drops the rows, the mapping and the descriptor
    expect_closed(fd);
    // msync of an address that no mapping covers fails with ENOMEM.  One
    // that succeeds may find a new mapping of another thread at the address
    // just freed (it happened once in a run of the test command): only a
    // mapping of the input's memfd there is the reader's, left behind.
    const auto aligned = reinterpret_cast<std::uintptr_t>(base) & ~static_cast<std::uintptr_t>(page - 1);
    if (::msync(reinterpret_cast<void*>(aligned), 1, MS_ASYNC) == 0) {
      const std::string line = mapping_at(aligned);
      if (line.find("memfd:fuzz_rows") != std::string::npos) fail("the mapping is still there", line);
    }
    return;
  }

  expect_closed(fd);
  auto& error = std::get<quillrow::sts::ScanError>(scanned);
  if (std::holds_alternative<quillrow::sts::OsError>(error)) fail("operating-system error for a memfd");
  if (std::holds_alternative<quillrow::sts::IoError>(error)) fail("I/O error for a memfd");
  const std::string_view message = view(std::get<quillrow::sts::FileFault>(error).message);
  if (message != expected.message) {
    fail("message differs from the reference",
         std::string(message) + " | expected: " + (expected.message.empty() ? "success" : expected.message));
  }
}

}  // namespace

// Every input is read once on each row kernel this machine supports.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file(reinterpret_cast<const char*>(data), size);
  const Expected expected = reference_read(file);
  for (const quillrow::sts::RowKernel* kernel : quillrow::sts::row_kernels()) {
    if (quillrow::sts::use_row_kernel(*kernel)) check_read(data, size, expected);
  }
  return 0;
}
