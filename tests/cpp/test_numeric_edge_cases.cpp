// Boundary cases of the two field conversions, one row per case.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "sts/numeric/parse.hpp"

namespace {

using quillrow::numeric::parse_f32_token;
using quillrow::numeric::parse_i32_token;

std::string show_bits(std::optional<std::uint32_t> bits) {
  if (!bits) {
    return "rejected";
  }
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", *bits);
  return text;
}

std::string show_int(std::optional<std::int32_t> value) {
  return value ? std::to_string(*value) : "rejected";
}

struct I32Case {
  std::string token;
  std::optional<std::int32_t> expected;
  const char* note;
};

TEST(ParseI32Token, EdgeCases) {
  const std::vector<I32Case> cases = {
      {"007", 7, "leading zeros"},
      {"+0", 0, "plus zero"},
      {"-0", 0, "minus zero"},
      {"2147483647", 2147483647, "largest"},
      {"00000000002147483647", 2147483647, "leading zeros never overflow"},
      {"2147483648", std::nullopt, "one above the largest"},
      {"-2147483648", INT32_MIN, "smallest, reached without +2^31"},
      {"-2147483649", std::nullopt, "one below the smallest"},
      {"+", std::nullopt, "lone plus"},
      {"-", std::nullopt, "lone minus"},
      {"1.0", std::nullopt, "decimal point"},
      {"0x10", std::nullopt, "hexadecimal"},
      {"+-1", std::nullopt, "second sign is a non-digit"},
      {"12a", std::nullopt, "trailing letter"},
      {"", std::nullopt, "empty token"},
      {"1234567", 1234567, "seven digits run unchecked"},
      {"-1234567", -1234567, "seven digits, negative"},
      {"12345678", 12345678, "first guarded digit"},
      {"9999999999", std::nullopt, "ten digits overflow in the multiplication"},
      {"2147483650", std::nullopt, "overflow in the addition"},
      {"-00000000000000000000000002147483648", INT32_MIN, "long leading zeros, negative"},
      {"99999999999999999999999", std::nullopt, "far out of range"},
      {"1 ", std::nullopt, "trailing blank"},
      {" 1", std::nullopt, "leading blank"},
      {"12345678a", std::nullopt, "letter among guarded digits"},
      {std::string("1\0"
                   "2",
                   3),
       std::nullopt, "embedded NUL"},
  };
  for (const I32Case& c : cases) {
    const auto actual = parse_i32_token(c.token);
    EXPECT_EQ(actual, c.expected) << "token \"" << c.token << "\" (" << c.note << "): expected "
                                  << show_int(c.expected) << ", got " << show_int(actual);
  }
}

struct F32Case {
  std::string token;
  std::optional<std::uint32_t> expected;
  const char* note;
};

constexpr std::optional<std::uint32_t> REJECTED = std::nullopt;

void check_f32_cases(const std::vector<F32Case>& cases) {
  for (const F32Case& c : cases) {
    const auto actual = parse_f32_token(c.token);
    EXPECT_EQ(actual, c.expected) << "token \"" << c.token << "\" (" << c.note << "): expected "
                                  << show_bits(c.expected) << ", got " << show_bits(actual);
  }
}

std::string repeat(char c, std::size_t n) {
  return std::string(n, c);
}

TEST(ParseF32Token, EdgeCases) {
  check_f32_cases({
      {"1e", REJECTED, "exponent without digits"},
      {"1e+", REJECTED, "exponent sign without digits"},
      {"1.5E-", REJECTED, "exponent sign without digits"},
      {"e5", REJECTED, "no digit before the exponent"},
      {".", REJECTED, "lone full stop"},
      {".e5", REJECTED, "no digit before the exponent"},
      {"+.e1", REJECTED, "no digit before the exponent"},
      {"1.5x", REJECTED, "byte left over"},
      {"1e5.0", REJECTED, "byte left over after the exponent"},
      {"1,5", REJECTED, "comma is no decimal point"},
      {"1_000", REJECTED, "digit separator"},
      {"+-1", REJECTED, "one sign only"},
      {"--1", REJECTED, "one sign only"},
      {"infin", REJECTED, "special word must fill the body"},
      {"nan1", REJECTED, "special word must fill the body"},
      {"infinityx", REJECTED, "special word must fill the body"},
      {"na", REJECTED, "body shorter than three bytes"},
      {"1.", 0x3F800000, "digit then full stop"},
      {"+.5", 0x3F000000, "full stop then digit"},
      {"-.5e-1", 0xBD4CCCCD, "nearest to -0.05"},
      {"1.e5", 0x47C35000, "100000"},
      {"1E+05", 0x47C35000, "100000, upper-case exponent"},
      {"1.6777217e+07", 0x4B800000, "binary64 result on a binary32 midpoint: tie to even, down"},
      {"-1.6777219e+07", 0xCB800002, "binary64 result on a midpoint: tie to even, up"},
      {"1.677721700000001e+07", 0x4B800001, "a binary64 step above the midpoint"},
      {"8.589934593e+09", 0x50000000, "2^33 + 1: below the midpoint, no double rounding"},
      {"1.152922260521091e+18", 0x5D800005,
       "72 below a binary32 midpoint, which is the nearest double: binary64 rounding would tie up"},
      {"0.1", 0x3DCCCCCD, "inexact short decimal"},
      {"16777217", 0x4B800000, "tie, rounds to the even 16777216"},
      {"16777219", 0x4B800002, "tie, rounds to the even 16777220"},
      {"16777217.0000000000000000001", 0x4B800001, "the 27th digit lifts the tie"},
      {"16777217." + repeat('0', 120) + "1", 0x4B800001, "the sticky digit lifts the tie"},
      {"16777217." + repeat('0', 120), 0x4B800000, "trailing zeros change nothing"},
      {"100000000000000000000", 0x60AD78EC, "21 digits, many-digits flag set"},
      {"3.4028235e38", 0x7F7FFFFF, "largest finite value"},
      {"3.4028236e38", 0x7F800000, "overflow to infinity"},
      {"340282356779733661637539395458142568447", 0x7F7FFFFF, "just below the halfway point 2^128 - 2^103"},
      {"340282356779733661637539395458142568448", 0x7F800000,
       "exactly 2^128 - 2^103: the tie goes to infinity"},
      {"1e39", 0x7F800000, "beyond the table of finite results"},
      {"1e4294967296", 0x7F800000, "exponent beyond 32 bits"},
      {"1.17549435e-38", 0x00800000, "smallest normal value"},
      {"1e-45", 0x00000001, "smallest subnormal value"},
      {"3.5e-45", 0x00000002, "subnormal"},
      {"7.006492321624085e-46", 0x00000000, "just below 2^-150"},
      {"7.006492321624086e-46", 0x00000001, "just above 2^-150"},
      {"1e-46", 0x00000000, "underflow to zero"},
      {"1e-99999999999", 0x00000000, "long negative exponent saturates"},
      {"1e1000000000000000000", 0x7F800000, "19-digit exponent"},
      {"1e-1000000000000000000", 0x00000000, "19-digit negative exponent"},
      {"1e10000000000000000000", 0x7F800000, "20 digits: beyond int64 unless saturated"},
      {"1e-10000000000000000000", 0x00000000, "20 digits, negative"},
      {"-1e99999999999999999999", 0xFF800000, "20 nines, the sign kept"},
      {"1e100000000000000000000", 0x7F800000, "21-digit exponent"},
      {"-1e-100000000000000000000", 0x80000000, "21 digits, negative, the sign kept"},
      {"1e" + repeat('9', 30), 0x7F800000, "30-digit exponent"},
      {"1e-" + repeat('9', 30), 0x00000000, "30-digit negative exponent"},
      {"0." + repeat('0', 30) + "1e" + repeat('9', 30), 0x7F800000, "the point moves a saturated exponent"},
      {"0e99999999999", 0x00000000, "zero with a long exponent"},
      {"1e000000000000", 0x3F800000, "leading zeros of an exponent are free"},
      {"-0", 0x80000000, "negative zero"},
      {"-1e-50", 0x80000000, "negative underflow keeps the sign"},
      {"nan", 0x7FC00000, "nan"},
      {"NaN", 0x7FC00000, "nan, mixed case"},
      {"nAn", 0x7FC00000, "nan, mixed case"},
      {"+nan", 0x7FC00000, "nan with plus sign"},
      {"-nan", 0xFFC00000, "the sign applies to NaN as well"},
      {"inf", 0x7F800000, "inf"},
      {"+inf", 0x7F800000, "inf with plus sign"},
      {"Infinity", 0x7F800000, "infinity"},
      {"iNfInItY", 0x7F800000, "infinity, mixed case"},
      {"-INF", 0xFF800000, "negative infinity"},
      {"-infinity", 0xFF800000, "negative infinity, long word"},
      {repeat('0', 28) + "1", 0x3F800000, "leading zeros are free"},
  });
}

// Cases aimed at the joints between the stages and at the sound handling of
// shifts and counts at word boundaries.
TEST(ParseF32Token, StageBoundaries) {
  check_f32_cases({
      {"", REJECTED, "empty token"},
      {"+", REJECTED, "lone plus, not tried as a word"},
      {"-", REJECTED, "lone minus"},
      {"-e", REJECTED, "sign then exponent letter"},
      {"1e+-5", REJECTED, "two exponent signs"},
      {"1ee5", REJECTED, "two exponent letters"},
      {"1..5", REJECTED, "two decimal points"},
      {" 1", REJECTED, "leading blank"},
      {"1 ", REJECTED, "trailing blank"},
      {"0x10", REJECTED, "hexadecimal"},
      {"nan(1)", REJECTED, "nan with payload"},
      {"infinit", REJECTED, "truncated infinity"},
      {"in", REJECTED, "two bytes"},
      {"-na", REJECTED, "signed short body"},
      {"1e5 ", REJECTED, "blank after the exponent"},
      {"12345678x", REJECTED, "word of eight digits then a letter"},
      {"1234567/", REJECTED, "byte just below '0' in the eighth place"},
      {"1234567:", REJECTED, "byte just above '9' in the eighth place"},
      {std::string("123\0"
                   "5678",
                   8),
       REJECTED, "NUL inside an eight-byte word"},
      {"\xB1"
       "2345678",
       REJECTED, "high byte inside an eight-byte word"},
      {"1e-0", 0x3F800000, "negative zero exponent"},
      {"-183.613", 0xC3379CEE, "typical value field"},
      {"240.50000036", 0x43708000, "eight-digit fraction word"},
      {"12345678", 0x4B3C614E, "exactly one eight-digit word"},
      {"1234.5678", 0x449A522B, "nine bytes, eight digits: two words, empty head group"},
      {"12345678.", 0x4B3C614E, "nine bytes, full stop last"},
      {".12345678", 0x3DFCD6E9, "nine bytes, full stop first"},
      {"16777216", 0x4B800000, "largest fast-path mantissa, 2^24"},
      {"16777216e10", 0x5C1502F9, "fast path, 2^24 * 10^10"},
      {"16777216e-10", 0x3ADBE6FF, "fast path, 2^24 / 10^10"},
      {"1e17", 0x5BB1A2BC, "fast path with the exponent moved into the mantissa"},
      {"12e15", 0x5A2A87BF, "fast path, 1200000 * 10^10"},
      {"2e17", 0x5C31A2BC, "m' above 2^24 leaves the fast path"},
      {"1e18", 0x5D5E0B6B, "exponent 18 is past the fast path"},
      {"1e-11", 0x2D2FEBFF, "exponent -11 is past the fast path"},
      {"16777217e-1", 0x49CCCCCE, "mantissa 2^24 + 1 is past the fast path"},
      {"1e38", 0x7E967699, "largest decimal exponent of a finite result"},
      {"0.000000000000000000000000000000000000000000001", 0x00000001, "smallest subnormal written out"},
      {"1e-65", 0x00000000, "smallest exponent Eisel-Lemire computes"},
      {"9999999999999999999e-65", 0x00000000, "largest 19-digit mantissa, lowest exponent"},
      {"1401298464324817070923729583289916131280e-84", 0x00000001, "2^-149 written with 40 digits"},
      {"7.006492321624085354618647916449580656401309709382578858785341419448955413"
       "42930300743319094181060791015625e-46",
       0x00000000, "exactly 2^-150: the tie goes to even zero"},
      {"7.006492321624085354618647916449580656401309709382578858785341419448955413"
       "42930300743319094181060791015626e-46",
       0x00000001, "just above 2^-150 in the last of 105 digits"},
      {"2.101947696487225606385594374934874196920392912814773657635602425834686624"
       "028790902229957282543182373046875e-45",
       0x00000002, "exactly 3 * 2^-150: the tie goes to even 2"},
      {"2.101947696487225606385594374934874196920392912814773657635602425834686624"
       "028790902229957282543182373046874e-45",
       0x00000001, "just below 3 * 2^-150, 106 digits"},
      {"1.175494280757364291727882991035766513322858992758990427682963118425003064"
       "9651730385585324256680905818939208984375e-38",
       0x00800000, "halfway between the largest subnormal and 2^-126: rounds to even"},
      {"1.175494280757364291727882991035766513322858992758990427682963118425003064"
       "9651730385585324256680905818939208984374e-38",
       0x007FFFFF, "just below that halfway point"},
      {"9999999999999999999", 0x5F0AC723, "19 nines, mantissa still exact"},
      {"18446744073709551615", 0x5F800000, "2^64 - 1, 20 digits"},
      {"18446744073709551616", 0x5F800000, "2^64, mantissa wraps during the scan"},
      {"0." + repeat('0', 30) + "1234567890123456789012345", 0x0C20418E,
       "leading fraction zeros before many digits"},
      {"000000000000000000000.", 0x00000000, "21 zeros and a decimal point"},
      {repeat('0', 40) + "." + repeat('0', 40), 0x00000000, "80 zeros"},
      {repeat('1', 200), 0x7F800000, "200 integer digits overflow"},
      {"0." + repeat('0', 200) + repeat('9', 50), 0x00000000, "deep fraction underflows"},
      {repeat('9', 40) + "e-40", 0x3F800000, "40 nines just below 1 round up to 1"},
      {"3.40282356779733661637539395458142568448e38", 0x7F800000, "the overflow tie in scientific notation"},
      {"3.40282356779733661637539395458142568447999999999e38", 0x7F7FFFFF,
       "just below the overflow tie, many digits"},
      {"340282356779733661637539395458142568448." + repeat('0', 100) + "1", 0x7F800000,
       "above the overflow tie by a sticky digit"},
      {"8388608.5", 0x4B000000, "tie at 2^23 + 1/2, rounds to even"},
      {"8388609.5", 0x4B000002, "tie at 2^23 + 3/2, rounds to even"},
      {"33554434.0000000000000000000000000001", 0x4C000001, "tie at 2^25 + 2 lifted by a far digit"},
      {"1.00000005960464477539062500000000000000000000000000000000000000000000000"
       "000000000000000000000000000000000000000000000000000000000000000000001",
       0x3F800001, "1 + 2^-24 lifted by a digit beyond the 114th"},
      {"1.000000059604644775390625", 0x3F800000, "exactly 1 + 2^-24: tie to even"},
      {"1.00000017881393432617187500000000000000000000000000000000001", 0x3F800002,
       "exactly 1 + 3*2^-24 plus: rounds up"},
      {"1.000000178813934326171875", 0x3F800002, "exactly 1 + 3*2^-24: tie to even 2"},
  });
}

// Tokens whose digit count is beyond 2^28: the exponent must not stop
// accumulating at a bound that such a count can cancel.
TEST(ParseF32Token, DigitCountsBeyondTwoToThe28) {
  const std::size_t zeros = (std::size_t{1} << 28) - 1;
  check_f32_cases({
      {"0." + repeat('0', zeros) + "1e2684354560", 0x7F800000, "10^2415919104 overflows"},
      {"0." + repeat('0', zeros) + "1e268435459", 0x447A0000, "2^28 fraction digits scaled to 1000"},
  });
}

}  // namespace
