// UTF-8 bytes read as the host reads text: its strict decoder's sequences,
// and the ASCII part of its str whitespace.
#pragma once

#include <Python.h>

namespace orv::utf8 {

// The length of the UTF-8 sequence at p (p < end, *p >= 0x80) as the host's
// strict decoder accepts it, or 0: no overlong forms, no surrogates, nothing
// past U+10FFFF, no truncated sequence.
inline int sequence_length(const unsigned char* p, const unsigned char* end) {
    const unsigned char c = *p;
    int len;
    unsigned char lo = 0x80, hi = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (end - p < len) return 0;
    if (p[1] < lo || p[1] > hi) return 0;
    for (int i = 2; i < len; ++i)
        if (p[i] < 0x80 || p[i] > 0xBF) return 0;
    return len;
}

// The code point of a sequence that sequence_length accepted.
inline Py_UCS4 code_point(const unsigned char* p, int len) {
    Py_UCS4 cp = len == 2 ? (p[0] & 0x1F) : len == 3 ? (p[0] & 0x0F) : (p[0] & 0x07);
    for (int i = 1; i < len; ++i) cp = (cp << 6) | (p[i] & 0x3F);
    return cp;
}

// The host's str.strip() whitespace (Py_UNICODE_ISSPACE) within ASCII.
inline bool ascii_space(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f);
}

}  // namespace orv::utf8
