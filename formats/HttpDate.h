#pragma once

#include "formats/Date.h"

#include <optional>
#include <string>
#include <string_view>

namespace norvane {

// HTTP date text. Always English names and GMT, whatever the process's locale and time zone are:
// these texts go on the wire (If-Modified-Since) and come back from servers (Last-Modified).

// "Sun, 06 Nov 1994 08:49:37 GMT". Fractions of a second are dropped (rounded down).
std::string rfc1123String(Date date);

// Accepts, in this order of trial:
//   RFC 1123  "Sun, 06 Nov 1994 08:49:37 GMT"
//   RFC 850   "Sunday, 06-Nov-94 08:49:37 GMT"
//   asctime   "Sun Nov  6 08:49:37 1994" (always GMT)
// Names are matched without regard to case, short and full names are both accepted, and a space
// matches any run of blanks. The weekday must be a real name but is not checked against the date.
// The zone of the first two forms is GMT, UTC, UT, Z, a North American zone of RFC 822 (EST, EDT,
// CST, CDT, MST, MDT, PST, PDT), or a numeric offset "+0900", "+09:00", "+09", optionally after
// GMT/UTC; the offset is applied. A two-digit year lies in the hundred years that start 80 years
// before the year of `now`; a four-digit year is taken as written. Out-of-range fields, trailing
// text and dates outside what Date can represent give nothing.
std::optional<Date> dateFromRFC1123(std::string_view text);
std::optional<Date> dateFromRFC1123(std::string_view text, Date now);

} // namespace norvane
