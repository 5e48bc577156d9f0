// The fixed-capacity big integer of the digit comparison: word-boundary
// shifts, the multi-word power of five, and the capacity checks.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "sts/numeric/big_integer.hpp"
#include "sts/numeric/digit_comparison.hpp"

namespace {

using quillrow::numeric::detail::BigInt;
using quillrow::numeric::detail::DecimalRecord;
using quillrow::numeric::detail::digit_comparison;
using quillrow::numeric::detail::ExtendedFloat;

// 5^n by repeated single-word multiplication, independent of try_pow5's
// 5^135 / 5^27 / table decomposition.
BigInt power_of_five_slowly(std::uint32_t n) {
  BigInt r(1);
  for (std::uint32_t i = 0; i < n; ++i) {
    EXPECT_TRUE(r.try_mul_add(5, 0));
  }
  return r;
}

TEST(BigInt, Pow5MatchesRepeatedMultiplication) {
  for (std::uint32_t n :
       {0u, 1u, 26u, 27u, 28u, 54u, 134u, 135u, 136u, 162u, 179u, 270u, 300u, 405u, 1000u}) {
    BigInt fast(3);
    ASSERT_TRUE(fast.try_pow5(n)) << "n = " << n;
    BigInt slow = power_of_five_slowly(n);
    ASSERT_TRUE(slow.try_mul_add(3, 0));
    EXPECT_EQ(compare(fast, slow), 0) << "3 * 5^" << n;
  }
}

struct ShiftCase {
  std::uint32_t shift;
  std::int32_t bit_length;
  const char* note;
};

TEST(BigInt, ShiftAcrossWordBoundaries) {
  const ShiftCase cases[] = {
      {0, 64, "no shift"},
      {1, 65, "carry into a new limb"},
      {63, 127, "largest bit shift"},
      {64, 128, "whole limb, no bit shift (a >> 64 would be undefined)"},
      {65, 129, "limb and bit"},
      {128, 192, "two whole limbs"},
      {62 * 64 - 64, 62 * 64, "fills the capacity exactly"},
  };
  for (const ShiftCase& c : cases) {
    BigInt a(0x8000000000000001ULL);
    ASSERT_TRUE(a.try_shl(c.shift)) << c.note;
    EXPECT_EQ(a.bit_length(), c.bit_length) << "shift " << c.shift << ": " << c.note;
    bool truncated = false;
    EXPECT_EQ(a.top64(truncated), 0x8000000000000001ULL) << c.note;
    EXPECT_FALSE(truncated) << c.note;
    // The shifted value equals the same number multiplied up limb-wise.
    BigInt b(0x8000000000000001ULL);
    for (std::uint32_t i = 0; i < c.shift; ++i) {
      ASSERT_TRUE(b.try_mul_add(2, 0));
    }
    EXPECT_EQ(compare(a, b), 0) << c.note;
  }
}

TEST(BigInt, TopBitsAndTruncation) {
  BigInt small(5);
  bool truncated = true;
  EXPECT_EQ(small.top64(truncated), 0xA000000000000000ULL) << "short number left-aligned";
  EXPECT_FALSE(truncated);

  BigInt zero;
  EXPECT_EQ(zero.bit_length(), 0) << "zero has no top limb (countl_zero of nothing)";
  EXPECT_EQ(zero.top64(truncated), 0u);

  // 1 followed by 190 zero bits and a final 1: the set bit far below the
  // top 64 bits must still count as truncated.
  BigInt low_bit(1);
  ASSERT_TRUE(low_bit.try_shl(191));
  ASSERT_TRUE(low_bit.try_mul_add(1, 1));
  EXPECT_EQ(low_bit.top64(truncated), 0x8000000000000000ULL);
  EXPECT_TRUE(truncated) << "bit in the lowest of four limbs";

  BigInt aligned(1);
  ASSERT_TRUE(aligned.try_shl(127));
  EXPECT_EQ(aligned.top64(truncated), 0x8000000000000000ULL);
  EXPECT_FALSE(truncated) << "top limb already normalised";
}

TEST(BigInt, ReportsCapacityInsteadOfOverflowing) {
  BigInt a(1);
  EXPECT_TRUE(a.try_shl(62 * 64 - 1)) << "highest bit of the last limb";
  EXPECT_FALSE(a.try_shl(1)) << "carry into a 63rd limb";

  BigInt b(1);
  EXPECT_FALSE(b.try_shl(62 * 64)) << "whole-limb move past the end";

  BigInt c(1);
  EXPECT_FALSE(c.try_pow5(5400)) << "5^5400 needs 196 limbs";

  BigInt d(1);
  ASSERT_TRUE(d.try_shl(60 * 64));
  EXPECT_FALSE(d.try_pow5(135)) << "61 + 5 limbs do not fit";
}

TEST(BigInt, ComparesByLengthThenLimbs) {
  BigInt one(1);
  BigInt two_words(1);
  ASSERT_TRUE(two_words.try_shl(64));
  BigInt two_words_plus(1);
  ASSERT_TRUE(two_words_plus.try_shl(64));
  ASSERT_TRUE(two_words_plus.try_mul_add(1, 1));
  EXPECT_LT(compare(one, two_words), 0);
  EXPECT_GT(compare(two_words, one), 0);
  EXPECT_LT(compare(two_words, two_words_plus), 0) << "decided by the low limb";
  EXPECT_EQ(compare(BigInt(), BigInt(0)), 0);
}

// A breach of the fixed capacity is reported as a value, never by ending the
// process.  No token reaches it (the conversion runs the digit comparison
// only for decimal exponents -65..38), so a record is made by hand.
TEST(DigitComparison, CapacityBreachIsReportedNotFatal) {
  const std::string digits = "1";
  DecimalRecord record{};
  record.mantissa = 1;
  record.exponent = 5000;  // 5^5000 needs far more than 62 limbs
  record.integer_begin = digits.data();
  record.integer_end = digits.data() + digits.size();
  EXPECT_FALSE(digit_comparison(record, ExtendedFloat{std::uint64_t{1} << 63, -32768}).has_value());
  record.exponent = -5000;
  EXPECT_FALSE(digit_comparison(record, ExtendedFloat{std::uint64_t{1} << 63, -32768}).has_value());
}

}  // namespace
