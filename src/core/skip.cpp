// src/core/skip.cpp: the allocation-free value skipper shared by the Arrow decoders.
#include "core/skip.hpp"

#include "core/probe.hpp"

namespace velkora::wire {

bool skip_value_slow(Reader& r, uint32_t depth, ExternStrings* table) {
    SkipRules rules(table);
    return rules.skip(r, depth);
}

}  // namespace velkora::wire
