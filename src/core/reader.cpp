// src/core/reader.cpp: the cold half of the wire reader: UTF-8 fault analysis, DecodeError messages and kind names.
#include "core/reader.hpp"

#include <cstdio>
#include <cstring>

namespace velkora::wire {

namespace {

/// Width of the sequence a lead byte opens; 0 for bytes that can never lead one.
uint8_t utf8_width(uint8_t b) {
    if (b < 0x80) return 1;
    if (b >= 0xC2 && b <= 0xDF) return 2;
    if (b >= 0xE0 && b <= 0xEF) return 3;
    if (b >= 0xF0 && b <= 0xF4) return 4;
    return 0;
}

bool is_continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

}  // namespace

bool validate_utf8_slow(const uint8_t* s, size_t n, Utf8Failure* failure) {
    size_t i = 0;
    // `bad(len)`: the maximal invalid subpart starting at i has `len` bytes; len 0 means the string ended
    // inside a sequence that could still have been completed.
    auto bad = [&](uint8_t len) {
        failure->valid_up_to = i;
        failure->error_len = len;
        return false;
    };
    while (i < n) {
        uint8_t first = s[i];
        if (first < 0x80) {
            // Mostly-ASCII text with a few accented letters: step over ASCII runs eight bytes at a time.
            ++i;
            while (i + 8 <= n) {
                uint64_t w;
                std::memcpy(&w, s + i, 8);
                if (w & 0x8080808080808080ULL) break;
                i += 8;
            }
            continue;
        }
        uint8_t width = utf8_width(first);
        if (width == 0) return bad(1);
        if (i + 1 >= n) return bad(0);
        uint8_t second = s[i + 1];
        bool second_ok;
        switch (width) {
            case 2: second_ok = is_continuation(second); break;
            case 3:
                if (first == 0xE0) second_ok = second >= 0xA0 && second <= 0xBF;        // no overlong forms
                else if (first == 0xED) second_ok = second >= 0x80 && second <= 0x9F;   // no surrogates
                else second_ok = is_continuation(second);
                break;
            default:
                if (first == 0xF0) second_ok = second >= 0x90 && second <= 0xBF;        // no overlong forms
                else if (first == 0xF4) second_ok = second >= 0x80 && second <= 0x8F;   // nothing past U+10FFFF
                else second_ok = is_continuation(second);
                break;
        }
        if (!second_ok) return bad(1);
        for (uint8_t k = 2; k < width; ++k) {
            if (i + k >= n) return bad(0);
            if (!is_continuation(s[i + k])) return bad(k);
        }
        i += width;
    }
    return true;
}

bool Reader::fail_eof(uint64_t offset, uint64_t needed) {
    error = DecodeError{};
    error.kind = ErrorKind::UnexpectedEof;
    error.offset = offset;
    error.needed = needed;
    return false;
}

bool Reader::fail_eof_in_varint() {
    fail_eof(length(), length() + 1);
    error.in_varint = true;
    return false;
}

bool Reader::fail_beyond_table(uint64_t offset) {
    error = DecodeError{};
    error.kind = ErrorKind::UnexpectedEof;
    error.beyond_table = true;
    error.offset = offset;
    return false;
}

bool Reader::fail_utf8(uint64_t offset, Utf8Failure failure) {
    error = DecodeError{};
    error.kind = ErrorKind::InvalidUtf8;
    error.offset = offset;
    error.utf8 = failure;
    return false;
}

bool Reader::fail_unknown_tag(uint64_t offset, uint8_t tag) {
    error = DecodeError{};
    error.kind = ErrorKind::UnknownTag;
    error.offset = offset;
    error.byte = tag;
    return false;
}

bool Reader::fail_unexpected(const char* expected, uint64_t offset, const char* found) {
    error = DecodeError{};
    error.kind = ErrorKind::UnexpectedValue;
    error.expected = expected;
    error.offset = offset;
    error.found = found;
    return false;
}

bool Reader::fail_depth(uint64_t offset) {
    error = DecodeError{};
    error.kind = ErrorKind::DepthExceeded;
    error.offset = offset;
    return false;
}

bool Reader::fail_out_of_memory() {
    error = DecodeError{};
    error.kind = ErrorKind::OutOfMemory;
    return false;
}

bool Reader::fail_trailing(uint64_t unread) {
    error = DecodeError{};
    error.kind = ErrorKind::TrailingData;
    error.offset = unread;
    return false;
}

bool Reader::fail_version(uint8_t found) {
    error = DecodeError{};
    error.kind = ErrorKind::InvalidVersion;
    error.byte = found;
    return false;
}

std::string DecodeError::message() const {
    auto u = [](uint64_t v) { return std::to_string(v); };
    switch (kind) {
        case ErrorKind::UnexpectedEof:
            return "unexpected end of input at byte offset " + u(offset);
        case ErrorKind::InvalidVersion:
            return "invalid javabin version (expected " + u(JAVABIN_VERSION) + ", found " + u(byte) +
                   "); the data may not be in javabin format";
        case ErrorKind::InvalidUtf8: {
            std::string detail =
                utf8.error_len == 0
                    ? "incomplete utf-8 byte sequence from index " + u(utf8.valid_up_to)
                    : "invalid utf-8 sequence of " + u(utf8.error_len) + " bytes from index " + u(utf8.valid_up_to);
            return "invalid UTF-8 string at byte offset " + u(offset) + ": " + detail;
        }
        case ErrorKind::UnknownTag: {
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02x", byte);
            return std::string("unknown javabin tag byte 0x") + hex + " at byte offset " + u(offset);
        }
        case ErrorKind::UnexpectedValue:
            return std::string("expected ") + expected + " at byte offset " + u(offset) + ", found " + found;
        case ErrorKind::TrailingData:
            return "trailing data after decoded value: " + u(offset) + " unread byte(s)";
        case ErrorKind::DepthExceeded:
            return "javabin value nesting exceeds the maximum supported depth (" + u(MAX_DEPTH) +
                   ") at byte offset " + u(offset) + "; the input is likely malformed or malicious";
        case ErrorKind::Layer:
            return layer->message(*this);
        case ErrorKind::OutOfMemory:
            return "out of memory";
    }
    return "unknown decode error";
}

const char* DecodeError::kind_name() const {
    switch (kind) {
        case ErrorKind::UnexpectedEof: return "UnexpectedEof";
        case ErrorKind::InvalidVersion: return "InvalidVersion";
        case ErrorKind::InvalidUtf8: return "InvalidUtf8";
        case ErrorKind::UnknownTag: return "UnknownTag";
        case ErrorKind::UnexpectedValue: return "UnexpectedValue";
        case ErrorKind::TrailingData: return "TrailingData";
        case ErrorKind::DepthExceeded: return "DepthExceeded";
        case ErrorKind::Layer: return layer->kind_name(code);
        case ErrorKind::OutOfMemory: return "OutOfMemory";
    }
    return "Unknown";
}

}  // namespace velkora::wire
