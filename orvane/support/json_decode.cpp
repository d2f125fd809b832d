// JSON decoding into host objects, value for value what json.loads returns.
//
// The grammar is the host decoder's strict one: whitespace is space, tab, CR
// and LF; NaN, Infinity and -Infinity are accepted; control characters may
// not appear raw inside strings; \u escapes may leave lone surrogates, and a
// high surrogate escape directly followed by a low one joins them. Integers
// of any size go through the host's int parsing (its digit limit included),
// and floats round exactly as float() does (correctly, to nearest). Anything
// else declines.
#include "support/json.hpp"

#include "support/host.hpp"
#include "support/json_grammar.hpp"
#include "support/utf8.hpp"

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>

namespace orv::json {

namespace {

// A hash of n bytes at s; `readable` bytes from s on may be loaded, which
// lets short strings be read with one load instead of a byte copy.
inline uint64_t hash_bytes(const char* s, size_t n, size_t readable) {
    uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, s + i, 8);
        h = (h ^ w) * 0xFF51AFD7ED558CCDull;
        h ^= h >> 32;
    }
    const size_t rest = n - i;
    uint64_t w = 0;
    if (rest && readable - i >= 8) {
        std::memcpy(&w, s + i, 8);
        w &= ~uint64_t{0} >> (64 - 8 * rest);
    } else if (rest) {
        std::memcpy(&w, s + i, rest);
    }
    h = (h ^ w) * 0xC4CEB9FE1A85EC53ull;
    return h ^ (h >> 29);
}

// An ASCII str holding exactly these bytes.
inline PyObject* ascii_str(const char* s, size_t n) {
    PyObject* o = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (o) std::memcpy(PyUnicode_1BYTE_DATA(o), s, n);
    return o;
}

inline bool same_ascii(PyObject* str, const char* s, size_t n) {
    if (PyUnicode_GET_LENGTH(str) != static_cast<Py_ssize_t>(n)) return false;
    const char* d = reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(str));
    // Short keys and values are the common case: compare them word by word
    // rather than through a library call.
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t a, b;
        std::memcpy(&a, d + i, 8);
        std::memcpy(&b, s + i, 8);
        if (a != b) return false;
    }
    for (; i < n; ++i)
        if (d[i] != s[i]) return false;
    return true;
}

// Exact powers of ten as doubles: a product or quotient with one of them
// rounds correctly when the mantissa has at most 15 digits (Clinger).
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

using grammar::hex4;
using grammar::kMaxDepth;
constexpr size_t kMaxCachedKey = 64;    // longer keys are rarely repeated
constexpr size_t kMaxCachedValue = 24;  // ids and timestamps are longer and unique

// The objects the host decoder gives for NaN, Infinity and -Infinity. It hands
// out the same three floats every time, so two documents holding NaN compare
// equal (containers compare items by identity first); ours must too.
PyObject* g_constants[3] = {nullptr, nullptr, nullptr};

Name k_default_decoder{"_default_decoder"}, k_parse_constant{"parse_constant"};

PyObject* constant(int which, double value) {
    if (PyObject* c = g_constants[which]) return Py_NewRef(c);
    return PyFloat_FromDouble(value);
}

}  // namespace

// Escape-free ASCII strings seen before: keys in a growing open-addressed
// table, short values in a direct-mapped one where newcomers evict.
struct Decoder::Cache {
    struct Slot {
        uint64_t hash;
        PyObject* str;
    };
    std::vector<Slot> keys;
    size_t key_count = 0;
    std::vector<Slot> values;

    ~Cache() {
        for (auto& s : keys) Py_XDECREF(s.str);
        for (auto& s : values) Py_XDECREF(s.str);
    }

    PyObject* key(const char* s, size_t n, size_t readable) {
        if (n > kMaxCachedKey) return ascii_str(s, n);
        if (keys.empty()) keys.assign(256, Slot{0, nullptr});
        const uint64_t h = hash_bytes(s, n, readable);
        size_t mask = keys.size() - 1;
        for (size_t i = h & mask;; i = (i + 1) & mask) {
            Slot& slot = keys[i];
            if (!slot.str) {
                // Interned, so that lookups with the library's own interned
                // names find it by identity.
                PyObject* o = ascii_str(s, n);
                if (!o) return nullptr;
                PyUnicode_InternInPlace(&o);
                if (key_count * 2 >= keys.size()) {
                    if (keys.size() >= (1u << 16)) return o;  // full: stop sharing
                    grow();
                    return insert_key(h, o);
                }
                slot = Slot{h, o};
                ++key_count;
                Py_INCREF(o);
                return o;
            }
            if (slot.hash == h && same_ascii(slot.str, s, n)) {
                Py_INCREF(slot.str);
                return slot.str;
            }
        }
    }

    PyObject* insert_key(uint64_t h, PyObject* o) {
        size_t mask = keys.size() - 1;
        size_t i = h & mask;
        while (keys[i].str) i = (i + 1) & mask;
        keys[i] = Slot{h, o};
        ++key_count;
        Py_INCREF(o);
        return o;
    }

    void grow() {
        std::vector<Slot> old(keys.size() * 2, Slot{0, nullptr});
        old.swap(keys);
        size_t mask = keys.size() - 1;
        for (auto& s : old) {
            if (!s.str) continue;
            size_t i = s.hash & mask;
            while (keys[i].str) i = (i + 1) & mask;
            keys[i] = s;
        }
    }

    PyObject* value(const char* s, size_t n, size_t readable) {
        if (n > kMaxCachedValue) return ascii_str(s, n);
        if (values.empty()) values.assign(4096, Slot{0, nullptr});
        const uint64_t h = hash_bytes(s, n, readable);
        Slot& slot = values[h & (values.size() - 1)];
        if (slot.str && slot.hash == h && same_ascii(slot.str, s, n)) {
            Py_INCREF(slot.str);
            return slot.str;
        }
        PyObject* o = ascii_str(s, n);
        if (!o) return nullptr;
        Py_XDECREF(slot.str);
        Py_INCREF(o);
        slot = Slot{h, o};
        return o;
    }
};

void Decoder::load_constants() {
    // The default decoder's own constant table, asked once.
    static const char* const names[] = {"NaN", "Infinity", "-Infinity"};
    try {
        nb::object parse = getattr(getattr(host_module(k_json), k_default_decoder), k_parse_constant);
        for (int i = 0; i < 3; ++i) {
            nb::object c = parse(names[i]);
            if (!g_constants[i] && PyFloat_CheckExact(c.ptr())) g_constants[i] = c.release().ptr();
        }
    } catch (nb::python_error&) {
        // Not there in this host: fresh floats of the same values will do.
    }
}

Decoder::Decoder() : cache_(new Cache) {}

Decoder::~Decoder() {
    for (PyObject* o : stack_) Py_DECREF(o);
    delete cache_;
}

PyObject* Decoder::decode(const char* text, size_t size) {
    // Values left over from a decode that a C++ exception cut short.
    while (!stack_.empty()) {
        Py_DECREF(stack_.back());
        stack_.pop_back();
    }
    p_ = text;
    end_ = text + size;
    skip_ws();
    PyObject* v = value(0);
    if (v) {
        skip_ws();
        if (p_ == end_) return v;
        Py_DECREF(v);
    }
    // Declined: whatever went wrong is the host decoder's to report.
    PyErr_Clear();
    return nullptr;
}

PyObject* Decoder::value(int depth) {
    if (p_ >= end_) return nullptr;
    switch (*p_) {
        case '"':
            ++p_;
            return string(false);
        case '{':
            return depth < kMaxDepth ? object(depth + 1) : nullptr;
        case '[':
            return depth < kMaxDepth ? array(depth + 1) : nullptr;
        case 'n':
            if (end_ - p_ >= 4 && std::memcmp(p_, "null", 4) == 0) {
                p_ += 4;
                Py_RETURN_NONE;
            }
            return nullptr;
        case 't':
            if (end_ - p_ >= 4 && std::memcmp(p_, "true", 4) == 0) {
                p_ += 4;
                Py_RETURN_TRUE;
            }
            return nullptr;
        case 'f':
            if (end_ - p_ >= 5 && std::memcmp(p_, "false", 5) == 0) {
                p_ += 5;
                Py_RETURN_FALSE;
            }
            return nullptr;
        case 'N':
            if (end_ - p_ >= 3 && std::memcmp(p_, "NaN", 3) == 0) {
                p_ += 3;
                return constant(0, std::numeric_limits<double>::quiet_NaN());
            }
            return nullptr;
        case 'I':
            if (end_ - p_ >= 8 && std::memcmp(p_, "Infinity", 8) == 0) {
                p_ += 8;
                return constant(1, std::numeric_limits<double>::infinity());
            }
            return nullptr;
        case '-':
            if (end_ - p_ >= 9 && std::memcmp(p_, "-Infinity", 9) == 0) {
                p_ += 9;
                return constant(2, -std::numeric_limits<double>::infinity());
            }
            return number();
        default:
            return (*p_ >= '0' && *p_ <= '9') ? number() : nullptr;
    }
}

// Called just after the opening quote.
PyObject* Decoder::string(bool key) {
    const char* start = p_;
    const char* q = p_;
    // Eight bytes at a time while none is a quote, a backslash, a control
    // character or non-ASCII.
    constexpr uint64_t ones = 0x0101010101010101ull, highs = 0x8080808080808080ull;
    while (end_ - q >= 8) {
        uint64_t w;
        std::memcpy(&w, q, 8);
        const uint64_t quote = w ^ (ones * '"'), slash = w ^ (ones * '\\');
        const uint64_t special = (w | ((w - ones * 0x20) & ~w) | ((quote - ones) & ~quote) |
                                  ((slash - ones) & ~slash)) & highs;
        if (special) break;
        q += 8;
    }
    while (q < end_) {
        const unsigned char c = static_cast<unsigned char>(*q);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++q;
    }
    if (q >= end_) return nullptr;
    if (*q == '"') {
        p_ = q + 1;
        const size_t n = static_cast<size_t>(q - start);
        const size_t readable = static_cast<size_t>(end_ - start);
        return key ? cache_->key(start, n, readable) : cache_->value(start, n, readable);
    }

    // Escapes or non-ASCII text: decode code points, then let the host pick
    // the narrowest representation.
    scratch_.clear();
    for (const char* s = start; s < q; ++s) scratch_.push_back(static_cast<unsigned char>(*s));
    while (q < end_) {
        const unsigned char c = static_cast<unsigned char>(*q);
        if (c == '"') {
            p_ = q + 1;
            return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, scratch_.data(),
                                             static_cast<Py_ssize_t>(scratch_.size()));
        }
        if (c < 0x20) return nullptr;  // raw control character
        if (c < 0x80 && c != '\\') {
            scratch_.push_back(c);
            ++q;
            continue;
        }
        if (c == '\\') {
            if (end_ - q < 2) return nullptr;
            const char e = q[1];
            Py_UCS4 out;
            switch (e) {
                case '"': out = '"'; break;
                case '\\': out = '\\'; break;
                case '/': out = '/'; break;
                case 'b': out = '\b'; break;
                case 'f': out = '\f'; break;
                case 'n': out = '\n'; break;
                case 'r': out = '\r'; break;
                case 't': out = '\t'; break;
                case 'u': {
                    if (end_ - q < 6) return nullptr;
                    const long high = hex4(q + 2);
                    if (high < 0) return nullptr;
                    Py_UCS4 u = static_cast<Py_UCS4>(high);
                    q += 6;
                    if (u >= 0xD800 && u <= 0xDBFF && end_ - q >= 2 && q[0] == '\\' && q[1] == 'u') {
                        if (end_ - q < 6) return nullptr;
                        const long low = hex4(q + 2);
                        if (low < 0) return nullptr;
                        if (low >= 0xDC00 && low <= 0xDFFF) {
                            u = 0x10000 + (((u - 0xD800) << 10) | static_cast<Py_UCS4>(low - 0xDC00));
                            q += 6;
                        }
                    }
                    scratch_.push_back(u);
                    continue;
                }
                default:
                    return nullptr;
            }
            scratch_.push_back(out);
            q += 2;
            continue;
        }
        // A UTF-8 sequence, validated as strictly as the host's decoder.
        const auto* bytes = reinterpret_cast<const unsigned char*>(q);
        const int len = utf8::sequence_length(bytes, reinterpret_cast<const unsigned char*>(end_));
        if (len == 0) return nullptr;
        scratch_.push_back(utf8::code_point(bytes, len));
        q += len;
    }
    return nullptr;
}

PyObject* Decoder::number() {
    const char* s = p_;
    const char* q = p_;
    bool negative = false;
    if (*q == '-') {
        negative = true;
        ++q;
    }
    if (q >= end_) return nullptr;
    const char* int_start = q;
    if (*q == '0') {
        ++q;
    } else if (*q >= '1' && *q <= '9') {
        while (q < end_ && *q >= '0' && *q <= '9') ++q;
    } else {
        return nullptr;
    }
    const char* int_end = q;
    const char* frac_start = nullptr;
    const char* frac_end = nullptr;
    if (q + 1 < end_ && *q == '.' && q[1] >= '0' && q[1] <= '9') {
        frac_start = ++q;
        while (q < end_ && *q >= '0' && *q <= '9') ++q;
        frac_end = q;
    }
    bool has_exp = false;
    long exp10 = 0;
    if (q < end_ && (*q == 'e' || *q == 'E')) {
        const char* e = q + 1;
        bool exp_negative = false;
        if (e < end_ && (*e == '+' || *e == '-')) exp_negative = *e++ == '-';
        if (e < end_ && *e >= '0' && *e <= '9') {
            has_exp = true;
            while (e < end_ && *e >= '0' && *e <= '9') {
                if (exp10 < 100000) exp10 = exp10 * 10 + (*e - '0');
                ++e;
            }
            if (exp_negative) exp10 = -exp10;
            q = e;
        }
    }
    p_ = q;
    const size_t int_digits = static_cast<size_t>(int_end - int_start);

    if (!frac_start && !has_exp) {
        if (int_digits <= 18) {
            long long v = 0;
            for (const char* d = int_start; d < int_end; ++d) v = v * 10 + (*d - '0');
            return PyLong_FromLongLong(negative ? -v : v);
        }
        std::string digits(s, q);
        return PyLong_FromString(digits.c_str(), nullptr, 10);
    }

    // Clinger's fast path: few significant digits and a small exponent.
    const size_t frac_digits = frac_start ? static_cast<size_t>(frac_end - frac_start) : 0;
    if (int_digits + frac_digits <= 15) {
        uint64_t m = 0;
        for (const char* d = int_start; d < int_end; ++d) m = m * 10 + static_cast<uint64_t>(*d - '0');
        for (const char* d = frac_start; d && d < frac_end; ++d)
            m = m * 10 + static_cast<uint64_t>(*d - '0');
        const long e = exp10 - static_cast<long>(frac_digits);
        if (e >= -22 && e <= 22) {
            double v = static_cast<double>(m);
            v = e >= 0 ? v * kPow10[e] : v / kPow10[-e];
            return PyFloat_FromDouble(negative ? -v : v);
        }
    }
    // Correctly rounded to nearest, as the host's float() is, so the result is
    // the same double. Values out of range (overflow to infinity, underflow to
    // zero) are left to the host's own parser.
    double v;
    const auto [end, ec] = std::from_chars(s, q, v);
    if (ec == std::errc() && end == q) return PyFloat_FromDouble(v);
    std::string text(s, q);
    v = PyOS_string_to_double(text.c_str(), nullptr, nullptr);
    if (v == -1.0 && PyErr_Occurred()) return nullptr;
    return PyFloat_FromDouble(v);
}

PyObject* Decoder::object(int depth) {
    ++p_;  // '{'
    const size_t base = stack_.size();
    auto unwind = [&]() -> PyObject* {
        while (stack_.size() > base) {
            Py_DECREF(stack_.back());
            stack_.pop_back();
        }
        return nullptr;
    };
    skip_ws();
    if (p_ < end_ && *p_ == '}') {
        ++p_;
        return PyDict_New();
    }
    for (;;) {
        if (p_ >= end_ || *p_ != '"') return unwind();
        ++p_;
        PyObject* k = string(true);
        if (!k) return unwind();
        stack_.push_back(k);
        skip_ws();
        if (p_ >= end_ || *p_ != ':') return unwind();
        ++p_;
        skip_ws();
        PyObject* v = value(depth);
        if (!v) return unwind();
        stack_.push_back(v);
        skip_ws();
        if (p_ >= end_) return unwind();
        if (*p_ == ',') {
            ++p_;
            skip_ws();
            continue;
        }
        if (*p_ != '}') return unwind();
        ++p_;
        break;
    }
    const Py_ssize_t pairs = static_cast<Py_ssize_t>((stack_.size() - base) / 2);
    PyObject* d = _PyDict_NewPresized(pairs);
    if (!d) return unwind();
    for (size_t i = base; i < stack_.size(); i += 2) {
        // Repeated keys: the last value wins, the first position stays.
        if (PyDict_SetItem(d, stack_[i], stack_[i + 1]) < 0) {
            Py_DECREF(d);
            return unwind();
        }
    }
    unwind();
    return d;
}

PyObject* Decoder::array(int depth) {
    ++p_;  // '['
    const size_t base = stack_.size();
    auto unwind = [&]() -> PyObject* {
        while (stack_.size() > base) {
            Py_DECREF(stack_.back());
            stack_.pop_back();
        }
        return nullptr;
    };
    skip_ws();
    if (p_ < end_ && *p_ == ']') {
        ++p_;
        return PyList_New(0);
    }
    for (;;) {
        PyObject* v = value(depth);
        if (!v) return unwind();
        stack_.push_back(v);
        skip_ws();
        if (p_ >= end_) return unwind();
        if (*p_ == ',') {
            ++p_;
            skip_ws();
            continue;
        }
        if (*p_ != ']') return unwind();
        ++p_;
        break;
    }
    const Py_ssize_t n = static_cast<Py_ssize_t>(stack_.size() - base);
    PyObject* list = PyList_New(n);
    if (!list) return unwind();
    for (Py_ssize_t i = 0; i < n; ++i) PyList_SET_ITEM(list, i, stack_[base + static_cast<size_t>(i)]);
    stack_.resize(base);  // references moved into the list
    return list;
}

}  // namespace orv::json
