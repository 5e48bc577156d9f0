// Opens the compilation of one row kernel (included once by each
// kernels/<name>.cpp, after kernel_support.hpp and after defining
// QUILLROW_KERNEL, the kernel's name, and, for a kernel built beyond the
// baseline instruction set, QUILLROW_KERNEL_TARGET, its target features).
//
// A kernel's code lives in QUILLROW_KERNEL_NAMESPACE: kernels::<name> for
// a baseline kernel, kernels::wide::<name> for one compiled beyond the
// baseline, whose functions are then compiled for its target.  The wheel's
// instruction audit (tools/build_wheels.sh) allows wider instructions only
// in functions of kernels::wide, so a new wide kernel needs no new rule
// there.  kernel_end.hpp closes the target region.
//
// No include guard: each kernel's file includes it once.

#if !defined(QUILLROW_KERNEL)
#error "define QUILLROW_KERNEL (the kernel's name) before including kernel_begin.hpp"
#endif

#if defined(QUILLROW_KERNEL_TARGET)
#define QUILLROW_KERNEL_NAMESPACE quillrow::sts::kernels::wide::QUILLROW_KERNEL
QUILLROW_TARGET_BEGIN(QUILLROW_KERNEL_TARGET)
#else
#define QUILLROW_KERNEL_NAMESPACE quillrow::sts::kernels::QUILLROW_KERNEL
#endif
