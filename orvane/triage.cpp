// orvane.triage: the execution modes and the policy that applies them.
//
// The policy decides *what* happens to a finding (plan it or not) and to a
// plan (refine, execute, queue for a human); the executor outside this module
// decides how. It reads only its own attributes and the maps it is handed and
// keeps nothing between calls. Everything is looked up at call time
// (`self.<setting>`, the module's `ExecutionMode`), so subclasses and patches
// behave as they would for Python code.
#include "support/host.hpp"

namespace {

using namespace orv;

Globals g;  // this module's globals, read at call time

// The members of ExecutionMode, from least to most autonomous.
constexpr const char* kModes[][2] = {
    {"OBSERVE", "observe"},
    {"SUGGEST", "suggest"},
    {"AUTO", "auto"},
    {"SUPERVISED", "supervised"},
};

// The constructor's default mode, bound once like a Python default value.
PyObject* default_mode = nullptr;

// ----------------------------------------------------------------- helpers

// `a <op> b` with the host's comparison; a non-comparable pair raises its
// TypeError.
bool compare(handle a, handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    must(r);
    return r == 1;
}

// Whether `self.mode` equals `ExecutionMode.<member>` as the module holds it now.
bool mode_is(handle self, const char* member) {
    return compare(self.attr("mode"), g.get("ExecutionMode").attr(member), Py_EQ);
}

// The plan's risk, an unscored plan counting as 1.0.
object risk_of(PyObject* plan) {
    static PyObject* const key = intern("risk_score");
    return get(plan, key, nb::float_(1.0));
}

// Whether the plan's risk is at or below the policy's threshold.
bool safe_enough(handle self, PyObject* plan) {
    return compare(risk_of(plan), self.attr("risk_threshold"), Py_LE);
}

// Whether the plan's risk is above the threshold. A risk that does not order
// against it (NaN) counts as above, so such a plan is refined and queued
// rather than silently neither executed nor queued.
bool too_risky(handle self, PyObject* plan) {
    object risk = risk_of(plan);
    object threshold = self.attr("risk_threshold");
    return compare(risk, threshold, Py_GT) || !compare(risk, threshold, Py_LE);
}

// ------------------------------------------------------------- construction

Signature init_sig{"Triage.__init__",
                   {"self", "mode", "severity_threshold", "risk_threshold",
                    "max_actions_per_cycle", "max_refinements", "min_dimensions", "min_passes"},
                   8,
                   1};
// Stores the settings: `mode` as given, thresholds as floats, counts as
// integers (floats truncate).
object triage_init(const Args& call) {
    PyObject* a[8];
    init_sig.bind(call, a);
    auto [self, mode, severity, risk, max_actions, max_refinements, min_dims, min_passes] = a;
    object mode_v = nb::borrow(mode ? mode : default_mode);
    object severity_v = severity ? to_float(severity, "severity_threshold") : nb::float_(0.6);
    object risk_v = risk ? to_float(risk, "risk_threshold") : nb::float_(0.7);
    object actions_v = max_actions ? to_int(max_actions, "max_actions_per_cycle") : nb::int_(3);
    object refine_v = max_refinements ? to_int(max_refinements, "max_refinements") : nb::int_(2);
    object dims_v = min_dims ? to_int(min_dims, "min_dimensions") : nb::int_(3);
    object passes_v = min_passes ? to_int(min_passes, "min_passes") : nb::int_(2);

    handle h(self);
    h.attr("mode") = mode_v;
    h.attr("severity_threshold") = severity_v;
    h.attr("risk_threshold") = risk_v;
    h.attr("max_actions_per_cycle") = actions_v;
    h.attr("max_refinements") = refine_v;
    h.attr("min_dimensions") = dims_v;
    h.attr("min_passes") = passes_v;
    return nb::none();
}

// ---------------------------------------------------------------- decisions

Signature plan_sig{"Triage.should_plan", {"self", "finding", "coverage"}, 3, 2};
// A finding is planned outside observe mode, once coverage meets both
// minimums, when its numeric severity reaches the threshold.
object should_plan(const Args& call) {
    PyObject* a[3];
    plan_sig.bind(call, a);
    auto [self, finding, coverage] = a;
    expect(finding, &PyDict_Type, "finding");
    if (coverage) expect(coverage, &PyDict_Type, "coverage", true);

    handle h(self);
    if (mode_is(h, "OBSERVE") || !coverage || coverage == Py_None) return nb::bool_(false);

    static PyObject* const k_dims = intern("dimensions");
    static PyObject* const k_passes = intern("passes");
    static PyObject* const k_severity = intern("severity");
    object zero = nb::int_(0);
    object dims = get(coverage, k_dims, zero);
    object passes = get(coverage, k_passes, zero);
    if (compare(dims, h.attr("min_dimensions"), Py_LT) ||
        compare(passes, h.attr("min_passes"), Py_LT))
        return nb::bool_(false);

    // Anything but a number (booleans count as integers) is not a severity.
    object sev = get(finding, k_severity, nb::float_(0.0));
    if (!PyLong_Check(sev.ptr()) && !PyFloat_Check(sev.ptr())) return nb::bool_(false);
    return nb::bool_(compare(sev, h.attr("severity_threshold"), Py_GE));
}

Signature refine_sig{"Triage.should_refine", {"self", "plan"}, 2, 2};
// In auto and supervised mode a plan above the risk threshold is refined while
// refinements remain.
object should_refine(const Args& call) {
    PyObject* a[2];
    refine_sig.bind(call, a);
    auto [self, plan] = a;
    expect(plan, &PyDict_Type, "plan");

    handle h(self);
    if (!mode_is(h, "AUTO") && !mode_is(h, "SUPERVISED")) return nb::bool_(false);
    static PyObject* const k_count = intern("refinement_count");
    object refinements = get(plan, k_count, nb::int_(0));
    return nb::bool_(too_risky(h, plan) &&
                     compare(refinements, h.attr("max_refinements"), Py_LT));
}

Signature execute_sig{"Triage.should_execute", {"self", "plan"}, 2, 2};
// Only auto mode executes, and only plans at or below the risk threshold.
object should_execute(const Args& call) {
    PyObject* a[2];
    execute_sig.bind(call, a);
    auto [self, plan] = a;
    expect(plan, &PyDict_Type, "plan");

    handle h(self);
    if (!mode_is(h, "AUTO")) return nb::bool_(false);
    return nb::bool_(safe_enough(h, plan));
}

Signature queue_sig{"Triage.should_queue", {"self", "plan"}, 2, 2};
// Supervised mode queues every plan; auto mode queues what is still too risky
// once refinement has stopped, the exact complement of should_execute.
object should_queue(const Args& call) {
    PyObject* a[2];
    queue_sig.bind(call, a);
    auto [self, plan] = a;
    expect(plan, &PyDict_Type, "plan");

    handle h(self);
    if (mode_is(h, "SUPERVISED")) return nb::bool_(true);
    if (mode_is(h, "AUTO")) return nb::bool_(too_risky(h, plan));
    return nb::bool_(false);
}

// ------------------------------------------------------------ configuration

// config.get(key, dflt) through the host's float() or int().
object setting(PyObject* config, const char* key, handle dflt, bool integer) {
    object v = get(config, nb::str(key).ptr(), dflt);
    return own(integer ? PyNumber_Long(v.ptr()) : PyNumber_Float(v.ptr()));
}

Signature config_sig{"Triage.from_config", {"cls", "config"}, 2, 2};
// A policy from the execution section of the configuration. An unknown mode
// falls back to observe, the safest one; numbers that do not convert raise.
object from_config(const Args& call) {
    PyObject* a[2];
    config_sig.bind(call, a);
    auto [cls, config] = a;
    expect(config, &PyDict_Type, "config");

    static PyObject* const k_mode = intern("mode");
    object modes = g.get("ExecutionMode");
    object mode_str = get(config, k_mode, nb::str("observe"));
    object mode = nb::steal(PyObject_CallOneArg(modes.ptr(), mode_str.ptr()));
    if (!mode.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_current();
        PyErr_Clear();
        mode = modes.attr("OBSERVE");
    }

    nb::dict kwargs;
    kwargs["mode"] = mode;
    kwargs["severity_threshold"] = setting(config, "severity_threshold", nb::float_(0.6), false);
    kwargs["risk_threshold"] = setting(config, "risk_threshold", nb::float_(0.7), false);
    kwargs["max_actions_per_cycle"] = setting(config, "max_actions_per_cycle", nb::int_(3), true);
    kwargs["max_refinements"] = setting(config, "max_refinements", nb::int_(3), true);
    kwargs["min_dimensions"] = setting(config, "min_dimensions", nb::int_(3), true);
    kwargs["min_passes"] = setting(config, "min_passes", nb::int_(2), true);
    object args = own(PyTuple_New(0));
    return own(PyObject_Call(cls, args.ptr(), kwargs.ptr()));
}

PyMethodDef triage_methods[] = {
    method<triage_init>("__init__",
                        "__init__(self, mode=ExecutionMode.OBSERVE, severity_threshold=0.6, "
                        "risk_threshold=0.7, max_actions_per_cycle=3, max_refinements=2, "
                        "min_dimensions=3, min_passes=2)\n--\n\n"
                        "A policy for `mode`; thresholds are stored as floats, counts as "
                        "integers."),
    method<should_plan>("should_plan",
                        "should_plan(self, finding, coverage=None)\n--\n\n"
                        "True if the finding should get an action plan."),
    method<should_refine>("should_refine",
                          "should_refine(self, plan)\n--\n\n"
                          "True if the plan should be refined to lower its risk."),
    method<should_execute>("should_execute",
                           "should_execute(self, plan)\n--\n\nTrue if the plan should be executed."),
    method<should_queue>("should_queue",
                         "should_queue(self, plan)\n--\n\n"
                         "True if the plan should be queued for human approval."),
};

PyMethodDef triage_class_methods[] = {
    method<from_config>("from_config",
                        "from_config(cls, config)\n--\n\n"
                        "A policy from the execution section of the configuration."),
};

}  // namespace

NB_MODULE(triage, m) {
    m.doc() = "Execution modes and the policy that decides what happens to findings and plans.";
    g.bind(m);

    // A plain Enum from the host's functional API: members compare equal only
    // to themselves, never to their string values.
    nb::list members;
    for (auto& [name, value] : kModes) members.append(nb::make_tuple(name, value));
    object modes = host("enum", "Enum")("ExecutionMode", members, nb::arg("module") = g.module_name(),
                                        nb::arg("qualname") = "ExecutionMode");
    modes.attr("__doc__") = "How autonomously the engine acts on its findings.";
    m.attr("ExecutionMode") = modes;
    default_mode = object(modes.attr("OBSERVE")).release().ptr();  // kept for the process

    ClassBuilder triage("Triage", g,
                        "A configurable policy: should a finding be planned, and should a plan be "
                        "refined, executed or queued for a human.");
    for (PyMethodDef& def : triage_methods) triage.method(&def);
    for (PyMethodDef& def : triage_class_methods) triage.class_method(&def);
    m.attr("Triage") = triage.build();
}
