// orvane.pagegrab: what the module's two halves share.
//
// The page analysis finds what these regular expressions of the host's `re`
// find (flags: I = IGNORECASE, S = DOTALL), in time linear in the page, where
// the host's backtracking turns quadratic on pages full of unclosed tags:
//
//   title        <title[^>]*>(.*?)</title>                                   S I
//   description  <meta[^>]*name=["']description["'][^>]*content=["'](.*?)["']  I
//                <meta[^>]*content=["'](.*?)["'][^>]*name=["']description["']  I
//   links        <a[^>]*href=["'](https?://[^"']+)["']                          I
//   blocks       <TAG[^>]*>.*?</TAG>   for script, style, nav, header, footer,
//                                      noscript, in that order             S I
//   tags         <[^>]+>
//   white space  \s+
#pragma once

#include "support/core.hpp"

#include <optional>
#include <vector>

namespace orv::pagegrab {

// text[begin:end], the first group of a match.
struct Span {
    Py_ssize_t begin = 0, end = 0;
};

// Builds the folded literals; at module initialisation (they read the host's
// case tables).
void build_literals();

// Every block (script, style, nav, header, footer, noscript, in turn) and
// then every remaining tag replaced by " ", as re.sub does with the patterns
// above. Returns `text` itself when nothing was replaced.
object strip_markup(PyObject* text);

// Every run of white space replaced by " ", then stripped: re.sub(r"\s+",
// " ", text).strip().
object collapse_space(PyObject* text);

// Group 1 of the first match of the title pattern, of the description
// patterns (the second only where the first finds nothing), and of the first
// `limit` matches of the link pattern.
std::optional<Span> find_title(PyObject* html);
std::optional<Span> find_description(PyObject* html);
std::vector<Span> find_links(PyObject* html, size_t limit);

}  // namespace orv::pagegrab
