// Sizes of the oldest NumPy the package supports (2.0), whatever NumPy the
// build finds, so a module built against a newer one still imports there.
#define NPY_TARGET_VERSION NPY_2_0_API_VERSION
#include "numpy_sizes.hpp"

namespace lmafmt {

ExpectedSizes expected_sizes() noexcept { return sizes_at_target(); }

}  // namespace lmafmt
