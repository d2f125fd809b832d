// orvane.temporal: delayed verification of actions whose effect takes days.
//
// After an action with an outside effect (a launch, a campaign, published
// content) the host schedules a checkpoint some days ahead. Each checkpoint
// is one JSON file "CP-<8 hex>.json" in the instance's "checkpoints"
// directory; on later cycles the matured ones come back as findings, and once
// measured they are resolved. Files are never deleted.
//
// Everything is looked up at call time: `self._dir`, the module's
// `TemporalCheckpoint`, methods through the instance, and the host's json,
// uuid, pathlib and datetime, so subclasses and patches behave as they would
// for Python code. Files are replaced whole (a temporary file and a rename),
// so a reader never meets half a checkpoint, and a new checkpoint never
// replaces an existing one.
#include "support/files.hpp"
#include "support/host.hpp"

namespace {

using namespace orv;

Module mod;  // orvane.temporal, read at call time

Name k_TemporalCheckpoint{"TemporalCheckpoint"}, k_timedelta{"timedelta"},
    k_fromisoformat{"fromisoformat"}, k_finding{"finding"}, k_action_output{"action_output"},
    k_plan_text{"plan_text"}, k_check_after{"check_after"}, k_measurement_hint{"measurement_hint"},
    k_resolved_at{"resolved_at"}, k_resolution{"resolution"}, k_dir{"_dir"},
    k_self_instance_id{"_instance_id"}, k_from_dict{"from_dict"}, k_is_matured{"is_matured"},
    k_checkpoint_id{"_checkpoint_id"}, k_original_finding{"_original_finding"},
    k_pending{"pending"};
Host pathlib_Path{"pathlib", "Path"}, json_dumps{"json", "dumps"}, json_loads{"json", "loads"},
    json_JSONDecodeError{"json", "JSONDecodeError"};

// ------------------------------------------------------------------- time

// The module exposes the host's datetime classes as `datetime`, `timezone`
// and `timedelta`, as a Python module importing them would. A class replaced
// here (a frozen clock in a test) is used; otherwise the datetime module's
// own attribute as it stands now.
struct Clock {
    object datetime, timezone, timedelta;  // as imported; kept for the process
};
Clock& imported = *new Clock();

object datetime_class(const Name& name, const object& original) {
    return mod.followed(name, original, [&] { return getattr(host_module(k_datetime), name); });
}

// datetime.now(timezone.utc)
object utc_now() {
    object utc = getattr(datetime_class(k_timezone, imported.timezone), k_utc);
    return call_method(datetime_class(k_datetime, imported.datetime), k_now, utc);
}

object iso(handle when) { return call_method(when, k_isoformat); }

// -------------------------------------------------------------------- files

// The checkpoint file format: JSON indented by 2, non-ASCII escaped, keys in
// the map's order, one newline. `json.dumps(...) + "\n"` with the host's
// operator, and refused as Path.write_text refuses what is not a str.
object file_text(handle data) {
    object text = json_dumps(data, nb::arg("indent") = 2);
    text = own(PyNumber_Add(text.ptr(), nb::str("\n").ptr()));
    if (!PyUnicode_Check(text.ptr()))
        raise(PyExc_TypeError, "data must be str, not %.200s", type_name(text.ptr()));
    return text;
}

// The checkpoints directory as a path object, read from the manager now.
object checkpoints_dir(handle self) { return pathlib_Path(getattr(self, k_dir)); }

object file_path(handle dir, handle checkpoint_id) {
    object name = own(PyUnicode_Concat(checkpoint_id.ptr(), nb::str(".json").ptr()));
    return own(PyNumber_TrueDivide(dir.ptr(), name.ptr()));
}

// Whether the error in flight is one a scan skips: a file that cannot be
// read, or whose text is not JSON (bytes that are not UTF-8 included).
bool unreadable(nb::python_error& e) {
    return e.matches(PyExc_OSError) || e.matches(PyExc_UnicodeDecodeError) ||
           e.matches(json_JSONDecodeError.get());
}

// The decoded content of one checkpoint file.
object read_json(handle path) {
    return json_loads(files::read_text(files::SysPath(path)));
}

// Every "CP-*.json" entry of the directory, in the order the listing gives.
object checkpoint_files(handle self) {
    return call_method(checkpoints_dir(self), k_glob, "CP-*.json");
}

// An id the checkpoints directory can hold as a file name of its own: not
// empty, not "." or "..", no separator and no NUL.
bool plain_name(handle checkpoint_id) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(checkpoint_id.ptr(), &size);
    if (!text) {  // lone surrogates: no such file could have been written
        PyErr_Clear();
        return false;
    }
    const std::string_view name(text, static_cast<size_t>(size));
    return !name.empty() && name != "." && name != ".." &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

// ----------------------------------------------------------- the checkpoint

ORV_FUNCTION(checkpoint_init,
             "__init__(self, checkpoint_id: str, finding: dict, action_output: str, "
             "plan_text: str, check_after: str, measurement_hint: str = \"\", "
             "status: str = \"pending\", created_at: str | None = None, "
             "resolved_at: str | None = None, resolution: dict | None = None) -> None",
             "One scheduled measurement of an action that needs time; `created_at` defaults "
             "to now.") {
    auto& [self, checkpoint_id, finding, action_output, plan_text, check_after, measurement_hint,
           status, created_at, resolved_at, resolution] = args;
    handle h(self);
    setattr(h, k_id, handle(checkpoint_id));
    setattr(h, k_finding, handle(finding));
    setattr(h, k_action_output, handle(action_output));
    setattr(h, k_plan_text, handle(plan_text));
    setattr(h, k_check_after, handle(check_after));
    setattr(h, k_measurement_hint, handle(measurement_hint));
    setattr(h, k_status, handle(status));
    const bool given = created_at != Py_None && PyUnicode_GET_LENGTH(created_at) > 0;
    setattr(h, k_created_at, given ? object(nb::borrow(created_at)) : iso(utc_now()));
    setattr(h, k_resolved_at, handle(resolved_at));
    setattr(h, k_resolution, handle(resolution));
    return nb::none();
}

// Matured once the clock reaches `check_after`. A time that does not parse,
// or that carries no UTC offset (it cannot be compared with an aware time),
// never matures.
ORV_FUNCTION(is_matured, "is_matured(self) -> bool",
             "True if the current time is at or past `check_after`.") {
    auto& [self] = args;
    try {
        object when = call_method(datetime_class(k_datetime, imported.datetime), k_fromisoformat,
                                  getattr(self, k_check_after));
        object now = utc_now();
        return nb::bool_(compare(now, when, Py_GE));
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_ValueError) || e.matches(PyExc_TypeError)) return nb::bool_(false);
        throw;
    }
}

// The attributes in file order; `finding` and `resolution` are the held maps.
ORV_FUNCTION(checkpoint_to_dict, "to_dict(self) -> dict",
             "The checkpoint as a map with the keys of its file, in file order.") {
    auto& [self] = args;
    handle h(self);
    object d = own(PyDict_New());
    for (const Name* key : {&k_id, &k_finding, &k_action_output, &k_plan_text, &k_check_after,
                            &k_measurement_hint, &k_status, &k_created_at, &k_resolved_at,
                            &k_resolution})
        set_item(d, *key, getattr(h, *key));
    return d;
}

// Only "id" is required; the constructor checks the types of the rest.
ORV_FUNCTION(checkpoint_from_dict, "from_dict(cls, data: dict) -> TemporalCheckpoint",
             "A checkpoint of this class from a map in the checkpoint file format.") {
    auto& [cls, data] = args;
    handle d(data);
    object checkpoint_id = own(PyObject_GetItem(data, k_id));
    auto text = [&](const Name& key, const char* dflt) { return get(d, key, nb::str(dflt)); };
    return handle(cls)(nb::arg("checkpoint_id") = checkpoint_id,
                       nb::arg("finding") = get(d, k_finding, nb::dict()),
                       nb::arg("action_output") = text(k_action_output, ""),
                       nb::arg("plan_text") = text(k_plan_text, ""),
                       nb::arg("check_after") = text(k_check_after, ""),
                       nb::arg("measurement_hint") = text(k_measurement_hint, ""),
                       nb::arg("status") = text(k_status, "pending"),
                       nb::arg("created_at") = get(d, k_created_at, nb::none()),
                       nb::arg("resolved_at") = get(d, k_resolved_at, nb::none()),
                       nb::arg("resolution") = get(d, k_resolution, nb::none()));
}

// ------------------------------------------------------------- the manager

ORV_FUNCTION(manager_init, "__init__(self, instance_dir: str, instance_id: str = \"\") -> None",
             "The checkpoints of the instance in `instance_dir`; creates its \"checkpoints\" "
             "directory.") {
    auto& [self, instance_dir, instance_id] = args;
    object dir = own(PyNumber_TrueDivide(pathlib_Path(handle(instance_dir)).ptr(),
                                         nb::str("checkpoints").ptr()));
    setattr(self, k_dir, dir);
    setattr(self, k_self_instance_id, handle(instance_id));
    files::make_directories(dir);
    return nb::none();
}

// A new pending checkpoint `delay_days` ahead, written under a fresh id. An id
// whose file already exists is never reused: another one is drawn, and the
// file is created only if its name is still free when it is linked into place.
ORV_FUNCTION(schedule_checkpoint,
             "schedule_checkpoint(self, finding: dict, action_output: str, plan_text: str, "
             "delay_days: int = 7, measurement_hint: str = \"\") -> TemporalCheckpoint",
             "Create, write and return a new pending checkpoint `delay_days` from now.") {
    auto& [self, finding, action_output, plan_text, delay_days, measurement_hint] = args;
    object now = utc_now();
    object delay = datetime_class(k_timedelta, imported.timedelta)(nb::arg("days") =
                                                                        handle(delay_days));
    object check_after = iso(own(PyNumber_Add(now.ptr(), delay.ptr())));
    object created_at = iso(now);
    object dir = checkpoints_dir(self);

    object checkpoint;
    // 16^8 ids: a free one turns up at once unless the id source is broken.
    constexpr int kAttempts = 1000;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        object uuid = uuid4_text();
        object checkpoint_id = own(PyUnicode_Concat(
            nb::str("CP-").ptr(), own(PyUnicode_Substring(uuid.ptr(), 0, 8)).ptr()));
        object path = file_path(dir, checkpoint_id);
        files::SysPath sys(path);
        struct stat st;
        if (::lstat(sys.c_str(), &st) == 0) continue;

        if (!checkpoint.is_valid()) {
            checkpoint = mod.get(k_TemporalCheckpoint)(
                nb::arg("checkpoint_id") = checkpoint_id, nb::arg("finding") = handle(finding),
                nb::arg("action_output") = handle(action_output),
                nb::arg("plan_text") = handle(plan_text), nb::arg("check_after") = check_after,
                nb::arg("measurement_hint") = handle(measurement_hint),
                nb::arg("status") = "pending", nb::arg("created_at") = created_at,
                nb::arg("resolved_at") = nb::none(), nb::arg("resolution") = nb::none());
        } else {
            setattr(checkpoint, k_id, checkpoint_id);
        }
        object text = file_text(call_method(checkpoint, k_to_dict));
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
        if (!utf8) raise_current();
        if (files::create_new(sys, std::string_view(utf8, static_cast<size_t>(size))))
            return checkpoint;
    }
    raise(PyExc_FileExistsError, "No free checkpoint id in %S", dir.ptr());
}

// Pending checkpoints whose time has come, in directory order. Files that
// cannot be read, are not JSON or have no "id" are skipped.
ORV_FUNCTION(matured_checkpoints, "matured_checkpoints(self) -> list[TemporalCheckpoint]",
             "All pending checkpoints on disk whose time has come.") {
    auto& [self] = args;
    object result = own(PyList_New(0));
    for (handle path : checkpoint_files(self)) {
        object checkpoint;
        try {
            object data = read_json(path);
            checkpoint = call_method(mod.get(k_TemporalCheckpoint), k_from_dict, data);
        } catch (nb::python_error& e) {
            if (unreadable(e) || e.matches(PyExc_KeyError)) continue;
            throw;
        }
        if (equal(getattr(checkpoint, k_status), k_pending.h()) && truth(call_method(checkpoint, k_is_matured).ptr()))
            must(PyList_Append(result.ptr(), checkpoint.ptr()));
    }
    return result;
}

// Rewrites the file as read (other keys kept in place) with the resolution.
// An id that is not a plain file name, a missing or unreadable file and
// invalid JSON are ignored.
ORV_FUNCTION(resolve_checkpoint,
             "resolve_checkpoint(self, checkpoint_id: str, resolution: dict) -> None",
             "Mark the checkpoint `checkpoint_id` resolved with the measured `resolution`.") {
    auto& [self, checkpoint_id, resolution] = args;
    if (!plain_name(handle(checkpoint_id))) return nb::none();
    object path = file_path(checkpoints_dir(self), handle(checkpoint_id));
    object data;
    try {
        data = read_json(path);
    } catch (nb::python_error& e) {
        if (unreadable(e)) return nb::none();
        throw;
    }
    must(PyObject_SetItem(data.ptr(), k_status, k_resolved));
    must(PyObject_SetItem(data.ptr(), k_resolved_at, iso(utc_now()).ptr()));
    must(PyObject_SetItem(data.ptr(), k_resolution, resolution));
    object text = file_text(data);
    try {
        files::atomic_write_text(path, text);
    } catch (nb::python_error& e) {
        if (e.matches(PyExc_OSError)) return nb::none();
        throw;
    }
    return nb::none();
}

ORV_FUNCTION(pending_count, "pending_count(self) -> int",
             "The number of checkpoint files whose status is \"pending\", matured or not.") {
    auto& [self] = args;
    Py_ssize_t count = 0;
    for (handle path : checkpoint_files(self)) {
        object data;
        try {
            data = read_json(path);
        } catch (nb::python_error& e) {
            if (unreadable(e)) continue;
            throw;
        }
        if (equal(get(data, k_status, nb::none()), k_pending.h())) ++count;
    }
    return nb::int_(count);
}

ORV_FUNCTION(format_matured_as_finding,
             "format_matured_as_finding(self, cp: TemporalCheckpoint) -> dict",
             "The \"temporal-verification\" finding the engine processes for a matured "
             "checkpoint.") {
    auto& [self, cp] = args;
    handle c(cp);
    object finding = getattr(c, k_finding);
    object pieces = nb::make_tuple(
        "Temporal checkpoint matured: action '", formatted(head(getattr(c, k_plan_text), 100)),
        "' was executed on ", formatted(head(getattr(c, k_created_at), 10)),
        ". Original issue: '", formatted(head(get(finding, k_description, nb::str("")), 100)),
        "'. Verify if the action achieved its intended effect. ",
        formatted(getattr(c, k_measurement_hint)));
    object result = own(PyDict_New());
    set_item(result, k_description, own(PyUnicode_Join(nb::str("").ptr(), pieces.ptr())));
    set_item(result, k_severity, get(finding, k_severity, nb::float_(0.5)));
    set_item(result, k_type, nb::str("temporal-verification"));
    set_item(result, k_checkpoint_id, getattr(c, k_id));
    set_item(result, k_original_finding, finding);
    return result;
}

// --------------------------------------------------------------- the delay

bool mentions(handle lowered, std::initializer_list<const char*> keywords) {
    for (const char* keyword : keywords) {
        const int found = PyUnicode_Contains(lowered.ptr(), nb::str(keyword).ptr());
        must(found);
        if (found) return true;
    }
    return false;
}

ORV_FUNCTION(estimate_delay_days, "estimate_delay_days(blast_radius: str, action_text: str) -> int",
             "Days to wait before measuring an action; 0 when it needs no checkpoint.") {
    auto& [blast_radius, action_text] = args;
    if (PyUnicode_CompareWithASCIIString(blast_radius, "system") == 0) return nb::int_(1);
    if (PyUnicode_CompareWithASCIIString(blast_radius, "external") != 0) return nb::int_(0);
    object lowered = call_method(handle(action_text), k_lower);
    if (mentions(lowered, {"campaign", "marketing", "advertis", "outreach"})) return nb::int_(14);
    if (mentions(lowered, {"deploy", "launch", "publish", "release"})) return nb::int_(7);
    if (mentions(lowered, {"email", "post", "content"})) return nb::int_(3);
    return nb::int_(7);
}

}  // namespace

NB_MODULE(temporal, m) {
    mod.init(m, "Temporal checkpoints: delayed verification of actions whose effect takes time.");
    object datetime = host_module(k_datetime);
    imported.datetime = getattr(datetime, k_datetime);
    imported.timezone = getattr(datetime, k_timezone);
    imported.timedelta = getattr(datetime, k_timedelta);
    m.attr("datetime") = imported.datetime;
    m.attr("timezone") = imported.timezone;
    m.attr("timedelta") = imported.timedelta;

    mod.function(estimate_delay_days_def);

    ClassBuilder checkpoint(mod, "TemporalCheckpoint",
                            "One scheduled measurement checkpoint for an action that needs time.");
    checkpoint.method(checkpoint_init_def)
        .method(is_matured_def)
        .method(checkpoint_to_dict_def)
        .class_method(checkpoint_from_dict_def);
    m.attr("TemporalCheckpoint") = checkpoint.build();

    ClassBuilder manager(mod, "TemporalManager", "The temporal checkpoints of one instance.");
    manager.method(manager_init_def)
        .method(schedule_checkpoint_def)
        .method(matured_checkpoints_def)
        .method(resolve_checkpoint_def)
        .method(pending_count_def)
        .method(format_matured_as_finding_def);
    m.attr("TemporalManager") = manager.build();

    // The checkpoint events the host records need their type registered.
    object protocol = own(PyImport_ImportModule("orvane.protocol"));
    protocol.attr("register_event_type")("TEMPORAL_CHECKPOINT");
}
