// src/core/java_text.hpp: the texts Java prints for dates, floats and byte arrays, as Solr's JSON writer uses them.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velkora::wire {

/// Room for any instant_text(): a sign, nine year digits, "-MM-DDTHH:MM:SS.SSSZ".
inline constexpr size_t kInstantTextMax = 40;

/// Writes `epoch_ms` (milliseconds since 1970-01-01T00:00:00Z) as Java's `Instant.toString` does, into `out`
/// (at least kInstantTextMax bytes, not terminated): "2012-01-28T06:22:02Z", ".SSS" only when the
/// milliseconds are not zero, years past 9999 as "+10000", years before 0 as "-0001". Returns the length.
/// Every int64 is accepted.
size_t instant_text(int64_t epoch_ms, char* out);

/// The double that reads back from the text Java's `Float.toString` writes for the finite `value`: the
/// shortest decimal that rounds to the same 32-bit float, taken from those of one or two digits when
/// one digit suffices, the nearest to `value` among them.
double float_text_value(float value);

/// The length of the padded Base64 text of `size` bytes.
inline constexpr size_t base64_length(size_t size) { return (size + 2) / 3 * 4; }

/// Writes the padded standard Base64 text of `data` into `out` (base64_length(size) bytes, not terminated).
void base64_text(const uint8_t* data, size_t size, char* out);

}  // namespace velkora::wire
