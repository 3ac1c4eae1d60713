#include "convert.h"

#include <charconv>
#include <limits>

namespace vantrel::arrow {

namespace {

constexpr std::int64_t kNanosPerSecond = 1000000000;

// `n` decimal digits at s[i]: their value; false when any is not a digit.
bool digits(const char* s, std::size_t i, std::size_t n, std::int64_t& v) noexcept {
    v = 0;
    for (std::size_t k = 0; k < n; ++k) {
        const char c = s[i + k];
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    return true;
}

bool leap(std::int64_t y) noexcept { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned month_days(std::int64_t y, std::int64_t m) noexcept {
    static const unsigned days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && leap(y) ? 29u : days[m - 1];
}

// "YYYY-MM-DD" at s[0:10].
bool date_at(const char* s, std::size_t n, std::int64_t& days) noexcept {
    std::int64_t y = 0, m = 0, d = 0;
    if (n < 10 || s[4] != '-' || s[7] != '-' || !digits(s, 0, 4, y) || !digits(s, 5, 2, m) || !digits(s, 8, 2, d) ||
        y < 1 || m < 1 || m > 12 || d < 1 || d > month_days(y, m)) {
        return false;
    }
    days = days_from_civil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
    return true;
}

// "HH:MM[:SS[.f...]]" at s[i:n]: nanoseconds since midnight; `i` moved past it.
bool time_at(const char* s, std::size_t n, std::size_t& i, std::int64_t& nanos, std::int64_t max_hour) noexcept {
    std::int64_t h = 0, m = 0, sec = 0, frac = 0;
    if (n - i < 5 || s[i + 2] != ':' || !digits(s, i, 2, h) || !digits(s, i + 3, 2, m) || h > max_hour || m > 59) {
        return false;
    }
    i += 5;
    if (i < n && s[i] == ':') {
        if (n - i < 3 || !digits(s, i + 1, 2, sec) || sec > 59) {
            return false;
        }
        i += 3;
        if (i < n && s[i] == '.') {
            std::size_t k = 0;
            ++i;
            while (i + k < n && s[i + k] >= '0' && s[i + k] <= '9') {
                ++k;
            }
            if (k == 0 || k > 9) {
                return false;
            }
            digits(s, i, k, frac);
            for (std::size_t z = k; z < 9; ++z) {
                frac *= 10;
            }
            i += k;
        }
    }
    nanos = ((h * 60 + m) * 60 + sec) * kNanosPerSecond + frac;
    return true;
}

}  // namespace

bool exact_double(std::int64_t v) noexcept {
    constexpr std::int64_t kExact = std::int64_t{1} << 53;
    if (v >= -kExact && v <= kExact) {
        return true;
    }
    const auto d = static_cast<double>(v);
    return d < 9223372036854775808.0 && d >= -9223372036854775808.0 && static_cast<std::int64_t>(d) == v;
}

bool exact_double(std::uint64_t v) noexcept {
    const auto d = static_cast<double>(v);
    return d < 18446744073709551616.0 && static_cast<std::uint64_t>(d) == v;
}

bool exact_float(std::int64_t v) noexcept {
    const auto f = static_cast<float>(v);
    return f < 9223372036854775808.0f && f >= -9223372036854775808.0f && static_cast<std::int64_t>(f) == v;
}

bool exact_float(std::uint64_t v) noexcept {
    const auto f = static_cast<float>(v);
    return f < 18446744073709551616.0f && static_cast<std::uint64_t>(f) == v;
}

std::int64_t unit_nanos(TimeUnit u) noexcept {
    switch (u) {
        case TimeUnit::Second: return kNanosPerSecond;
        case TimeUnit::Milli: return 1000000;
        case TimeUnit::Micro: return 1000;
        case TimeUnit::Nano: break;
    }
    return 1;
}

bool to_units(std::int64_t seconds, std::int64_t nanos, TimeUnit unit, std::int64_t& out) noexcept {
    const std::int64_t per = unit_nanos(unit);
    if (nanos % per != 0) {
        return false;
    }
    std::int64_t v = 0;
    return !__builtin_mul_overflow(seconds, kNanosPerSecond / per, &v) && !__builtin_add_overflow(v, nanos / per, &out);
}

std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept {
    // (the algorithm of H. Hinnant's "chrono-Compatible Low-Level Date Algorithms")
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool parse_date(const char* s, std::size_t n, std::int64_t& days) noexcept {
    return n == 10 && date_at(s, n, days);
}

bool parse_time(const char* s, std::size_t n, std::int64_t& nanos) noexcept {
    std::size_t i = 0;
    return time_at(s, n, i, nanos, 23) && i == n;
}

bool parse_datetime(const char* s, std::size_t n, std::int64_t& seconds, std::int64_t& nanos) noexcept {
    std::int64_t days = 0, clock = 0;
    std::size_t i = 11;
    if (n < 16 || !date_at(s, n, days) || (s[10] != 'T' && s[10] != ' ') || !time_at(s, n, i, clock, 23)) {
        return false;
    }
    std::int64_t offset = 0;  // the zone's offset from UTC, in nanoseconds
    if (i < n && s[i] == 'Z') {
        ++i;
    } else if (i < n && (s[i] == '+' || s[i] == '-')) {
        const bool minus = s[i] == '-';
        ++i;
        if (!time_at(s, n, i, offset, 23)) {
            return false;
        }
        offset = minus ? -offset : offset;
    }
    if (i != n) {
        return false;
    }
    const std::int64_t total = clock - offset;  // nanoseconds from the day's start, UTC
    const std::int64_t day_shift = total >= 0 ? total / (86400 * kNanosPerSecond)
                                              : -((-total + 86400 * kNanosPerSecond - 1) / (86400 * kNanosPerSecond));
    const std::int64_t in_day = total - day_shift * 86400 * kNanosPerSecond;
    seconds = (days + day_shift) * 86400 + in_day / kNanosPerSecond;
    nanos = in_day % kNanosPerSecond;
    return true;
}

bool parse_decimal(const char* s, std::size_t n, int precision, int scale, Int128& out) noexcept {
    std::size_t i = 0;
    bool minus = false;
    if (i < n && (s[i] == '-' || s[i] == '+')) {
        minus = s[i] == '-';
        ++i;
    }
    Int128 v = 0;
    int used = 0;        // significant digits kept
    int frac = 0;        // digits after the point
    bool any = false, point = false, dropped_nonzero = false;
    int exponent = 0;
    const Int128 kLimit = static_cast<Int128>(1) << 120;
    for (; i < n; ++i) {
        const char c = s[i];
        if (c == '.' && !point) {
            point = true;
            continue;
        }
        if (c == 'e' || c == 'E') {
            break;
        }
        if (c < '0' || c > '9') {
            return false;
        }
        any = true;
        if (v >= kLimit) {  // beyond any precision: only zeros after the point may be dropped
            if (!point || c != '0') {
                return false;
            }
            dropped_nonzero = dropped_nonzero || c != '0';
            continue;
        }
        v = v * 10 + (c - '0');
        used += v != 0;
        frac += point;
    }
    if (!any) {
        return false;
    }
    if (i < n) {  // an exponent
        ++i;
        bool eminus = false;
        if (i < n && (s[i] == '-' || s[i] == '+')) {
            eminus = s[i] == '-';
            ++i;
        }
        std::int64_t e = 0;
        if (i == n || n - i > 4 || !digits(s, i, n - i, e)) {
            return false;
        }
        exponent = static_cast<int>(eminus ? -e : e);
    }
    static_cast<void>(used);
    // v * 10**(exponent - frac) as a count of 10**-scale
    int shift = scale - frac + exponent;
    for (; shift < 0; ++shift) {
        if (v % 10 != 0) {
            return false;  // it would round
        }
        v /= 10;
    }
    Int128 limit = 1;
    for (int k = 0; k < precision; ++k) {
        limit *= 10;
    }
    for (; shift > 0; --shift) {
        if (v > limit / 10) {
            return false;
        }
        v *= 10;
    }
    if (v >= limit || dropped_nonzero) {
        return false;
    }
    out = minus ? -v : v;
    return true;
}

bool int_decimal(const msgpack::Item& item, int precision, int scale, Int128& out) noexcept {
    if (huge_int(item)) {
        return parse_decimal(item.data, item.len, precision, scale, out);
    }
    char buf[32];
    auto done = item.kind == msgpack::Kind::Int ? std::to_chars(buf, buf + sizeof buf, item.i)
                                                 : std::to_chars(buf, buf + sizeof buf, item.u);
    return parse_decimal(buf, static_cast<std::size_t>(done.ptr - buf), precision, scale, out);
}

}  // namespace vantrel::arrow
