// src/arrow/field_survey.hpp: what a response's documents hold, field by field, counted by wire kind.
//
// The survey finds the documents where the Arrow decoder finds them and walks them the way it reads them,
// but builds nothing: each field value is classified by its tag and stepped over. Schema inference and the
// command line's summary stand on it. Nothing here touches Python.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/reader.hpp"

namespace velkora::arrow {

/// The kinds a field value is counted under: the decoded kind names, and two that no column accepts:
/// "typed array" for TYPED_ARR, and "extern reference" for a value that refers back to an extern string
/// (Solr writes only names that way; a value that defines one is a "string").
enum class WireKind : uint8_t {
    Null, Bool, Byte, Short, Int, Long, Float, Double, Date, String, Bytes,
    Array, Map, NamedList, SolrDocument, SolrDocumentList, TypedArray, ExternReference,
};
inline constexpr size_t kWireKinds = 18;
const char* wire_kind_name(WireKind kind);

/// One field over the surveyed rows. A value that is an ARR or ITERATOR counts as Array under `values`,
/// and each of its items counts under `items` (nested containers by their kind, without descending).
struct FieldTally {
    std::string name;
    uint64_t rows = 0;  // rows in which the field appears (a field named twice in a row counts once)
    std::array<uint64_t, kWireKinds> values{};
    std::array<uint64_t, kWireKinds> items{};
    uint64_t last_row = ~uint64_t{0};
};

/// The envelope around the documents, as far as the survey saw it.
struct EnvelopeShape {
    std::optional<WireKind> top;        // the top-level value's kind; absent for a tag the decoders refuse
    std::vector<std::string> keys;      // the first kMaxEnvelopeKeys top-level entry names, in order ("" when absent)
    std::string response_key;           // the response entry's key, as written (empty: none)
    std::optional<WireKind> response;   // the kind of the response container
    enum class Docs : uint8_t { None, Counted, Terminated };
    Docs docs = Docs::None;             // an ARR of documents, an ITERATOR closed by END, or none found
    std::optional<int64_t> num_found;   // from the document list header, or a "numFound" entry
    std::optional<int64_t> start;
    std::optional<double> max_score;
    std::optional<uint64_t> declared;   // the document array's declared size
};

/// What a survey keeps is bounded, so that a forged body cannot make it hold far more than its own size:
/// the envelope keys it lists, and the distinct field names it tallies (values of further names are
/// counted in `untallied` instead).
inline constexpr size_t kMaxEnvelopeKeys = 64;
inline constexpr size_t kMaxFields = 65536;

/// The result of a survey.
struct FieldSurvey {
    EnvelopeShape envelope;
    uint64_t documents = 0;       // top-level documents surveyed
    bool complete = false;        // every document of the response was surveyed (and, with no sample
                                  // limit, the whole body was checked)
    uint64_t rows = 0;            // documents surveyed, children included
    uint64_t children = 0;        // anonymous child documents, at every depth
    uint64_t nested_documents = 0;  // documents held as field values (rows in explode mode)
    uint64_t extern_strings = 0;  // the extern-string table's size where the survey stopped
    /// After the documents, the rest of the body is walked with the Arrow decoders' skipper, which refuses
    /// what those decoders refuse (SOLRINPUTDOC, for one); a failure there does not fail the survey, whose
    /// documents are all counted, but is kept here (empty: the whole body was walked, or the sample ended).
    std::string rest_error;
    std::vector<FieldTally> fields;  // in order of first appearance, at most kMaxFields
    uint64_t untallied = 0;          // field values whose name came after kMaxFields others

    std::unordered_map<std::string, size_t> index;  // field name -> position in `fields`
};

/// Surveys up to `sample` top-level documents of the response in `data` (all of them when `sample` is
/// absent). When the documents all fit the sample, the rest of the body is walked too, so the table size
/// and the trailing-data check cover it (see `rest_error`). False with the error in `*error` for
/// malformed input met before the documents ended.
[[nodiscard]] bool survey_fields(wire::ByteSpan data, std::optional<uint64_t> sample, FieldSurvey* out,
                                 wire::DecodeError* error);

}  // namespace velkora::arrow
