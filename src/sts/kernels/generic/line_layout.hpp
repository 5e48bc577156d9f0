// The layout of a line, as the layout step (generic/line_layouts.inl)
// learns it and a kernel's vector operations read it: plain data, the same
// for every instruction set but for the byte controls, which each
// instruction set arranges for its own registers (Steps::place_lane and
// Steps::place_time_digit).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace quillrow::sts::kernels {

// Lines of up to 255 bytes with the LF have layouts: all but the window's
// longest.  The shape is compared in chunks of 32 bytes.
inline constexpr std::size_t LAYOUT_BYTES = 256;
inline constexpr std::size_t LAYOUT_CHUNK = 32;

// Four values of a layout (three in the last group), each read from 16
// bytes loaded at its body, the bytes after its sign: all short plain
// decimals, or all of the exponent form (generic/value_shapes.hpp).
struct LayoutGroup {
  // The lanes' byte controls (PLAIN_DIGITS or SCIENTIFIC_DIGITS rows), as
  // the instruction set arranges them.
  alignas(32) std::array<std::uint8_t, 64> controls;
  alignas(32) std::array<double, 4> divisor;      // plain: 10^(fraction digits) per lane
  alignas(16) std::array<std::uint32_t, 4> sign;  // the sign bit of each lane
  std::uint32_t body[4];                          // the lanes' loads, from the line's start
  std::uint32_t exponent_digits[4];               // exponent form: the exponent's two digits
  std::int32_t exponent_negative[4];              // exponent form: 0, or -1 for e-XX
  std::int32_t exponent_offset[4];                // exponent form: subtracted for the fraction digits
  bool scientific;
};

struct LineLayout {
  // The line's bytes with every digit as '0'; past the LF, zeros.
  alignas(32) std::array<std::uint8_t, LAYOUT_BYTES> shape;
  // Per byte, by how much a byte may exceed the shape's when both are
  // XORed: 9 for a digit (a digit XOR '0' is 0 to 9, any other byte XOR
  // '0' more), 0 for any other byte of the line, 0xFF past its LF.
  alignas(32) std::array<std::uint8_t, LAYOUT_BYTES> slack;
  // The time fields' digits from the line's first 32 bytes, each field
  // into a 32-bit lane, most significant digit first, as the instruction
  // set arranges the controls.
  alignas(32) std::array<std::uint8_t, 64> time_controls;
  LayoutGroup groups[3];
  std::uint32_t length = 0;  // the line's bytes with its LF; 0 for no layout
  std::uint32_t chunks = 0;  // LAYOUT_CHUNK-byte chunks compared with the shape
  std::uint32_t span = 0;    // bytes loaded from the line's start
};

}  // namespace quillrow::sts::kernels
