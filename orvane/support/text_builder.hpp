// Building one str from many pieces, as the host's str.join would.
//
// Prompt texts and reports are long concatenations of host strings and
// literals. The builder copies the characters of each piece as it is added
// (so no piece has to outlive the call, whatever host code runs in between),
// widening its buffer when a piece needs more than one byte per character,
// and makes the str once at the end, in the narrowest form that holds it.
#pragma once

#include "support/core.hpp"

#include <cstring>
#include <initializer_list>
#include <string_view>

namespace orv {

class TextBuilder {
public:
    // The buffer comes from, and goes back to, a small per-thread pool, so
    // that building long texts again and again does not map fresh memory
    // each time.
    TextBuilder();
    ~TextBuilder();
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;

    // The characters of a str (exact or a subclass).
    void add(handle text) {
        PyObject* s = text.ptr();
        if (kind_ == PyUnicode_1BYTE_KIND && PyUnicode_IS_ASCII(s))
            return add_bytes(reinterpret_cast<const char*>(PyUnicode_1BYTE_DATA(s)),
                             PyUnicode_GET_LENGTH(s));
        add_wide(text);
    }
    // ASCII text.
    void add(std::string_view ascii) {
        if (kind_ == PyUnicode_1BYTE_KIND)
            return add_bytes(ascii.data(), static_cast<Py_ssize_t>(ascii.size()));
        add_wide(ascii);
    }
    // The characters of a str, every "\n" in it followed by `indent` (ASCII):
    // text.replace("\n", "\n" + indent) without the intermediate str.
    void add_indented(handle text, std::string_view indent);

    // `count` ASCII characters, each written as `map(c)` gives it (ASCII too);
    // `map` is called in order, so it may carry state from one to the next.
    template <typename Map>
    void add_mapped(std::string_view ascii, Map&& map) {
        const auto count = static_cast<Py_ssize_t>(ascii.size());
        char* at = grow(count);
        auto write = [&](auto* chars) {
            for (Py_ssize_t i = 0; i < count; ++i)
                chars[i] = static_cast<unsigned char>(map(static_cast<unsigned char>(ascii[i])));
        };
        if (kind_ == PyUnicode_1BYTE_KIND)
            write(reinterpret_cast<Py_UCS1*>(at));
        else if (kind_ == PyUnicode_2BYTE_KIND)
            write(reinterpret_cast<Py_UCS2*>(at));
        else
            write(reinterpret_cast<Py_UCS4*>(at));
        length_ += count;
    }

    // The characters built so far by `other`.
    void add(const TextBuilder& other);
    // Starts over (the buffer is kept).
    void clear() {
        length_ = 0;
        kind_ = PyUnicode_1BYTE_KIND;
        maxchar_ = 127;
    }

    Py_ssize_t length() const { return length_; }

    // The text built so far, as a new exact str.
    object build() const;

private:
    // One byte per character on both sides: the common case, inline.
    void add_bytes(const char* chars, Py_ssize_t count) {
        char* at = grow(count);
        // Most pieces are short: two overlapping fixed-size moves cost less
        // than a call to memcpy.
        if (count >= 8 && count <= 16) {
            std::memcpy(at, chars, 8);
            std::memcpy(at + count - 8, chars + count - 8, 8);
        } else if (count >= 4 && count < 8) {
            std::memcpy(at, chars, 4);
            std::memcpy(at + count - 4, chars + count - 4, 4);
        } else if (count < 4) {
            for (Py_ssize_t i = 0; i < count; ++i) at[i] = chars[i];
        } else {
            std::memcpy(at, chars, static_cast<size_t>(count));
        }
        length_ += count;
    }
    void add_wide(handle text);
    void add_wide(std::string_view ascii);

    // Room for `more` characters at the current width.
    char* grow(Py_ssize_t more) {
        const size_t used = static_cast<size_t>(length_ * kind_);
        if (used + static_cast<size_t>(more * kind_) > capacity_) enlarge(more);
        return buffer_ + used;
    }
    void enlarge(Py_ssize_t more);
    // Re-encodes the buffer at `kind` bytes per character.
    void widen(int kind);
    // Makes sure a piece of `kind` with characters up to `maxchar` fits.
    void admit(int kind, Py_UCS4 maxchar);

    char* buffer_ = nullptr;  // malloc'd, `capacity_` bytes
    size_t capacity_ = 0;
    Py_ssize_t length_ = 0;
    int kind_ = PyUnicode_1BYTE_KIND;
    Py_UCS4 maxchar_ = 127;
};

// One piece of a concatenation: ASCII text, or a str (exact or a subclass).
class TextPiece {
public:
    TextPiece(const char* ascii) : ascii_(ascii) {}
    TextPiece(handle text) : text_(text) {}
    void into(TextBuilder& out) const {
        if (text_) return out.add(text_);
        out.add(std::string_view(ascii_));
    }

private:
    const char* ascii_ = nullptr;
    handle text_;
};

// The pieces one after another, as one exact str: "".join of them. Values
// are made text by the caller (text_of for str(), formatted for an
// f-string's conversion).
object concat(std::initializer_list<TextPiece> pieces);

}  // namespace orv
