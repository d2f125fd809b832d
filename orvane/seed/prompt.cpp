// The evaluation prompt, _clamp and the parser of the brain's answer.
#include "seed/seed.hpp"

#include "support/text.hpp"
#include "support/text_builder.hpp"

namespace orv::seed {

namespace {

Name k_EVAL_OPEN{"_EVAL_OPEN"}, k_EVAL_CLOSE{"_EVAL_CLOSE"}, k_clamp{"_clamp"}, k_raw{"raw"},
    k_category{"category"}, k_confidence{"confidence"}, k_coverage_estimate{"coverage_estimate"};

// Made once when the module loads, kept for the process.
PyObject* clamp_function = nullptr;  // our own _clamp, to spot replacements
PyObject* zero = nullptr;            // 0.0
PyObject* half = nullptr;            // 0.5
PyObject* one = nullptr;             // 1.0

// ---------------------------------------------------------------- numbers

// max(lo, min(hi, float(value))) as the host's min and max compute it, so NaN
// gives hi; a value float() refuses gives lo.
object clamp_value(PyObject* value, PyObject* lo, PyObject* hi) {
    object number;
    if (PyFloat_CheckExact(value)) {
        number = nb::borrow(value);
    } else {
        PyObject* converted = PyNumber_Float(value);
        if (!converted) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_ValueError) &&
                !PyErr_ExceptionMatches(PyExc_ArithmeticError))
                raise_current();
            PyErr_Clear();
            return nb::borrow(lo);
        }
        number = nb::steal(converted);
    }
    const double x = PyFloat_AS_DOUBLE(number.ptr());
    PyObject* low = x < PyFloat_AS_DOUBLE(hi) ? number.ptr() : hi;
    return nb::borrow(PyFloat_AS_DOUBLE(low) > PyFloat_AS_DOUBLE(lo) ? low : lo);
}

ORV_FUNCTION(clamp, "_clamp(value, lo: float = 0.0, hi: float = 1.0) -> float",
             "The value as a float, clamped into [lo, hi]; lo when it is not a number.") {
    auto& [value, lo, hi] = args;
    return clamp_value(value, lo, hi);
}

// ------------------------------------------------------------------ prompt

ORV_FUNCTION(format_question_prompt,
             "format_question_prompt(question: dict, target_description: str, goal: str, "
             "context: str = \"\", depth: int = 0) -> str",
             "The evaluation prompt for one question applied to one target under the goal.") {
    auto& [question, target_description, goal, context, depth] = args;
    nb::list lines;
    lines.append(concat({"GOAL (what 'right' means): ", text_of(goal)}));
    lines.append("");
    lines.append(concat({"TARGET: ", text_of(target_description)}));
    lines.append("");
    if (compare(handle(depth), nb::int_(0), Py_GT) && PyUnicode_GET_LENGTH(context) > 0) {
        object previous = own(PyNumber_Subtract(depth, nb::int_(1).ptr()));
        lines.append(own(PyUnicode_FromFormat(
            "NOTE: You are evaluating PREVIOUS findings (depth %S), not the original target. "
            "The findings from depth %S were:",
            depth, previous.ptr())));
        lines.append(handle(context));
        lines.append("");
    }
    object name = own(PyObject_GetItem(question, k_name));
    object text = own(PyObject_GetItem(question, k_question));
    lines.append(own(PyUnicode_FromFormat("QUESTION [%S]: %S", name.ptr(), text.ptr())));
    object description = get(question, k_description, nb::none());
    if (truth(description.ptr())) lines.append(concat({"Guidance: ", text_of(description)}));
    lines.append("");
    lines.append(
        "Respond with your analysis, then provide structured output inside "
        "<orvane-eval>...</orvane-eval> tags as valid JSON with this schema:");
    for (const char* line : {
             "{",
             "  \"findings\": [",
             "    {\"description\": \"...\", \"severity\": 0.0-1.0, \"category\": \"...\", "
             "\"evidence\": \"...\"}",
             "  ],",
             "  \"gaps\": [",
             "    {\"description\": \"...\", \"dimension\": \"...\"}",
             "  ],",
             "  \"meta\": {",
             "    \"confidence\": 0.0-1.0,",
             "    \"coverage_estimate\": 0.0-1.0",
             "  }",
             "}",
         })
        lines.append(line);
    return own(PyUnicode_Join(nb::str("\n").ptr(), lines.ptr()));
}

// ----------------------------------------------------------------- parsing

// The map elements of `value` when it is a list, each turned into a record by
// `make`; anything that is not a list gives none.
template <typename Make>
object records(handle value, Make make) {
    nb::list out;
    if (!PyList_Check(value.ptr())) return out;
    for_each(value, [&](object element) {
        if (PyDict_Check(element.ptr())) out.append(make(element));
    });
    return out;
}

object meta_record(handle confidence, handle coverage) {
    object meta = own(PyDict_New());
    set_item(meta, k_confidence, confidence);
    set_item(meta, k_coverage_estimate, coverage);
    return meta;
}

ORV_FUNCTION(parse_question_output, "parse_question_output(output: str) -> dict",
             "The findings, gaps and meta estimates of the brain's answer, with the whole text "
             "under \"raw\"; never raises.") {
    auto& [output] = args;
    object data = text::tagged_json(handle(output), mod.get(k_EVAL_OPEN), mod.get(k_EVAL_CLOSE));
    if (!data.is_valid() || !PyDict_Check(data.ptr())) {
        object result = own(PyDict_New());
        set_item(result, k_findings, nb::list());
        set_item(result, k_gaps, nb::list());
        set_item(result, k_meta, meta_record(handle(zero), handle(zero)));
        set_item(result, k_raw, handle(output));
        return result;
    }

    // The module's `_clamp` as it stands for this call: our own runs natively.
    const Callee clamp_now(mod, k_clamp, clamp_function);
    auto clamp = [&](handle value) {
        return clamp_now.ours() ? clamp_value(value.ptr(), zero, one) : clamp_now.call(value);
    };
    object result = own(PyDict_New());
    set_item(result, k_raw, handle(output));
    set_item(result, k_findings, records(get(data, k_findings, nb::list()), [&](handle f) {
                 object finding = own(PyDict_New());
                 set_item(finding, k_description, text_of(get(f, k_description, k_empty.h())));
                 set_item(finding, k_severity, clamp(get(f, k_severity, handle(half))));
                 set_item(finding, k_category, text_of(get(f, k_category, k_unknown.h())));
                 set_item(finding, k_evidence, text_of(get(f, k_evidence, k_empty.h())));
                 return finding;
             }));
    set_item(result, k_gaps, records(get(data, k_gaps, nb::list()), [&](handle g) {
                 object gap = own(PyDict_New());
                 set_item(gap, k_description, text_of(get(g, k_description, k_empty.h())));
                 set_item(gap, k_dimension, text_of(get(g, k_dimension, k_empty.h())));
                 return gap;
             }));
    object meta = get(data, k_meta, nb::dict());
    if (PyDict_Check(meta.ptr()))
        set_item(result, k_meta,
                 meta_record(clamp(get(meta, k_confidence, handle(zero))),
                             clamp(get(meta, k_coverage_estimate, handle(zero)))));
    else
        set_item(result, k_meta, meta_record(handle(zero), handle(zero)));
    return result;
}

}  // namespace

void define_prompt() {
    zero = PyFloat_FromDouble(0.0);
    half = PyFloat_FromDouble(0.5);
    one = PyFloat_FromDouble(1.0);
    if (!zero || !half || !one) raise_current();
    for (const Def* def : {&format_question_prompt_def, &parse_question_output_def})
        mod.function(*def);
    clamp_function = mod.function(clamp_def).release().ptr();
}

}  // namespace orv::seed
