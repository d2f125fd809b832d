// orvane.goal: the owner's goal, the north star of an agent instance.
//
// The goal says what "right" means; it always comes from a human and only its
// owner may change it. Each change moves the previous text into the history.
// The goal lives in "goal.yaml" (a block-style YAML mapping) and can be asked
// for on the terminal when an instance is created. Timestamps come from the
// module's own `_now_iso`, and the host's open, print, input, PyYAML and
// pathlib are looked up when called, so patches of any of them take effect.
#include "support/files.hpp"
#include "support/host.hpp"

namespace {

using namespace orv;

Module mod;  // orvane.goal, read at call time

Name k_goal{"goal"}, k_updated_at{"updated_at"}, k_history{"history"}, k_set_at{"set_at"},
    k_replaced_at{"replaced_at"}, k_new{"__new__"};
Name k_deepcopy{"deepcopy"};
HostFunction copy_deepcopy{k_copy, k_deepcopy};
Host pathlib_Path{"pathlib", "Path"},
    yaml_dump{"yaml", "dump"}, yaml_safe_load{"yaml", "safe_load"}, builtins_open{"builtins", "open"},
    builtins_print{"builtins", "print"}, builtins_input{"builtins", "input"};

// ---------------------------------------------------------------- the goal

// A new goal: no history yet, updated when created. The text is not checked.
ORV_FUNCTION(goal_init, "__init__(self, goal_text: str, owner: str) -> None",
             "A new goal owned by `owner`, created now, with an empty history.") {
    auto& [self, goal_text, owner] = args;
    handle h(self);
    object now = mod.get(k_now_iso)();
    setattr(h, k_goal, handle(goal_text));
    setattr(h, k_owner, handle(owner));
    setattr(h, k_created_at, now);
    setattr(h, k_updated_at, getattr(h, k_created_at));
    setattr(h, k_history, nb::list());
    return nb::none();
}

// Replaces the text if `claimed_owner` is the owner, recording the old text in
// the history; False (and no change) for anyone else. Does not save.
ORV_FUNCTION(update, "update(self, new_goal: str, claimed_owner: str) -> bool",
             "Replace the goal text if `claimed_owner` is the owner; True if it was replaced. "
             "Does not save.") {
    auto& [self, new_goal, claimed_owner] = args;
    handle h(self);
    int other = PyObject_RichCompareBool(claimed_owner, getattr(h, k_owner).ptr(), Py_NE);
    must(other);
    if (other) return nb::bool_(false);

    object now = mod.get(k_now_iso)();
    object entry = own(PyDict_New());
    set_item(entry, k_goal, getattr(h, k_goal));
    set_item(entry, k_set_at, getattr(h, k_updated_at));
    set_item(entry, k_replaced_at, now);
    call_method(getattr(h, k_history), k_append, entry);
    setattr(h, k_goal, handle(new_goal));
    setattr(h, k_updated_at, now);
    return nb::bool_(true);
}

ORV_FUNCTION(get_goal, "get(self) -> str", "The current goal text.") {
    auto& [self] = args;
    return getattr(self, k_goal);
}

// Whether `value` is a str, int, float, bool or None of the host's own
// types: what copy.deepcopy hands back unchanged.
bool atom(PyObject* value) {
    return value == Py_None || PyUnicode_CheckExact(value) || PyLong_CheckExact(value) ||
           PyFloat_CheckExact(value) || PyBool_Check(value);
}

// copy.deepcopy(history). A history as the goal keeps it (a list of maps of
// str to plain values) is copied here while copy.deepcopy is the host's own:
// new list, new maps, the same atoms, exactly what deepcopy gives. Anything
// else goes to copy.deepcopy.
object copy_history(handle history) {
    bool own_deepcopy = false;
    object deepcopy = copy_deepcopy.current(own_deepcopy);
    if (own_deepcopy && PyList_CheckExact(history.ptr())) {
        object items = own(PySequence_List(history.ptr()));  // ours while we look
        bool plain = true;
        for (Py_ssize_t i = 0; plain && i < PyList_GET_SIZE(items.ptr()); ++i) {
            PyObject* entry = PyList_GET_ITEM(items.ptr(), i);
            plain = PyDict_CheckExact(entry);
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            while (plain && PyDict_Next(entry, &pos, &key, &value))
                plain = PyUnicode_CheckExact(key) && atom(value);
        }
        if (plain) {
            for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
                must(PyList_SetItem(items.ptr(), i,
                                    own(PyDict_Copy(PyList_GET_ITEM(items.ptr(), i))).release().ptr()));
            return items;
        }
    }
    return deepcopy(history);
}

// A plain map in file order; the history is a deep copy, so the map can be
// changed freely.
ORV_FUNCTION(to_dict, "to_dict(self) -> dict",
             "The goal as a plain map: goal, owner, created_at, updated_at, history.") {
    auto& [self] = args;
    handle h(self);
    object d = own(PyDict_New());
    set_item(d, k_goal, getattr(h, k_goal));
    set_item(d, k_owner, getattr(h, k_owner));
    set_item(d, k_created_at, getattr(h, k_created_at));
    set_item(d, k_updated_at, getattr(h, k_updated_at));
    set_item(d, k_history, copy_history(getattr(h, k_history)));
    return d;
}

// ------------------------------------------------------------------- file

// Writes the goal file, creating missing parent directories. The YAML text is
// produced before the file is opened, so a goal that cannot be represented
// raises without truncating the goal file already on disk.
ORV_FUNCTION(save, "save(self, path: str) -> None",
             "Write the goal file at `path`, creating missing directories.") {
    auto& [self, path] = args;
    // Path(path).parent.mkdir(parents=True, exist_ok=True)
    files::ensure_parent(files::SysPath(path), [&] { return pathlib_Path(handle(path)); });
    object data = call_method(self, k_to_dict);
    object text = yaml_dump(data, nb::arg("default_flow_style") = false,
                            nb::arg("sort_keys") = false);

    object file = builtins_open(handle(path), "w", nb::arg("encoding") = "utf-8");
    try {
        call_method(file, k_write, text);
    } catch (nb::python_error&) {
        call_quietly(file, k_close);  // the failure stays the error, as with a `with` block
        throw;
    }
    call_method(file, k_close);  // a failure to flush (a full disk) is not hidden
    return nb::none();
}

// Reads a goal file: a mapping with at least "goal" and "owner". The object is
// made without the constructor and its values are taken as they are.
ORV_FUNCTION(load, "load(cls, path: str) -> Goal", "Read a goal from the goal file at `path`.") {
    auto& [cls, path] = args;
    object file = builtins_open(handle(path), "r", nb::arg("encoding") = "utf-8");
    object data;
    try {
        data = yaml_safe_load(file);
    } catch (nb::python_error&) {
        call_quietly(file, k_close);  // the failure stays the error, as with a `with` block
        throw;
    }
    call_method(file, k_close);

    auto has = [&](const Name& key) { return contains(data, key.h()); };
    if (!PyDict_Check(data.ptr()) || !has(k_goal) || !has(k_owner))
        raise(PyExc_ValueError, "Invalid goal file: %U", path);

    object obj = call_method(cls, k_new, handle(cls));
    setattr(obj, k_goal, get(data, k_goal, nb::none()));
    setattr(obj, k_owner, get(data, k_owner, nb::none()));
    setattr(obj, k_created_at,
            has(k_created_at) ? get(data, k_created_at, nb::none()) : mod.get(k_now_iso)());
    setattr(obj, k_updated_at,
            has(k_updated_at) ? get(data, k_updated_at, nb::none()) : getattr(obj, k_created_at));
    setattr(obj, k_history, has(k_history) ? get(data, k_history, nb::none()) : object(nb::list()));
    return obj;
}

// ---------------------------------------------------------------- terminal

// Asks the owner for the goal text on the terminal; blanks alone are refused.
ORV_FUNCTION(from_prompt, "from_prompt(cls, owner: str) -> Goal",
             "Ask for the goal text on the terminal.") {
    auto& [cls, owner] = args;
    builtins_print("Orvane needs a GOAL to operate.");
    builtins_print("The goal defines what 'right' means. The system will find deviations from it.");
    builtins_print();
    object text = call_method(builtins_input("Enter your goal: "), k_strip);
    if (!truth(text.ptr())) raise(PyExc_ValueError, "Goal cannot be empty.");
    return handle(cls)(text, handle(owner));
}

}  // namespace

NB_MODULE(goal, m) {
    mod.init(m, "The owner's goal: its text, its history, its file and its terminal prompt.");
    mod.function(now_iso_def);

    ClassBuilder goal(mod, "Goal",
                      "The human-supplied goal of an agent instance; only its owner may change it.");
    goal.method(goal_init_def)
        .method(update_def)
        .method(get_goal_def)
        .method(to_dict_def)
        .method(save_def)
        .class_method(load_def)
        .class_method(from_prompt_def);
    m.attr("Goal") = goal.build();
}
