// The row decoder, on every row kernel of the table.  Whole files of rows in many
// shapes, decoded by the row decoder and by a plain line-by-line reference
// built on the token conversions: the same rows, the same bits, the same
// faulty line.  The rows mix the value shapes the vector steps take (short
// plain decimals, nine-byte ones, the exponent form, exact binary32
// midpoints among them) with every other kind of token, every separator a
// line can hold, and the line lengths that take each way through the
// decoder; one file holds decimals whose binary64 product is a binary32
// midpoint, and every third file repeats the layout of each of its lines a
// few times, as a file written with a fixed format does.  Each file ends where an unreadable page begins.
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "row_kernel_suite.hpp"
#include "sts/kernel_table.hpp"
#include "sts/row_decoder.hpp"
#include "sts/timestamp.hpp"
#include "support/internal_failure.hpp"

namespace {

using namespace quillrow;
using namespace quillrow::sts;

const char* const ODD_TOKENS[] = {"16777216",
                                  "16777217",
                                  "1.6777217e+07",
                                  "1.6777219e+07",
                                  "3.3554433e+07",
                                  "0.0",
                                  "-0",
                                  ".",
                                  "-",
                                  "+.5",
                                  "5.",
                                  "1.2.3",
                                  "1e5",
                                  "nan",
                                  "-Infinity",
                                  "1.5e+5",
                                  "9.9999999999e+22",
                                  "1.0e-22",
                                  "1.0e-23",
                                  "abc",
                                  "1.5e+0x",
                                  "1.e+05",
                                  "-.5",
                                  "00000000.5",
                                  "123456789",
                                  "-99999999",
                                  "1.5E-07",
                                  "8.5070592e+37",
                                  "-100000.00",
                                  ".1234567",
                                  ".12345678",
                                  "1.23456789",
                                  "2.552049145e+04x",
                                  "1..5",
                                  "+-1"};

class RowMaker {
 public:
  explicit RowMaker(std::uint64_t seed) : random_(seed) {}

  // Lines as a file written with a fixed format has them: unsigned time
  // fields, and the values of a line all in one of the two vector shapes.
  void fixed_format(bool fixed) { fixed_ = fixed; }

  std::string value() {
    if (pick(120) == 0) return ODD_TOKENS[pick(std::size(ODD_TOKENS))];
    switch (fixed_ ? form_ : pick(3)) {
      case 0: {  // %e with 0 to 11 fraction digits and exponents near and past 22
        char text[64];
        const double magnitude =
            std::ldexp(1.0 + static_cast<double>(pick(1000000)) / 1e6, static_cast<int>(pick(140)) - 70);
        const auto fraction = static_cast<int>(fixed_ ? 1 + pick(10) : pick(12));
        std::snprintf(text, sizeof text, pick(5) == 0 ? "%.*E" : "%.*e", fraction,
                      pick(2) ? magnitude : -magnitude);
        return text;
      }
      default: {  // plain decimals of 1 to 10 digits
        std::string text = sign();
        const std::size_t digits = 1 + pick(fixed_ ? 8 : 10);
        const std::size_t point = pick(digits + 2);
        for (std::size_t i = 0; i < digits; ++i) {
          if (i == point) text += '.';
          text += static_cast<char>('0' + pick(10));
        }
        return text;
      }
    }
  }

  std::string integer() {
    if (pick(400) == 0) return ODD_TOKENS[pick(std::size(ODD_TOKENS))];
    return (fixed_ ? "" : sign()) + std::to_string(pick(pick(20) == 0 ? 3000000000U : 400));
  }

  // A line of 18 fields (sometimes 17 or 19, or a blank one), with one to
  // `widest` separators between fields.
  std::string line(std::size_t widest) {
    if (pick(50) == 0) return pick(2) ? "\n" : "\r\n";
    const std::size_t fields = pick(300) == 0 ? 17 + 2 * pick(2) : 18;
    form_ = pick(2);
    std::string text;
    if (pick(8) == 0) text += gap(widest);
    for (std::size_t i = 0; i < fields; ++i) {
      if (i != 0) text += gap(widest);
      text += i < 6 ? integer() : i == 6 ? "Q" : value();
    }
    if (pick(8) == 0) text += gap(widest);
    return text + (pick(10) == 0 ? "\r\n" : "\n");
  }

  // The line again with other digits: the layout of a file written with a
  // fixed format, whose lines differ in their digits only.  Exponents stay,
  // mostly within the range of the vector step.
  std::string same_layout(std::string line) {
    bool exponent = false;
    for (char& byte : line) {
      if (is_separator(byte)) exponent = false;
      if ((byte | 0x20) == 'e') exponent = true;
      if (byte >= '0' && byte <= '9' && !exponent) byte = static_cast<char>('0' + pick(10));
    }
    return line;
  }

  std::size_t pick(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_); }

 private:
  std::string sign() { return pick(3) == 0 ? "-" : pick(20) == 0 ? "+" : ""; }
  // Mostly spaces; the other separators a line can hold (TAB, FF, CR) one
  // time in eight.
  std::string gap(std::size_t widest) {
    std::string text;
    for (std::size_t i = 1 + pick(widest); i > 0; --i)
      text += pick(8) == 0 ? "\t\f\r"[pick(3)] : ' ';
    return text;
  }

  std::mt19937_64 random_;
  bool fixed_ = false;
  std::size_t form_ = 0;  // a fixed-format line's values: 0 the exponent form, 1 plain
};

// Decimals of eleven digits whose binary64 product (mantissa times a power
// of ten) lands exactly on a binary32 rounding midpoint, so that rounding
// it on to binary32 would round twice; the correctly rounded bits.
struct Midpoint {
  const char* token;
  std::uint32_t bits;
};
constexpr Midpoint MIDPOINTS[] = {
    {"1.6203735955e+20", 0x610C8B85},  // rounding twice gives ...86
    {"1.5071428974e+20", 0x6102B94B},  // ...4C
    {"1.7023695432e+20", 0x6113A833},  // ...32
    {"1.5891388451e+20", 0x6109D5F9},  // ...F8
};

// Rows of four blocks, each value a midpoint, every one in each lane of
// the vector groups, with both signs.
std::string midpoint_file(std::vector<std::uint32_t>& bits) {
  std::string data;
  for (std::size_t row = 0; row < 12; ++row) {
    data += "2024 1 0 0 0 0 Q";
    for (std::size_t i = 0; i < 11; ++i) {
      const Midpoint& midpoint = MIDPOINTS[(row + i) % 4];
      const bool negative = (row / 4 + i) % 2 == 1;
      data += negative ? " -" : " ";
      data += midpoint.token;
      bits.push_back(midpoint.bits | (negative ? 0x80000000U : 0U));
    }
    data += '\n';
  }
  return data;
}

// The reference: lines split at LF, fields at the separators, each field
// converted on its own.  Returns the faulty line's number, or 0.
std::uint64_t reference(const std::string& data, std::vector<std::int64_t>& timestamps,
                        std::vector<std::uint32_t>& values) {
  std::uint64_t number = 0;
  for (std::size_t start = 0; start < data.size();) {
    ++number;
    std::size_t end = data.find('\n', start);
    if (end == std::string::npos) end = data.size();
    std::vector<std::string_view> fields;
    for (std::size_t i = start; i < end;) {
      while (i < end && is_separator(data[i]))
        ++i;
      const std::size_t from = i;
      while (i < end && !is_separator(data[i]))
        ++i;
      if (i > from) fields.emplace_back(data.data() + from, i - from);
    }
    start = end + 1;
    if (fields.empty()) continue;
    if (fields.size() != 18) return number;
    std::int32_t time[6];
    for (std::size_t i = 0; i < 6; ++i) {
      const auto value = numeric::parse_i32_token(fields[i]);
      if (!value) return number;
      time[i] = *value;
    }
    for (std::size_t i = 7; i < 18; ++i) {
      const auto bits = numeric::parse_f32_token(fields[i]);
      if (!bits) return number;
      values.push_back(*bits);
    }
    timestamps.push_back(timestamp_ms(time[0], time[1], time[2], time[3], time[4], time[5]));
  }
  return 0;
}

class RowDecoder : public OnEveryRowKernel {};
QUILLROW_ON_EVERY_ROW_KERNEL(RowDecoder);

TEST_P(RowDecoder, RowsOfEveryShapeMatchTheReference) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  const std::size_t room = 64 * page;
  void* mapped = mmap(nullptr, room + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* const base = static_cast<char*>(mapped);
  ASSERT_EQ(mprotect(base + room, page, PROT_NONE), 0);

  RowMaker maker(20261208);
  std::size_t faults = 0;
  // File -1 holds the midpoints; the others are random.
  for (int file = -1; file < 400; ++file) {
    std::string data;
    std::vector<std::uint32_t> midpoint_bits;
    if (file < 0) {
      data = midpoint_file(midpoint_bits);
    } else {
      // Gaps of one separator give short lines (all fields in one or two
      // blocks); wider gaps give lines of two to four blocks and beyond.
      // Every third file repeats each line's layout a few times with other
      // digits.
      const std::size_t widest = std::size_t{1} << maker.pick(5);
      const std::size_t repeats = file % 3 == 0 ? 6 : 1;
      maker.fixed_format(file % 3 == 0);
      for (std::size_t rows = 1 + maker.pick(40); rows > 0; --rows) {
        const std::string line = maker.line(widest);
        data += line;
        for (std::size_t again = maker.pick(repeats); again > 0; --again)
          data += maker.same_layout(line);
      }
      if (maker.pick(3) == 0) data.pop_back();  // no LF at the end
    }
    ASSERT_LE(data.size(), room);

    std::vector<std::int64_t> timestamps;
    std::vector<std::uint32_t> values;
    const std::uint64_t faulty = reference(data, timestamps, values);
    faults += faulty != 0;
    if (file < 0) ASSERT_EQ(values, midpoint_bits);

    char* const start = base + room - data.size();
    std::memcpy(start, data.data(), data.size());
    RowBuffers rows;
    std::uint64_t line_number = 0;
    const auto fault = decode_data_lines({start, data.size()}, line_number, "mem.sts", rows);
    const std::string where = std::string(GetParam()->name) + ", file " + std::to_string(file) + ":\n" + data;
    ASSERT_EQ(fault.has_value(), faulty != 0) << where;
    if (fault) {
      EXPECT_EQ(line_number, faulty) << where;
      EXPECT_EQ(fault->message.find("Invalid file mem.sts at line " + std::to_string(faulty) + ": "), 0U)
          << fault->message;
      continue;
    }
    ASSERT_EQ(rows.timestamps.size(), timestamps.size()) << where;
    ASSERT_EQ(rows.values.size(), values.size()) << where;
    for (std::size_t i = 0; i < timestamps.size(); ++i)
      EXPECT_EQ(rows.timestamps.data()[i], timestamps[i]) << where;
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(rows.values.data()[i]), values[i]) << where << "value " << i;
    }
  }
  // Both outcomes occur often enough to mean something.
  EXPECT_GT(faults, 40U);
  EXPECT_LT(faults, 360U);
  expect_kernel_ran(*GetParam());
  munmap(mapped, room + page);
}

const std::string SHORT_ROW = "0 1 0 0 0 0 Q 1 1 1 1 1 1 1 1 1 1 1\n";

// The last line of a mapping may end at a page that cannot be read: the
// line walk's 64-byte blocks, the window's and a layout's loads must never
// pass the end of the mapping, on any row kernel, whether the line's LF is
// the last readable byte or the line itself ends there.  Two equal lines
// (the second decoded from the first one's layout where it fits) of every
// length, blanks before or after the fields.
TEST_P(RowDecoder, LastLineEndingAtAnUnreadablePage) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* mapped = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  char* const base = static_cast<char*>(mapped);
  ASSERT_EQ(mprotect(base + page, page, PROT_NONE), 0);
  const std::string row = SHORT_ROW.substr(0, SHORT_ROW.size() - 1);  // 35 bytes, no LF
  for (const bool blanks_after : {false, true}) {
    for (const std::string_view ending : {"", "\n"}) {
      for (std::size_t length = 1; length <= 160; ++length) {
        // Shorter than a row: its head; longer: blanks beside the fields.
        const bool short_row = length < row.size();
        const std::string blanks(short_row ? 0 : length - row.size(), ' ');
        const std::string line = short_row      ? row.substr(0, length)
                                 : blanks_after ? row + blanks
                                                : blanks + row;
        const std::string data = line + "\n" + line + std::string(ending);
        char* const start = base + page - data.size();
        std::memcpy(start, data.data(), data.size());
        RowBuffers rows;
        std::uint64_t line_number = 0;
        const auto fault = decode_data_lines({start, data.size()}, line_number, "mem.sts", rows);
        const auto where = [&] {
          return std::string(GetParam()->name) + ", length " + std::to_string(length) +
                 (blanks_after ? ", blanks after" : "") + (ending.empty() ? "" : " and LF");
        };
        EXPECT_EQ(fault.has_value(), short_row) << where();
        EXPECT_EQ(rows.timestamps.size(), short_row ? 0U : 2U) << where();
        EXPECT_EQ(line_number, short_row ? 1U : 2U) << where();
      }
    }
  }
  expect_kernel_ran(*GetParam());
  munmap(mapped, 2 * page);
}

#if defined(QUILLROW_KERNEL_SWITCH)
// The kernel switch takes the entry of the name it is given, and fails for
// an entry this machine cannot run or a name no entry has, naming the
// kernels the machine can run: never a silent fallback to another kernel.
TEST(KernelTable, NamedKernelOrAFailureNamingTheRunnableOnes) {
  std::string runnable;
  for (const RowKernel* kernel : row_kernels()) {
    if (kernel_supported(*kernel)) runnable += (runnable.empty() ? "" : ", ") + std::string(kernel->name);
  }
  const auto failure_of = [](std::string_view name) -> std::string {
    try {
      return "chose " + std::string(row_kernel_named(name).name);
    } catch (const InternalFailure& failure) {
      return std::string(failure.text());
    }
  };
  for (const RowKernel* kernel : row_kernels()) {
    EXPECT_EQ(failure_of(kernel->name), kernel_supported(*kernel)
                                            ? "chose " + std::string(kernel->name)
                                            : "QUILLROW_ROW_KERNEL=" + std::string(kernel->name) +
                                                  ": this machine cannot run that row kernel; it can run " +
                                                  runnable);
  }
  EXPECT_EQ(failure_of("nonesuch"),
            "QUILLROW_ROW_KERNEL=nonesuch: no row kernel has that name; it can run " + runnable);
}
#endif

}  // namespace
