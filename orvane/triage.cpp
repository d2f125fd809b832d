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

Module mod;  // orvane.triage, read at call time
Host enum_Enum{"enum", "Enum"};

Name k_ExecutionMode{"ExecutionMode"}, k_OBSERVE{"OBSERVE"}, k_SUGGEST{"SUGGEST"}, k_AUTO{"AUTO"},
    k_SUPERVISED{"SUPERVISED"}, k_mode{"mode"}, k_severity_threshold{"severity_threshold"},
    k_risk_threshold{"risk_threshold"}, k_max_actions_per_cycle{"max_actions_per_cycle"},
    k_max_refinements{"max_refinements"}, k_min_dimensions{"min_dimensions"},
    k_min_passes{"min_passes"}, k_risk_score{"risk_score"}, k_refinement_count{"refinement_count"},
    k_dimensions{"dimensions"}, k_passes{"passes"}, k_missing{"_missing_"};

// The members of ExecutionMode, from least to most autonomous.
constexpr const char* kModes[][2] = {
    {"OBSERVE", "observe"},
    {"SUGGEST", "suggest"},
    {"AUTO", "auto"},
    {"SUPERVISED", "supervised"},
};

// ----------------------------------------------------------------- helpers

// The ExecutionMode the module made, and its members in kModes order. While
// the module still holds that enum, its members are read from here: an Enum
// cannot rebind a member, and members of one Enum compare by identity.
struct Modes {
    PyObject* cls = nullptr;
    PyObject* members[4] = {};
} made;  // kept for the process

enum Member { OBSERVE, SUGGEST, AUTO, SUPERVISED };
const Name* const kMemberNames[] = {&k_OBSERVE, &k_SUGGEST, &k_AUTO, &k_SUPERVISED};

// `self.mode` and the module's ExecutionMode, each read once per decision.
class CurrentMode {
public:
    explicit CurrentMode(handle self)
        : mode_(getattr(self, k_mode)), modes_(mod.get(k_ExecutionMode)) {}

    // Whether `self.mode == ExecutionMode.<member>` as the host would say.
    bool is(Member member) const {
        if (modes_.ptr() == made.cls) {
            PyObject* m = made.members[member];
            if (Py_TYPE(mode_.ptr()) == reinterpret_cast<PyTypeObject*>(made.cls))
                return mode_.ptr() == m;
            return compare(mode_, handle(m), Py_EQ);
        }
        return compare(mode_, getattr(modes_, *kMemberNames[member]), Py_EQ);
    }

private:
    object mode_, modes_;
};

PyObject* one = nullptr;  // 1.0, the risk of an unscored plan

// The plan's risk, an unscored plan counting as 1.0.
object risk_of(PyObject* plan) { return get(plan, k_risk_score, handle(one)); }

// Whether the plan's risk is at or below the policy's threshold.
bool safe_enough(handle self, PyObject* plan) {
    return compare(risk_of(plan), getattr(self, k_risk_threshold), Py_LE);
}

// Whether the plan's risk is above the threshold. A risk that does not order
// against it (NaN) counts as above, so such a plan is refined and queued
// rather than silently neither executed nor queued.
bool too_risky(handle self, PyObject* plan) {
    object risk = risk_of(plan);
    object threshold = getattr(self, k_risk_threshold);
    return compare(risk, threshold, Py_GT) || !compare(risk, threshold, Py_LE);
}

// ------------------------------------------------------------- construction

// Stores the settings: `mode` as given, thresholds as floats, counts as
// integers (floats truncate).
ORV_FUNCTION(triage_init,
             "__init__(self, mode=ExecutionMode.OBSERVE, severity_threshold: float = 0.6, "
             "risk_threshold: float = 0.7, max_actions_per_cycle: int = 3, "
             "max_refinements: int = 2, min_dimensions: int = 3, min_passes: int = 2) -> None",
             "A policy for `mode`; thresholds are stored as floats, counts as integers.") {
    auto& [self, mode, severity, risk, max_actions, max_refinements, min_dims, min_passes] = args;
    handle h(self);
    setattr(h, k_mode, handle(mode));
    setattr(h, k_severity_threshold, handle(severity));
    setattr(h, k_risk_threshold, handle(risk));
    setattr(h, k_max_actions_per_cycle, handle(max_actions));
    setattr(h, k_max_refinements, handle(max_refinements));
    setattr(h, k_min_dimensions, handle(min_dims));
    setattr(h, k_min_passes, handle(min_passes));
    return nb::none();
}

// ---------------------------------------------------------------- decisions

// A finding is planned outside observe mode, once coverage meets both
// minimums, when its numeric severity reaches the threshold.
ORV_FUNCTION(should_plan, "should_plan(self, finding: dict, coverage: dict | None = None) -> bool",
             "True if the finding should get an action plan.") {
    auto& [self, finding, coverage] = args;
    handle h(self);
    if (CurrentMode(h).is(OBSERVE) || coverage == Py_None) return nb::bool_(false);

    object zero = nb::int_(0);
    object dims = get(coverage, k_dimensions, zero);
    object passes = get(coverage, k_passes, zero);
    if (compare(dims, getattr(h, k_min_dimensions), Py_LT) ||
        compare(passes, getattr(h, k_min_passes), Py_LT))
        return nb::bool_(false);

    // Anything but a number (booleans count as integers) is not a severity.
    object sev = get(finding, k_severity, nb::float_(0.0));
    if (!is_instance(sev, &PyLong_Type) && !is_instance(sev, &PyFloat_Type))
        return nb::bool_(false);
    return nb::bool_(compare(sev, getattr(h, k_severity_threshold), Py_GE));
}

// In auto and supervised mode a plan above the risk threshold is refined while
// refinements remain.
ORV_FUNCTION(should_refine, "should_refine(self, plan: dict) -> bool",
             "True if the plan should be refined to lower its risk.") {
    auto& [self, plan] = args;
    handle h(self);
    const CurrentMode mode(h);
    if (!mode.is(AUTO) && !mode.is(SUPERVISED)) return nb::bool_(false);
    object refinements = get(plan, k_refinement_count, nb::int_(0));
    return nb::bool_(too_risky(h, plan) &&
                     compare(refinements, getattr(h, k_max_refinements), Py_LT));
}

// Only auto mode executes, and only plans at or below the risk threshold.
ORV_FUNCTION(should_execute, "should_execute(self, plan: dict) -> bool",
             "True if the plan should be executed.") {
    auto& [self, plan] = args;
    handle h(self);
    if (!CurrentMode(h).is(AUTO)) return nb::bool_(false);
    return nb::bool_(safe_enough(h, plan));
}

// Supervised mode queues every plan; auto mode queues what is still too risky
// once refinement has stopped, the exact complement of should_execute.
ORV_FUNCTION(should_queue, "should_queue(self, plan: dict) -> bool",
             "True if the plan should be queued for human approval.") {
    auto& [self, plan] = args;
    handle h(self);
    const CurrentMode mode(h);
    if (mode.is(SUPERVISED)) return nb::bool_(true);
    if (mode.is(AUTO)) return nb::bool_(too_risky(h, plan));
    return nb::bool_(false);
}

// ------------------------------------------------------------ configuration

// config.get(key, dflt) through the host's float() or int().
object setting(PyObject* config, const Name& key, handle dflt, bool integer) {
    object v = get(config, key, dflt);
    return own(integer ? PyNumber_Long(v.ptr()) : PyNumber_Float(v.ptr()));
}

PyObject* enum_missing = nullptr;  // what Enum itself holds as _missing_, kept for the process

// What `type.__dict__[name]` holds for the first class of `type`'s MRO that
// has `name`, as attribute lookup on the class finds it; invalid if none has.
object class_attribute(PyObject* type, PyObject* name) {
    PyObject* mro = reinterpret_cast<PyTypeObject*>(type)->tp_mro;
    for (Py_ssize_t i = 0; mro && i < PyTuple_GET_SIZE(mro); ++i) {
        object dict = own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        PyObject* found = nullptr;
        must(PyDict_GetItemRef(dict.ptr(), name, &found));
        if (found) return nb::steal(found);
    }
    return object();
}

// Whether ExecutionMode(value) may be answered here for a str: the module
// still holds the enum it made, and the enum's _missing_ is still Enum's own,
// which refuses every value. A hook set on the enum is asked by the host.
bool native_lookup(handle modes) {
    if (modes.ptr() != made.cls) return false;
    object missing = class_attribute(made.cls, k_missing);
    return missing.is_valid() && missing.ptr() == enum_missing;
}

// ExecutionMode(value) as the module's enum answers it; OBSERVE for a value
// it refuses with ValueError.
object mode_from(handle modes, handle value) {
    if (PyUnicode_CheckExact(value.ptr()) && native_lookup(modes)) {
        for (int i = 0; i < 4; ++i)
            if (PyUnicode_CompareWithASCIIString(value.ptr(), kModes[i][1]) == 0)
                return nb::borrow(made.members[i]);
        return nb::borrow(made.members[OBSERVE]);
    }
    object mode = nb::steal(PyObject_CallOneArg(modes.ptr(), value.ptr()));
    if (mode.is_valid()) return mode;
    if (!PyErr_ExceptionMatches(PyExc_ValueError)) raise_current();
    PyErr_Clear();
    return getattr(modes, k_OBSERVE);
}

PyObject* config_keywords = nullptr;  // the seven keyword names from_config passes, in order

// A policy from the execution section of the configuration. An unknown mode
// falls back to observe, the safest one; numbers that do not convert raise.
ORV_FUNCTION(from_config, "from_config(cls, config: dict) -> Triage",
             "A policy from the execution section of the configuration.") {
    auto& [cls, config] = args;
    object values[] = {
        mode_from(mod.get(k_ExecutionMode), get(config, k_mode, nb::str("observe"))),
        setting(config, k_severity_threshold, nb::float_(0.6), false),
        setting(config, k_risk_threshold, nb::float_(0.7), false),
        setting(config, k_max_actions_per_cycle, nb::int_(3), true),
        setting(config, k_max_refinements, nb::int_(3), true),
        setting(config, k_min_dimensions, nb::int_(3), true),
        setting(config, k_min_passes, nb::int_(2), true),
    };
    PyObject* stack[7];
    for (int i = 0; i < 7; ++i) stack[i] = values[i].ptr();
    return own(PyObject_Vectorcall(cls, stack, 0, config_keywords));
}

}  // namespace

NB_MODULE(triage, m) {
    mod.init(m, "Execution modes and the policy that decides what happens to findings and plans.");

    // A plain Enum from the host's functional API: members compare equal only
    // to themselves, never to their string values.
    nb::list members;
    for (auto& [name, value] : kModes) members.append(nb::make_tuple(name, value));
    object modes = enum_Enum("ExecutionMode", members, nb::arg("module") = mod.name(),
                                        nb::arg("qualname") = "ExecutionMode");
    modes.attr("__doc__") = "How autonomously the engine acts on its findings.";
    m.attr("ExecutionMode") = modes;
    made.cls = Py_NewRef(modes.ptr());
    object base_missing = class_attribute(enum_Enum.get().ptr(), k_missing);
    if (!base_missing.is_valid()) raise(PyExc_AttributeError, "enum.Enum has no _missing_");
    enum_missing = base_missing.release().ptr();
    for (int i = 0; i < 4; ++i) made.members[i] = getattr(modes, *kMemberNames[i]).release().ptr();
    one = PyFloat_FromDouble(1.0);
    if (!one) raise_current();
    config_keywords = nb::make_tuple(k_mode.h(), k_severity_threshold.h(), k_risk_threshold.h(),
                                     k_max_actions_per_cycle.h(), k_max_refinements.h(),
                                     k_min_dimensions.h(), k_min_passes.h())
                          .release()
                          .ptr();

    ClassBuilder triage(mod,
                        "Triage",
                        "A configurable policy: should a finding be planned, and should a plan be "
                        "refined, executed or queued for a human.");
    triage.method(triage_init_def)
        .method(should_plan_def)
        .method(should_refine_def)
        .method(should_execute_def)
        .method(should_queue_def)
        .class_method(from_config_def);
    m.attr("Triage") = triage.build();
}
