// The row kernel in plain C++, for processors without a kernel of their
// own; on x86-64 it is compiled and tested too, though never chosen.
#include "sts/kernels/kernel_support.hpp"

#define QUILLROW_KERNEL portable

namespace quillrow::sts::kernels::portable {
namespace {

using Blocks = PortableBlocks;
using ValueBatch = NoValueBatch;
using Layouts = NoLayouts;

}  // namespace
}  // namespace quillrow::sts::kernels::portable

#include "sts/kernels/row_kernel.inl"

namespace quillrow::sts::kernels {
extern constinit const RowKernel PORTABLE{"portable", 0, KernelChoice::automatic, portable::decode_lines};
}  // namespace quillrow::sts::kernels
