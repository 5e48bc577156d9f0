#include "sts/numeric/digit_comparison.hpp"

#include <algorithm>
#include <optional>

#include "sts/numeric/big_integer.hpp"
#include "sts/numeric/tables.hpp"

namespace quillrow::numeric::detail {

namespace {

// At most this many significant digits are read exactly; any non-zero digit
// beyond them becomes one sticky digit.  114 digits decide every binary32
// halfway comparison: a halfway point between subnormals, 2^-150 times an
// odd number, has at most 105 significant decimal digits.
constexpr int MAX_DIGITS = 114;
constexpr int GROUP_DIGITS = 19;           // 10^19 < 2^64
constexpr std::int32_t NORMAL_SHIFT = 40;  // 64 - 24 significand bits

// Power of ten of the leading significant digit.
std::int32_t scientific_exponent(const DecimalRecord& record) noexcept {
  std::uint64_t m = record.mantissa;
  auto s = static_cast<std::int32_t>(record.exponent);
  for (; m >= 10000; m /= 10000) {
    s += 4;
  }
  for (; m >= 100; m /= 100) {
    s += 2;
  }
  for (; m >= 10; m /= 10) {
    s += 1;
  }
  return s;
}

bool has_nonzero_digit(const char* p, const char* end) noexcept {
  for (; end - p >= 8; p += 8) {
    if (load_eight(p) != 0x3030303030303030ULL) {
      return true;
    }
  }
  return std::any_of(p, end, [](char c) { return c != '0'; });
}

// Reads the significant digits into D, 19 per 64-bit group.
class DigitReader {
 public:
  explicit DigitReader(BigInt& d) noexcept : d_(d) {}

  // Takes digits from [p, end) until the run ends or MAX_DIGITS are
  // taken; returns where it stopped.
  const char* take(const char* p, const char* end) noexcept {
    while (p != end && taken_ < MAX_DIGITS) {
      if (end - p >= 8 && group_count_ <= GROUP_DIGITS - 8 && taken_ <= MAX_DIGITS - 8) {
        const std::uint64_t w = load_eight(p);
        if (is_eight_digits(w)) {
          group_ = group_ * 100000000ULL + eight_digits_value(w);
          group_count_ += 8;
          taken_ += 8;
          p += 8;
          fold_if_full();
          continue;
        }
      }
      group_ = group_ * 10 + digit_value(*p);
      ++group_count_;
      ++taken_;
      ++p;
      fold_if_full();
    }
    return p;
  }

  // Folds the last, shorter group; returns the digit count c.
  int finish(bool sticky) noexcept {
    if (group_count_ != 0) {
      ok_ = ok_ && d_.try_mul_add(POWERS_OF_TEN_U64[group_count_], group_);
    }
    if (sticky) {
      ok_ = ok_ && d_.try_mul_add(10, 1);
      return taken_ + 1;
    }
    return taken_;
  }

  int taken() const noexcept { return taken_; }
  // False once D outgrew its capacity.
  bool ok() const noexcept { return ok_; }

 private:
  void fold_if_full() noexcept {
    if (group_count_ == GROUP_DIGITS) {
      ok_ = ok_ && d_.try_mul_add(POWERS_OF_TEN_U64[GROUP_DIGITS], group_);
      group_ = 0;
      group_count_ = 0;
    }
  }

  BigInt& d_;
  std::uint64_t group_ = 0;
  int group_count_ = 0;
  int taken_ = 0;
  bool ok_ = true;
};

const char* skip_zeros(const char* p, const char* end) noexcept {
  while (p != end && *p == '0') {
    ++p;
  }
  return p;
}

// D and c such that the token's value is D * 10^(s + 1 - c), with a sticky
// final digit 1 standing for any non-zero digits beyond the first 114.
// Sets `ok` to false if D outgrew its capacity.
int read_big_mantissa(const DecimalRecord& record, BigInt& d, bool& ok) noexcept {
  DigitReader reader(d);
  const char* p = skip_zeros(record.integer_begin, record.integer_end);
  p = reader.take(p, record.integer_end);
  bool sticky = has_nonzero_digit(p, record.integer_end);
  if (record.fraction_begin != nullptr) {
    const char* f = record.fraction_begin;
    if (reader.taken() == 0) {
      f = skip_zeros(f, record.fraction_end);
    }
    f = reader.take(f, record.fraction_end);
    sticky = sticky || has_nonzero_digit(f, record.fraction_end);
  }
  const int c = reader.finish(sticky);
  ok = reader.ok();
  return c;
}

std::uint64_t shift_right(std::uint64_t v, std::int32_t shift) noexcept {
  return shift >= 64 ? 0 : v >> shift;
}

// k >= 0: the value D * 10^k is an integer, so its top 64 bits and a
// truncation flag decide the rounding directly.
std::optional<ExtendedFloat> positive_digit_comp(BigInt& d, std::int32_t k) noexcept {
  if (!d.try_pow5(static_cast<std::uint32_t>(k)) || !d.try_shl(static_cast<std::uint32_t>(k))) {
    return std::nullopt;
  }
  bool truncated = false;
  const std::uint64_t m64 = d.top64(truncated);
  std::uint64_t kept = m64 >> NORMAL_SHIFT;
  const std::uint64_t dropped = m64 & ((std::uint64_t{1} << NORMAL_SHIFT) - 1);
  constexpr std::uint64_t halfway = std::uint64_t{1} << (NORMAL_SHIFT - 1);
  if (dropped > halfway || (dropped == halfway && (truncated || (kept & 1) != 0))) {
    ++kept;
  }
  std::int32_t e = d.bit_length() + 126;
  if (kept >= (HIDDEN_BIT << 1)) {
    kept >>= 1;
    ++e;
  }
  if (e >= INFINITE_EXPONENT) {
    return ExtendedFloat{0, INFINITE_EXPONENT};
  }
  return ExtendedFloat{kept & ~HIDDEN_BIT, e};
}

// Rounds the approximation (fm, fe) to binary32 after dropping its low
// bits, adding round_up to the kept part.
ExtendedFloat round_approximation(std::uint64_t fm, std::int32_t fe,
                                  bool (*round_up)(std::uint64_t kept, int ord), int ord) noexcept {
  if (fe <= -NORMAL_SHIFT) {
    // Subnormal: the fixed scale 2^-149 lies 1 - fe bits below; a shift
    // of 64 or more leaves nothing (and must not be done as >> 64).
    std::uint64_t kept = shift_right(fm, std::min<std::int32_t>(1 - fe, 64));
    if (round_up(kept, ord)) {
      ++kept;
    }
    return {kept, kept >= HIDDEN_BIT ? 1 : 0};
  }
  std::uint64_t kept = fm >> NORMAL_SHIFT;
  if (round_up(kept, ord)) {
    ++kept;
  }
  std::int32_t e = fe + NORMAL_SHIFT;
  if (kept >= (HIDDEN_BIT << 1)) {
    kept = HIDDEN_BIT;
    ++e;
  }
  if (e >= INFINITE_EXPONENT) {
    return {0, INFINITE_EXPONENT};
  }
  return {kept & ~HIDDEN_BIT, e};
}

// k < 0: D * 10^k = D / 10^-k is not an integer.  Instead of dividing,
// take b = f rounded down and its upper halfway point h * 2^eh, and compare
// D with h * 2^eh * 10^-k; powers of two on both sides cancel into one
// shift so both stay integers.
std::optional<ExtendedFloat> negative_digit_comp(BigInt& d, std::int32_t k, std::uint64_t fm,
                                                 std::int32_t fe) noexcept {
  const ExtendedFloat b = round_approximation(fm, fe, [](std::uint64_t, int) { return false; }, 0);
  const std::uint32_t b_bits = b.bits();
  const std::uint32_t b_field = b_bits >> 23;
  std::uint64_t mb = b_bits & 0x7FFFFFu;
  if (b_field != 0) {
    mb |= HIDDEN_BIT;
  }
  const std::int32_t eb = (b_field != 0 ? static_cast<std::int32_t>(b_field) : 1) - 150;
  const std::uint64_t h = 2 * mb + 1;
  const std::int32_t eh = eb - 1;

  BigInt halfway(h);
  bool ok = halfway.try_pow5(static_cast<std::uint32_t>(-k));
  const std::int32_t g = eh - k;
  if (g > 0) {
    ok = ok && halfway.try_shl(static_cast<std::uint32_t>(g));
  } else if (g < 0) {
    ok = ok && d.try_shl(static_cast<std::uint32_t>(-g));
  }
  if (!ok) {
    return std::nullopt;
  }
  const int ord = compare(d, halfway);

  return round_approximation(
      fm, fe, [](std::uint64_t kept, int o) { return o > 0 || (o == 0 && (kept & 1) != 0); }, ord);
}

}  // namespace

std::optional<ExtendedFloat> digit_comparison(const DecimalRecord& record, ExtendedFloat f) noexcept {
  const std::uint64_t fm = f.significand;
  const std::int32_t fe = f.exponent + UNSETTLED_BIAS;
  const std::int32_t s = scientific_exponent(record);
  BigInt d;
  bool ok = true;
  const int c = read_big_mantissa(record, d, ok);
  if (!ok) {
    return std::nullopt;
  }
  const std::int32_t k = s + 1 - c;
  if (k >= 0) {
    return positive_digit_comp(d, k);
  }
  return negative_digit_comp(d, k, fm, fe);
}

}  // namespace quillrow::numeric::detail
