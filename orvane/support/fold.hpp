// Literal text matched as the host's `re` matches it in a str pattern
// compiled with IGNORECASE, so that native scanners find exactly what the
// host's regular expressions find, in one pass.
//
// sre folds case this way (Unicode rules, the default for str patterns): a
// pattern character without case matches only itself; a cased one is lowered
// with the simple lowercase mapping, and a text character matches when its
// own simple lowercase is that character or one of the "extra cases" the
// host's re keeps for characters that share an uppercase (the long s for "s",
// the dotless i for "i", the micro sign for mu, ...). So "s" matches S and
// U+017F, "i" matches I, U+0130 and U+0131, and "k" matches U+212A (the
// Kelvin sign lowers to "k"). The extra cases are read from the host's own
// table, so the rules are the host's for whichever version runs.
#pragma once

#include "support/core.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <string_view>
#include <vector>

namespace orv::fold {

// The simple lowercase mapping sre applies to both sides of a comparison.
inline Py_UCS4 lower(Py_UCS4 c) {
    if (c < 128) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    return _PyUnicode_ToLowercase(c);
}

// sre's test for a character that has case.
inline bool cased(Py_UCS4 c) { return c != lower(c) || c != _PyUnicode_ToUppercase(c); }

// `\s` of a str pattern; also exactly what str.strip() and str.split() treat
// as white space.
inline bool is_space(Py_UCS4 c) { return Py_UNICODE_ISSPACE(c); }

// One position of a literal: a character compared as sre compares it under
// IGNORECASE, or a class of characters without case (such as ["']), which
// sre compares exactly.
class Char {
public:
    // Needs the host's tables: build at module initialisation, with the GIL.
    static Char folded(Py_UCS4 c);
    static Char one_of(std::u32string_view chars);

    bool operator()(Py_UCS4 x) const { return x < 256 ? latin1_[x] : slow(x); }
    // The one character this position accepts, or 0 when it accepts several.
    Py_UCS4 single() const { return !fold_ && count_ == 1 ? accepted_[0] : 0; }

private:
    bool slow(Py_UCS4 x) const;
    void fill_latin1();

    std::array<bool, 256> latin1_{};
    bool fold_ = false;       // compare lower(x) rather than x
    uint8_t count_ = 0;
    std::array<Py_UCS4, 8> accepted_{};
};

// The first index in [from, until) holding `c`, or `until`.
template <typename C>
Py_ssize_t find_char(const C* text, Py_ssize_t from, Py_ssize_t until, Py_UCS4 c) {
    if (from >= until) return until;
    if constexpr (sizeof(C) == 1) {
        if (c > 0xFF) return until;
        // Markup is dense: look at the next few characters before paying for a call.
        const Py_ssize_t near = std::min(until, from + 16);
        for (; from < near; ++from)
            if (text[from] == c) return from;
        if (from == until) return until;
        const void* hit = std::memchr(text + from, static_cast<int>(c), static_cast<size_t>(until - from));
        return hit ? static_cast<const C*>(hit) - text : until;
    } else {
        for (Py_ssize_t i = from; i < until; ++i)
            if (text[i] == c) return i;
        return until;
    }
}

// A fixed-length literal of a str pattern compiled with IGNORECASE.
class Literal {
public:
    // Every character is matched as sre matches it under IGNORECASE; a
    // bracketed run such as ["'] is one position accepting any of the
    // characters inside (characters without case only). Needs the host's
    // tables: build at module initialisation, with the GIL.
    explicit Literal(std::u32string_view pattern);

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(chars_.size()); }

    // Whether the literal matches text[pos:pos + size()].
    template <typename C>
    bool at(const C* text, Py_ssize_t n, Py_ssize_t pos) const {
        if (pos < 0 || n - pos < size()) return false;
        for (size_t i = 0; i < chars_.size(); ++i)
            if (!chars_[i](text[pos + static_cast<Py_ssize_t>(i)])) return false;
        return true;
    }

    // The first position in [from, until) where the literal starts (and
    // fits before n), or -1.
    template <typename C>
    Py_ssize_t find(const C* text, Py_ssize_t n, Py_ssize_t from, Py_ssize_t until) const {
        const Py_ssize_t last = std::min(until, n - size() + 1);
        if (from < 0) from = 0;
        if (const Py_UCS4 lead = chars_.front().single()) {
            for (Py_ssize_t p = find_char(text, from, last, lead); p < last;
                 p = find_char(text, p + 1, last, lead))
                if (at(text, n, p)) return p;
            return -1;
        }
        for (Py_ssize_t p = from; p < last; ++p)
            if (at(text, n, p)) return p;
        return -1;
    }

private:
    std::vector<Char> chars_;
};

// Calls f(data, length) with the code units of an str of any width
// (Py_UCS1, Py_UCS2 or Py_UCS4), so one template scans all three.
template <typename F>
decltype(auto) with_chars(PyObject* str, F&& f) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: return f(PyUnicode_1BYTE_DATA(str), n);
        case PyUnicode_2BYTE_KIND: return f(PyUnicode_2BYTE_DATA(str), n);
        default: return f(PyUnicode_4BYTE_DATA(str), n);
    }
}

// An str of the given code units, in the host's canonical (narrowest) form.
template <typename C>
object make_str(const C* units, Py_ssize_t n) {
    constexpr int kind = sizeof(C) == 1 ? PyUnicode_1BYTE_KIND
                         : sizeof(C) == 2 ? PyUnicode_2BYTE_KIND
                                          : PyUnicode_4BYTE_KIND;
    return own(PyUnicode_FromKindAndData(kind, units, n));
}

}  // namespace orv::fold
