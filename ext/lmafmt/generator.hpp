// The iteration object of LmaReader (type name "generator") and the
// per-iteration scope that keeps the reader alive.
#pragma once

#include "glue.hpp"

namespace lmafmt {

extern PyTypeObject GeneratorType;
extern PyTypeObject ScopeType;

}  // namespace lmafmt
