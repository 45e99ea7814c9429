// Sizes of the newest NumPy the build's headers describe.
#define NPY_TARGET_VERSION NPY_API_VERSION
#include "numpy_sizes.hpp"

namespace lmafmt {

ExpectedSizes known_sizes() noexcept { return sizes_at_target(); }

}  // namespace lmafmt
