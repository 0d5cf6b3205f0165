// src/core/portable.hpp: the one file that names compiler extensions: inlining and branch hints, byte order,
// and the 128-bit integer of the shortest-float paths. Everything else in src/ is standard C++20.
//
// GCC and Clang (also clang-cl, which accepts their attributes) get the GNU forms; MSVC its own keywords and
// intrinsics; any other compiler plain C++, correct and only possibly slower.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <version>
#if !defined(__cpp_lib_to_chars)  // libc++ before 20 reads no floating-point text with std::from_chars
#include <cstdlib>
#include <locale.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif
#endif

#if defined(_MSC_VER) && !defined(__clang__)
#include <intrin.h>
#include <stdlib.h>
#endif

#if defined(__GNUC__) || defined(__clang__)
/// Always inlined: the reader primitives and the tag dispatch, whose calls cost more than their bodies.
#define VELKORA_INLINE inline __attribute__((always_inline))
/// Never inlined and laid out with the cold code: the error builders.
#define VELKORA_NOINLINE __attribute__((noinline, cold))
/// Never inlined but not cold: a hot loop that runs faster in its own frame than inlined into a big one.
#define VELKORA_OUT_OF_LINE __attribute__((noinline))
/// A lambda always inlined where it is called, `[&] VELKORA_INLINE_LAMBDA { ... }`: the body of a loop
/// handed to a template that runs it.
#define VELKORA_INLINE_LAMBDA __attribute__((always_inline))
/// Branch hints inside a condition, `if (VELKORA_UNLIKELY(p == end))`. C++20's [[likely]] marks a statement,
/// not an expression, and GCC does not always lay out a `return` branch the same way with it, so the
/// expression form stays where it exists.
#define VELKORA_LIKELY(x) __builtin_expect(!!(x), 1)
#define VELKORA_UNLIKELY(x) __builtin_expect(!!(x), 0)
#elif defined(_MSC_VER)
#define VELKORA_INLINE __forceinline
#define VELKORA_NOINLINE __declspec(noinline)
#define VELKORA_OUT_OF_LINE __declspec(noinline)
#define VELKORA_INLINE_LAMBDA [[msvc::forceinline]]
// MSVC takes no hint inside an expression; it lays out branches by its own rules.
#define VELKORA_LIKELY(x) (!!(x))
#define VELKORA_UNLIKELY(x) (!!(x))
#else
#define VELKORA_INLINE inline
#define VELKORA_NOINLINE
#define VELKORA_OUT_OF_LINE
#define VELKORA_INLINE_LAMBDA
#define VELKORA_LIKELY(x) (!!(x))
#define VELKORA_UNLIKELY(x) (!!(x))
#endif

namespace velkora::wire {

static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "the wire reader handles little- and big-endian hosts only");

/// `v` with its bytes in the opposite order (C++23's std::byteswap, for the unsigned widths the wire has).
template <typename U>
VELKORA_INLINE U byteswap(U v) {
    static_assert(std::is_unsigned_v<U> && (sizeof(U) == 1 || sizeof(U) == 2 || sizeof(U) == 4 || sizeof(U) == 8));
    if constexpr (sizeof(U) == 1) {
        return v;
    } else {
#if defined(__GNUC__) || defined(__clang__)
        if constexpr (sizeof(U) == 2) return static_cast<U>(__builtin_bswap16(v));
        if constexpr (sizeof(U) == 4) return static_cast<U>(__builtin_bswap32(v));
        if constexpr (sizeof(U) == 8) return static_cast<U>(__builtin_bswap64(v));
#elif defined(_MSC_VER)
        if constexpr (sizeof(U) == 2) return static_cast<U>(_byteswap_ushort(v));
        if constexpr (sizeof(U) == 4) return static_cast<U>(_byteswap_ulong(v));
        if constexpr (sizeof(U) == 8) return static_cast<U>(_byteswap_uint64(v));
#else
        U swapped = 0;
        for (unsigned i = 0; i < sizeof(U); ++i) swapped = static_cast<U>((swapped << 8) | ((v >> (8 * i)) & 0xFF));
        return swapped;
#endif
    }
}

/// The host value of an unsigned word whose bytes were copied from big-endian input (javabin's byte order):
/// swapped on a little-endian host, unchanged on a big-endian one.
template <typename U>
VELKORA_INLINE U from_big_endian(U v) {
    if constexpr (std::endian::native == std::endian::big) return v;
    else return byteswap(v);
}

/// The host value of an unsigned word copied from memory whose first byte is to be its least significant,
/// and the reverse: the word to store so that its least significant byte lands first. Word-at-a-time text
/// code reasons in that order (the lowest flagged byte is the first in memory); a no-op on little-endian hosts.
template <typename U>
VELKORA_INLINE U little_endian(U v) {
    if constexpr (std::endian::native == std::endian::little) return v;
    else return byteswap(v);
}

/// The unsigned word of U's width at `p` in the host's byte order (one unaligned load); the caller has checked
/// the bytes are there.
template <typename U>
VELKORA_INLINE U load_host(const uint8_t* p) {
    U v;
    std::memcpy(&v, p, sizeof(U));
    return v;
}

/// The big-endian unsigned word of U's width at `p`; the caller has checked the bytes are there.
template <typename U>
VELKORA_INLINE U load_big_endian(const uint8_t* p) {
    return from_big_endian(load_host<U>(p));  // the compiler merges the load with the swap
}

/// An unsigned 128-bit integer as two 64-bit words, with the operations the shortest-float paths use:
/// the form for compilers without a native 128-bit type (MSVC). Wraps modulo 2^128 like the native type;
/// shift counts must be below 128.
class Uint128 {
public:
    constexpr Uint128() = default;
    constexpr Uint128(uint64_t low) : lo_(low) {}  // NOLINT: converts implicitly, as the native type does
    constexpr Uint128(uint64_t high, uint64_t low) : hi_(high), lo_(low) {}

    constexpr explicit operator uint64_t() const { return lo_; }
    constexpr uint64_t high() const { return hi_; }
    constexpr uint64_t low() const { return lo_; }

    /// The full product of two 64-bit words.
    static constexpr Uint128 multiply(uint64_t a, uint64_t b) {
        if (!std::is_constant_evaluated()) {
#if defined(_MSC_VER) && !defined(__clang__) && defined(_M_X64)
            uint64_t high;
            uint64_t low = _umul128(a, b, &high);
            return {high, low};
#elif defined(_MSC_VER) && !defined(__clang__) && defined(_M_ARM64)
            return {__umulh(a, b), a * b};
#endif
        }
        // Schoolbook on 32-bit halves; the middle sum cannot overflow: at most 3 * (2^32 - 1).
        uint64_t a0 = a & 0xFFFFFFFF, a1 = a >> 32, b0 = b & 0xFFFFFFFF, b1 = b >> 32;
        uint64_t p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
        uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFF) + (p10 & 0xFFFFFFFF);
        return {p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32), (middle << 32) | (p00 & 0xFFFFFFFF)};
    }

    friend constexpr Uint128 operator*(Uint128 a, Uint128 b) {
        Uint128 r = multiply(a.lo_, b.lo_);
        r.hi_ += a.lo_ * b.hi_ + a.hi_ * b.lo_;
        return r;
    }
    friend constexpr Uint128 operator+(Uint128 a, Uint128 b) {
        uint64_t low = a.lo_ + b.lo_;
        return {a.hi_ + b.hi_ + (low < a.lo_), low};
    }
    friend constexpr Uint128 operator-(Uint128 a, Uint128 b) {
        return {a.hi_ - b.hi_ - (a.lo_ < b.lo_), a.lo_ - b.lo_};
    }
    friend constexpr Uint128 operator<<(Uint128 a, int n) {
        if (n == 0) return a;
        if (n >= 64) return {a.lo_ << (n - 64), 0};
        return {(a.hi_ << n) | (a.lo_ >> (64 - n)), a.lo_ << n};
    }
    friend constexpr Uint128 operator>>(Uint128 a, int n) {
        if (n == 0) return a;
        if (n >= 64) return {0, a.hi_ >> (n - 64)};
        return {a.hi_ >> n, (a.lo_ >> n) | (a.hi_ << (64 - n))};
    }
    constexpr Uint128& operator*=(Uint128 b) { return *this = *this * b; }

    friend constexpr bool operator==(Uint128 a, Uint128 b) { return a.hi_ == b.hi_ && a.lo_ == b.lo_; }
    friend constexpr bool operator<(Uint128 a, Uint128 b) { return a.hi_ != b.hi_ ? a.hi_ < b.hi_ : a.lo_ < b.lo_; }
    friend constexpr bool operator>(Uint128 a, Uint128 b) { return b < a; }

private:
    uint64_t hi_ = 0;
    uint64_t lo_ = 0;
};

// VELKORA_NO_INT128 forces the two-word form where a native type exists, so that it is tested on real
// bodies (the big-endian leg builds with it).
#if defined(__SIZEOF_INT128__) && !defined(VELKORA_NO_INT128)
/// The 128-bit unsigned integer of the shortest-float paths: native where the compiler has one.
__extension__ typedef unsigned __int128 uint128;  // __extension__: no -Wpedantic warning for the GNU type
#else
using uint128 = Uint128;
#endif

/// The float or double nearest to the decimal text [first, last) (as std::to_chars writes it: no sign of
/// its own but '-', a '.' and an 'e' exponent), correctly rounded. std::from_chars where the library has it;
/// elsewhere strtod in the "C" locale, so that the program's own locale never changes the decimal point.
template <typename T>
T parse_decimal(const char* first, const char* last) {
    static_assert(std::is_same_v<T, float> || std::is_same_v<T, double>);
#if defined(__cpp_lib_to_chars)
    T value{};
    std::from_chars(first, last, value);
    return value;
#else
    static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
    char text[64];
    size_t size = static_cast<size_t>(last - first) < sizeof text ? static_cast<size_t>(last - first) : sizeof text - 1;
    std::memcpy(text, first, size);
    text[size] = '\0';
    if constexpr (std::is_same_v<T, float>) return strtof_l(text, nullptr, c_locale);
    else return strtod_l(text, nullptr, c_locale);
#endif
}

}  // namespace velkora::wire
