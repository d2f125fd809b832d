// The host's text mode over bytes: when a program's output may be read as
// bytes and turned into text natively, and how.
//
// The host's subprocess text mode decodes the whole output with the default
// text encoding (strict errors), then turns "\r\n" and "\r" into "\n". When
// that encoding is UTF-8, the same text follows from the bytes: a strict
// UTF-8 check of the whole output (the host raises before any line is read
// when it fails), and lines ended by "\n", "\r\n" or "\r". Anything else is
// the host's to decode.
#pragma once

#include "support/core.hpp"

#include <cstddef>
#include <vector>

namespace orv::text {

// Whether the host's subprocess text mode, asked now, would decode strictly
// as UTF-8 and warn about nothing (the host's UTF-8 mode, or a locale whose
// encoding is UTF-8, and no EncodingWarning requested).
bool subprocess_text_is_utf8();

// A line of a byte buffer, without its line end.
struct Line {
    const char* begin;
    const char* end;
};

// Checks that `data` is UTF-8 as the host's strict decoder accepts it and
// splits it into lines at "\n", "\r\n" and "\r", in one pass. A final line
// without a line end is included; an empty buffer has no lines. False (and
// `lines` incomplete) when the bytes are not valid UTF-8.
bool split_utf8_lines(const char* data, size_t size, std::vector<Line>& lines);

// Whether `data` is UTF-8 as the host's strict decoder accepts it.
bool valid_utf8(const char* data, size_t size);

// Raises what bytes.decode("utf-8") raises for `data` (call it when the
// check failed: the host's UnicodeDecodeError, position and reason included).
[[noreturn]] void raise_utf8_error(handle data);

// Narrows [begin, end) of valid UTF-8 past the leading and trailing
// characters that the host's str.strip() removes.
void strip(const char*& begin, const char*& end);

// The text the host's text mode gives for valid UTF-8 bytes: decoded, with
// "\r\n" and "\r" read as "\n".
object decode_universal(const char* begin, const char* end);

}  // namespace orv::text
