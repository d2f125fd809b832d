// orvane.hatch: instance directories, hatching, pristine instances, lineage.
//
// An instance is a directory: "config.yaml", "goal.yaml", "questions/",
// "ledger.jsonl" and "state.json". `hatch` makes a child from a parent (its
// whole question population, selector and protocol version, a new or copied
// goal) and records the child in the parent's configuration; `hatch0` makes
// a pristine instance holding only the seed; `extract_seed` recovers the seed
// from any instance; `get_lineage` reports an instance's place in the family.
//
// Calls go through attribute lookup at call time: this module's own helpers
// (`_load_config`, `_now_iso`, ...), and the goal and seed functions it
// exports (`Goal`, `load_questions`, ...), taken from this module when one
// was replaced here and from their home module otherwise. The host's pathlib,
// shutil, json, yaml and logging are looked up when used.
//
// Two hatches racing for one destination: the directory is claimed with one
// mkdir, so exactly one proceeds. Hatches from one parent: the parent's
// configuration is read and rewritten under an exclusive flock on the parent
// directory, so every child is recorded. Whole files are replaced through a
// temporary file and a rename. A parent's configuration that cannot be parsed
// is never rewritten: the child is hatched but not recorded there, with a
// warning naming the file.
#include "support/files.hpp"
#include "support/host.hpp"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>

namespace {

using namespace orv;

Module mod;         // orvane.hatch, read at call time
Module goal_home;   // orvane.goal
Module seed_home;   // orvane.seed

Name k_new_instance_id{"_new_instance_id"}, k_load_config{"_load_config"},
    k_save_config{"_save_config"}, k_init_instance_dirs{"_init_instance_dirs"}, k_Goal{"Goal"},
    k_get_seed{"get_seed"}, k_load_questions{"load_questions"}, k_hatched_at{"hatched_at"},
    k_hatched_from{"hatched_from"}, k_protocol_version{"protocol_version"}, k_selector{"selector"},
    k_algorithm{"algorithm"}, k_children{"children"}, k_is_file{"is_file"}, k_save{"save"};
Host pathlib_Path{"pathlib", "Path"}, shutil_copy2{"shutil", "copy2"}, json_dumps{"json", "dumps"},
    yaml_dump{"yaml", "dump"}, yaml_safe_load{"yaml", "safe_load"},
    yaml_YAMLError{"yaml", "YAMLError"};

// What this module exported from its siblings when it loaded. Never
// destroyed: a static destructor would run after the interpreter is gone.
struct Imported {
    object Goal, get_seed, load_questions, save_question, SEED_QUESTION;
};
Imported& imported = *new Imported();

object load_questions(handle dir) {
    return mod.followed(k_load_questions, imported.load_questions, seed_home)(dir);
}
object save_question(handle question, handle dir) {
    return mod.followed(k_save_question, imported.save_question, seed_home)(question, dir);
}
object get_seed() { return mod.followed(k_get_seed, imported.get_seed, seed_home)(); }

// ------------------------------------------------------------------ helpers

object path_of(handle p) { return pathlib_Path(p); }
object join(handle dir, const char* name) {
    return own(PyNumber_TrueDivide(dir.ptr(), nb::str(name).ptr()));
}
// path.exists(), by the path object's own method.
bool path_exists(handle p) { return truth(call_method(p, k_exists).ptr()); }
bool non_empty_str(PyObject* v) { return PyUnicode_Check(v) && PyUnicode_GET_LENGTH(v) > 0; }

// The seed test: named as the built-in seed, generation 0 (a missing one does
// not count) and "immutable" the boolean true itself.
bool is_seed(handle question) {
    object seed = mod.followed(k_SEED_QUESTION, imported.SEED_QUESTION, seed_home);
    object seed_name = own(PyObject_GetItem(seed.ptr(), k_name));
    if (!equal(get(question, k_name, nb::none()), seed_name)) return false;
    if (!equal(get(question, k_generation, nb::none()), nb::int_(0))) return false;
    return get(question, k_immutable, nb::none()).is(nb::handle(Py_True));
}

// The first question of the list that passes the seed test, or None.
object first_seed(handle questions) {
    for (handle question : questions)
        if (is_seed(question)) return nb::borrow(question);
    return nb::none();
}

// Claims `dest` for a new instance: its parents are made as needed, then the
// directory itself with one mkdir, which only one of several racing callers
// can win. Everyone else gets the FileExistsError of an existing destination.
void claim(handle dest, handle dest_dir) {
    auto taken = [&] { raise(PyExc_FileExistsError, "Destination already exists: %U", dest_dir.ptr()); };
    if (path_exists(dest)) taken();
    files::make_parent_directories(dest);
    files::SysPath sys(dest);
    if (::mkdir(sys.c_str(), 0777) != 0) {
        if (errno == EEXIST) taken();
        files::raise_os_error(dest);
    }
}

// The run state of a new instance: indent 2, no newline at the end.
void write_state(handle dest) {
    nb::dict state;
    state["cycle_count"] = 0;
    state["last_cycle_at"] = nb::none();
    state["status"] = "initialized";
    files::atomic_write_text(join(dest, "state.json"), json_dumps(state, nb::arg("indent") = 2));
}

// An empty "ledger.jsonl", as touch() makes it.
void create_ledger(handle dest) {
    object path = join(dest, "ledger.jsonl");
    files::Fd file = files::open_file(files::SysPath(path), O_WRONLY | O_CREAT, 0666);
    file.close(path);
}

void save_goal(handle goal_text, handle owner, handle dest) {
    object goal = mod.followed(k_Goal, imported.Goal, goal_home)(goal_text, owner);
    call_method(goal, k_save, text_of(join(dest, "goal.yaml")));
}

// ------------------------------------------------------------ configuration

ORV_FUNCTION(new_instance_id, "_new_instance_id() -> str",
             "A new instance id: the first 12 characters of a random UUID.") {
    return own(PyUnicode_Substring(uuid4_text().ptr(), 0, 12));
}

// The configuration file of an instance directory.
object config_path(handle instance_dir) { return join(path_of(instance_dir), "config.yaml"); }

// An unparseable file counts as empty, with a warning, and sets
// `unparseable`; a document that is neither empty nor a mapping fails the
// return check.
object read_config(handle instance_dir, bool& unparseable) {
    unparseable = false;
    object path = config_path(instance_dir);
    if (!path_exists(path)) return nb::dict();
    object content = files::read_text(files::SysPath(path));
    object data;
    try {
        data = yaml_safe_load(content);
    } catch (nb::python_error& e) {
        if (!e.matches(yaml_YAMLError.get())) throw;
        log_warning("Failed to parse %s, using defaults", path);
        unparseable = true;
        return nb::dict();
    }
    if (!truth(data.ptr())) return nb::dict();
    return data;
}

ORV_FUNCTION(load_config, "_load_config(instance_dir: str) -> dict",
             "The configuration of an instance directory, or an empty map.") {
    auto& [instance_dir] = args;
    bool unparseable = false;
    return read_config(handle(instance_dir), unparseable);
}

PyObject* own_load_config = nullptr;  // our _load_config, to spot replacements

// The parent's configuration as the module's `_load_config` gives it, and
// whether that was our own reading of a file it could not parse.
object parent_configuration(handle source_dir, bool& unparseable) {
    unparseable = false;
    object loader = mod.get(k_load_config);
    if (loader.ptr() != own_load_config) return loader(source_dir);
    object config = read_config(source_dir, unparseable);
    check_return(load_config_def.decl, config.ptr());
    return config;
}

ORV_FUNCTION(save_config, "_save_config(instance_dir: str, config: dict) -> None",
             "Write the configuration of an instance directory (block-style YAML, keys in "
             "order).") {
    auto& [instance_dir, config] = args;
    object path = join(path_of(handle(instance_dir)), "config.yaml");
    files::make_parent_directories(path);
    // The text is made before the file is touched: a value YAML cannot carry
    // leaves the old configuration as it was.
    object text = yaml_dump(handle(config), nb::arg("default_flow_style") = false,
                            nb::arg("sort_keys") = false);
    files::atomic_write_text(path, text);
    return nb::none();
}

ORV_FUNCTION(init_instance_dirs, "_init_instance_dirs(dest: Path) -> None",
             "Create the instance directory and its \"questions\" directory.") {
    auto& [dest] = args;
    object dir = path_of(handle(dest));
    files::make_directories(dir);
    getattr(join(dir, "questions"), k_mkdir)(nb::arg("exist_ok") = true);
    return nb::none();
}

object default_selector() {
    object selector = own(PyDict_New());
    set_item(selector, k_algorithm, nb::str("hebbian"));
    return selector;
}

// ----------------------------------------------------------------- hatching

// Appends the child's entry to the configuration's "children" (a missing or
// null one counts as none), through the configuration's and the list's own
// item assignment and append, whatever kind of mapping and list they are.
void record_child(handle config, handle child_id, handle dest) {
    object children = get(config, k_children, nb::none());
    if (children.is_none()) {
        children = nb::list();
        must(PyObject_SetItem(config.ptr(), k_children, children.ptr()));
    }
    object entry = own(PyDict_New());
    set_item(entry, k_instance_id, child_id);
    set_item(entry, k_path, text_of(dest));
    set_item(entry, k_hatched_at, mod.get(k_now_iso)());
    if (PyList_CheckExact(children.ptr()))
        must(PyList_Append(children.ptr(), entry.ptr()));
    else
        call_method(children, k_append, entry);
}

ORV_FUNCTION(hatch,
             "hatch(source_dir: str, dest_dir: str, new_goal: str | None = None, "
             "new_owner: str | None = None) -> str",
             "Hatch a child instance of the instance in `source_dir` into `dest_dir`; returns "
             "the child's directory.") {
    auto& [source_dir, dest_dir, new_goal, new_owner] = args;
    object src = path_of(handle(source_dir)), dest = path_of(handle(dest_dir));
    if (!path_exists(src))
        raise(PyExc_FileNotFoundError, "Source instance not found: %U", source_dir);
    if (path_exists(dest)) raise(PyExc_FileExistsError, "Destination already exists: %U", dest_dir);
    // The parent's directory carries the lock over its configuration; a
    // source that is no directory fails here, before anything is written.
    files::Fd parent_dir = files::open_file(files::SysPath(src), O_RDONLY | O_DIRECTORY);
    claim(dest, handle(dest_dir));
    mod.get(k_init_instance_dirs)(dest);

    // The whole population, then the seed if no stored question passes for it.
    object src_questions = join(src, "questions"), dest_questions = join(dest, "questions");
    if (path_exists(src_questions)) {
        for (handle file : call_method(src_questions, k_glob, "*.json")) {
            if (!truth(call_method(file, k_is_file).ptr())) continue;
            shutil_copy2(file, own(PyNumber_TrueDivide(dest_questions.ptr(),
                                                       getattr(file, k_name).ptr())));
        }
    }
    object questions_text = text_of(dest_questions);
    if (first_seed(load_questions(questions_text)).is_none())
        save_question(get_seed(), questions_text);

    // From here to the rewrite of its "children", the parent's configuration
    // is held under the lock, so concurrent hatches each add their own child.
    files::Lock lock(parent_dir.get(), files::Lock::exclusive);
    bool unparseable = false;
    object parent_config = parent_configuration(handle(source_dir), unparseable);
    object parent_id = get(parent_config, k_instance_id, k_unknown.h());
    object parent_generation = get(parent_config, k_generation, nb::int_(0));

    object child_id = mod.get(k_new_instance_id)();
    object config = own(PyDict_New());
    set_item(config, k_instance_id, child_id);
    set_item(config, k_generation, own(PyNumber_Add(parent_generation.ptr(), nb::int_(1).ptr())));
    set_item(config, k_parent_id, parent_id);
    set_item(config, k_hatched_at, mod.get(k_now_iso)());
    set_item(config, k_hatched_from, text_of(src));
    set_item(config, k_protocol_version, get(parent_config, k_protocol_version, nb::str("0.1.0")));
    set_item(config, k_selector, get(parent_config, k_selector, default_selector()));
    set_item(config, k_children, nb::list());
    mod.get(k_save_config)(handle(dest_dir), config);

    if (non_empty_str(new_goal)) {
        object owner = non_empty_str(new_owner) ? nb::borrow(new_owner)
                                                : get(parent_config, k_owner, k_unknown.h());
        save_goal(handle(new_goal), owner, dest);
    } else if (object parent_goal = join(src, "goal.yaml"); path_exists(parent_goal)) {
        shutil_copy2(parent_goal, join(dest, "goal.yaml"));
    }
    create_ledger(dest);
    write_state(dest);

    if (unparseable) {
        // Rewriting a file it could not read would lose every setting in it:
        // the parent's file stays as it is, and the child goes unrecorded.
        log_warning("Child %s was not recorded in %s, which could not be parsed", text_of(dest),
                    config_path(handle(source_dir)));
    } else {
        record_child(parent_config, child_id, dest);
        mod.get(k_save_config)(handle(source_dir), parent_config);
    }
    lock.release();
    parent_dir.close(src);
    return text_of(dest);
}

ORV_FUNCTION(hatch0,
             "hatch0(dest_dir: str, goal: str | None = None, owner: str | None = None) -> str",
             "Create a pristine instance holding only the seed question; returns its "
             "directory.") {
    auto& [dest_dir, goal, owner] = args;
    object dest = path_of(handle(dest_dir));
    claim(dest, handle(dest_dir));
    mod.get(k_init_instance_dirs)(dest);
    save_question(get_seed(), text_of(join(dest, "questions")));

    object config = own(PyDict_New());
    set_item(config, k_instance_id, mod.get(k_new_instance_id)());
    set_item(config, k_generation, nb::int_(0));
    set_item(config, k_parent_id, nb::none());
    set_item(config, k_hatched_at, mod.get(k_now_iso)());
    set_item(config, k_hatched_from, nb::str("pristine"));
    set_item(config, k_protocol_version, nb::str("0.1.0"));
    set_item(config, k_selector, default_selector());
    set_item(config, k_children, nb::list());
    const bool has_owner = non_empty_str(owner);
    if (has_owner) set_item(config, k_owner, handle(owner));
    mod.get(k_save_config)(handle(dest_dir), config);

    if (non_empty_str(goal))
        save_goal(handle(goal), has_owner ? handle(owner) : k_unknown.h(), dest);
    create_ledger(dest);
    write_state(dest);
    return text_of(dest);
}

// ------------------------------------------------------------------ lineage

// The stored seed, the copy load_questions supplies for a missing file, or
// the built-in seed written back over a corrupted one.
ORV_FUNCTION(extract_seed, "extract_seed(source_dir: str) -> dict",
             "The seed question of an instance, repaired from the built-in seed if needed.") {
    auto& [source_dir] = args;
    object questions_dir = text_of(join(path_of(handle(source_dir)), "questions"));
    object found = first_seed(load_questions(questions_dir));
    if (!found.is_none()) return found;
    object seed = get_seed();
    save_question(seed, questions_dir);
    return seed;
}

ORV_FUNCTION(get_lineage, "get_lineage(instance_dir: str) -> dict",
             "The lineage report of one instance: its id, generation, parent, seed and "
             "children.") {
    auto& [instance_dir] = args;
    object config = mod.get(k_load_config)(handle(instance_dir));
    object questions = load_questions(text_of(join(path_of(handle(instance_dir)), "questions")));
    const bool seed_intact = !first_seed(questions).is_none();
    object report = own(PyDict_New());
    set_item(report, k_instance_id, get(config, k_instance_id, k_unknown.h()));
    set_item(report, k_generation, get(config, k_generation, nb::int_(0)));
    set_item(report, k_parent_id, get(config, k_parent_id, nb::none()));
    set_item(report, k_hatched_at, get(config, k_hatched_at, k_unknown.h()));
    report["seed_intact"] = nb::bool_(seed_intact);
    const Py_ssize_t population = PyObject_Size(questions.ptr());
    if (population < 0) raise_current();
    report["question_population"] = nb::int_(population);
    set_item(report, k_children, get(config, k_children, nb::list()));
    return report;
}

}  // namespace

NB_MODULE(hatch, m) {
    mod.init(m, "Instances: configuration, hatching, pristine instances, seed recovery and "
                "lineage.");
    goal_home.init(own(PyImport_ImportModule("orvane.goal")), nullptr);
    seed_home.init(own(PyImport_ImportModule("orvane.seed")), nullptr);
    // Loaded so that its event types exist for whoever records hatch events.
    own(PyImport_ImportModule("orvane.protocol"));

    imported.Goal = goal_home.get(k_Goal);
    imported.get_seed = seed_home.get(k_get_seed);
    imported.load_questions = seed_home.get(k_load_questions);
    imported.save_question = seed_home.get(k_save_question);
    imported.SEED_QUESTION = seed_home.get(k_SEED_QUESTION);
    m.attr("Goal") = imported.Goal;
    m.attr("get_seed") = imported.get_seed;
    m.attr("load_questions") = imported.load_questions;
    m.attr("save_question") = imported.save_question;
    m.attr("SEED_QUESTION") = imported.SEED_QUESTION;

    for (const Def* def : {&now_iso_def, &new_instance_id_def, &load_config_def, &save_config_def,
                           &init_instance_dirs_def, &hatch_def, &hatch0_def, &extract_seed_def,
                           &get_lineage_def}) {
        object fn = mod.function(*def);
        if (def == &load_config_def) own_load_config = fn.release().ptr();
    }
}
