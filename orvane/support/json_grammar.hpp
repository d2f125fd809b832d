// Pieces of the JSON grammar that the native decoder and the in-place
// scanner must read alike.
#pragma once

namespace orv::json::grammar {

// Deeper documents are the host decoder's: it alone knows its recursion limit.
constexpr int kMaxDepth = 200;

inline int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The four hex digits at p as a code unit, or -1.
inline long hex4(const char* p) {
    long u = 0;
    for (int i = 0; i < 4; ++i) {
        const int d = hex_digit(p[i]);
        if (d < 0) return -1;
        u = (u << 4) | d;
    }
    return u;
}

}  // namespace orv::json::grammar
