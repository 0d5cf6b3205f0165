// src/python/short_strings.cpp: the table behind ShortStrings.
#include "python/short_strings.hpp"

#include <new>

namespace velkora::py {

ShortStrings::~ShortStrings() {
    if (!slots_) return;
    for (size_t i = 0; i < (size_t{1} << kSlotBits); ++i) Py_XDECREF(slots_[i].text);
}

bool ShortStrings::allocate() {
    // Without memory for the table, strings are simply made each time.
    slots_.reset(new (std::nothrow) Slot[size_t{1} << kSlotBits]());
    return slots_ != nullptr;
}

}  // namespace velkora::py
