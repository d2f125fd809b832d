// Case folding as the host's re does it; see fold.hpp.
#include "support/fold.hpp"

#include "support/host.hpp"

namespace orv::fold {

namespace {

Name k_casefix{"re._casefix"}, k_extra_cases{"_EXTRA_CASES"};

// The lowered characters the host's re accepts for a pattern character whose
// lowercase is `lo`: `lo` itself and its extra cases (re._casefix, the table
// sre's compiler reads).
std::vector<Py_UCS4> equivalents(Py_UCS4 lo) {
    std::vector<Py_UCS4> out{lo};
    object table = getattr(host_module(k_casefix), k_extra_cases);
    object key = own(PyLong_FromUnsignedLong(lo));
    object extras = get(table, key.ptr(), nb::none());
    if (extras.is_none()) return out;
    object items = own(PySequence_Fast(extras.ptr(), "the host's extra cases must be sequences"));
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(items.ptr()); ++i) {
        const unsigned long code = PyLong_AsUnsignedLong(PySequence_Fast_GET_ITEM(items.ptr(), i));
        if (code == static_cast<unsigned long>(-1) && PyErr_Occurred()) raise_current();
        out.push_back(static_cast<Py_UCS4>(code));
    }
    return out;
}

}  // namespace

Char Char::folded(Py_UCS4 c) {
    Char out;
    if (!cased(c)) {
        out.accepted_[0] = c;
        out.count_ = 1;
    } else {
        out.fold_ = true;
        for (Py_UCS4 each : equivalents(lower(c))) {
            if (out.count_ == out.accepted_.size())
                raise(PyExc_RuntimeError, "too many case equivalents for U+%04X", unsigned(c));
            out.accepted_[out.count_++] = each;
        }
    }
    out.fill_latin1();
    return out;
}

Char Char::one_of(std::u32string_view chars) {
    Char out;
    for (char32_t c : chars) {
        if (cased(c) || out.count_ == out.accepted_.size())
            raise(PyExc_RuntimeError, "a class of a literal takes up to 8 characters without case");
        out.accepted_[out.count_++] = c;
    }
    out.fill_latin1();
    return out;
}

bool Char::slow(Py_UCS4 x) const {
    const Py_UCS4 probe = fold_ ? lower(x) : x;
    for (uint8_t i = 0; i < count_; ++i)
        if (accepted_[i] == probe) return true;
    return false;
}

void Char::fill_latin1() {
    for (Py_UCS4 x = 0; x < 256; ++x) latin1_[x] = slow(x);
}

Literal::Literal(std::u32string_view pattern) {
    for (size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == U'[') {
            const size_t close = pattern.find(U']', i + 1);
            if (close == std::u32string_view::npos || close == i + 1)
                raise(PyExc_RuntimeError, "unbalanced class in a literal");
            chars_.push_back(Char::one_of(pattern.substr(i + 1, close - i - 1)));
            i = close;
        } else {
            chars_.push_back(Char::folded(pattern[i]));
        }
    }
    if (chars_.empty()) raise(PyExc_RuntimeError, "an empty literal");
}

}  // namespace orv::fold
