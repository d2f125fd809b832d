// Characters copied as they come, at the width the widest piece needs.
#include "support/text_builder.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace orv {

namespace {

// Copies `count` characters of width `From` to width `To` (To >= From).
template <typename From, typename To>
void convert(const void* source, void* target, Py_ssize_t count) {
    const From* in = static_cast<const From*>(source);
    To* out = static_cast<To*>(target);
    for (Py_ssize_t i = 0; i < count; ++i) out[i] = in[i];
}

// Copies `count` characters of kind `from` into a buffer of kind `to`.
void copy_chars(int from, const void* source, int to, void* target, Py_ssize_t count) {
    if (from == to) {
        const auto bytes = static_cast<size_t>(count * to);
        if (bytes <= 16) {
            // Most pieces are a few characters: a call to memcpy costs more.
            for (size_t i = 0; i < bytes; ++i)
                static_cast<char*>(target)[i] = static_cast<const char*>(source)[i];
        } else {
            std::memcpy(target, source, bytes);
        }
    } else if (from == PyUnicode_1BYTE_KIND && to == PyUnicode_2BYTE_KIND) {
        convert<Py_UCS1, Py_UCS2>(source, target, count);
    } else if (from == PyUnicode_1BYTE_KIND) {
        convert<Py_UCS1, Py_UCS4>(source, target, count);
    } else {
        convert<Py_UCS2, Py_UCS4>(source, target, count);
    }
}

// Buffers kept for reuse by the builders of this thread (at most a few, and
// none larger than is worth keeping), freed when the thread ends.
struct SpareBuffers {
    struct Buffer {
        char* data;
        size_t capacity;
    };
    static constexpr size_t kMost = 4;
    static constexpr size_t kLargest = size_t{16} << 20;
    Buffer kept[kMost];
    size_t count = 0;
    ~SpareBuffers() {
        while (count) std::free(kept[--count].data);
    }
};
thread_local SpareBuffers spare;

}  // namespace

TextBuilder::TextBuilder() {
    if (spare.count) {
        const SpareBuffers::Buffer b = spare.kept[--spare.count];
        buffer_ = b.data;
        capacity_ = b.capacity;
    }
}

TextBuilder::~TextBuilder() {
    if (capacity_ <= SpareBuffers::kLargest && spare.count < SpareBuffers::kMost)
        spare.kept[spare.count++] = {buffer_, capacity_};
    else
        std::free(buffer_);
}

void TextBuilder::enlarge(Py_ssize_t more) {
    const size_t needed = static_cast<size_t>((length_ + more) * kind_);
    const size_t capacity = std::max({needed, capacity_ * 2, size_t{1024}});
    void* grown = std::realloc(buffer_, capacity);
    if (!grown) throw std::bad_alloc();
    buffer_ = static_cast<char*>(grown);
    capacity_ = capacity;
}

void TextBuilder::widen(int kind) {
    const size_t capacity = std::max(static_cast<size_t>(length_ * kind) * 2, size_t{1024});
    char* wider = static_cast<char*>(std::malloc(capacity));
    if (!wider) throw std::bad_alloc();
    copy_chars(kind_, buffer_, kind, wider, length_);
    std::free(buffer_);
    buffer_ = wider;
    capacity_ = capacity;
    kind_ = kind;
}

void TextBuilder::admit(int kind, Py_UCS4 maxchar) {
    if (kind > kind_) widen(kind);
    maxchar_ = std::max(maxchar_, maxchar);
}

void TextBuilder::add_wide(handle text) {
    PyObject* s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return;
    const int kind = PyUnicode_KIND(s);
    admit(kind, PyUnicode_MAX_CHAR_VALUE(s));
    copy_chars(kind, PyUnicode_DATA(s), kind_, grow(n), n);
    length_ += n;
}

void TextBuilder::add(const TextBuilder& other) {
    if (other.length_ == 0) return;
    admit(other.kind_, other.maxchar_);
    copy_chars(other.kind_, other.buffer_, kind_, grow(other.length_), other.length_);
    length_ += other.length_;
}

void TextBuilder::add_wide(std::string_view ascii) {
    const auto n = static_cast<Py_ssize_t>(ascii.size());
    if (n == 0) return;
    copy_chars(PyUnicode_1BYTE_KIND, ascii.data(), kind_, grow(n), n);
    length_ += n;
}

void TextBuilder::add_indented(handle text, std::string_view indent) {
    PyObject* s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const void* data = PyUnicode_DATA(s);
    if (kind_ == PyUnicode_1BYTE_KIND && PyUnicode_IS_ASCII(s)) {
        const char* chars = static_cast<const char*>(data);
        const char* end = chars + n;
        for (;;) {
            const char* line_end = static_cast<const char*>(std::memchr(chars, '\n', end - chars));
            add_bytes(chars, (line_end ? line_end : end) - chars);
            if (!line_end) return;
            add_bytes("\n", 1);
            add_bytes(indent.data(), static_cast<Py_ssize_t>(indent.size()));
            chars = line_end + 1;
        }
    }
    admit(kind, PyUnicode_MAX_CHAR_VALUE(s));
    Py_ssize_t from = 0;
    for (;;) {
        Py_ssize_t line_end = n;
        if (kind == PyUnicode_1BYTE_KIND) {
            const void* found = std::memchr(static_cast<const char*>(data) + from, '\n',
                                            static_cast<size_t>(n - from));
            if (found) line_end = static_cast<const char*>(found) - static_cast<const char*>(data);
        } else {
            for (Py_ssize_t i = from; i < n; ++i) {
                if (PyUnicode_READ(kind, data, i) == '\n') {
                    line_end = i;
                    break;
                }
            }
        }
        const Py_ssize_t count = line_end - from;
        copy_chars(kind, static_cast<const char*>(data) + from * kind, kind_, grow(count), count);
        length_ += count;
        if (line_end == n) return;
        add("\n");
        add(indent);
        from = line_end + 1;
    }
}

object TextBuilder::build() const {
    PyObject* out = PyUnicode_New(length_, maxchar_);
    if (!out) raise_current();
    if (length_) std::memcpy(PyUnicode_DATA(out), buffer_, static_cast<size_t>(length_ * kind_));
    return nb::steal(out);
}

object concat(std::initializer_list<TextPiece> pieces) {
    TextBuilder out;
    for (const TextPiece& piece : pieces) piece.into(out);
    return out.build();
}

}  // namespace orv
