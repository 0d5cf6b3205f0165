// src/safe_decoder.hpp: the reference Python-object decoder, for comparison with the fast one.
#pragma once

#include "arguments.hpp"
#include "pyref.hpp"

namespace velkora::safe {

/// Decodes a whole body into the same objects as the fast decoder. New reference, or nullptr with the
/// Python exception already raised (ValueError for malformed input, raised where it was detected).
PyObject* deserialize_safe(BytesView data);

}  // namespace velkora::safe
