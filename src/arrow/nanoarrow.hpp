// src/arrow/nanoarrow.hpp: the one include of the Arrow C library (nanoarrow), compiled into the module
// under a private symbol prefix (NANOARROW_NAMESPACE, set by the build) so its symbols never clash with
// another extension's copy.
#pragma once

#include "nanoarrow/nanoarrow.h"
#include "nanoarrow/nanoarrow.hpp"
