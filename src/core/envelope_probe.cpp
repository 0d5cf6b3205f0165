// src/core/envelope_probe.cpp: the envelope search by the Python-object decoders' rules, built once.
#include "core/envelope_probe.hpp"

namespace velkora::wire {

template class EnvelopeSearch<ObjectEnvelopeRules>;

}  // namespace velkora::wire
