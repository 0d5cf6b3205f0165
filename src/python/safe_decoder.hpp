// src/python/safe_decoder.hpp: the reference Python-object decoder, for comparison with the fast one.
#pragma once

#include "core/reader.hpp"
#include "python/pyref.hpp"

namespace velkora::py {

/// Decodes a whole body into the same objects as the fast decoder. New reference, or nullptr with the
/// Python exception already raised (ValueError for malformed input, raised where it was detected).
PyObject* deserialize_safe(wire::ByteSpan data);

}  // namespace velkora::py
