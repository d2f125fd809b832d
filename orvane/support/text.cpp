// One allocation for a text made of many pieces.
#include "support/text.hpp"

#include <algorithm>
#include <cstring>

namespace orv {

TextBuilder::~TextBuilder() {
    for (const Piece& p : pieces_) Py_XDECREF(p.text);
}

void TextBuilder::add(handle text) {
    PyObject* s = text.ptr();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (n == 0) return;
    pieces_.push_back({Py_NewRef(s), nullptr, n});
    length_ += n;
}

void TextBuilder::add(std::string_view ascii) {
    if (ascii.empty()) return;
    const auto n = static_cast<Py_ssize_t>(ascii.size());
    pieces_.push_back({nullptr, ascii.data(), n});
    length_ += n;
}

void TextBuilder::truncate(size_t count) {
    while (pieces_.size() > count) {
        length_ -= pieces_.back().size;
        Py_XDECREF(pieces_.back().text);
        pieces_.pop_back();
    }
}

object TextBuilder::build() const {
    if (pieces_.size() == 1 && pieces_[0].text && PyUnicode_CheckExact(pieces_[0].text))
        return nb::borrow(pieces_[0].text);
    Py_UCS4 maxchar = 127;
    for (const Piece& p : pieces_)
        if (p.text) maxchar = std::max(maxchar, PyUnicode_MAX_CHAR_VALUE(p.text));
    PyObject* out = PyUnicode_New(length_, maxchar);
    if (!out) raise_current();
    object result = nb::steal(out);
    const int kind = PyUnicode_KIND(out);
    void* data = PyUnicode_DATA(out);
    Py_ssize_t at = 0;
    for (const Piece& p : pieces_) {
        if (!p.text) {
            if (kind == PyUnicode_1BYTE_KIND) {
                std::memcpy(static_cast<Py_UCS1*>(data) + at, p.ascii, static_cast<size_t>(p.size));
            } else {
                for (Py_ssize_t i = 0; i < p.size; ++i)
                    PyUnicode_WRITE(kind, data, at + i, static_cast<Py_UCS1>(p.ascii[i]));
            }
        } else if (PyUnicode_KIND(p.text) == kind) {
            std::memcpy(static_cast<char*>(data) + at * kind, PyUnicode_DATA(p.text),
                        static_cast<size_t>(p.size * kind));
        } else if (PyUnicode_CopyCharacters(out, at, p.text, 0, p.size) < 0) {
            raise_current();
        }
        at += p.size;
    }
    return result;
}

}  // namespace orv
