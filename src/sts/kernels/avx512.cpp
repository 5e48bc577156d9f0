// The row kernel for AVX-512 (F and BW, with BMI1, BMI2 and POPCNT): a
// block is classified by one 64-byte table lookup into mask registers; the
// values are converted by the AVX2 step (value_batch_avx2.inl).  Chosen only
// on request (kernel_table.cpp says why).
#include "sts/kernels/kernel_support.hpp"

#if defined(__x86_64__)

#define QUILLROW_KERNEL avx512

QUILLROW_TARGET_BEGIN("avx512f,avx512bw,avx2,bmi,bmi2,popcnt")

namespace quillrow::sts::kernels::avx512 {
namespace {

struct Blocks {
  static std::uint32_t trailing_zeros(std::uint64_t x) noexcept {
    return static_cast<std::uint32_t>(_tzcnt_u64(x));
  }

  static Masks classify(const char* p) noexcept {
    alignas(64) static constexpr char TABLE[64] = {QUILLROW_SEPARATOR_TABLE, QUILLROW_SEPARATOR_TABLE,
                                                   QUILLROW_SEPARATOR_TABLE, QUILLROW_SEPARATOR_TABLE};
    const __m512i bytes = _mm512_loadu_si512(p);
    return {_mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(_mm512_load_si512(TABLE), bytes), bytes),
            _mm512_cmpeq_epi8_mask(bytes, _mm512_set1_epi8('\n'))};
  }
};

}  // namespace
}  // namespace quillrow::sts::kernels::avx512

#include "sts/kernels/value_batch_avx2.inl"
// Layouts convert with the value batch's steps.
#include "sts/kernels/layout_avx2.inl"
// The kernel calls the value batch and the layouts above.
#include "sts/kernels/row_kernel.inl"

QUILLROW_TARGET_END

namespace quillrow::sts::kernels {
extern constinit const RowKernel AVX512{"avx512", CPU_AVX2 | CPU_AVX512, KernelChoice::on_request,
                                        avx512::decode_lines};
}  // namespace quillrow::sts::kernels

#endif
