// orvane.vcsguard: git safety for actions on a target repository.
//
// Every instance works in its own git worktree, on its own branch "k7/<name>",
// in a directory under `_WORKTREE_BASE` (outside the target), so instances can
// work side by side while the user's checkout stays where it is. The one
// exception: when the target itself has the instance branch checked out (git
// gives a branch to one worktree only), `ensure_worktree` first switches the
// target to "main", "master" or "dev", whichever exists; `ensure_branch`
// (deprecated) switches it on purpose. Actions are bracketed by snapshot
// commits, and a pre-action snapshot is the point a rollback returns to.
//
// Nothing outside the worktree base is ever removed: git is only handed a
// worktree path that resolves inside the base, and a symbolic link found at a
// worktree's place is removed as a link. Branch names and commits given by the
// caller never reach git as options.
//
// Git is started through the host's subprocess for every command, and every
// failure of git comes back as an exit code and its output, which the
// functions turn into a neutral result (False, "", None or the target
// itself). The functions reach each other, `logger` and `_WORKTREE_BASE`
// through the module at call time, so a patched attribute takes effect.
#include "support/files.hpp"
#include "support/host.hpp"
#include "support/process.hpp"
#include "support/unpack.hpp"

namespace {

using namespace orv;

Module mod;  // orvane.vcsguard, read at call time

Name k_logger{"logger"}, k_WORKTREE_BASE{"_WORKTREE_BASE"}, k_run_git{"_run_git"},
    k_has_git{"has_git"}, k_current_branch{"current_branch"}, k_worktree_path{"worktree_path"},
    k_remove_worktree{"remove_worktree"}, k_is_dir{"is_dir"}, k_is_symlink{"is_symlink"},
    k_unlink{"unlink"}, k_resolve{"resolve"}, k_is_relative_to{"is_relative_to"},
    k_absolute{"absolute"};
Host pathlib_Path{"pathlib", "Path"}, pathlib_PurePath{"pathlib", "PurePath"},
    shutil_rmtree{"shutil", "rmtree"};

constexpr double kGitTimeout = 30;  // seconds per git command
constexpr const char* kGitUnavailable = "git not available or timed out";
constexpr Py_ssize_t kDescriptionLimit = 100;  // code points of an action kept in a message

// ----------------------------------------------------------------- helpers

// `o` as a path object: path objects as they are, anything else through
// pathlib.Path (a caller may have set the base to a plain string).
object as_path(handle o) {
    int r = PyObject_IsInstance(o.ptr(), pathlib_PurePath.get().ptr());
    must(r);
    return r ? nb::borrow(o) : pathlib_Path(o);
}

bool path_test(handle path, const Name& test) { return truth(call_method(path, test).ptr()); }

// The outcome of one git command, from the module's `_run_git` as it stands.
struct Git {
    object code, output;
    // Exit code 0, compared as the host compares (a patched runner may
    // answer any number).
    bool ok() const { return equal(code, nb::int_(0)); }
};

template <typename... A>
Git git(handle target, A&&... args) {
    object result = mod.get(k_run_git)(target, std::forward<A>(args)...);
    // Unpacked as `code, out = _run_git(...)` would be.
    auto [code, output] = unpack<2>(result);
    return {std::move(code), std::move(output)};
}

template <typename... A>
void log(const Name& level, const char* fmt, A&&... args) {
    orv::log(mod.get(k_logger), level, fmt, std::forward<A>(args)...);
}

object branch_of(handle instance_name) { return own(PyUnicode_FromFormat("k7/%U", instance_name.ptr())); }

object worktree_of(handle instance_name) { return as_path(mod.get(k_worktree_path)(instance_name)); }

// An instance name must name a place strictly inside the worktree base:
// relative, and made of components that are neither empty, "." nor "..".
// Otherwise the worktree, and with it the recursive delete in
// remove_worktree, could reach the base itself or anything outside it.
void check_instance_name(PyObject* name) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(name);
    const int kind = PyUnicode_KIND(name);
    const void* data = PyUnicode_DATA(name);
    bool valid = n > 0;
    for (Py_ssize_t start = 0; valid && start <= n;) {
        Py_ssize_t end = start;
        while (end < n && PyUnicode_READ(kind, data, end) != '/') ++end;
        const Py_ssize_t len = end - start;
        const bool dots = (len == 1 && PyUnicode_READ(kind, data, start) == '.') ||
                          (len == 2 && PyUnicode_READ(kind, data, start) == '.' &&
                           PyUnicode_READ(kind, data, start + 1) == '.');
        valid = len > 0 && !dots;
        start = end + 1;
    }
    if (!valid)
        raise(PyExc_ValueError,
              "Invalid instance name %R: it must be a relative path whose components are not "
              "empty, '.' or '..'",
              name);
}

// Where a worktree path really lies: its parent with every link resolved
// (relative paths taken from the current directory), then its own last
// component. `inside` when that parent is the worktree base or below it (the
// base resolved too, so a base that is itself a link still counts), and
// `link` when the last component is a symbolic link, whatever it leads to.
// Git is only ever given `path`, and only when it is inside and no link, so
// it cannot reach beyond the base through a link on the way.
struct Place {
    object path;
    bool inside = false, link = false;
};

Place place_of(handle wt) {
    Place place;
    try {
        object base = call_method(as_path(mod.get(k_WORKTREE_BASE)), k_resolve);
        object parent = call_method(getattr(wt, k_parent), k_resolve);
        object leaf = getattr(wt, k_name);
        if (!truth(call_method(parent, k_is_relative_to, base).ptr()) || !truth(leaf.ptr()) ||
            equal(leaf, nb::str(".")) || equal(leaf, nb::str("..")))
            return place;
        place.path = own(PyNumber_TrueDivide(parent.ptr(), leaf.ptr()));
        place.link = path_test(place.path, k_is_symlink);
        place.inside = true;
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;  // a path that cannot be resolved is no place of ours
    }
    return place;
}

// Deletes a worktree directory that git did not remove, every error of the
// deletion ignored: a link is removed as a link, a directory by the host's
// rmtree, which never follows the links it meets inside the tree.
void delete_worktree_dir(const Place& place) {
    try {
        if (place.link)
            call_method(place.path, k_unlink);
        else
            shutil_rmtree(place.path, nb::arg("ignore_errors") = true);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_OSError)) throw;
    }
}

// A branch name the caller gave, as git may take it: not an option (git
// refuses branch names that begin with "-") and an existing local branch,
// named exactly (no revision syntax such as "main~1" or "@{-1}").
bool existing_branch(handle target, PyObject* name) {
    if (PyUnicode_GET_LENGTH(name) == 0 || PyUnicode_READ_CHAR(name, 0) == '-') return false;
    object ref = own(PyUnicode_FromFormat("refs/heads/%U", name));
    return git(target, "show-ref", "--verify", "--quiet", ref).ok();
}

// The text of a value as an f-string shows it: format(value, "").
object formatted(handle value) {
    if (PyUnicode_CheckExact(value.ptr())) return nb::borrow(value);
    return own(PyObject_Format(value.ptr(), nullptr));
}

// The current UTC time as "%Y%m%d-%H%M%S", for snapshot messages.
object snapshot_stamp() {
    return call_method(utc_now(), k_strftime, "%Y%m%d-%H%M%S");
}

// ------------------------------------------------------------- the runner

// One git command in `target`: never through a shell, within the time
// limit, stdout followed directly by stderr. A missing program or directory
// and the time limit answer exit code 1; other failures to start (the target
// is a file, permission denied) are the caller's to see.
ORV_FUNCTION(run_git, "_run_git(target: str, *args: str) -> tuple[int, str]",
             "Run one git command in `target`; (exit code, stdout + stderr stripped).") {
    auto& [target, git_args] = args;
    nb::list argv;
    argv.append("git");
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(git_args); ++i)
        argv.append(handle(PyTuple_GET_ITEM(git_args, i)));

    process::Request request;
    request.argv = argv;
    request.cwd = handle(target);
    request.timeout = kGitTimeout;
    request.entry = process::Entry::run;
    // The output only feeds log records, branch names and commit hashes: bytes
    // that are not UTF-8 (a commit message in another encoding, a hook's
    // output) must not turn a finished command into an exception.
    request.errors = "replace";
    process::Result run = process::run(request);
    switch (run.outcome) {
        case process::Outcome::completed: {
            object out = run.out.is_none() ? object(nb::str("")) : run.out;
            object err = run.err.is_none() ? object(nb::str("")) : run.err;
            object joined = own(PyNumber_Add(out.ptr(), err.ptr()));
            return nb::make_tuple(run.returncode, call_method(joined, k_strip));
        }
        case process::Outcome::launch_error:
            PyErr_SetRaisedException(Py_NewRef(run.error.ptr()));
            raise_current();
        case process::Outcome::not_found:
        case process::Outcome::timeout:
            break;
    }
    return nb::make_tuple(1, kGitUnavailable);
}

// -------------------------------------------------------- repository state

ORV_FUNCTION(has_git, "has_git(target: str) -> bool", "True if `target` is inside a git work tree.") {
    auto& [target] = args;
    return nb::bool_(git(target, "rev-parse", "--is-inside-work-tree").ok());
}

// An existing repository is left alone; an empty directory still counts as
// initialised although its first commit finds nothing to commit.
ORV_FUNCTION(init_git, "init_git(target: str) -> bool",
             "Initialise git in `target` unless it has a repository; True only if it initialised.") {
    auto& [target] = args;
    if (truth(mod.get(k_has_git)(handle(target)).ptr())) return nb::bool_(false);
    if (!git(target, "init").ok()) return nb::bool_(false);
    git(target, "add", "-A");
    git(target, "commit", "-m", "Initial commit (auto-created by Orvane)");
    return nb::bool_(true);
}

ORV_FUNCTION(current_branch, "current_branch(target: str) -> str",
             "The branch checked out in `target`, or \"\".") {
    auto& [target] = args;
    Git head = git(target, "rev-parse", "--abbrev-ref", "HEAD");
    return head.ok() ? head.output : object(nb::str(""));
}

// --------------------------------------------------------------- worktrees

ORV_FUNCTION(worktree_path, "worktree_path(instance_name: str) -> Path",
             "The worktree directory of an instance, inside `_WORKTREE_BASE`; ValueError for a "
             "name that would lead elsewhere.") {
    auto& [instance_name] = args;
    check_instance_name(instance_name);
    object base = as_path(mod.get(k_WORKTREE_BASE));
    return own(PyNumber_TrueDivide(base.ptr(), instance_name));
}

// Reuses the instance's worktree while it is a work tree on the instance
// branch; anything else at its place is removed and the worktree made anew.
// When git cannot make it, or its place would lie outside the worktree base
// or inside the target, the caller is told to work in the target itself.
ORV_FUNCTION(ensure_worktree, "ensure_worktree(target: str, instance_name: str) -> str",
             "Create or reuse the instance's worktree on branch k7/<instance_name>; the "
             "directory to work in (the target itself when the worktree cannot be made).") {
    auto& [target, instance_name] = args;
    object branch = branch_of(instance_name);
    object wt = worktree_of(instance_name);
    object wt_text = text_of(wt);
    // Places git must not be given: the failure result, with the reason.
    auto refuse = [&](const char* why, handle where) {
        log(k_error, "Failed to create worktree: %s",
            own(PyUnicode_FromFormat("%S lies %s %S", wt.ptr(), why, where.ptr())));
        return nb::borrow(target);
    };
    Place place = place_of(wt);
    if (!place.inside) return refuse("outside", mod.get(k_WORKTREE_BASE));
    // A worktree inside the target would be part of the target's own tree.
    object resolved_target = call_method(pathlib_Path(handle(target)), k_resolve);
    if (truth(call_method(place.path, k_is_relative_to, resolved_target).ptr()))
        return refuse("inside the target", handle(target));

    // A link at the worktree's place is never taken for the worktree: it is
    // removed (as a link) and a real worktree made in its stead.
    const bool occupied = place.link || path_test(wt, k_is_dir);
    if (occupied && !place.link) {
        if (truth(mod.get(k_has_git)(wt_text).ptr())) {
            object found = mod.get(k_current_branch)(wt_text);
            if (equal(found, branch)) return wt_text;
            log(k_warning, "Worktree %s on wrong branch %s, recreating", wt, found);
        }
    }
    if (occupied) mod.get(k_remove_worktree)(handle(target), handle(instance_name));

    files::make_parent_directories(place.path);

    // A branch checked out in the target cannot get a worktree of its own.
    if (equal(mod.get(k_current_branch)(handle(target)), branch)) {
        for (const char* fallback : {"main", "master", "dev"}) {
            if (git(target, "rev-parse", "--verify", fallback).ok()) {
                git(target, "checkout", fallback);
                break;
            }
        }
    }
    if (!git(target, "rev-parse", "--verify", branch).ok()) git(target, "branch", branch);

    // The resolved place: absolute, so git makes it where the caller finds it
    // even when the base is relative, and with no link on the way.
    Git added = git(target, "worktree", "add", text_of(place.path), branch);
    if (!added.ok()) {
        log(k_error, "Failed to create worktree: %s", added.output);
        return nb::borrow(target);
    }
    log(k_info, "Created worktree at %s on branch %s", wt, branch);
    return wt_text;
}

// The branch is kept. Git removes the worktree at its resolved place; when
// git refuses (no such worktree, no repository), the directory is deleted by
// hand. A link at the worktree's place is removed as a link, without git,
// which would follow it; a place outside the base is left alone.
ORV_FUNCTION(remove_worktree, "remove_worktree(target: str, instance_name: str) -> bool",
             "Remove the instance's worktree (its branch stays); True if it is gone afterwards.") {
    auto& [target, instance_name] = args;
    object wt = worktree_of(instance_name);
    Place place = place_of(wt);
    if (!place.inside) {
        log(k_warning, "Worktree %s lies outside %s, left alone", wt, mod.get(k_WORKTREE_BASE));
    } else if (place.link) {
        delete_worktree_dir(place);
        git(target, "worktree", "prune");
    } else {
        Git removed = git(target, "worktree", "remove", text_of(place.path), "--force");
        if (!removed.ok()) {
            log(k_warning, "git worktree remove failed: %s, cleaning manually", removed.output);
            if (path_test(place.path, k_exists) || path_test(place.path, k_is_symlink)) {
                Place now = place_of(wt);  // looked at again: git may have changed it
                if (now.inside) delete_worktree_dir(now);
            }
            git(target, "worktree", "prune");
        }
    }
    return nb::bool_(!path_test(wt, k_exists));
}

ORV_FUNCTION(worktree_exists, "worktree_exists(instance_name: str) -> bool",
             "True if the instance's worktree is a directory inside a git work tree.") {
    auto& [instance_name] = args;
    object wt = worktree_of(instance_name);
    return nb::bool_(path_test(wt, k_is_dir) && truth(mod.get(k_has_git)(text_of(wt)).ptr()));
}

// Always a merge commit, so the instance's work stays recognisable in the
// history. A failed merge is left as git leaves it.
ORV_FUNCTION(merge_worktree,
             "merge_worktree(target: str, instance_name: str, into_branch: str = \"\") -> bool",
             "Merge branch k7/<instance_name> into `into_branch`, or into the branch the target "
             "is on when it is empty; True on success.") {
    auto& [target, instance_name, into_branch] = args;
    object branch = branch_of(instance_name);
    // The branch to merge into must exist as a local branch, so the name
    // can be no option ("-f" would throw away uncommitted work) and no
    // revision; "--" ends checkout's arguments before any path.
    if (PyUnicode_GET_LENGTH(into_branch) > 0 &&
        (!existing_branch(target, into_branch) || !git(target, "checkout", handle(into_branch), "--").ok()))
        return nb::bool_(false);
    object message = own(PyUnicode_FromFormat("[k7] merge %U", branch.ptr()));
    Git merged = git(target, "merge", branch, "--no-ff", "-m", message);
    if (!merged.ok()) {
        log(k_error, "Merge failed: %s", merged.output);
        return nb::bool_(false);
    }
    return nb::bool_(true);
}

// Switches the target's own checkout, which disturbs anyone else working
// there; ensure_worktree is the safe way for parallel work.
ORV_FUNCTION(ensure_branch, "ensure_branch(target: str, instance_name: str) -> str",
             "Check out branch k7/<instance_name> in the target itself, creating it if needed. "
             "Deprecated: use ensure_worktree.") {
    auto& [target, instance_name] = args;
    object branch = branch_of(instance_name);
    if (equal(mod.get(k_current_branch)(handle(target)), branch)) return branch;
    if (git(target, "rev-parse", "--verify", branch).ok())
        git(target, "checkout", branch);
    else
        git(target, "checkout", "-b", branch);
    return branch;
}

// --------------------------------------------------------------- snapshots

// Commits every change in `target` with `message` (made only when there is
// something to commit) and returns the new head's hash. None when nothing was
// staged, and None when the commit fails: the unchanged head is no snapshot,
// and rolling back to it would destroy the work that was never committed.
template <typename Message>
object snapshot(handle target, Message message) {
    git(target, "add", "-A");
    if (git(target, "diff", "--cached", "--quiet").ok()) return nb::none();
    if (!git(target, "commit", "-m", message()).ok()) return nb::none();
    Git head = git(target, "rev-parse", "HEAD");
    return head.ok() ? head.output : nb::none();
}

// The first code points of an action description, as messages carry it.
object description_head(PyObject* description) {
    return own(PyUnicode_Substring(description, 0, kDescriptionLimit));  // ends at the text's end
}

ORV_FUNCTION(snapshot_before, "snapshot_before(target: str, action_description: str) -> str | None",
             "Commit the current state as a pre-action snapshot; its hash, or None when nothing "
             "changed or the commit failed.") {
    auto& [target, action_description] = args;
    return snapshot(target, [&] {
        return own(PyUnicode_FromFormat("[k7] pre-action snapshot %U: %U", formatted(snapshot_stamp()).ptr(),
                                        description_head(action_description).ptr()));
    });
}

ORV_FUNCTION(snapshot_after,
             "snapshot_after(target: str, action_description: str, success: bool) -> str | None",
             "Commit the state after an action; its hash, or None when nothing changed or the "
             "commit failed.") {
    auto& [target, action_description, success] = args;
    return snapshot(target, [&] {
        return own(PyUnicode_FromFormat("[k7] post-action %s %U: %U", truth(success) ? "success" : "failed",
                                        formatted(snapshot_stamp()).ptr(),
                                        description_head(action_description).ptr()));
    });
}

ORV_FUNCTION(rollback_to, "rollback_to(target: str, commit_hash: str) -> bool",
             "Reset the work tree of `target` hard to `commit_hash`; True on success.") {
    auto& [target, commit_hash] = args;
    // A commit named like an option is none git would accept as a commit.
    if (PyUnicode_GET_LENGTH(commit_hash) > 0 && PyUnicode_READ_CHAR(commit_hash, 0) == '-')
        return nb::bool_(false);
    return nb::bool_(git(target, "reset", "--hard", handle(commit_hash), "--").ok());
}

}  // namespace

NB_MODULE(vcsguard, m) {
    mod.init(m, "Git safety: the git runner, per-instance worktrees, snapshot commits and rollback.");
    m.attr("logger") = get_logger("orvane.vcsguard");
    // Absolute from the start: a relative home directory (HOME=rel) would put
    // worktrees wherever git runs, inside the target.
    object home = call_method(call_method(pathlib_Path.get(), k_home), k_absolute);
    m.attr("_WORKTREE_BASE") = own(PyNumber_TrueDivide(
        own(PyNumber_TrueDivide(home.ptr(), nb::str(".orvane").ptr())).ptr(), nb::str("worktrees").ptr()));
    for (const Def* def : {&run_git_def, &has_git_def, &init_git_def, &current_branch_def,
                           &worktree_path_def, &ensure_worktree_def, &remove_worktree_def,
                           &worktree_exists_def, &merge_worktree_def, &ensure_branch_def,
                           &snapshot_before_def, &snapshot_after_def, &rollback_to_def})
        mod.function(*def);
}
