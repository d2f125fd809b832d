// JSON read in place: the grammar check, member and element walks, strings.
//
// The grammar is the host decoder's strict one (see json_decode.cpp): the
// same whitespace, literals, number forms, escapes and refusal of raw
// control characters in strings. Where the host might answer otherwise than
// "valid" for reasons beyond the grammar (its integer digit limit, its
// recursion limit), the check declines.
#include "support/json_scan.hpp"

#include "support/json_grammar.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orv::json {

namespace {

using grammar::hex4;
using grammar::kMaxDepth;

constexpr size_t kMaxIntDigits = 600;  // below any digit limit the host accepts (640)

inline bool is_ws(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
inline bool is_digit(char c) { return c >= '0' && c <= '9'; }

inline const char* skip_ws(const char* p, const char* end) {
    while (p < end && is_ws(*p)) ++p;
    return p;
}

// For each byte after a backslash: the length of the escape it starts (2,
// or 6 for \u and its four hex digits), 0 for none.
constexpr auto kEscapeLength = [] {
    std::array<unsigned char, 256> table{};
    for (unsigned char c : {'"', '\\', '/', 'b', 'f', 'n', 'r', 't'}) table[c] = 2;
    table['u'] = 6;
    return table;
}();

// 1 for the bytes that are hex digits.
constexpr auto kHex = [] {
    std::array<unsigned char, 256> table{};
    for (int c = '0'; c <= '9'; ++c) table[c] = 1;
    for (int c = 'a'; c <= 'f'; ++c) table[c] = 1;
    for (int c = 'A'; c <= 'F'; ++c) table[c] = 1;
    return table;
}();

// The length of the escape at p ('\\' then one of "\\/bfnrt, or 'u' and four
// hex digits), or 0 when it is invalid or cut short. Escapes are dense in
// real text (line breaks, quotes, \u of non-ASCII text), so the common case
// is decided by table without a branch on the escape's kind.
inline int escape_length(const char* p, const char* end) {
    if (end - p < 6) {
        if (end - p < 2) return 0;
        const int len = kEscapeLength[static_cast<unsigned char>(p[1])];
        return len == 2 ? 2 : 0;  // no room for \u and its digits
    }
    auto* u = reinterpret_cast<const unsigned char*>(p);
    const int len = kEscapeLength[u[1]];
    const int hex = kHex[u[2]] & kHex[u[3]] & kHex[u[4]] & kHex[u[5]];
    return len == 6 && !hex ? 0 : len;
}

#if defined(__SSE2__)
// Bit i set where byte i of the 64 at p is a quote, a backslash or a
// control character: the bytes that end a run of plain string text.
inline uint64_t string_stops(const char* p) {
    const __m128i quote = _mm_set1_epi8('"'), slash = _mm_set1_epi8('\\'),
                  control = _mm_set1_epi8(0x1F);
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const __m128i stop = _mm_or_si128(
            _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, slash)),
            _mm_cmpeq_epi8(_mm_max_epu8(v, control), control));
        mask |= static_cast<uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(stop))) << (16 * i);
    }
    return mask;
}
#endif

// Past the closing quote of the string whose text starts at p (just after
// its opening quote), or nullptr. Text is taken 64 bytes at a time; the
// escapes inside a block are checked without leaving it.
const char* skip_string(const char* p, const char* end) {
#if defined(__SSE2__)
    while (end - p >= 64) {
        uint64_t stops = string_stops(p);
        const char* next = p + 64;
        while (stops) {
            const char* s = p + __builtin_ctzll(stops);
            if (*s == '"') return s + 1;
            if (*s != '\\') return nullptr;  // a raw control character
            const int len = escape_length(s, end);
            if (!len) return nullptr;
            const ptrdiff_t past = s + len - p;
            if (past >= 64) {
                next = s + len;
                break;
            }
            stops &= ~uint64_t{0} << past;
        }
        p = next;
    }
#endif
    while (p < end) {
        const unsigned char c = static_cast<unsigned char>(*p);
        if (c == '"') return p + 1;
        if (c == '\\') {
            const int len = escape_length(p, end);
            if (!len) return nullptr;
            p += len;
            continue;
        }
        if (c < 0x20) return nullptr;
        ++p;
    }
    return nullptr;
}

inline bool literal(const char* p, const char* end, const char* word, size_t n) {
    return static_cast<size_t>(end - p) >= n && std::memcmp(p, word, n) == 0;
}

// A number as the host's scanner reads it: "-"? int frac? exp?, where a "."
// or exponent without a digit after it is left for the caller to refuse.
const char* skip_number(const char* p, const char* end) {
    const char* q = p;
    if (*q == '-') ++q;
    if (q == end) return nullptr;
    const char* digits = q;
    if (*q == '0') {
        ++q;
    } else if (*q >= '1' && *q <= '9') {
        while (q < end && is_digit(*q)) ++q;
    } else {
        return nullptr;
    }
    const size_t int_digits = static_cast<size_t>(q - digits);
    bool is_float = false;
    if (end - q >= 2 && *q == '.' && is_digit(q[1])) {
        q += 2;
        while (q < end && is_digit(*q)) ++q;
        is_float = true;
    }
    if (q < end && (*q == 'e' || *q == 'E')) {
        const char* e = q + 1;
        if (e < end && (*e == '+' || *e == '-')) ++e;
        if (e < end && is_digit(*e)) {
            while (e < end && is_digit(*e)) ++e;
            q = e;
            is_float = true;
        }
    }
    // A long integer meets the host's digit limit, which is set at run time.
    if (!is_float && int_digits > kMaxIntDigits) return nullptr;
    return q;
}

const char* skip(const char* p, const char* end, int depth) {
    if (p >= end) return nullptr;
    switch (*p) {
        case '"':
            return skip_string(p + 1, end);
        case '{': {
            if (depth >= kMaxDepth) return nullptr;
            Members members(Span{p, end}, depth);
            Span key, value;
            while (members.next(key, value)) {
            }
            return members.ok() ? members.end() : nullptr;
        }
        case '[': {
            if (depth >= kMaxDepth) return nullptr;
            Elements elements(Span{p, end}, depth);
            Span value;
            while (elements.next(value)) {
            }
            return elements.ok() ? elements.end() : nullptr;
        }
        case 't': return literal(p, end, "true", 4) ? p + 4 : nullptr;
        case 'f': return literal(p, end, "false", 5) ? p + 5 : nullptr;
        case 'n': return literal(p, end, "null", 4) ? p + 4 : nullptr;
        case 'N': return literal(p, end, "NaN", 3) ? p + 3 : nullptr;
        case 'I': return literal(p, end, "Infinity", 8) ? p + 8 : nullptr;
        case '-':
            if (literal(p, end, "-Infinity", 9)) return p + 9;
            return skip_number(p, end);
        default:
            return is_digit(*p) ? skip_number(p, end) : nullptr;
    }
}

void put_utf8(std::string& out, unsigned long cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Appends the decoded text between the quotes of a checked string span.
bool unescape(Span s, std::string& out) {
    const char* p = s.begin + 1;
    const char* const end = s.end - 1;
    while (p < end) {
        const char* slash = static_cast<const char*>(std::memchr(p, '\\', static_cast<size_t>(end - p)));
        if (!slash) slash = end;
        out.append(p, static_cast<size_t>(slash - p));
        p = slash;
        if (p == end) break;
        const char e = p[1];
        p += 2;
        switch (e) {
            case 'b': out += '\b'; continue;
            case 'f': out += '\f'; continue;
            case 'n': out += '\n'; continue;
            case 'r': out += '\r'; continue;
            case 't': out += '\t'; continue;
            case 'u': break;
            default: out += e; continue;  // '"', '\\' or '/'
        }
        unsigned long cp = static_cast<unsigned long>(hex4(p));
        p += 4;
        // A high surrogate followed by a low one is one character, as the
        // host's decoder joins them; any other surrogate stays alone.
        if (cp >= 0xD800 && cp <= 0xDBFF && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
            const long low = hex4(p + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + (((cp - 0xD800) << 10) | static_cast<unsigned long>(low - 0xDC00));
                p += 6;
            }
        }
        if (cp >= 0xD800 && cp <= 0xDFFF) return false;
        put_utf8(out, cp);
    }
    return true;
}

}  // namespace

bool Walk::step(char close) {
    if (!ok_) return false;
    p_ = skip_ws(p_, end_);
    if (p_ == end_) return ok_ = false;
    if (*p_ == close) {
        // The end; after a comma an item must follow, so "[1,]" is refused below.
        ++p_;
        return false;
    }
    if (!first_) {
        if (*p_ != ',') return ok_ = false;
        p_ = skip_ws(p_ + 1, end_);
    }
    first_ = false;
    return p_ != end_ || (ok_ = false);
}

bool Walk::value(Span& value) {
    const char* value_end = skip(p_, end_, depth_ + 1);
    value = Span{p_, value_end};
    return value_ends(value_end);
}

bool Walk::value_ends(const char* value_end) {
    if (!value_end) return ok_ = false;
    p_ = value_end;
    return true;
}

bool Members::next_key(Span& key) {
    if (!step('}')) return false;
    if (*p_ != '"') return ok_ = false;
    const char* key_end = skip_string(p_ + 1, end_);
    if (!key_end) return ok_ = false;
    key = Span{p_, key_end};
    p_ = skip_ws(key_end, end_);
    if (p_ == end_ || *p_ != ':') return ok_ = false;
    p_ = skip_ws(p_ + 1, end_);
    return true;
}

bool string_is(Span s, std::string_view text) {
    if (!s.present() || s.first() != '"') return false;
    const std::string_view inner(s.begin + 1, s.size() - 2);
    if (inner.find('\\') == std::string_view::npos) return inner == text;
    std::string decoded;
    return unescape(s, decoded) && decoded == text;
}

bool append_string(Span s, std::string& out) {
    const size_t before = out.size();
    if (unescape(s, out)) return true;
    out.resize(before);
    return false;
}

}  // namespace orv::json
