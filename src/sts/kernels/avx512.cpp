// The row kernel for AVX-512 (F and BW, with BMI1, BMI2 and POPCNT): a
// block is classified by one 64-byte table lookup into mask registers; the
// values and the layouts use the AVX2 family's vector operations
// (avx2_steps.inl).  Chosen only on request (kernel_table.cpp says why).
#include "sts/kernels/kernel_support.hpp"

#if defined(__x86_64__)

#define QUILLROW_KERNEL avx512
#define QUILLROW_KERNEL_TARGET "avx512f,avx512bw,avx2,bmi,bmi2,popcnt"
#include "sts/kernels/kernel_begin.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
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
}  // namespace QUILLROW_KERNEL_NAMESPACE

#include "sts/kernels/avx2_steps.inl"
#include "sts/kernels/generic/line_layouts.inl"
#include "sts/kernels/generic/value_batch.inl"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {
using ValueBatch = VectorValueBatch;
using Layouts = LineLayouts;
}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE

#include "sts/kernels/generic/row_kernel.inl"
#include "sts/kernels/kernel_end.hpp"

namespace quillrow::sts::kernels {
extern constinit const RowKernel AVX512{"avx512", CPU_AVX2 | CPU_AVX512, KernelChoice::on_request,
                                        wide::avx512::decode_lines};
}  // namespace quillrow::sts::kernels

#endif
