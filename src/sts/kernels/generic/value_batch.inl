// The value batch: a window line's eleven values converted four at a time
// by a kernel's vector operations, in the two shapes of
// generic/value_shapes.hpp (short plain decimals, the exponent form).
// Whatever a vector step does not take is left to the scalar conversion,
// which words the faults.  Written once; each kernel with vector steps
// includes it inside its target region and namespace, after its `Steps`:
//
//   Steps::plain_group<count>(tokens, out)          four tokens as short plain decimals
//   Steps::scientific_group<count>(tokens, lanes, out)  four of the exponent form
//
// each storing four values (those of failed lanes to be overwritten; with
// count 3, nothing past the third) and returning a bit per lane that did
// not convert.  Each converted lane holds the correctly rounded binary32
// value, equal to the scalar conversion's bit for bit.

#include "sts/kernels/kernel_support.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

template <class S>
concept ValueSteps = requires(const BatchToken* tokens, const ScientificLane* lanes, float* out) {
  { S::template plain_group<4>(tokens, out) } -> std::same_as<unsigned>;
  { S::template plain_group<3>(tokens, out) } -> std::same_as<unsigned>;
  { S::template scientific_group<4>(tokens, lanes, out) } -> std::same_as<unsigned>;
  { S::template scientific_group<3>(tokens, lanes, out) } -> std::same_as<unsigned>;
};
static_assert(ValueSteps<Steps>, "a kernel's Steps lack the value batch's vector operations");

template <unsigned count>
inline unsigned convert_scientific_group(const BatchToken* tokens, float* out) noexcept {
  const ScientificLane lanes[4] = {scientific_lane(tokens[0]), scientific_lane(tokens[1]),
                                   scientific_lane(tokens[2]), scientific_lane(tokens[3])};
  return Steps::template scientific_group<count>(tokens, lanes, out);
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
  if (tokens[0].length >= SCIENTIFIC_MIN_BODY && (tokens[0].body[tokens[0].length - 4] | 0x20) == 'e') {
    missed = convert_scientific_group<count>(tokens, out);
    if (missed == 0xF) missed = Steps::template plain_group<count>(tokens, out);
  } else {
    missed = Steps::template plain_group<count>(tokens, out);
    if (missed == 0xF) missed = convert_scientific_group<count>(tokens, out);
  }
  return missed;
}

struct VectorValueBatch {
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
}  // namespace QUILLROW_KERNEL_NAMESPACE
