// The conversions of one value into the value of a column of another kind
// than its own: ints into narrower ints and floats, MessagePack timestamps
// and ISO-8601 text into timestamps, dates and times, numbers and text into
// decimals.  Each one is exact or refuses: false, and nothing stored.
// Nothing here touches Python.
#pragma once

#include <cstddef>
#include <cstdint>

#include "types.h"

namespace vantrel::arrow {

__extension__ using Int128 = __int128;

// Whether an int (int64 or uint64) has a double (or float) of the very same
// value.
bool exact_double(std::int64_t v) noexcept;
bool exact_double(std::uint64_t v) noexcept;
bool exact_float(std::int64_t v) noexcept;
bool exact_float(std::uint64_t v) noexcept;

// The value of one unit in nanoseconds (1 for ns ... 10**9 for s).
std::int64_t unit_nanos(TimeUnit u) noexcept;

// seconds + nanos as a count of `unit`; false when it is not a whole number
// of units or beyond int64.
bool to_units(std::int64_t seconds, std::int64_t nanos, TimeUnit unit, std::int64_t& out) noexcept;

// The days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) noexcept;

// ISO-8601 text as datetime.isoformat() and date.isoformat() write it:
// "YYYY-MM-DD" (a date), "HH:MM[:SS[.f...]]" (a time), and
// "YYYY-MM-DD[T ]HH:MM[:SS[.f...]][Z|(+|-)HH:MM[:SS[.f...]]]" (a datetime,
// its zone's offset taken away: seconds since the epoch, UTC).  One to nine
// digits of fraction.  False for any other text.
bool parse_date(const char* s, std::size_t n, std::int64_t& days) noexcept;
bool parse_time(const char* s, std::size_t n, std::int64_t& nanos) noexcept;
bool parse_datetime(const char* s, std::size_t n, std::int64_t& seconds, std::int64_t& nanos) noexcept;

// A decimal number as text ("-12.50", "3", "1e-2"), as an integer count of
// 10**-scale with at most `precision` digits; false when it would round or
// does not fit.
bool parse_decimal(const char* s, std::size_t n, int precision, int scale, Int128& out) noexcept;
// An int as such a count.
bool int_decimal(const msgpack::Item& item, int precision, int scale, Int128& out) noexcept;

}  // namespace vantrel::arrow
