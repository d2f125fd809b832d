// Text mode over bytes: the UTF-8 check, universal-newline lines, str.strip().
#include "support/text_mode.hpp"

#include "support/host.hpp"
#include "support/utf8.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace orv::text {

namespace {

Name k_sys{"sys"}, k_flags{"flags"}, k_utf8_mode{"utf8_mode"},
    k_warn_default_encoding{"warn_default_encoding"}, k_locale{"locale"},
    k_getencoding{"getencoding"}, k_codecs{"codecs"}, k_lookup{"lookup"};

#if defined(__SSE2__)
// Bit i set where byte i of the 64 at p is a line end or not ASCII.
inline uint64_t line_stops(const unsigned char* p) {
    const __m128i nl = _mm_set1_epi8('\n'), cr = _mm_set1_epi8('\r');
    uint64_t mask = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const unsigned bits =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, nl), _mm_cmpeq_epi8(v, cr)))) |
            static_cast<unsigned>(_mm_movemask_epi8(v));
        mask |= static_cast<uint64_t>(bits) << (16 * i);
    }
    return mask;
}
#endif

}  // namespace

bool subprocess_text_is_utf8() {
    object flags = getattr(host_module(k_sys), k_flags);
    // An EncodingWarning is the host's to give, from its own text mode.
    if (truth(getattr(flags, k_warn_default_encoding).ptr())) return false;
    if (truth(getattr(flags, k_utf8_mode).ptr())) return true;
    object encoding = call_method(host_module(k_locale), k_getencoding);
    object info;
    try {
        info = call_method(host_module(k_codecs), k_lookup, encoding);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_LookupError)) throw;
        return false;  // the host's text mode will say what is wrong
    }
    object name = getattr(info, k_name);
    return PyUnicode_Check(name.ptr()) && PyUnicode_CompareWithASCIIString(name.ptr(), "utf-8") == 0;
}

bool split_utf8_lines(const char* data, size_t size, std::vector<Line>& lines) {
    auto* p = reinterpret_cast<const unsigned char*>(data);
    auto* const end = p + size;
    const unsigned char* line = p;
    // A line end or a UTF-8 sequence at s; the first byte after it.
    auto stop = [&](const unsigned char* s) -> const unsigned char* {
        if (*s >= 0x80) {
            const int len = utf8::sequence_length(s, end);
            return len ? s + len : nullptr;
        }
        lines.push_back({reinterpret_cast<const char*>(line), reinterpret_cast<const char*>(s)});
        line = s + ((*s == '\r' && s + 1 < end && s[1] == '\n') ? 2 : 1);
        return line;
    };
#if defined(__SSE2__)
    // 64 bytes at a time; the stops inside a block are handled without
    // leaving it.
    while (end - p >= 64) {
        uint64_t stops = line_stops(p);
        const unsigned char* next = p + 64;
        while (stops) {
            const unsigned char* after = stop(p + __builtin_ctzll(stops));
            if (!after) return false;
            const ptrdiff_t past = after - p;
            if (past >= 64) {
                next = after;
                break;
            }
            stops &= ~uint64_t{0} << past;
        }
        p = next;
    }
#endif
    while (p < end) {
        if (*p != '\n' && *p != '\r' && *p < 0x80) {
            ++p;
            continue;
        }
        p = stop(p);
        if (!p) return false;
    }
    if (line < end) lines.push_back({reinterpret_cast<const char*>(line), reinterpret_cast<const char*>(end)});
    return true;
}

bool valid_utf8(const char* data, size_t size) {
    auto* p = reinterpret_cast<const unsigned char*>(data);
    auto* const end = p + size;
    for (;;) {
#if defined(__SSE2__)
        while (end - p >= 16 &&
               !_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))))
            p += 16;
#endif
        while (p < end && *p < 0x80) ++p;
        if (p == end) return true;
        const int len = utf8::sequence_length(p, end);
        if (!len) return false;
        p += len;
    }
}

void raise_utf8_error(handle data) {
    char* bytes;
    Py_ssize_t size;
    must(PyBytes_AsStringAndSize(data.ptr(), &bytes, &size));
    // The host's decoder raises; should it not, the check and it disagree.
    own(PyUnicode_DecodeUTF8(bytes, size, "strict"));
    raise(PyExc_SystemError, "bytes the UTF-8 check refused were decoded");
}

void strip(const char*& begin, const char*& end) {
    auto* a = reinterpret_cast<const unsigned char*>(begin);
    auto* b = reinterpret_cast<const unsigned char*>(end);
    while (a < b) {
        if (*a < 0x80) {
            if (!utf8::ascii_space(*a)) break;
            ++a;
            continue;
        }
        const int len = utf8::sequence_length(a, b);
        if (!len || !Py_UNICODE_ISSPACE(utf8::code_point(a, len))) break;
        a += len;
    }
    while (b > a) {
        if (b[-1] < 0x80) {
            if (!utf8::ascii_space(b[-1])) break;
            --b;
            continue;
        }
        const unsigned char* start = b - 1;
        while (start > a && (*start & 0xC0) == 0x80) --start;
        const int len = utf8::sequence_length(start, b);
        if (!len || start + len != b || !Py_UNICODE_ISSPACE(utf8::code_point(start, len))) break;
        b = start;
    }
    begin = reinterpret_cast<const char*>(a);
    end = reinterpret_cast<const char*>(b);
}

object decode_universal(const char* begin, const char* end) {
    object text = own(PyUnicode_DecodeUTF8(begin, end - begin, "strict"));
    if (!std::memchr(begin, '\r', static_cast<size_t>(end - begin))) return text;
    // The host's own replacements, in its order.
    text = call_method(text, k_replace, "\r\n", "\n");
    return call_method(text, k_replace, "\r", "\n");
}

}  // namespace orv::text
