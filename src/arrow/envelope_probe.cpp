// src/arrow/envelope_probe.cpp: locate_docs as a walk that goes on across feeds.
#include "arrow/envelope_probe.hpp"

#include <string_view>

#include "arrow/envelope_walk.hpp"

namespace velkora::wire {
template class EnvelopeSearch<arrow::ArrowEnvelopeRules>;
}  // namespace velkora::wire

namespace velkora::arrow {

wire::KeyRead ArrowEnvelopeRules::key(wire::Reader& r, const wire::KeyedHeader& header, uint64_t index,
                                      wire::KeyName* name) {
    bool more;
    std::string_view key;
    bool present;
    if (!next_envelope_key(r, *table, header, index, &more, &key, &present)) return wire::KeyRead::Failed;
    if (!more) return wire::KeyRead::Ended;
    *name = present ? wire::key_name(key) : wire::KeyName::Other;
    return wire::KeyRead::Named;
}

wire::Walked EnvelopeProbe::resume(ArrowRowDecoder& d, wire::ByteSpan bytes, wire::DecodeError* error) {
    search_.rules().table = &d.externs;
    wire::Walked walked = search_.resume(bytes);
    if (walked == wire::Walked::Refused) {
        *error = search_.rules().error();
    } else if (walked == wire::Walked::Complete) {
        switch (search_.phase()) {
            case wire::StreamPhase::CountedDocs: docs_ = {DocsSequence::Kind::Counted, search_.count()}; break;
            case wire::StreamPhase::IteratorDocs: docs_ = {DocsSequence::Kind::Terminated, 0}; break;
            default: docs_ = {}; break;
        }
    }
    return walked;
}

}  // namespace velkora::arrow
