// `a, b, c = value` from C++: the items of an iterable that must hold
// exactly n of them, with the host's own errors for one that does not.
#pragma once

#include "support/core.hpp"

#include <array>

namespace orv {

// Fills out[0..n) with the items of `value`. Raises what the host's
// unpacking raises: TypeError "cannot unpack non-iterable %.200s object",
// ValueError "not enough values to unpack (expected %d, got %d)" or
// "too many values to unpack (expected %d)", or the iterator's own error.
void unpack_into(handle value, object* out, int n);

template <int N>
std::array<object, N> unpack(handle value) {
    std::array<object, N> items;
    unpack_into(value, items.data(), N);
    return items;
}

}  // namespace orv
