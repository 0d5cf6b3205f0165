// tests/native/solr_bodies.cpp: Solr's own bodies through the wire reader, the value tree and the JSON
// renderer, without Python, plus the byte-order primitives and the two-word 128-bit integer they rest on.
//
// `velkora_tree_tests FILE...` checks the primitives against known answers, then prints one line per body:
//     <file name> nodes=<count> json_bytes=<length> json_fnv1a=<hash>     (or: <file name> error=<message>)
// The lines depend on nothing but the bytes, so the same program built for a big-endian host under
// emulation must print the same lines as on this one (`make test-big-endian` compares them).
// `velkora_tree_tests --json FILE` prints the JSON text of one body instead, which tests/test_native.py
// compares with deserialize_json. Exits non-zero on any failed check or unreadable file.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "core/portable.hpp"
#include "core/reader.hpp"
#include "tree/json.hpp"
#include "tree/value.hpp"

using namespace velkora;

namespace {

int failures = 0;

void expect(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "FAILED: %s\n", what);
        ++failures;
    }
}

void test_byte_order() {
    const uint8_t bytes[] = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08};
    expect(wire::load_big_endian<uint16_t>(bytes) == 0x0102, "big-endian 16-bit load");
    expect(wire::load_big_endian<uint32_t>(bytes) == 0x01020304, "big-endian 32-bit load");
    expect(wire::load_big_endian<uint64_t>(bytes) == 0x0102030405060708, "big-endian 64-bit load");
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    expect(wire::little_endian(word) == 0x0807060504030201, "little-endian view of memory");
    expect(wire::byteswap(uint32_t{0x11223344}) == 0x44332211, "32-bit byte swap");
    expect(wire::byteswap(uint16_t{0xA1B2}) == 0xB2A1, "16-bit byte swap");

    // The fixed-width scalars as the reader gives them: INT -2, then DOUBLE 1.5, then FLOAT -0.25.
    const uint8_t wire_bytes[] = {0xFF, 0xFF, 0xFF, 0xFE, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0, 0xBE, 0x80, 0, 0};
    wire::Reader r(wire_bytes, sizeof wire_bytes);
    int32_t i = 0;
    double d = 0;
    float f = 0;
    expect(wire::read_int(r, &i) && i == -2, "INT read big-endian");
    expect(wire::read_double(r, &d) && d == 1.5, "DOUBLE read big-endian");
    expect(wire::read_float(r, &f) && f == -0.25f, "FLOAT read big-endian");
    expect(wire::load_be<int16_t>(wire_bytes) == -1, "typed-array element load");
}

// The two-word form against the native type, where the compiler has one and it is the build's uint128
// (Native is a template parameter so that the comparison is not compiled where there is none).
template <typename Native>
void test_two_word_integer() {
    if constexpr (!std::is_same_v<Native, wire::Uint128>) {
        auto same = [](wire::Uint128 a, Native b) {
            return a.low() == static_cast<uint64_t>(b) && a.high() == static_cast<uint64_t>(b >> 64);
        };
        auto native = [](wire::Uint128 a) { return Native{a.high()} << 64 | a.low(); };
        uint64_t state = 0x9E3779B97F4A7C15;
        auto next = [&] {  // xorshift64
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            return state;
        };
        bool ok = true;
        for (int round = 0; round < 2000 && ok; ++round) {
            wire::Uint128 a{next() >> (round % 64), next()};
            wire::Uint128 b{round % 3 ? 0 : next(), next() >> (round % 61)};
            int shift = static_cast<int>(next() % 128);
            Native na = native(a), nb = native(b);
            ok = same(a * b, na * nb) && same(a + b, na + nb) && same(a - b, na - nb) && same(a << shift, na << shift) &&
                 same(a >> shift, na >> shift) && (a < b) == (na < nb) && (a > b) == (na > nb) && (a == b) == (na == nb) &&
                 same(wire::Uint128::multiply(a.low(), b.low()), Native{a.low()} * b.low());
        }
        expect(ok, "two-word 128-bit arithmetic agrees with the native type");
    }
    constexpr wire::Uint128 ten22 = [] {
        wire::Uint128 p = 1;
        for (int i = 0; i < 22; ++i) p *= 10;
        return p;
    }();
    expect(ten22.high() == 542 && ten22.low() == 1864712049423024128, "10^22 in two words");
}

bool read_file(const char* path, std::vector<uint8_t>* out) {
    std::FILE* file = std::fopen(path, "rb");
    if (!file) return false;
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) out->insert(out->end(), buffer, buffer + n);
    bool ok = !std::ferror(file);
    std::fclose(file);
    return ok;
}

const char* base_name(const char* path) {
    const char* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

/// Decodes one body; false (after a message on stderr) when the file cannot be read.
bool describe(const char* path, bool json_only) {
    std::vector<uint8_t> body;
    if (!read_file(path, &body)) {
        std::fprintf(stderr, "cannot read %s\n", path);
        return false;
    }
    tree::Document document(body.size());
    wire::DecodeError error;
    if (!tree::parse_document(body.data(), body.size(), &document, &error)) {
        std::printf("%s error=%s\n", base_name(path), error.message().c_str());
        return true;
    }
    tree::TextBuffer text(body.size() * 2 + 128);
    if (!tree::write_json(document.root, text)) {
        std::fprintf(stderr, "out of memory writing %s\n", path);
        return false;
    }
    if (json_only) {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return true;
    }
    uint64_t hash = 0xCBF29CE484222325;  // FNV-1a
    for (size_t i = 0; i < text.size(); ++i) hash = (hash ^ static_cast<unsigned char>(text.data()[i])) * 0x100000001B3;
    std::printf("%s nodes=%llu json_bytes=%zu json_fnv1a=%016llx\n", base_name(path),
                static_cast<unsigned long long>(tree::node_count(document.root)), text.size(),
                static_cast<unsigned long long>(hash));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool json_only = argc == 3 && std::strcmp(argv[1], "--json") == 0;
    if (json_only) return describe(argv[2], true) ? 0 : 1;
    test_byte_order();
    test_two_word_integer<wire::uint128>();
    for (int i = 1; i < argc; ++i)
        if (!describe(argv[i], false)) ++failures;
    if (failures) return 1;
    std::fprintf(stderr, "tree and byte order: all checks passed\n");
    return 0;
}
