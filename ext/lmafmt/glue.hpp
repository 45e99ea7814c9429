// The Python glue shared with the other extension, named in this module's
// namespace.
#pragma once

#include "pyglue/compat.hpp"
#include "pyglue/pyref.hpp"

namespace lmafmt {

using pyglue::at_border;
using pyglue::BufferView;
using pyglue::ErrorStash;
using pyglue::new_ref;
using pyglue::Ref;

}  // namespace lmafmt
