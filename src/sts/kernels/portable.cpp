// The row kernel in plain C++, for processors without a kernel of their
// own; on x86-64 it is compiled and tested too, though never chosen.
#include "sts/kernels/kernel_support.hpp"

#define QUILLROW_KERNEL portable
#include "sts/kernels/kernel_begin.hpp"

namespace QUILLROW_KERNEL_NAMESPACE {
namespace {

using Blocks = PortableBlocks;
using ValueBatch = NoValueBatch;
using Layouts = NoLayouts;

}  // namespace
}  // namespace QUILLROW_KERNEL_NAMESPACE

#include "sts/kernels/generic/row_kernel.inl"
#include "sts/kernels/kernel_end.hpp"

namespace quillrow::sts::kernels {
extern constinit const RowKernel PORTABLE{"portable", 0, KernelChoice::automatic, portable::decode_lines};
}  // namespace quillrow::sts::kernels
