// The page analysis of orvane.pagegrab in one pass per pattern.
//
// Each scanner below finds what the host's `re` finds with the pattern it
// names (see pagegrab.hpp), reasoning from how the backtracking engine
// explores that pattern rather than running it:
//
// - `[^>]*` right after an opening literal first runs to the next ">" (or
//   the end of the text) and then gives characters back one at a time. So
//   the opening tag of a pattern that continues with ">" always ends at the
//   next ">", and a pattern that continues with another literal ("name=",
//   "content=", "href=") takes the rightmost place before that ">" where the
//   rest of the pattern succeeds.
// - A lazy `.*?` followed by a literal stops at the first place where the
//   literal (and whatever follows) matches; without DOTALL it cannot cross a
//   line feed, the only character `.` refuses.
// - All tries from starts inside one stretch without ">" see the same places
//   to the right, fewer of them the later they start. So when the first
//   start of a stretch fails, every later start of that stretch fails too,
//   and the search moves on to the next stretch. This is where the host
//   spends quadratic time on unclosed tags and these scanners do not.
//
// Searches for the next place with some property (a quote, a line feed, a
// literal) are made with nondecreasing starting points wherever the engine
// would rescan, so each scanner reads the text a bounded number of times.
#include "pagegrab/pagegrab.hpp"

#include "support/fold.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstring>
#include <memory>

namespace orv::pagegrab {

namespace {

using fold::find_char;
using fold::Literal;

// An element of the page: "<tag" opens, "</tag>" closes.
struct Block {
    Literal open, close;
};

struct Literals {
    std::array<Block, 6> blocks{{
        {Literal(U"<script"), Literal(U"</script>")},
        {Literal(U"<style"), Literal(U"</style>")},
        {Literal(U"<nav"), Literal(U"</nav>")},
        {Literal(U"<header"), Literal(U"</header>")},
        {Literal(U"<footer"), Literal(U"</footer>")},
        {Literal(U"<noscript"), Literal(U"</noscript>")},
    }};
    Block title{Literal(U"<title"), Literal(U"</title>")};
    Literal meta_open{U"<meta"};
    Literal name_description{U"name=[\"']description[\"']"};
    Literal content{U"content=[\"']"};
    Literal anchor_open{U"<a"}, href{U"href=[\"']"};
    Literal http{U"http"}, secure{U"s"}, colon_slashes{U"://"};
};

std::unique_ptr<Literals> literals;  // built at module initialisation, kept for the process

bool is_quote(Py_UCS4 c) { return c == '"' || c == '\''; }

// Working memory of the text passes, kept between calls: fresh memory for
// every page costs a page fault per 4 KB, more than the passes themselves.
// It is used only while no host code runs (nothing can re-enter meanwhile),
// and given back after a page that made it larger than kKept.
class Scratch {
public:
    static constexpr size_t kKept = size_t(8) << 20;

    // Room for n code units, valid until the Lease ends.
    class Lease {
    public:
        explicit Lease(Scratch& owner) : owner_(owner) {}
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        ~Lease() {
            if (owner_.bytes_.size() > kKept) std::vector<std::byte>().swap(owner_.bytes_);
        }
        template <typename C>
        C* units(Py_ssize_t n) {
            const size_t size = static_cast<size_t>(n) * sizeof(C);
            if (owner_.bytes_.size() < size) owner_.bytes_.resize(size);
            return reinterpret_cast<C*>(owner_.bytes_.data());
        }

    private:
        Scratch& owner_;
    };

private:
    std::vector<std::byte> bytes_;  // operator new's alignment suits every code unit
};

Scratch scratch;

// The first position at or after a point where `hit` holds (n when none).
// A query that falls inside the stretch the last one scanned is answered
// without scanning again, so nondecreasing queries scan the text once.
template <typename Hit>
class Forward {
public:
    Forward(Py_ssize_t n, Hit hit) : n_(n), hit_(hit) {}

    Py_ssize_t operator()(Py_ssize_t from) {
        if (from >= n_) return n_;
        if (from >= from_ && from <= found_) return found_;
        from_ = found_ = from;
        while (found_ < n_ && !hit_(found_)) ++found_;
        return found_;
    }

private:
    Py_ssize_t n_;
    Hit hit_;
    Py_ssize_t from_ = 1, found_ = 0;  // nothing scanned yet
};

// ------------------------------------------------------------- markup

// Spans of a text replaced by " " in place, as re.sub writes them. Every
// span holds at least two characters ("<" and ">" at the least), so the text
// only shrinks and what is written never overtakes what is still to be read.
template <typename C>
class Replacer {
public:
    Replacer(C* text, Py_ssize_t n) : text_(text), n_(n) {}

    // Replaces text[begin:end]; spans come in order and do not overlap.
    void replace(Py_ssize_t begin, Py_ssize_t end) {
        keep(begin);
        text_[written_++] = ' ';
        copied_ = end;
    }

    // The length of the text after the replacements.
    Py_ssize_t finish() {
        keep(n_);
        return written_;
    }

private:
    // Moves the characters between the last span and `until` into place.
    void keep(Py_ssize_t until) {
        if (written_ != copied_)
            std::memmove(text_ + written_, text_ + copied_, static_cast<size_t>(until - copied_) * sizeof(C));
        written_ += until - copied_;
    }

    C* text_;
    Py_ssize_t n_;
    Py_ssize_t written_ = 0, copied_ = 0;
};

// Where r"<TAG[^>]*>(.*?)</TAG>" (flags S|I) first matches at or after
// `from`: the match is text[begin:end], the group text[content:close].
struct Element {
    Py_ssize_t begin, content, close, end;
};

// Only the first start is tried: when its opening tag has no ">" or no
// closing tag follows, every later start fails too (their ">" and closing
// tags lie further right).
template <typename C>
std::optional<Element> find_element(const C* text, Py_ssize_t n, Py_ssize_t from, const Block& block) {
    const Py_ssize_t start = block.open.find(text, n, from, n);
    if (start < 0) return std::nullopt;
    const Py_ssize_t gt = find_char(text, start + block.open.size(), n, '>');
    if (gt == n) return std::nullopt;
    const Py_ssize_t close = block.close.find(text, n, gt + 1, n);
    if (close < 0) return std::nullopt;
    return Element{start, gt + 1, close, close + block.close.size()};
}

// re.sub(r"<TAG[^>]*>.*?</TAG>", " ", text, flags=S|I) in place; returns the
// new length.
template <typename C>
Py_ssize_t strip_blocks(C* text, Py_ssize_t n, const Block& block) {
    Replacer<C> replacer(text, n);
    for (Py_ssize_t pos = 0; const auto element = find_element(text, n, pos, block);) {
        pos = element->end;
        replacer.replace(element->begin, pos);
    }
    return replacer.finish();
}

// re.sub(r"<[^>]+>", " ", text) in place; returns the new length. "<>" is no
// match; a "<" with no ">" after it ends the replacing.
template <typename C>
Py_ssize_t strip_tags(C* text, Py_ssize_t n) {
    Replacer<C> replacer(text, n);
    for (Py_ssize_t pos = 0;;) {
        const Py_ssize_t start = find_char(text, pos, n, '<');
        if (start + 1 >= n) break;
        if (text[start + 1] == '>') {
            pos = start + 1;
            continue;
        }
        const Py_ssize_t gt = find_char(text, start + 2, n, '>');
        if (gt == n) break;
        pos = gt + 1;
        replacer.replace(start, pos);
    }
    return replacer.finish();
}

// All passes on one copy of the text, which each pass shrinks in place.
template <typename C>
object strip_markup_of(PyObject* original, const C* data, Py_ssize_t n) {
    Scratch::Lease lease(scratch);
    C* text = lease.units<C>(n);
    std::copy(data, data + n, text);
    Py_ssize_t size = n;
    for (const Block& block : literals->blocks) size = strip_blocks(text, size, block);
    size = strip_tags(text, size);
    if (size == n) return nb::borrow(original);  // every replacement shrinks the text
    return fold::make_str(text, size);
}

// --------------------------------------------------------------- title

template <typename C>
std::optional<Span> title_of(const C* text, Py_ssize_t n) {
    const auto element = find_element(text, n, 0, literals->title);
    if (!element) return std::nullopt;
    return Span{element->content, element->close};
}

// --------------------------------------------------------- description

// Tries the first "<meta" of each stretch without ">" in turn (the later
// ones of a stretch cannot match where the first did not): `attempt(from,
// gt)` is given the tag's attributes as text[from:gt] and returns the value
// where the pattern matches from there.
template <typename C, typename Attempt>
std::optional<Span> first_meta(const C* text, Py_ssize_t n, Attempt attempt) {
    const Literal& open = literals->meta_open;
    for (Py_ssize_t pos = 0;;) {
        const Py_ssize_t start = open.find(text, n, pos, n);
        if (start < 0) return std::nullopt;
        const Py_ssize_t from = start + open.size();
        const Py_ssize_t gt = find_char(text, from, n, '>');
        if (auto value = attempt(from, gt)) return value;
        if (gt == n) return std::nullopt;
        pos = gt + 1;
    }
}

// <meta[^>]*name=["']description["'][^>]*content=["'](.*?)["']
//
// The engine takes the rightmost name literal that still leaves room for a
// content literal after it, and then the rightmost content literal, whose
// value must close with a quote before the next line feed. Which name literal
// it took does not change the value, so the match is: the rightmost closing
// content literal of the tag, if the tag's first name literal ends before it.
template <typename C>
std::optional<Span> description_name_first(const C* text, Py_ssize_t n) {
    const Literals& lit = *literals;
    Forward stop(n, [text](Py_ssize_t i) { return is_quote(text[i]) || text[i] == '\n'; });
    return first_meta(text, n, [&](Py_ssize_t from, Py_ssize_t gt) -> std::optional<Span> {
        std::optional<Span> value;
        Py_ssize_t value_at = -1;
        for (Py_ssize_t q = lit.content.find(text, n, from, gt); q >= 0; q = lit.content.find(text, n, q + 1, gt)) {
            const Py_ssize_t begin = q + lit.content.size();
            const Py_ssize_t end = stop(begin);
            if (end < n && is_quote(text[end])) {
                value = Span{begin, end};
                value_at = q;
            }
        }
        if (!value) return std::nullopt;
        const Py_ssize_t name = lit.name_description.find(text, n, from, gt);
        if (name < 0 || name + lit.name_description.size() > value_at) return std::nullopt;
        return value;
    });
}

// <meta[^>]*content=["'](.*?)["'][^>]*name=["']description["']
//
// The engine tries the tag's content literals from the rightmost; for each,
// the value ends at the first quote (before the next line feed) after which a
// name literal follows before the next ">". The value can run past ">"
// characters, so the quotes and name literals are searched in the whole
// text, with nondecreasing queries.
template <typename C>
std::optional<Span> description_content_first(const C* text, Py_ssize_t n) {
    const Literals& lit = *literals;
    Forward line_feed(n, [text](Py_ssize_t i) { return text[i] == '\n'; });
    Forward greater(n, [text](Py_ssize_t i) { return text[i] == '>'; });
    Forward name(n, [text, n, &lit](Py_ssize_t i) { return lit.name_description.at(text, n, i); });
    Forward closing(n, [&](Py_ssize_t i) {
        if (!is_quote(text[i])) return false;
        const Py_ssize_t at = name(i + 1);
        return at < n && at < greater(i + 1);
    });
    return first_meta(text, n, [&](Py_ssize_t from, Py_ssize_t gt) {
        std::optional<Span> value;
        for (Py_ssize_t q = lit.content.find(text, n, from, gt); q >= 0; q = lit.content.find(text, n, q + 1, gt)) {
            const Py_ssize_t begin = q + lit.content.size();
            const Py_ssize_t end = closing(begin);
            if (end < n && line_feed(begin) > end) value = Span{begin, end};
        }
        return value;
    });
}

// ---------------------------------------------------------------- links

// <a[^>]*href=["'](https?://[^"']+)["']
//
// For the first "<a" at or after the search point in a stretch without ">":
// the rightmost "href=" there whose address holds at least one character
// before a closing quote. The next search starts after that quote; if that
// is still inside the stretch, nothing further in the stretch can match
// (the rightmost candidate is used up), so it moves past the stretch.
template <typename C>
std::vector<Span> links_of(const C* text, Py_ssize_t n, size_t limit) {
    const Literals& lit = *literals;
    std::vector<Span> found;
    Forward quote(n, [text](Py_ssize_t i) { return is_quote(text[i]); });
    Py_ssize_t pos = 0;
    while (found.size() < limit && pos <= n) {
        const Py_ssize_t start = lit.anchor_open.find(text, n, pos, n);
        if (start < 0) break;
        const Py_ssize_t from = start + lit.anchor_open.size();
        const Py_ssize_t gt = find_char(text, from, n, '>');
        std::optional<Span> link;
        for (Py_ssize_t p = lit.href.find(text, n, from, gt); p >= 0; p = lit.href.find(text, n, p + 1, gt)) {
            const Py_ssize_t address = p + lit.href.size();
            if (!lit.http.at(text, n, address)) continue;
            Py_ssize_t rest = address + lit.http.size();
            if (lit.secure.at(text, n, rest)) ++rest;  // "s?" ("://" cannot begin with an s)
            if (!lit.colon_slashes.at(text, n, rest)) continue;
            rest += lit.colon_slashes.size();
            const Py_ssize_t end = quote(rest);
            if (end == n || end == rest) continue;
            link = Span{address, end};
        }
        if (link) {
            found.push_back(*link);
            const Py_ssize_t after = link->end + 1;
            pos = after > gt ? after : gt + 1;
        } else {
            pos = gt + 1;
        }
    }
    return found;
}

}  // namespace

// ------------------------------------------------------------ interface

void build_literals() {
    if (!literals) literals = std::make_unique<Literals>();
}

object strip_markup(PyObject* text) {
    return fold::with_chars(text, [&](const auto* data, Py_ssize_t n) { return strip_markup_of(text, data, n); });
}

object collapse_space(PyObject* text) {
    return fold::with_chars(text, [](const auto* data, Py_ssize_t n) {
        using C = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        Scratch::Lease lease(scratch);
        C* const out = lease.units<C>(n);
        C* write = out;
        Py_ssize_t i = 0;
        for (;;) {
            while (i < n && fold::is_space(data[i])) ++i;
            if (i == n) break;
            if (write != out) *write++ = ' ';
            const Py_ssize_t word = i;
            while (i < n && !fold::is_space(data[i])) ++i;
            write = std::copy(data + word, data + i, write);
        }
        return fold::make_str(out, write - out);
    });
}

std::optional<Span> find_title(PyObject* html) {
    return fold::with_chars(html, [](const auto* data, Py_ssize_t n) { return title_of(data, n); });
}

std::optional<Span> find_description(PyObject* html) {
    return fold::with_chars(html, [](const auto* data, Py_ssize_t n) {
        if (auto value = description_name_first(data, n)) return value;
        return description_content_first(data, n);
    });
}

std::vector<Span> find_links(PyObject* html, size_t limit) {
    return fold::with_chars(html, [limit](const auto* data, Py_ssize_t n) { return links_of(data, n, limit); });
}

}  // namespace orv::pagegrab
