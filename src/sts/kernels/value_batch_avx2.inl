// Value tokens converted four at a time in AVX2 registers, in the two
// commonest shapes: short plain decimals ("-59.702") and the exponent form
// that printf's %e writes ("-7.117242265e+01").  Whatever a vector step
// does not take is left to the scalar conversion, which words the faults.
// Each lane's result is the correctly rounded binary32 value, so it equals
// the scalar conversion's bit for bit.
//
// The lanes are built in registers straight from the bodies in the file:
// bodies first stored to the stack and then loaded as one wide vector
// would stall store forwarding on every group.
//
// Included by the AVX2 and AVX-512 kernels (kernels/avx2.cpp,
// kernels/avx512.cpp) inside their target regions, before row_kernel.inl,
// which calls ValueBatch::convert.  Read on its own, by an editor or a
// linter, it opens an AVX2 region of its own.

#include "sts/kernels/kernel_support.hpp"

#ifndef QUILLROW_KERNEL
#define QUILLROW_KERNEL alone
#define QUILLROW_VALUE_BATCH_ALONE
QUILLROW_TARGET_BEGIN("avx2,bmi,bmi2,popcnt")
#endif

namespace quillrow::sts::kernels::QUILLROW_KERNEL {
namespace {

// A token of a window line split into its sign and its body (the bytes
// after an optional sign).  Sixteen bytes from the body's start may be
// loaded: the window keeps that much room after the line.
struct BatchToken {
  const char* body;
  std::uint64_t length;
  std::uint32_t sign;  // the sign bit of the value
};

// Sixteen '0' bytes: what a lane without a body loads instead.
alignas(16) inline constexpr char ZERO_DIGIT_BYTES[16] = {'0', '0', '0', '0', '0', '0', '0', '0',
                                                          '0', '0', '0', '0', '0', '0', '0', '0'};

inline BatchToken batch_token(const char* line, std::uint32_t first, std::uint32_t last) noexcept {
  const char* const p = line + first;
  const bool negative = *p == '-';  // fields are never empty
  const unsigned skip = negative | (*p == '+');
  return {p + skip, last - first - skip, static_cast<std::uint32_t>(negative) << 31};
}

// Short plain decimals, in 64-bit lanes (first byte lowest).  A lane is
// taken when its body has 1 to 8 bytes, all digits but for at most one full
// stop, and at least one digit; or 9 bytes, a digit and then eight bytes
// of that kind with a full stop among them ("-100000.00"), the digit then
// heading the mantissa.  Its mantissa (below 10^8), its fraction digits
// and whether it has a full stop are then exact.
struct PlainLanes {
  __m256i mantissa;
  __m256i fraction;
  __m256i no_point;  // all ones in a lane without a full stop
  __m256i bad;       // nonzero in a lane not taken
};

[[gnu::always_inline]] inline PlainLanes plain_lanes(const BatchToken* tokens) noexcept {
  // The last eight bytes of a nine-byte body go into the lane, its first
  // byte becomes the head digit.
  const auto eight = [&](unsigned i) {
    const std::uint64_t n = tokens[i].length;
    return static_cast<long long>(numeric::detail::load_eight(tokens[i].body + (n == 9 ? 1 : 0)));
  };
  const auto length = [&](unsigned i) { return static_cast<long long>(tokens[i].length); };
  const auto head = [&](unsigned i) {
    return static_cast<long long>(tokens[i].length == 9 ? static_cast<unsigned char>(tokens[i].body[0] - '0')
                                                        : 0);
  };
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i eight_bytes = _mm256_set1_epi64x(8);
  const __m256i bytes = _mm256_set_epi64x(eight(3), eight(2), eight(1), eight(0));
  const __m256i body_length = _mm256_set_epi64x(length(3), length(2), length(1), length(0));
  const __m256i heads = _mm256_set_epi64x(head(3), head(2), head(1), head(0));
  const __m256i nine_bytes = _mm256_cmpeq_epi64(body_length, _mm256_set1_epi64x(9));
  const __m256i n = _mm256_add_epi64(body_length, nine_bytes);  // the bytes in the lane

  // The lane's bytes of the body (a shift by 64 or more gives 0, so 8
  // bytes and more keep the whole lane).
  const __m256i body = _mm256_andnot_si256(_mm256_sllv_epi64(ones, _mm256_slli_epi64(n, 3)), ones);
  const __m256i values = _mm256_sub_epi8(bytes, _mm256_set1_epi8('0'));
  const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(values, _mm256_set1_epi8(9)), values);
  const __m256i point = _mm256_and_si256(_mm256_cmpeq_epi8(bytes, _mm256_set1_epi8('.')), body);
  __m256i bad = _mm256_andnot_si256(_mm256_or_si256(digit, point), body);
  // Bytes before the first full stop (all of them when there is none),
  // and any full stop after the first.
  const __m256i below = _mm256_andnot_si256(point, _mm256_sub_epi64(point, one));
  const __m256i up_to_point = _mm256_or_si256(_mm256_slli_epi64(below, 8), _mm256_set1_epi64x(0xFF));
  bad = _mm256_or_si256(bad, _mm256_andnot_si256(up_to_point, point));
  const __m256i no_point = _mm256_cmpeq_epi64(point, zero);
  // n - 1 + [no full stop]: 0 for an empty body or a lone full stop.
  const __m256i digits = _mm256_sub_epi64(_mm256_sub_epi64(n, one), no_point);
  bad = _mm256_or_si256(bad, _mm256_cmpeq_epi64(digits, zero));
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(n, eight_bytes));
  // A nine-byte body needs its full stop in the lane and a digit in front.
  bad = _mm256_or_si256(bad, _mm256_and_si256(nine_bytes, no_point));
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(heads, _mm256_set1_epi64x(9)));

  // The digits after the full stop move down one byte; then the last digit
  // moves to the top byte, with 0 digits coming in at the bottom (the most
  // significant end) and bytes past the body leaving at the top.
  const __m256i joined = _mm256_or_si256(_mm256_and_si256(values, below),
                                         _mm256_andnot_si256(below, _mm256_srli_epi64(values, 8)));
  const __m256i aligned =
      _mm256_sllv_epi64(joined, _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(digits, 3)));
  // Eight digits, most significant first: pairs, fours, then one eight;
  // the head digit goes in front of the lane's digits (seven of them).
  const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
  const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
  const __m256i lane_value =
      _mm256_add_epi64(_mm256_mul_epu32(fours, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(fours, 32));
  const __m256i mantissa =
      _mm256_add_epi64(lane_value, _mm256_mul_epu32(heads, _mm256_set1_epi64x(10000000)));

  // Fraction digits: those after the full stop, n - 1 - (bytes below it).
  const __m256i before = _mm256_sad_epu8(_mm256_and_si256(below, _mm256_set1_epi8(1)), zero);
  const __m256i fraction = _mm256_andnot_si256(no_point, _mm256_sub_epi64(_mm256_sub_epi64(n, one), before));
  return {mantissa, fraction, no_point, bad};
}

// The low halves of four 64-bit lanes, as four 32-bit numbers.
inline __m128i low_halves(__m256i lanes) noexcept {
  return _mm256_castsi256_si128(
      _mm256_permutevar8x32_epi32(lanes, _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
}

inline unsigned failed_lanes(__m256i bad) noexcept {
  const __m256i good = _mm256_cmpeq_epi64(bad, _mm256_setzero_si256());
  return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(good))) & 0xFu;
}

// The sign bits of four lanes, for each combination of negative lanes.
alignas(16) inline constexpr std::uint32_t SIGN_LANES[16][4] = {{0, 0, 0, 0},
                                                                {1u << 31, 0, 0, 0},
                                                                {0, 1u << 31, 0, 0},
                                                                {1u << 31, 1u << 31, 0, 0},
                                                                {0, 0, 1u << 31, 0},
                                                                {1u << 31, 0, 1u << 31, 0},
                                                                {0, 1u << 31, 1u << 31, 0},
                                                                {1u << 31, 1u << 31, 1u << 31, 0},
                                                                {0, 0, 0, 1u << 31},
                                                                {1u << 31, 0, 0, 1u << 31},
                                                                {0, 1u << 31, 0, 1u << 31},
                                                                {1u << 31, 1u << 31, 0, 1u << 31},
                                                                {0, 0, 1u << 31, 1u << 31},
                                                                {1u << 31, 0, 1u << 31, 1u << 31},
                                                                {0, 1u << 31, 1u << 31, 1u << 31},
                                                                {1u << 31, 1u << 31, 1u << 31, 1u << 31}};

// The four signs as one table row: a vector built from four general
// registers would cost a chain of inserts.
inline __m128i sign_bits(const BatchToken* tokens) noexcept {
  const unsigned negative = tokens[0].sign >> 31 | (tokens[1].sign >> 31) << 1 | (tokens[2].sign >> 31) << 2 |
                            (tokens[3].sign >> 31) << 3;
  return _mm_load_si128(reinterpret_cast<const __m128i*>(SIGN_LANES[negative]));
}

// Stores the first `count` of four results: a whole group straight to its
// place, the last group's three with a masked store (no byte past them is
// written).  Results stored to the stack and copied on with wider loads
// would stall store forwarding.
template <unsigned count>
inline void store_lanes(float* out, __m128 values) noexcept {
  static_assert(count == 3 || count == 4);
  if constexpr (count == 4) {
    _mm_storeu_ps(out, values);
  } else {
    _mm_maskstore_ps(out, _mm_setr_epi32(-1, -1, -1, 0), values);
  }
}

// A binary64 value that is not a binary32 rounding midpoint rounds on to
// the binary32 value nearest to the number it was rounded from: a midpoint
// between that number and the binary64 value would be a binary64 value
// nearer than the one found.  Bits of a lane that is a midpoint: its low
// 29 bits are those of half a binary32 unit (the values here are normal
// binary32 numbers or zero).
inline unsigned midpoint_lanes(__m256d values) noexcept {
  const __m256i low_bits = _mm256_and_si256(_mm256_castpd_si256(values), _mm256_set1_epi64x((1 << 29) - 1));
  const __m256i midpoint = _mm256_cmpeq_epi64(low_bits, _mm256_set1_epi64x(1 << 28));
  return static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(midpoint)));
}

// Four 64-bit integers below 2^52, exactly, as binary64: the low bits of
// 2^52 + m.
inline __m256d exact_doubles(__m256i integers) noexcept {
  const __m256d two52 = _mm256_set1_pd(4503599627370496.0);
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(integers, _mm256_castpd_si256(two52))), two52);
}

// The values of four lanes of short plain decimals, from their mantissas
// (64-bit lanes, below 10^8) and the powers of ten they are divided by (at
// most 10^8): the mantissa and the power are exact binary64 numbers, so
// one IEEE division rounds the quotient to the nearest binary64 value,
// which rounds on to the correct binary32 value unless it is a midpoint.
// Stores four values (those of failed lanes to be overwritten) and returns
// a bit per lane that is a midpoint.
template <unsigned count>
[[gnu::always_inline]] inline unsigned finish_plain_group(__m256i mantissa, __m256d divisor, __m128i sign,
                                                          float* out) noexcept {
  const __m256d quotient = _mm256_div_pd(exact_doubles(mantissa), divisor);
  store_lanes<count>(out, _mm_xor_ps(_mm256_cvtpd_ps(quotient), _mm_castsi128_ps(sign)));
  return midpoint_lanes(quotient);
}

// Four values of short plain decimals: stores four values (those of failed
// lanes to be overwritten) and returns a bit per lane that did not convert.
template <unsigned count>
inline unsigned convert_plain_group(const BatchToken* tokens, float* out) noexcept {
  const PlainLanes lanes = plain_lanes(tokens);
  // 10^0 to 10^7, exact in binary32 and so in binary64.
  const __m256 powers = _mm256_setr_ps(1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f);
  const __m256d divisor = _mm256_cvtps_pd(_mm256_castps256_ps128(
      _mm256_permutevar8x32_ps(powers, _mm256_castsi128_si256(low_halves(lanes.fraction)))));
  return failed_lanes(lanes.bad) | finish_plain_group<count>(lanes.mantissa, divisor, sign_bits(tokens), out);
}

// The exponent form D.F...e±XX: one digit, a full stop, 1 to 10 fraction
// digits, e or E, a sign and two exponent digits, 7 to 16 bytes, each body
// in a 128-bit lane.  The symbols and the exponent are checked and read in
// scalar code; the vector step checks the 2 to 11 mantissa digits and reads
// them as one number below 10^11, which with |exponent| <= 22 is the
// binary64 fast path: one IEEE multiplication or division rounds to the
// nearest double, and that rounds on to the correct binary32 value unless
// it is a binary32 rounding midpoint (see try_binary64_path), which is left
// to the scalar conversion.

// PSHUFB controls by body length n: the mantissa digits (bytes 0 and 2 to
// n - 5) to the top of the lane, most significant first, zeros below.
// Entry 0, for lanes that fail, selects nothing.
inline constexpr auto SCIENTIFIC_DIGITS = [] {
  std::array<std::array<std::uint8_t, 16>, 17> controls{};
  for (auto& control : controls)
    control.fill(0x80);
  for (unsigned n = 7; n <= 16; ++n) {
    const unsigned digits = n - 5;  // the leading digit and n - 6 fraction digits
    controls[n][16 - digits] = 0;
    for (unsigned i = 1; i < digits; ++i)
      controls[n][16 - digits + i] = static_cast<std::uint8_t>(1 + i);
  }
  return controls;
}();

// A token's lane of the exponent form: its shape (the body length, or 0 when
// the lane fails) and its decimal exponent.
struct ScientificLane {
  const char* body;
  std::uint32_t shape;
  std::int32_t exponent;
};

inline ScientificLane scientific_lane(const BatchToken& token) noexcept {
  const char* const p = token.body;
  const std::uint64_t n = token.length;
  if (n - 7 > 9) return {ZERO_DIGIT_BYTES, 0, 0};  // n - 7 wraps below 7
  const char* const e = p + n - 4;
  if (p[1] != '.' || (static_cast<unsigned char>(e[0]) | 0x20) != 'e' || (e[1] != '+' && e[1] != '-') ||
      !numeric::detail::is_digit(e[2]) || !numeric::detail::is_digit(e[3])) {
    return {ZERO_DIGIT_BYTES, 0, 0};
  }
  const auto x =
      static_cast<std::int32_t>(10 * numeric::detail::digit_value(e[2]) + numeric::detail::digit_value(e[3]));
  return {p, static_cast<std::uint32_t>(n), (e[1] == '-' ? -x : x) - static_cast<std::int32_t>(n - 6)};
}

// The mantissa digit values of two lanes, each moved by its control (PSHUFB
// works within each 128-bit lane).
inline __m256i scientific_digits(const ScientificLane& first, const ScientificLane& second) noexcept {
  const __m256i bytes = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(second.body),
                                            reinterpret_cast<const __m128i*>(first.body));
  const __m256i control =
      _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(SCIENTIFIC_DIGITS[second.shape].data()),
                          reinterpret_cast<const __m128i*>(SCIENTIFIC_DIGITS[first.shape].data()));
  return _mm256_shuffle_epi8(_mm256_sub_epi8(bytes, _mm256_set1_epi8('0')), control);
}

// Sixteen digit values per 128-bit lane, most significant first, as one
// number in the lane's low 64 bits: pairs, fours, eights, then sixteen.
inline __m256i sixteen_digits_value(__m256i digits) noexcept {
  const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));
  const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
  const __m256i eights = _mm256_madd_epi16(_mm256_packus_epi32(fours, fours), _mm256_set1_epi32(0x00012710));
  return _mm256_add_epi64(_mm256_mul_epu32(eights, _mm256_set1_epi64x(100000000)),
                          _mm256_srli_epi64(eights, 32));
}

// The values of four lanes of the exponent form, from their mantissa
// digits (`low`: lanes 0 and 1, `high`: lanes 2 and 3, sixteen digit
// values per 128-bit lane, most significant first) and their decimal
// exponents.  Stores four values and returns a bit per lane whose exponent
// is out of the fast path's range or whose binary64 result is a binary32
// rounding midpoint.
template <unsigned count>
[[gnu::always_inline]] inline unsigned finish_scientific_group(__m256i low, __m256i high,
                                                               const std::int32_t* exponents, __m128i sign,
                                                               float* out) noexcept {
  // [lane 0, lane 2, lane 1, lane 3] in 64-bit elements, then in order.
  const __m256i mantissa = _mm256_permute4x64_epi64(
      _mm256_unpacklo_epi64(sixteen_digits_value(low), sixteen_digits_value(high)), 0xD8);
  const __m256d m = exact_doubles(mantissa);
  const __m128i exponent = _mm_setr_epi32(exponents[0], exponents[1], exponents[2], exponents[3]);
  const __m128i magnitude = _mm_abs_epi32(exponent);
  const __m128i in_range = _mm_cmpgt_epi32(_mm_set1_epi32(23), magnitude);
  const auto power_of = [&](unsigned lane) {
    const auto x = static_cast<std::uint32_t>(exponents[lane] < 0 ? -exponents[lane] : exponents[lane]);
    return numeric::detail::POWERS_OF_TEN_F64[x > 22 ? 22 : x];
  };
  const __m256d power = _mm256_setr_pd(power_of(0), power_of(1), power_of(2), power_of(3));
  const __m256d negative = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(exponent));  // sign bit of each lane
  const __m256d scaled = _mm256_blendv_pd(_mm256_mul_pd(m, power), _mm256_div_pd(m, power), negative);
  const __m128 value = _mm256_cvtpd_ps(scaled);
  store_lanes<count>(out, _mm_xor_ps(value, _mm_castsi128_ps(sign)));
  return midpoint_lanes(scaled) |
         (~static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(in_range))) & 0xFu);
}

// Converts four tokens of the exponent form: stores four values and
// returns a bit per lane that did not convert.
template <unsigned count>
inline unsigned convert_scientific_group(const BatchToken* tokens, float* out) noexcept {
  const ScientificLane lanes[4] = {scientific_lane(tokens[0]), scientific_lane(tokens[1]),
                                   scientific_lane(tokens[2]), scientific_lane(tokens[3])};
  const __m256i low = scientific_digits(lanes[0], lanes[1]);
  const __m256i high = scientific_digits(lanes[2], lanes[3]);
  const __m256i nine = _mm256_set1_epi8(9);
  const auto digit_bits = [&](__m256i d) {
    return static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(d, nine), d)));
  };
  // A bit per byte that is a digit (the selected zeros count as digits).
  const std::uint64_t digits = digit_bits(low) | std::uint64_t{digit_bits(high)} << 32;
  const std::int32_t exponents[4] = {lanes[0].exponent, lanes[1].exponent, lanes[2].exponent,
                                     lanes[3].exponent};
  unsigned failed = finish_scientific_group<count>(low, high, exponents, sign_bits(tokens), out);
  for (unsigned lane = 0; lane < 4; ++lane) {
    failed |= static_cast<unsigned>(((digits >> (16 * lane)) & 0xFFFF) != 0xFFFF || lanes[lane].shape == 0)
              << lane;
  }
  return failed;
}

// Converts the `count` (3 or 4) value fields [first[i], last[i]) of a
// window line into `out` and returns a bit per field left to the scalar
// conversion.  A group whose first body looks like the exponent form tries
// that form first.
template <unsigned count>
[[gnu::always_inline]] inline unsigned convert_value_group(const char* line, const std::uint32_t* first,
                                                           const std::uint32_t* last, float* out) noexcept {
  BatchToken tokens[4];
  for (unsigned i = 0; i < 4; ++i) {
    tokens[i] = i < count ? batch_token(line, first[i], last[i]) : BatchToken{ZERO_DIGIT_BYTES, 0, 0};
  }
  unsigned missed;
  if (tokens[0].length >= 7 && (tokens[0].body[tokens[0].length - 4] | 0x20) == 'e') {
    missed = convert_scientific_group<count>(tokens, out);
    if (missed == 0xF) missed = convert_plain_group<count>(tokens, out);
  } else {
    missed = convert_plain_group<count>(tokens, out);
    if (missed == 0xF) missed = convert_scientific_group<count>(tokens, out);
  }
  return missed;
}

struct ValueBatch {
  // Converts what it can of the eleven value fields of a window line into
  // out[0..11) and returns a bit per field left to the scalar conversion.
  static unsigned convert(const char* line, const std::uint32_t* first, const std::uint32_t* last,
                          float* out) noexcept {
    return (convert_value_group<4>(line, first, last, out) |
            convert_value_group<4>(line, first + 4, last + 4, out + 4) << 4 |
            convert_value_group<3>(line, first + 8, last + 8, out + 8) << 8) &
           0x7FFu;
  }
};

}  // namespace
}  // namespace quillrow::sts::kernels::QUILLROW_KERNEL

#ifdef QUILLROW_VALUE_BATCH_ALONE
QUILLROW_TARGET_END
#endif
