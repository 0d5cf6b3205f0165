// src/core/java_text.cpp: the texts Java prints for dates, floats and byte arrays, as Solr's JSON writer uses them.
#include "core/java_text.hpp"
#include "core/portable.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <type_traits>

namespace velkora::wire {

namespace {

constexpr int64_t kMsPerDay = 86'400'000;

/// Floor division: dates before 1970 count back from the epoch.
int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }

/// The proleptic Gregorian year, month and day of `days` since 1970-01-01 (the era arithmetic keeps every
/// step in range for any day count an int64 of milliseconds can give).
void civil_from_days(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719'468;
    int64_t era = floor_div(days, 146'097);
    int64_t doe = days - era * 146'097;                                  // [0, 146096]
    int64_t yoe = (doe - doe / 1'460 + doe / 36'524 - doe / 146'096) / 365;  // [0, 399]
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                // [0, 365]
    int64_t mp = (5 * doy + 2) / 153;                                      // [0, 11], from March
    *day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
    *month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
    *year = yoe + era * 400 + (*month <= 2);
}

char* two_digits(char* p, unsigned v) {
    p[0] = static_cast<char>('0' + v / 10);
    p[1] = static_cast<char>('0' + v % 10);
    return p + 2;
}

/// Reads back text written by std::to_chars.
template <typename T>
T parse(const char* first, const char* last) {
    if constexpr (std::is_integral_v<T>) {
        T value{};
        std::from_chars(first, last, value);
        return value;
    } else {
        return wire::parse_decimal<T>(first, last);
    }
}

/// Powers of ten up to 10^22, all of which a double holds exactly.
constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

/// The double nearest the decimal that std::to_chars wrote in scientific form ("-d.ddde-XX", as for a
/// float: nine digits at most). Its digits as an integer and the power of ten that scales them are then
/// both exact doubles, so their product or quotient, one correctly rounded operation, is that nearest
/// double; outside 10^-22..10^22 the text is parsed.
double scientific_value(const char* first, const char* last) {
    const char* p = first;
    bool negative = *p == '-';
    if (negative) ++p;
    uint64_t digits = 0;
    int count = 0;
    for (; p < last && *p != 'e'; ++p) {
        if (*p == '.') continue;
        digits = digits * 10 + static_cast<uint64_t>(*p - '0');
        ++count;
    }
    if (p == last || count > 15) return parse<double>(first, last);
    ++p;  // 'e', then a sign and at least two digits
    bool negative_exponent = *p++ == '-';
    int exponent = 0;
    for (; p < last; ++p) exponent = exponent * 10 + (*p - '0');
    int scale = (negative_exponent ? -exponent : exponent) - (count - 1);
    if (scale < -22 || scale > 22) return parse<double>(first, last);
    double value = static_cast<double>(digits);
    value = scale >= 0 ? value * kPowersOfTen[scale] : value / kPowersOfTen[-scale];
    return negative ? -value : value;
}

}  // namespace

size_t instant_text(int64_t epoch_ms, char* out) {
    int64_t days = floor_div(epoch_ms, kMsPerDay);
    // From the remainder: days * kMsPerDay itself overflows for the earliest instants (Long.MIN_VALUE).
    int64_t ms_of_day = epoch_ms % kMsPerDay;
    if (ms_of_day < 0) ms_of_day += kMsPerDay;
    int64_t year;
    unsigned month, day;
    civil_from_days(days, &year, &month, &day);
    char* p = out;
    // LocalDate's year: four digits at least, "+" above 9999, "-" before year 0.
    if (year > 9999) *p++ = '+';
    if (year < 0) *p++ = '-';
    uint64_t magnitude = year < 0 ? 0 - static_cast<uint64_t>(year) : static_cast<uint64_t>(year);
    if (magnitude <= 9999) {
        auto y = static_cast<unsigned>(magnitude);
        p = two_digits(p, y / 100);
        p = two_digits(p, y % 100);
    } else {
        char digits[24];
        char* end = std::to_chars(digits, digits + sizeof digits, magnitude).ptr;
        std::memcpy(p, digits, static_cast<size_t>(end - digits));
        p += end - digits;
    }
    *p++ = '-';
    p = two_digits(p, month);
    *p++ = '-';
    p = two_digits(p, day);
    *p++ = 'T';
    unsigned seconds = static_cast<unsigned>(ms_of_day / 1000);
    unsigned ms = static_cast<unsigned>(ms_of_day % 1000);
    p = two_digits(p, seconds / 3600);
    *p++ = ':';
    p = two_digits(p, seconds / 60 % 60);
    *p++ = ':';
    p = two_digits(p, seconds % 60);
    if (ms != 0) {
        *p++ = '.';
        *p++ = static_cast<char>('0' + ms / 100);
        p = two_digits(p, ms % 100);
    }
    *p++ = 'Z';
    return static_cast<size_t>(p - out);
}

double float_text_value(float value) {
    // std::to_chars gives the shortest decimal that reads back as `value`, the nearest of them to it.
    char text[32];
    char* end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
    const char* e = static_cast<const char*>(std::memchr(text, 'e', static_cast<size_t>(end - text)));
    bool one_digit = e && (e - text == 1 || (e - text == 2 && text[0] == '-'));
    if (!one_digit) return scientific_value(text, end);
    // Java writes at least two digits ("1.4E-45", not "1E-45"): of the two-digit decimals that read back as
    // `value`, the nearest. That is `value` rounded to two digits, which reads back for every one of the 747
    // float magnitudes whose shortest decimal has one digit (the tests go through them all).
    char two[32];
    char* two_end = std::to_chars(two, two + sizeof two, std::fabs(value), std::chars_format::scientific, 1).ptr;
    double nearest = parse<double>(two, two_end);
    return std::signbit(value) ? -nearest : nearest;  // -0.0 too
}

void base64_text(const uint8_t* data, size_t size, char* out) {
    static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    size_t i = 0;
    for (; i + 3 <= size; i += 3) {
        uint32_t v = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    if (size - i == 1) {
        uint32_t v = uint32_t{data[i]} << 16;
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = '=';
        *out++ = '=';
    } else if (size - i == 2) {
        uint32_t v = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8;
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = '=';
    }
}

}  // namespace velkora::wire
