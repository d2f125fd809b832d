// Building one str from many pieces with a single allocation.
//
// Prompt texts and reports are long concatenations of host strings and
// literals. The builder holds a reference to every piece it is given (host
// code run between two additions cannot free them), measures as it goes, and
// copies everything once into a str of the narrowest kind that holds it, as
// the host's own str.join would produce.
#pragma once

#include "support/core.hpp"

#include <string_view>
#include <vector>

namespace orv {

class TextBuilder {
public:
    TextBuilder() = default;
    TextBuilder(const TextBuilder&) = delete;
    TextBuilder& operator=(const TextBuilder&) = delete;
    ~TextBuilder();

    // A str (exact or a subclass; its characters are what counts).
    void add(handle text);
    // ASCII text that outlives the builder (a literal).
    void add(std::string_view ascii);

    Py_ssize_t length() const { return length_; }
    bool empty() const { return length_ == 0; }
    // Drops every piece added after the first `count` (see pieces()).
    void truncate(size_t count);
    size_t pieces() const { return pieces_.size(); }

    // The text built so far, as a new exact str.
    object build() const;

private:
    struct Piece {
        PyObject* text;     // an owned str, or nullptr for `ascii`
        const char* ascii;  // a literal
        Py_ssize_t size;
    };
    std::vector<Piece> pieces_;
    Py_ssize_t length_ = 0;
};

}  // namespace orv
