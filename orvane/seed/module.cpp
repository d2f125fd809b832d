// The seed questions, the tags and the module's initialisation.
#include "seed/seed.hpp"

#include "support/json.hpp"

#include <initializer_list>

namespace orv::seed {

Module mod;

namespace {

// A seed question, its keys in file order.
object seed_question(const char* name, const char* question, const char* description,
                     std::initializer_list<const char*> tags) {
    object seed = own(PyDict_New());
    set_item(seed, k_name, nb::str(name));
    set_item(seed, k_question, nb::str(question));
    set_item(seed, k_description, nb::str(description));
    set_item(seed, k_generation, nb::int_(0));
    set_item(seed, k_parent, nb::none());
    set_item(seed, k_immutable, nb::bool_(true));
    nb::list tag_list;
    for (const char* tag : tags) tag_list.append(tag);
    set_item(seed, k_tags, tag_list);
    return seed;
}

}  // namespace

}  // namespace orv::seed

NB_MODULE(seed, m) {
    using namespace orv;
    using namespace orv::seed;
    mod.init(m, "The seed questions, question files, the evaluation prompt and its parser.");
    json::init();

    object diagnostic = seed_question(
        "pressure-test", "What is the strongest case that this is wrong or incomplete?",
        "The universal self-check. First find flaws. Then find missing pieces. Then turn the lens "
        "on your own findings: are THEY correct? Are THEY complete? Apply recursively until a "
        "full pass finds nothing new.",
        {"seed", "meta", "recursive"});
    object generative = seed_question(
        "opportunity-scan",
        "What is the highest-value action available right now that no one is taking?",
        "The universal opportunity finder. Identify untapped potential, underused capabilities, "
        "missing connections between existing assets, and high-ROI moves that are ready to "
        "execute. Not what is broken \u2014 what is possible.",
        {"seed", "generative", "opportunity"});
    m.attr("SEED_QUESTION") = diagnostic;
    m.attr("GENERATIVE_SEED") = generative;
    nb::list all_seeds;
    all_seeds.append(diagnostic);
    all_seeds.append(generative);
    m.attr("_ALL_SEEDS") = all_seeds;

    m.attr("_EVAL_TAG") = "orvane-eval";
    m.attr("_EVAL_OPEN") = "<orvane-eval>";
    m.attr("_EVAL_CLOSE") = "</orvane-eval>";

    define_questions();
    define_prompt();
}
