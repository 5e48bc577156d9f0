// The vector operations of the AVX2 family, on which the generic value
// batch (generic/value_batch.inl) and layouts (generic/line_layouts.inl)
// are written: short plain decimals and the exponent form converted four
// at a time, a line compared with a layout's shape, and the digits of a
// layout's fields gathered by byte shuffles.  Each lane's result is the
// correctly rounded binary32 value, so it equals the scalar conversion's
// bit for bit.
//
// The lanes are built in registers straight from the bodies in the file:
// bodies first stored to the stack and then loaded as one wide vector
// would stall store forwarding on every group.
//
// Included by the AVX2 and AVX-512 kernels (kernels/avx2.cpp,
// kernels/avx512.cpp) inside their target regions, before the generic
// steps.

#include "sts/kernels/kernel_support.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

// Short plain decimals, in 64-bit lanes (first byte lowest).  A lane is
// taken when its body has 1 to 8 bytes, all digits but for at most one full
// stop, and at least one digit; or 9 bytes, a digit and then eight bytes
// of that kind with a full stop among them ("-100000.00"), the digit then
// heading the mantissa: the short plain decimals of
// generic/value_shapes.hpp.  Its mantissa (below 10^8), its fraction digits
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
    return static_cast<long long>(numeric::load_eight(tokens[i].body + (n == 9 ? 1 : 0)));
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

inline __m128i sign_bits(const BatchToken* tokens) noexcept {
  return _mm_load_si128(reinterpret_cast<const __m128i*>(sign_lanes(tokens)));
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
// most 10^7): the mantissa and the power are exact binary64 numbers, so
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
// is out of the fast path's range (|exponent| <= 22) or whose binary64
// result is a binary32 rounding midpoint.
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
    return numeric::POWERS_OF_TEN_F64[x > 22 ? 22 : x];
  };
  const __m256d power = _mm256_setr_pd(power_of(0), power_of(1), power_of(2), power_of(3));
  const __m256d negative = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(exponent));  // sign bit of each lane
  const __m256d scaled = _mm256_blendv_pd(_mm256_mul_pd(m, power), _mm256_div_pd(m, power), negative);
  const __m128 value = _mm256_cvtpd_ps(scaled);
  store_lanes<count>(out, _mm_xor_ps(value, _mm_castsi128_ps(sign)));
  return midpoint_lanes(scaled) |
         (~static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(in_range))) & 0xFu);
}

// The digit values of the 16 bytes at `low` and at `high`, one per 128-bit
// lane, each lane moved by its half of `control` (PSHUFB works within each
// 128-bit lane).
inline __m256i gathered_digits(const char* low, const char* high, __m256i control) noexcept {
  const __m256i bytes =
      _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high), reinterpret_cast<const __m128i*>(low));
  return _mm256_shuffle_epi8(_mm256_sub_epi8(bytes, _mm256_set1_epi8('0')), control);
}

inline __m256i load_vector(const void* p) noexcept {
  return _mm256_loadu_si256(static_cast<const __m256i*>(p));
}

// The digit values of the 16 bytes at p, in both 128-bit lanes.
inline __m256i broadcast_digits(const char* p) noexcept {
  return _mm256_sub_epi8(_mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))),
                         _mm256_set1_epi8('0'));
}

// The operations the generic steps call (see generic/value_batch.inl and
// generic/line_layouts.inl for what each must do).
struct Steps {
  // Four tokens (`count` of them real) as short plain decimals: stores four
  // values (those of failed lanes to be overwritten) and returns a bit per
  // lane that did not convert.
  template <unsigned count>
  static unsigned plain_group(const BatchToken* tokens, float* out) noexcept {
    const PlainLanes lanes = plain_lanes(tokens);
    // 10^0 to 10^7, exact in binary32 and so in binary64.
    const __m256 powers = _mm256_setr_ps(1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f);
    const __m256d divisor = _mm256_cvtps_pd(_mm256_castps256_ps128(
        _mm256_permutevar8x32_ps(powers, _mm256_castsi128_si256(low_halves(lanes.fraction)))));
    return failed_lanes(lanes.bad) |
           finish_plain_group<count>(lanes.mantissa, divisor, sign_bits(tokens), out);
  }

  // Four tokens of the exponent form, their symbols checked into `lanes`:
  // checks and reads the mantissa digits, stores four values and returns a
  // bit per lane that did not convert.
  template <unsigned count>
  static unsigned scientific_group(const BatchToken* tokens, const ScientificLane* lanes,
                                   float* out) noexcept {
    const auto control = [&](unsigned a, unsigned b) {
      return _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(SCIENTIFIC_DIGITS[lanes[b].shape].data()),
                                 reinterpret_cast<const __m128i*>(SCIENTIFIC_DIGITS[lanes[a].shape].data()));
    };
    const __m256i low = gathered_digits(lanes[0].body, lanes[1].body, control(0, 1));
    const __m256i high = gathered_digits(lanes[2].body, lanes[3].body, control(2, 3));
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

  // A bit per digit and a bit per full stop among the 16 bytes at `body`.
  static std::pair<unsigned, unsigned> body_bits(const char* body) noexcept {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(body));
    const __m128i values = _mm_sub_epi8(bytes, _mm_set1_epi8('0'));
    return {static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(values, _mm_set1_epi8(9)), values))),
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('.'))))};
  }

  // The shape of a line (its bytes, each digit as '0', zeros past its LF)
  // and its slack (9 for a digit, 0 for any other byte, 0xFF past the LF).
  static void write_shape(const char* line, std::uint32_t lf, std::uint32_t chunks, std::uint8_t* shape,
                          std::uint8_t* slack) noexcept {
    const __m256i zero_digit = _mm256_set1_epi8('0');
    const __m256i nine = _mm256_set1_epi8(9);
    for (std::uint32_t v = 0; v < LAYOUT_BYTES / 32; ++v) {
      auto* const shape_at = reinterpret_cast<__m256i*>(shape + 32 * v);
      auto* const slack_at = reinterpret_cast<__m256i*>(slack + 32 * v);
      if (v >= chunks) {
        _mm256_store_si256(shape_at, _mm256_setzero_si256());
        _mm256_store_si256(slack_at, _mm256_set1_epi8(-1));
        continue;
      }
      const __m256i bytes = load_vector(line + 32 * v);
      const __m256i values = _mm256_sub_epi8(bytes, zero_digit);
      const __m256i digit = _mm256_cmpeq_epi8(_mm256_min_epu8(values, nine), values);
      // Bytes past the LF: index > lf.
      const __m256i index =
          _mm256_add_epi8(_mm256_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18,
                                           19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31),
                          _mm256_set1_epi8(static_cast<char>(32 * v)));
      const __m256i past =
          _mm256_cmpeq_epi8(_mm256_max_epu8(index, _mm256_set1_epi8(static_cast<char>(lf + 1))), index);
      _mm256_store_si256(shape_at, _mm256_andnot_si256(past, _mm256_blendv_epi8(bytes, zero_digit, digit)));
      _mm256_store_si256(slack_at, _mm256_or_si256(past, _mm256_and_si256(digit, nine)));
    }
  }

  // Whether the line at `line` (with room for `chunks` chunks) differs
  // from `shape` only where `slack` allows.
  [[gnu::always_inline]] static bool matches_shape(const std::uint8_t* shape, const std::uint8_t* slack,
                                                   std::uint32_t chunks, const char* line) noexcept {
    __m256i excess = _mm256_setzero_si256();
    for (std::uint32_t v = 0; v < chunks; ++v) {
      const __m256i differs = _mm256_xor_si256(load_vector(line + 32 * v), load_vector(shape + 32 * v));
      excess = _mm256_or_si256(excess, _mm256_subs_epu8(differs, load_vector(slack + 32 * v)));
    }
    return _mm256_testz_si256(excess, excess) != 0;
  }

  // Places a time field's digit in the controls of time_fields: byte
  // `lane_byte` of the result (lane lane_byte / 4) takes byte `from` (below
  // 32) of the line.  The result is made of two shuffles, of bytes 0-15 and
  // of bytes 16-31, each broadcast to both 128-bit lanes.
  static void place_time_digit(std::uint8_t* controls, unsigned lane_byte, std::uint32_t from) noexcept {
    controls[32 * (from / 16) + lane_byte] = static_cast<std::uint8_t>(from % 16);
  }

  // The six time fields of a line as three pairs (the first of each pair
  // in the low half): year and day, hour and minute, second and
  // millisecond.
  [[gnu::always_inline]] static std::array<std::uint64_t, 3> time_fields(
      const char* line, const std::uint8_t* controls) noexcept {
    const __m256i time_digits = _mm256_or_si256(
        _mm256_shuffle_epi8(broadcast_digits(line),
                            _mm256_load_si256(reinterpret_cast<const __m256i*>(controls))),
        _mm256_shuffle_epi8(broadcast_digits(line + 16),
                            _mm256_load_si256(reinterpret_cast<const __m256i*>(controls + 32))));
    const __m256i time = _mm256_madd_epi16(_mm256_maddubs_epi16(time_digits, _mm256_set1_epi16(0x010A)),
                                           _mm256_set1_epi32(0x00010064));
    return {static_cast<std::uint64_t>(_mm256_extract_epi64(time, 0)),
            static_cast<std::uint64_t>(_mm256_extract_epi64(time, 1)),
            static_cast<std::uint64_t>(_mm256_extract_epi64(time, 2))};
  }

  // Places a lane's byte controls (`row`: its PLAIN_DIGITS row of 8 bytes,
  // or its SCIENTIFIC_DIGITS row of 16) in a group's controls.  Plain:
  // lanes 0 and 2 from the first pair of loads, lanes 1 and 3 from the
  // second, each into its 64-bit lane.  Exponent form: lanes 0 and 1 from
  // the first pair, lanes 2 and 3 from the second, each into its 128-bit
  // lane.
  static void place_lane(std::uint8_t* controls, unsigned lane, bool scientific,
                         const std::uint8_t* row) noexcept {
    if (!scientific) {
      std::memcpy(controls + 32 * (lane % 2) + 16 * (lane / 2) + 8 * (lane % 2), row, 8);
    } else {
      std::memcpy(controls + 32 * (lane / 2) + 16 * (lane % 2), row, 16);
    }
  }

  // A group of short plain decimals of a line that has the layout's shape:
  // stores four values and returns a bit per lane that did not convert.
  template <unsigned count>
  [[gnu::always_inline]] static unsigned layout_plain(const LayoutGroup& group, const char* line,
                                                      float* out) noexcept {
    const auto control = [&](unsigned half) {
      return _mm256_load_si256(reinterpret_cast<const __m256i*>(group.controls.data() + 32 * half));
    };
    const __m256i digits =
        _mm256_or_si256(gathered_digits(line + group.body[0], line + group.body[2], control(0)),
                        gathered_digits(line + group.body[1], line + group.body[3], control(1)));
    const __m256i pairs = _mm256_maddubs_epi16(digits, _mm256_set1_epi16(0x010A));
    const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
    const __m256i mantissa =
        _mm256_add_epi64(_mm256_mul_epu32(fours, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(fours, 32));
    return finish_plain_group<count>(mantissa, _mm256_load_pd(group.divisor.data()),
                                     _mm_load_si128(reinterpret_cast<const __m128i*>(group.sign.data())),
                                     out);
  }

  // A group of the exponent form of a line that has the layout's shape,
  // with the lanes' decimal exponents: stores four values and returns a
  // bit per lane that did not convert.
  template <unsigned count>
  [[gnu::always_inline]] static unsigned layout_scientific(const LayoutGroup& group, const char* line,
                                                           const std::int32_t* exponents,
                                                           float* out) noexcept {
    const auto control = [&](unsigned half) {
      return _mm256_load_si256(reinterpret_cast<const __m256i*>(group.controls.data() + 32 * half));
    };
    const __m256i low = gathered_digits(line + group.body[0], line + group.body[1], control(0));
    const __m256i high = gathered_digits(line + group.body[2], line + group.body[3], control(1));
    return finish_scientific_group<count>(
        low, high, exponents, _mm_load_si128(reinterpret_cast<const __m128i*>(group.sign.data())), out);
  }
};

}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE
