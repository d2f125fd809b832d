// orvane.seed: the question population's fixed start, its files, and the
// evaluation prompt with the parser of the brain's answer.
//
// Two immutable seed questions start every population; the rest are forged
// and stored one JSON file per question. A stored question is whatever map
// its file holds: nothing is validated or filled in on load, so files written
// by newer versions pass through. The seeds are handed out only as deep
// copies. The parser never fails on an answer: anything unusable gives the
// default result. Module globals (`SEED_QUESTION`, `_ALL_SEEDS`, `_clamp`,
// the tags) and the host's json, copy and pathlib are read at call time.
//
// One file per concern, sharing this header:
//   module.cpp     the seed questions, the tags and initialisation
//   questions.cpp  handing out and recognising seeds, question files
//   prompt.cpp     the evaluation prompt, _clamp and the answer's parser
#pragma once

#include "support/host.hpp"

namespace orv::seed {

extern Module mod;  // orvane.seed, read at call time

// Adds get_seed, get_seeds, is_seed, load_questions and save_question.
void define_questions();
// Adds format_question_prompt, parse_question_output and _clamp.
void define_prompt();

}  // namespace orv::seed
