// Short plain decimals converted four at a time in AVX2 registers: the
// body of each token (the bytes after an optional sign) in a 64-bit lane,
// first byte lowest.  A lane converts when its body has 1 to 8 bytes, all
// digits but for at most one full stop, at least one digit, and a mantissa
// of at most 2^24; its value is then the mantissa converted to binary32
// (exactly) divided by 10^(fraction digits), one IEEE division, the same
// correctly rounded result as the scalar fast path gives.  Every other lane
// is left to the scalar conversion.
//
// No include guard, no includes: included inside a region compiled for
// AVX2 (or wider), after <immintrin.h> and the numeric headers.

// Tokens of one batch as the vector step takes them.
struct PlainLanes {
  alignas(32) std::uint64_t bodies[12];   // eight bytes from each body's start
  alignas(32) std::uint64_t lengths[12];  // body lengths; 0 makes a lane fail
  alignas(16) std::uint32_t signs[12];    // the sign bit of each value
};

// Converts lanes [4 * group, 4 * group + 4): stores four values (including
// those of failed lanes, to be overwritten) and returns a bit per lane that
// did not convert.
inline unsigned convert_plain_group(const PlainLanes& lanes, unsigned group, float* out) noexcept {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i one = _mm256_set1_epi64x(1);
  const __m256i bytes = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.bodies + 4 * group));
  const __m256i n = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes.lengths + 4 * group));

  // The body's bytes (a shift by 64 or more gives 0, so 8 bytes and more
  // keep the whole lane).
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
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(n, _mm256_set1_epi64x(8)));

  // The digits after the full stop move down one byte; then the last digit
  // moves to the top byte, with 0 digits coming in at the bottom (the most
  // significant end) and bytes past the body leaving at the top.
  const __m256i joined = _mm256_or_si256(_mm256_and_si256(values, below),
                                         _mm256_andnot_si256(below, _mm256_srli_epi64(values, 8)));
  const __m256i aligned =
      _mm256_sllv_epi64(joined, _mm256_sub_epi64(_mm256_set1_epi64x(64), _mm256_slli_epi64(digits, 3)));
  // Eight digits, most significant first: pairs, fours, then one eight.
  const __m256i pairs = _mm256_maddubs_epi16(aligned, _mm256_set1_epi16(0x010A));
  const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
  const __m256i mantissa =
      _mm256_add_epi64(_mm256_mul_epu32(fours, _mm256_set1_epi64x(10000)), _mm256_srli_epi64(fours, 32));
  bad = _mm256_or_si256(bad, _mm256_cmpgt_epi64(mantissa, _mm256_set1_epi64x(std::int64_t{1} << 24)));

  // Fraction digits: those after the full stop, n - 1 - (bytes below it).
  const __m256i before = _mm256_sad_epu8(_mm256_and_si256(below, _mm256_set1_epi8(1)), zero);
  const __m256i fraction = _mm256_andnot_si256(no_point, _mm256_sub_epi64(_mm256_sub_epi64(n, one), before));

  // The low halves of the four lanes, as 32-bit numbers.
  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  const __m128i mantissa32 = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(mantissa, low_halves));
  const __m256i fraction32 = _mm256_permutevar8x32_epi32(fraction, low_halves);
  const __m256 powers = _mm256_setr_ps(1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f);
  const __m128 divisor = _mm256_castps256_ps128(_mm256_permutevar8x32_ps(powers, fraction32));
  const __m128 magnitude = _mm_div_ps(_mm_cvtepi32_ps(mantissa32), divisor);
  const __m128i signs = _mm_load_si128(reinterpret_cast<const __m128i*>(lanes.signs + 4 * group));
  _mm_storeu_ps(out, _mm_xor_ps(magnitude, _mm_castsi128_ps(signs)));

  const __m256i good = _mm256_cmpeq_epi64(bad, zero);
  return ~static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(good))) & 0xFu;
}

// Converts what it can of the eleven value tokens into out[0..11) and
// returns a bit per token left to the scalar conversion.  Eight bytes are
// loaded from each body's start where they lie before `readable_end`.
inline unsigned convert_plain_values(const std::string_view* tokens, const char* readable_end,
                                     float* out) noexcept {
  PlainLanes lanes;
  for (unsigned i = 0; i < 11; ++i) {
    const char* p = tokens[i].data();
    std::uint64_t n = tokens[i].size();  // fields are never empty
    const bool negative = *p == '-';
    const unsigned skip = negative | (*p == '+');
    p += skip;
    n -= skip;
    if (readable_end - p < 8) [[unlikely]] {
      n = 0;
      p = nullptr;
    }
    lanes.bodies[i] = p == nullptr ? 0 : numeric::detail::load_eight(p);
    lanes.lengths[i] = n;
    lanes.signs[i] = static_cast<std::uint32_t>(negative) << 31;
  }
  lanes.bodies[11] = 0;
  lanes.lengths[11] = 0;
  lanes.signs[11] = 0;
  alignas(16) float converted[12];
  const unsigned failed = convert_plain_group(lanes, 0, converted) |
                          convert_plain_group(lanes, 1, converted + 4) << 4 |
                          convert_plain_group(lanes, 2, converted + 8) << 8;
  std::memcpy(out, converted, 11 * sizeof(float));
  return failed & 0x7FFu;
}
