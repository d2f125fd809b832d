// orvane.goal: the owner's goal, the north star of an agent instance.
//
// The goal says what "right" means; it always comes from a human and only its
// owner may change it. Each change moves the previous text into the history.
// The goal lives in "goal.yaml" (a block-style YAML mapping) and can be asked
// for on the terminal when an instance is created. Timestamps come from the
// module's own `_now_iso`, and the host's open, print, input, PyYAML and
// pathlib are looked up when called, so patches of any of them take effect.
#include "support/host.hpp"

namespace {

using namespace orv;

Globals g;  // this module's globals, read at call time

// --------------------------------------------------------------------- time

Signature now_sig{"_now_iso", {}, 0, 0};
// The current UTC time in the host's isoformat() form.
object now_iso_fn(const Args& call) {
    now_sig.bind(call, nullptr);
    return returning(now_iso(), &PyUnicode_Type);
}

// ---------------------------------------------------------------- the goal

Signature init_sig{"Goal.__init__", {"self", "goal_text", "owner"}, 3, 3};
// A new goal: no history yet, updated when created. The text is not checked.
object goal_init(const Args& call) {
    PyObject* a[3];
    init_sig.bind(call, a);
    auto [self, goal_text, owner] = a;
    expect(goal_text, &PyUnicode_Type, "goal_text");
    expect(owner, &PyUnicode_Type, "owner");

    handle h(self);
    object now = g.get("_now_iso")();
    h.attr("goal") = handle(goal_text);
    h.attr("owner") = handle(owner);
    h.attr("created_at") = now;
    h.attr("updated_at") = h.attr("created_at");
    h.attr("history") = nb::list();
    return nb::none();
}

Signature update_sig{"Goal.update", {"self", "new_goal", "claimed_owner"}, 3, 3};
// Replaces the text if `claimed_owner` is the owner, recording the old text in
// the history; False (and no change) for anyone else. Does not save.
object update(const Args& call) {
    PyObject* a[3];
    update_sig.bind(call, a);
    auto [self, new_goal, claimed_owner] = a;
    expect(new_goal, &PyUnicode_Type, "new_goal");
    expect(claimed_owner, &PyUnicode_Type, "claimed_owner");

    handle h(self);
    int other = PyObject_RichCompareBool(claimed_owner, h.attr("owner").ptr(), Py_NE);
    must(other);
    if (other) return nb::bool_(false);

    object now = g.get("_now_iso")();
    nb::dict entry;
    entry["goal"] = h.attr("goal");
    entry["set_at"] = h.attr("updated_at");
    entry["replaced_at"] = now;
    h.attr("history").attr("append")(entry);
    h.attr("goal") = handle(new_goal);
    h.attr("updated_at") = now;
    return nb::bool_(true);
}

Signature get_sig{"Goal.get", {"self"}, 1, 1};
// The current goal text.
object get_goal(const Args& call) {
    PyObject* a[1];
    get_sig.bind(call, a);
    return returning(handle(a[0]).attr("goal"), &PyUnicode_Type);
}

Signature to_dict_sig{"Goal.to_dict", {"self"}, 1, 1};
// A plain map in file order; the history is a deep copy, so the map can be
// changed freely.
object to_dict(const Args& call) {
    PyObject* a[1];
    to_dict_sig.bind(call, a);
    handle h(a[0]);
    nb::dict d;
    d["goal"] = h.attr("goal");
    d["owner"] = h.attr("owner");
    d["created_at"] = h.attr("created_at");
    d["updated_at"] = h.attr("updated_at");
    d["history"] = host("copy", "deepcopy")(h.attr("history"));
    return returning(std::move(d), &PyDict_Type);
}

// ------------------------------------------------------------------- file

// Closes a file after a failed read or write; the failure stays the error
// the caller sees, as with a `with` block.
void close_after_failure(handle file) {
    if (PyObject* r = PyObject_CallMethod(file.ptr(), "close", nullptr))
        Py_DECREF(r);
    else
        PyErr_Clear();
}

Signature save_sig{"Goal.save", {"self", "path"}, 2, 2};
// Writes the goal file, creating missing parent directories. The YAML text is
// produced before the file is opened, so a goal that cannot be represented
// raises without truncating the goal file already on disk.
object save(const Args& call) {
    PyObject* a[2];
    save_sig.bind(call, a);
    auto [self, path] = a;
    expect(path, &PyUnicode_Type, "path");

    host("pathlib", "Path")(handle(path)).attr("parent").attr("mkdir")(
        nb::arg("parents") = true, nb::arg("exist_ok") = true);
    object data = handle(self).attr("to_dict")();
    object text = host("yaml", "dump")(data, nb::arg("default_flow_style") = false,
                                       nb::arg("sort_keys") = false);

    object file = host("builtins", "open")(handle(path), "w", nb::arg("encoding") = "utf-8");
    try {
        file.attr("write")(text);
    } catch (nb::python_error&) {
        close_after_failure(file);
        throw;
    }
    file.attr("close")();  // a failure to flush (a full disk) is not hidden
    return nb::none();
}

Signature load_sig{"Goal.load", {"cls", "path"}, 2, 2};
// Reads a goal file: a mapping with at least "goal" and "owner". The object is
// made without the constructor and its values are taken as they are.
object load(const Args& call) {
    PyObject* a[2];
    load_sig.bind(call, a);
    auto [cls, path] = a;
    expect(path, &PyUnicode_Type, "path");

    object file = host("builtins", "open")(handle(path), "r", nb::arg("encoding") = "utf-8");
    object data;
    try {
        data = host("yaml", "safe_load")(file);
    } catch (nb::python_error&) {
        close_after_failure(file);
        throw;
    }
    file.attr("close")();

    static PyObject* const k_goal = intern("goal");
    static PyObject* const k_owner = intern("owner");
    static PyObject* const k_created = intern("created_at");
    static PyObject* const k_updated = intern("updated_at");
    static PyObject* const k_history = intern("history");
    auto has = [&](PyObject* key) {
        int r = PyDict_Contains(data.ptr(), key);
        must(r);
        return r == 1;
    };
    if (!PyDict_Check(data.ptr()) || !has(k_goal) || !has(k_owner))
        raise(PyExc_ValueError, "Invalid goal file: %U", path);

    object obj = handle(cls).attr("__new__")(handle(cls));
    obj.attr("goal") = get(data, k_goal, nb::none());
    obj.attr("owner") = get(data, k_owner, nb::none());
    obj.attr("created_at") = has(k_created) ? get(data, k_created, nb::none())
                                            : g.get("_now_iso")();
    obj.attr("updated_at") = has(k_updated) ? get(data, k_updated, nb::none())
                                            : obj.attr("created_at");
    obj.attr("history") = has(k_history) ? get(data, k_history, nb::none()) : nb::list();
    return obj;
}

// ---------------------------------------------------------------- terminal

Signature prompt_sig{"Goal.from_prompt", {"cls", "owner"}, 2, 2};
// Asks the owner for the goal text on the terminal; blanks alone are refused.
object from_prompt(const Args& call) {
    PyObject* a[2];
    prompt_sig.bind(call, a);
    auto [cls, owner] = a;
    expect(owner, &PyUnicode_Type, "owner");

    object print = host("builtins", "print");
    print("Orvane needs a GOAL to operate.");
    print("The goal defines what 'right' means. The system will find deviations from it.");
    print();
    object text = host("builtins", "input")("Enter your goal: ").attr("strip")();
    if (!truth(text.ptr())) raise(PyExc_ValueError, "Goal cannot be empty.");
    return handle(cls)(text, handle(owner));
}

PyMethodDef goal_methods[] = {
    method<goal_init>("__init__",
                      "__init__(self, goal_text, owner)\n--\n\n"
                      "A new goal owned by `owner`, created now, with an empty history."),
    method<update>("update",
                   "update(self, new_goal, claimed_owner)\n--\n\n"
                   "Replace the goal text if `claimed_owner` is the owner; True if it was "
                   "replaced. Does not save."),
    method<get_goal>("get", "get(self)\n--\n\nThe current goal text."),
    method<to_dict>("to_dict",
                    "to_dict(self)\n--\n\n"
                    "The goal as a plain map: goal, owner, created_at, updated_at, history."),
    method<save>("save",
                 "save(self, path)\n--\n\n"
                 "Write the goal file at `path`, creating missing directories."),
};

PyMethodDef goal_class_methods[] = {
    method<load>("load", "load(cls, path)\n--\n\nRead a goal from the goal file at `path`."),
    method<from_prompt>("from_prompt",
                        "from_prompt(cls, owner)\n--\n\nAsk for the goal text on the terminal."),
};

PyMethodDef functions[] = {
    method<now_iso_fn>("_now_iso", "_now_iso()\n--\n\nThe current UTC time in ISO 8601 form."),
};

}  // namespace

NB_MODULE(goal, m) {
    m.doc() = "The owner's goal: its text, its history, its file and its terminal prompt.";
    g.bind(m);
    for (PyMethodDef& def : functions) add_function(m, &def);

    ClassBuilder goal("Goal", g,
                      "The human-supplied goal of an agent instance; only its owner may "
                      "change it.");
    for (PyMethodDef& def : goal_methods) goal.method(&def);
    for (PyMethodDef& def : goal_class_methods) goal.class_method(&def);
    m.attr("Goal") = goal.build();
}
