// orvane.notify: notifiers and the bus that fans events out to them.
//
// The host hands an event (type, payload, severity) to a NotificationBus,
// which offers it to every registered notifier in turn: Markdown report
// files, a JSON-lines log that outside programs tail, and an HTTP POST. A
// notifier that fails never stops the others and never raises out of the bus;
// the caller only learns how many notifiers accepted the event. Notifiers
// write nothing but the event type, the severity, the time and the caller's
// payload, so wording stays with the caller.
//
// Everything is looked up when used: methods call each other through the
// instance (`self._format_report`, `self._expand_env`, `notifier.notify`), and
// the host's json, datetime, pathlib, open, os.environ, fcntl and
// urllib.request are read at call time, so subclasses and patches apply.
#include "support/files.hpp"
#include "support/host.hpp"
#include "support/http.hpp"
#include "support/unpack.hpp"

#include <unistd.h>

namespace {

using namespace orv;

Module mod;  // orvane.notify, read at call time

Name k_min_severity{"_min_severity"}, k_self_url{"_url"}, k_self_headers{"_headers"},
    k_notifiers{"_notifiers"}, k_format_report{"_format_report"}, k_expand_env{"_expand_env"},
    k_supports{"supports"}, k_notify{"notify"}, k_file{"file"}, k_log{"log"}, k_webhook{"webhook"},
    k_cfg_min_severity{"min_severity"}, k_FileNotifier{"FileNotifier"},
    k_LogNotifier{"LogNotifier"}, k_WebhookNotifier{"WebhookNotifier"},
    k_content_type{"Content-Type"}, k_application_json{"application/json"}, k_POST{"POST"},
    k_utf8{"utf-8"}, k_report_time{"%Y-%m-%dT%H-%M-%S"}, k_default_reports{"reports/"},
    k_default_log{"notifications.jsonl"};
Host json_dumps{"json", "dumps"}, pathlib_Path{"pathlib", "Path"}, builtins_open{"builtins", "open"}, locale_preferred{"locale", "getpreferredencoding"},
    abc_ABC{"abc", "ABC"};

// The request timeout of a webhook, in seconds.
constexpr double kWebhookTimeout = 10.0;

// How many names one report tries before it gives up: far more reports of
// one event type than one second holds.
constexpr int kMaxReportNames = 100000;

// ----------------------------------------------------------------- helpers

// The severity gate every notifier applies first: below its own threshold an
// event is dropped; a severity equal to the threshold passes.
bool below_threshold(handle self, PyObject* severity) {
    return compare(handle(severity), getattr(self, k_min_severity), Py_LT);
}

// The event record of the log line and of the webhook body, members in order.
object event_record(PyObject* event_type, PyObject* payload, PyObject* severity) {
    object record = own(PyDict_New());
    set_item(record, k_type, handle(event_type));
    set_item(record, k_severity, own(PyNumber_Float(severity)));
    set_item(record, k_timestamp, now_iso());
    set_item(record, k_payload, handle(payload));
    return record;
}

// --------------------------------------------------------------- interface

ORV_FUNCTION(interface_notify,
             "notify(self, event_type: str, payload: dict, severity: float) -> bool",
             "Send one notification; True when it was sent.") {
    return nb::none();
}

ORV_FUNCTION(interface_supports, "supports(self, event_type: str) -> bool",
             "Whether this notifier handles `event_type`; every type by default.") {
    return nb::bool_(true);
}

// Stores the threshold of a notifier and `path` as a path object.
void init_path_notifier(PyObject* self, PyObject* path, PyObject* min_severity) {
    setattr(self, k_self_path, pathlib_Path(handle(path)));
    setattr(self, k_min_severity, handle(min_severity));
}

// ------------------------------------------------------------ report files

ORV_FUNCTION(file_init, "__init__(self, path: str, min_severity: float = 0.0) -> None",
             "Reports go to the directory `path`, created when the first report is written.") {
    auto& [self, path, min_severity] = args;
    init_path_notifier(self, path, min_severity);
    return nb::none();
}

// The Markdown text of one report: heading, severity, time, then one entry
// per payload member (maps and lists as indented JSON in a fence).
ORV_FUNCTION(format_report,
             "_format_report(event_type: str, payload: dict, severity: float) -> str",
             "The Markdown text of the report for one event.") {
    auto& [event_type, payload, severity] = args;
    nb::list lines;
    lines.append(own(PyUnicode_FromFormat("# %U", event_type)));
    lines.append(k_empty.h());
    char* two_decimals = PyOS_double_to_string(PyFloat_AsDouble(severity), 'f', 2, 0, nullptr);
    if (!two_decimals) raise_current();
    object severity_text = nb::steal(PyUnicode_FromString(two_decimals));
    PyMem_Free(two_decimals);
    if (!severity_text.is_valid()) raise_current();
    lines.append(own(PyUnicode_FromFormat("**Severity:** %U", severity_text.ptr())));
    lines.append(own(PyUnicode_FromFormat("**Time:** %S", now_iso().ptr())));
    lines.append(k_empty.h());

    for_each_item(payload, [&](handle key, handle value) {
        object key_text = text_of(key);
        if (is_instance(value, &PyDict_Type) || is_instance(value, &PyList_Type)) {
            lines.append(own(PyUnicode_FromFormat("**%S:**", key_text.ptr())));
            lines.append("```json");
            lines.append(json_dumps(value, nb::arg("indent") = 2));
            lines.append("```");
        } else {
            object value_text = text_of(value);
            lines.append(own(PyUnicode_FromFormat("**%S:** %S", key_text.ptr(), value_text.ptr())));
        }
    });
    lines.append(k_empty.h());
    return own(PyUnicode_Join(k_newline, lines.ptr()));
}

// Opens `path` for writing only if nothing of that name exists yet (mode "x",
// O_CREAT|O_EXCL), with the host's open and default text encoding. Returns
// the file, or an invalid object when the name is taken.
object claim(handle path) {
    try {
        return builtins_open(path, "x");
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_FileExistsError)) return object();
        throw;
    }
}

// Removes a report that could not be written whole; the error in flight stays.
void discard(handle file, handle path) {
    call_quietly(file, k_close);
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* bytes = nullptr;
    if (PyUnicode_FSConverter(path.ptr(), &bytes)) {
        ::unlink(PyBytes_AS_STRING(bytes));
        Py_DECREF(bytes);
    } else {
        PyErr_Clear();
    }
    PyErr_SetRaisedException(saved);
}

// Writes one report into the report directory. Report names have a
// resolution of one second, so each report claims its name atomically and
// takes the first free suffix, "-2", "-3" and so on before ".md", when
// another report (from this process or another) already holds it: no report
// is ever overwritten.
ORV_FUNCTION(file_notify, "notify(self, event_type: str, payload: dict, severity: float) -> bool",
             "Write a Markdown report; True when it was written.") {
    auto& [self, event_type, payload, severity] = args;
    handle h(self);
    if (below_threshold(h, severity)) return nb::bool_(false);
    object directory = pathlib_Path(getattr(h, k_self_path));
    files::make_directories(directory);

    object stamp = call_method(utc_now(), k_strftime, k_report_time.h());
    object safe_type =
        call_method(call_method(handle(event_type), k_replace, "/", "-"), k_replace, " ", "-");
    object stem = own(PyUnicode_FromFormat("%S_%U", stamp.ptr(), safe_type.ptr()));
    object text = getattr(h, k_format_report)(handle(event_type), handle(payload), handle(severity));

    for (int attempt = 1; attempt <= kMaxReportNames; ++attempt) {
        object name = attempt == 1 ? own(PyUnicode_FromFormat("%U.md", stem.ptr()))
                                   : own(PyUnicode_FromFormat("%U-%d.md", stem.ptr(), attempt));
        object path = own(PyNumber_TrueDivide(directory.ptr(), name.ptr()));
        object file;
        try {
            file = claim(path);
        } catch (nb::python_error& error) {
            if (error.matches(PyExc_OSError)) return nb::bool_(false);
            throw;
        }
        if (!file.is_valid()) continue;
        try {
            call_method(file, k_write, text);
            call_method(file, k_close);  // a failure to flush (a full disk) counts
        } catch (nb::python_error& error) {
            error.restore();
            discard(file, path);
            if (PyErr_ExceptionMatches(PyExc_OSError)) {
                PyErr_Clear();
                return nb::bool_(false);
            }
            raise_current();
        }
        return nb::bool_(true);
    }
    return nb::bool_(false);
}

// ------------------------------------------------------------ the log file

ORV_FUNCTION(log_init, "__init__(self, path: str, min_severity: float = 0.0) -> None",
             "Notifications are appended to the JSON-lines file `path`, created when first "
             "written.") {
    auto& [self, path, min_severity] = args;
    init_path_notifier(self, path, min_severity);
    return nb::none();
}

// The bytes of `line` as the host's open() would write them with its default
// text encoding. Lines are ASCII (non-ASCII is escaped), so the encoding only
// matters when json.dumps was replaced.
object encode_default(handle line) {
    if (PyUnicode_Check(line.ptr()) && PyUnicode_IS_ASCII(line.ptr()))
        return own(PyUnicode_AsASCIIString(line.ptr()));
    return call_method(line, k_encode, locale_preferred(false));
}

// Appends the event as one compact JSON line. The line is written whole, in
// one write, under an exclusive flock, so concurrent writers never interleave;
// a line left torn by a writer that failed mid-write is ended first, so it
// cannot swallow this one.
ORV_FUNCTION(log_notify, "notify(self, event_type: str, payload: dict, severity: float) -> bool",
             "Append one JSON line to the log; True when it was written.") {
    auto& [self, event_type, payload, severity] = args;
    handle h(self);
    if (below_threshold(h, severity)) return nb::bool_(false);
    object path = pathlib_Path(getattr(h, k_self_path));
    files::make_parent_directories(path);

    object record = event_record(event_type, payload, severity);
    object text = json_dumps(record, nb::arg("separators") = nb::make_tuple(",", ":"));
    object line = own(PyNumber_Add(text.ptr(), k_newline));
    object bytes = encode_default(line);
    char* data = nullptr;
    Py_ssize_t size = 0;
    must(PyBytes_AsStringAndSize(bytes.ptr(), &data, &size));
    try {
        files::append_line(files::SysPath(path), std::string_view(data, static_cast<size_t>(size)),
                           true);
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_OSError)) return nb::bool_(false);
        throw;
    }
    return nb::bool_(true);
}

// ---------------------------------------------------------------- webhooks

// Replaces each "${NAME}" (NAME: one or more word characters, as the host's
// `\w` has them in a str pattern) by the environment variable NAME, read from
// the host's os.environ now; a reference to an unset variable stays as it is.
ORV_FUNCTION(expand_env, "_expand_env(value: str) -> str",
             "`value` with each ${NAME} replaced by the environment variable NAME, where set.") {
    auto& [value] = args;
    const Py_ssize_t length = PyUnicode_GET_LENGTH(value);
    const int kind = PyUnicode_KIND(value);
    const void* data = PyUnicode_DATA(value);
    auto at = [&](Py_ssize_t i) { return PyUnicode_READ(kind, data, i); };
    auto word = [&](Py_UCS4 c) { return c == '_' || Py_UNICODE_ISALNUM(c); };

    object environ;
    nb::list pieces;
    Py_ssize_t copied = 0;  // everything before this index is in `pieces`
    for (Py_ssize_t i = 0; i + 4 <= length; ++i) {
        if (at(i) != '$' || at(i + 1) != '{') continue;
        Py_ssize_t end = i + 2;
        while (end < length && word(at(end))) ++end;
        if (end == i + 2 || end >= length || at(end) != '}') continue;
        if (!environ.is_valid()) environ = getattr(host_module(k_os), k_environ);
        object name = own(PyUnicode_Substring(value, i + 2, end));
        object replacement = get(environ, name.ptr(), nb::none());
        if (replacement.is_none()) continue;
        pieces.append(own(PyUnicode_Substring(value, copied, i)));
        pieces.append(replacement);
        copied = end + 1;
        i = end;
    }
    if (copied == 0) return nb::borrow(value);
    pieces.append(own(PyUnicode_Substring(value, copied, length)));
    return own(PyUnicode_Join(k_empty, pieces.ptr()));
}

ORV_FUNCTION(webhook_init,
             "__init__(self, url: str, min_severity: float = 0.0, headers: dict | None = None) "
             "-> None",
             "Notifications are POSTed to `url`; environment references in the URL and the "
             "header values are expanded here, once.") {
    auto& [self, url, min_severity, headers] = args;
    handle h(self);
    object expand = getattr(h, k_expand_env);
    setattr(h, k_self_url, expand(handle(url)));
    setattr(h, k_min_severity, handle(min_severity));
    object expanded = own(PyDict_New());
    if (headers != Py_None)
        for_each_item(headers, [&](handle name, handle text) {
            set_item(expanded, name.ptr(), expand(text));
        });
    setattr(h, k_self_headers, expanded);
    return nb::none();
}

// POSTs the event record as JSON. True for a 2xx answer; False for any other
// status, a URL error, a time-out or another operating-system error.
ORV_FUNCTION(webhook_notify,
             "notify(self, event_type: str, payload: dict, severity: float) -> bool",
             "POST the event as JSON; True when the server answered with a 2xx status.") {
    auto& [self, event_type, payload, severity] = args;
    handle h(self);
    if (below_threshold(h, severity)) return nb::bool_(false);
    object record = event_record(event_type, payload, severity);
    object body = call_method(json_dumps(record), k_encode, k_utf8.h());

    object headers = own(PyDict_New());
    set_item(headers, k_content_type, k_application_json.h());
    must(PyDict_Update(headers.ptr(), getattr(h, k_self_headers).ptr()));
    object url = getattr(h, k_self_url);

    http::Request request{url};
    request.headers = headers;
    request.data = body;
    request.method = k_POST.h();
    request.timeout = kWebhookTimeout;
    // A redirect is no delivery: urllib would follow it as a GET without the
    // body, to wherever it leads, with the configured headers.
    request.redirects = http::Redirects::never;
    object status;
    try {
        http::Response response(http::open(request));
        status = getattr(response.get(), k_status);
        response.close();
    } catch (nb::python_error& error) {
        if (!error.matches(PyExc_OSError)) throw;
        http::close_error_response(error);
        return nb::bool_(false);
    }
    return nb::bool_(compare(status, nb::int_(200), Py_GE) && compare(status, nb::int_(300), Py_LT));
}

// --------------------------------------------------------------------- bus

ORV_FUNCTION(bus_init, "__init__(self, notifiers: list | None = None) -> None",
             "A bus over `notifiers` (the list itself is kept), or over none.") {
    auto& [self, notifiers] = args;
    const bool given = notifiers != Py_None && PyList_GET_SIZE(notifiers) > 0;
    setattr(handle(self), k_notifiers, given ? object(nb::borrow(notifiers)) : object(nb::list()));
    return nb::none();
}

// Calls `callable(*args)` and reports whether it gave a truthy value. An
// ordinary exception (an Exception) counts as False and is dropped; anything
// else (KeyboardInterrupt, SystemExit) propagates.
bool sent(handle notify, PyObject* const* argv, size_t count) {
    PyObject* result = PyObject_Vectorcall(notify.ptr(), argv, count, nullptr);
    int truthy = -1;
    if (result) {
        truthy = PyObject_IsTrue(result);
        Py_DECREF(result);
    }
    if (truthy >= 0) return truthy == 1;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();
    PyErr_Clear();
    return false;
}

// Offers the event to every notifier in registration order; returns how many
// sent it. A failing notifier never stops the others.
ORV_FUNCTION(emit, "emit(self, event_type: str, payload: dict, severity: float = 0.0) -> int",
             "Send the event to every notifier that supports its type; the number that sent "
             "it.") {
    auto& [self, event_type, payload, severity] = args;
    long count = 0;
    for_each(getattr(handle(self), k_notifiers), [&](object notifier) {
        // An exception from supports() is the caller's to see.
        if (!truth(call_method(notifier, k_supports, handle(event_type)).ptr())) return;
        PyObject* argv[] = {event_type, payload, severity};
        object notify = nb::steal(PyObject_GetAttr(notifier.ptr(), k_notify));
        if (!notify.is_valid()) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) raise_current();
            PyErr_Clear();
            return;
        }
        if (sent(notify, argv, 3)) ++count;
    });
    return nb::int_(count);
}

ORV_FUNCTION(notifier_count, "notifier_count(self) -> int", "The number of registered notifiers.") {
    auto& [self] = args;
    const Py_ssize_t size = PyObject_Size(getattr(handle(self), k_notifiers).ptr());
    if (size < 0) raise_current();
    return nb::int_(size);
}

// config.get(key, dflt) through the host's float(): a numeric string passes,
// anything else that is not a number raises.
object config_float(handle entry, const Name& key) {
    object value = get(entry, key, nb::float_(0.0));
    return own(PyNumber_Float(value.ptr()));
}

object config_str(handle entry, const Name& key, const Name& dflt) {
    return text_of(get(entry, key, dflt.h()));
}

// A bus from the notifiers section of the configuration: a list of notifier
// maps, one map, or nothing. Unknown types, elements that are not maps and
// webhooks without a URL are skipped; values that do not convert raise.
ORV_FUNCTION(from_config, "from_config(cls, config) -> NotificationBus",
             "A bus from the notifiers section of the configuration.") {
    auto& [cls, config] = args;
    handle bus_class(cls);
    if (!truth(config)) return bus_class();

    object entries = nb::borrow(config);
    if (is_instance(entries, &PyDict_Type)) {
        nb::list single;
        single.append(entries);
        entries = single;
    }
    nb::list notifiers;
    for_each(entries, [&](object entry) {
        if (!is_instance(entry, &PyDict_Type)) return;
        object kind = get(entry, k_type, k_empty.h());
        if (equal(kind, k_file.h())) {
            object path = config_str(entry, k_path, k_default_reports);
            object threshold = config_float(entry, k_cfg_min_severity);
            notifiers.append(mod.get(k_FileNotifier)(nb::arg("path") = path,
                                                     nb::arg("min_severity") = threshold));
        } else if (equal(kind, k_log.h())) {
            object path = config_str(entry, k_path, k_default_log);
            object threshold = config_float(entry, k_cfg_min_severity);
            notifiers.append(mod.get(k_LogNotifier)(nb::arg("path") = path,
                                                    nb::arg("min_severity") = threshold));
        } else if (equal(kind, k_webhook.h())) {
            object url = get(entry, k_url, k_empty.h());
            if (!truth(url.ptr())) return;
            object url_text = text_of(url);
            object threshold = config_float(entry, k_cfg_min_severity);
            object headers = get(entry, k_headers, nb::none());
            notifiers.append(mod.get(k_WebhookNotifier)(nb::arg("url") = url_text,
                                                        nb::arg("min_severity") = threshold,
                                                        nb::arg("headers") = headers));
        }
    });
    return bus_class(notifiers);
}

}  // namespace

NB_MODULE(notify, m) {
    mod.init(m, "Notifiers (report files, a JSON-lines log, webhooks) and the bus that feeds "
                "them.");

    ClassBuilder interface(mod, "NotifierInterface",
                           "A notification channel: `notify` sends one event, `supports` says "
                           "which event types it takes.");
    interface.base(abc_ABC.get())
        .abstract_method(interface_notify_def)
        .method(interface_supports_def);
    object base = interface.build();
    m.attr("NotifierInterface") = base;

    ClassBuilder file(mod, "FileNotifier", "Writes one Markdown report file per event.");
    file.base(base).method(file_init_def).method(file_notify_def).static_method(format_report_def);
    m.attr("FileNotifier") = file.build();

    ClassBuilder log(mod, "LogNotifier",
                     "Appends one JSON line per event to a log that outside programs can tail.");
    log.base(base).method(log_init_def).method(log_notify_def);
    m.attr("LogNotifier") = log.build();

    ClassBuilder webhook(mod, "WebhookNotifier", "POSTs each event as JSON to a URL.");
    webhook.base(base)
        .method(webhook_init_def)
        .method(webhook_notify_def)
        .static_method(expand_env_def);
    m.attr("WebhookNotifier") = webhook.build();

    ClassBuilder bus(mod, "NotificationBus",
                     "Routes each event to every registered notifier; failures stay inside.");
    bus.method(bus_init_def)
        .method(emit_def)
        .property(notifier_count_def)
        .class_method(from_config_def);
    m.attr("NotificationBus") = bus.build();
}
