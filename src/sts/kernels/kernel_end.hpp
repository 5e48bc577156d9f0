// Closes the compilation of one row kernel opened by kernel_begin.hpp.
// No include guard: each kernel's file includes it once.

#if defined(QUILLROW_KERNEL_TARGET)
QUILLROW_TARGET_END
#endif
