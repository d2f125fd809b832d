// Reading JSON documents in place: check a document against the host
// decoder's grammar without building it, walk an object's members or an
// array's elements as spans of text, and build only the values wanted.
//
// For large documents of which a reader needs a few values: the check runs
// at the speed of a scan, and nothing is made for the parts skipped. The
// rule is the codec's (json.hpp): a span is accepted only where json.loads
// certainly accepts the text; everything else declines, and the caller
// hands the text to json.loads, which decides. The text must be valid UTF-8,
// checked beforehand (text_mode.hpp): inside strings, bytes past 0x7F are
// taken as they are.
#pragma once

#include "support/core.hpp"

#include <string>
#include <string_view>

namespace orv::json {

// A JSON value's text, [begin, end); an absent value has begin == nullptr.
struct Span {
    const char* begin = nullptr;
    const char* end = nullptr;
    bool present() const { return begin != nullptr; }
    char first() const { return *begin; }
    size_t size() const { return static_cast<size_t>(end - begin); }
};

// A walk over one object or array, from its opening brace or bracket;
// `limit` ends the walk (text may follow the value, as after a document's
// value). Checks as it goes: a step is false at the end or where the text
// declines (then `ok` is false). `depth` is the value's nesting level in its
// document, which bounds how deep its items may go.
//
// After each step to an item, `value` checks and skips it, or the caller
// walks it from `at()` (with a nested walk one level deeper) and hands its
// end to `value_ends` (nullptr when that walk declined).
class Walk {
public:
    bool value(Span& value);
    bool value_ends(const char* value_end);
    const char* at() const { return p_; }
    bool ok() const { return ok_; }
    // Past the closing brace or bracket, once a step has returned false with `ok`.
    const char* end() const { return p_; }

protected:
    Walk(Span container, int depth) : p_(container.begin + 1), end_(container.end), depth_(depth) {}
    // To the next item: past the opening, or past the comma after an item.
    bool step(char close);

    const char* p_;
    const char* end_;
    int depth_;
    bool first_ = true, ok_ = true;
};

// The members of an object in document order, each a key, then its value.
// Repeated keys come as often as they stand (json.loads keeps the last).
class Members : public Walk {
public:
    explicit Members(Span object, int depth = 0) : Walk(object, depth) {}
    bool next_key(Span& key);
    bool next(Span& key, Span& value) { return next_key(key) && this->value(value); }
};

// The elements of an array, in order.
class Elements : public Walk {
public:
    explicit Elements(Span array, int depth = 0) : Walk(array, depth) {}
    bool next_start() { return step(']'); }
    bool next(Span& value) { return next_start() && this->value(value); }
};

// Whether the string span `s` (quotes included) holds exactly `text`,
// escapes decoded. False for any other kind of value.
bool string_is(Span s, std::string_view text);

// Appends the value of the string span `s` (quotes included), escapes
// decoded, as UTF-8. False, with `out` as it was, when the string holds a
// lone surrogate, which UTF-8 cannot carry.
bool append_string(Span s, std::string& out);

}  // namespace orv::json
