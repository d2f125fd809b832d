// Reading the brain's tagged answers and naming question files.
//
// The brain writes prose with a JSON block between an opening and a closing
// tag. The block is found exactly as the host's
//   re.search(re.escape(open) + r"\s*(.*?)\s*" + re.escape(close), text, re.DOTALL)
// finds it, but in one pass: a lazy regular expression retries every opening
// tag up to the end of the text, which costs quadratic time on an answer of
// many opening tags and no closing one.
#pragma once

#include "support/core.hpp"

namespace orv::text {

// The block's capture (group 1 of the expression above): the text after the
// first opening tag that has a closing tag after it, up to the first such
// closing tag, without the white space (as `\s` defines it for str patterns)
// on either side. None when there is no such pair. Tags the one-pass search
// cannot stand for (not plain str, an empty closing tag, or one that begins
// with white space) go to the host's re.
object tagged_block(handle text, handle open_tag, handle close_tag);

// The JSON value of that block, stripped as str.strip() strips and decoded
// as json.loads decodes (looked up now), or an invalid object when there is
// no block or its text is not JSON. Numbers past the host's digit limit and
// nesting too deep for its decoder count as not JSON, so a brain's answer
// never makes a parser raise.
object tagged_json(handle text, handle open_tag, handle close_tag);

// The file-name form of a question name:
//   re.sub(r"[^a-z0-9\-]", "-", name.lower()).strip("-")
// `name.lower()` is the host's (a name that is not text raises its
// AttributeError); one "-" per replaced character, runs are kept.
object safe_name(handle name);
// The name of the file a question named `name` is stored in:
// safe_name(name) + ".json".
object question_file_name(handle name);

}  // namespace orv::text
