// orvane.pagegrab: a web page fetched and described as text for the brain.
//
// The fetch goes through the host's urllib.request and ssl (looked up at each
// call, so the host's proxies, openers and certificates apply); entity
// references are decoded by the host's html.unescape. `describe_url` calls
// the module's `fetch_url`, and `fetch_url` the module's `_extract_text`, as
// they stand at call time. The analysis itself runs natively in one pass per
// pattern (scan.cpp). A failed fetch never raises: it comes back as a result
// whose "error" holds the exception's text.
#include "pagegrab/pagegrab.hpp"

#include "support/host.hpp"
#include "support/http.hpp"
#include "support/text_builder.hpp"

namespace {

using namespace orv;
using namespace orv::pagegrab;

Module mod;  // orvane.pagegrab, read at call time

Name k_fetch_url{"fetch_url"}, k_extract_text{"_extract_text"},
    k_meta_description{"meta_description"}, k_links{"links"}, k_success{"success"},
    k_get_content_charset{"get_content_charset"};
Host html_unescape{"html", "unescape"}, url_error{"urllib.error", "URLError"}, re_sub{"re", "sub"};

constexpr const char* kUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/537.36 (KHTML, like Gecko) "
    "Chrome/131.0.0.0 Safari/537.36";

// Bounds of the result and of the description.
constexpr Py_ssize_t kTitleLimit = 200, kDescriptionLimit = 500, kTextLimit = 10000;
constexpr size_t kLinkLimit = 20;
constexpr Py_ssize_t kDescribedText = 4000, kDescribedLinks = 10;

object item(handle map, const Name& key) { return own(PyObject_GetItem(map.ptr(), key)); }

// Refuses a scheme other than http and https with the error urllib raises for
// schemes it has no handler for, "<urlopen error unknown url type: ...>": a
// URL named by a page or a user must never read local files (file:) or reach
// other services (ftp:, data:).
void refuse_scheme(handle scheme) {
    object error = url_error(own(PyUnicode_FromFormat("unknown url type: %S", scheme.ptr())));
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
    raise_current();
}

// The scheme of an absolute URL in lower case, as urllib splits it (the text
// before the first ":" when it holds no "/"), or None.
object scheme_of(handle url) {
    if (!PyUnicode_Check(url.ptr())) return nb::none();
    const Py_ssize_t n = PyUnicode_GET_LENGTH(url.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS4 c = PyUnicode_READ_CHAR(url.ptr(), i);
        if (c == '/') break;
        if (c == ':') {
            if (i == 0) break;
            return call_method(own(PyUnicode_Substring(url.ptr(), 0, i)), k_lower);
        }
    }
    return nb::none();
}

// The body decoded with the charset the response declares (UTF-8 when it
// declares none), undecodable bytes replaced; a charset the host does not
// know, or a decoding that fails anyway, falls back to UTF-8.
object decode_body(handle response, handle raw) {
    object charset = call_method(getattr(response, k_headers), k_get_content_charset);
    if (!truth(charset.ptr())) charset = nb::str("utf-8");
    try {
        return call_method(raw, k_decode, charset, "replace");
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return call_method(raw, k_decode, "utf-8", "replace");
}

// The fetch phase: sets "status" once a response is in and returns the
// decoded page. Every failure is the host's exception.
object fetch_page(handle url, handle timeout, handle max_bytes, handle result) {
    object context = http::default_tls_context();
    object headers = own(PyDict_New());
    must(PyDict_SetItemString(headers.ptr(), "User-Agent", nb::str(kUserAgent).ptr()));
    must(PyDict_SetItemString(headers.ptr(), "Accept", nb::str("text/html,application/xhtml+xml,*/*").ptr()));
    must(PyDict_SetItemString(headers.ptr(), "Accept-Language", nb::str("en-US,en;q=0.9").ptr()));
    http::Request request{.url = url, .headers = headers, .context = context, .timeout_value = timeout,
                          .redirects = http::Redirects::web_only};

    object prepared = http::make_request(request);
    object scheme = getattr(prepared, k_type);
    if (!http::is_web_scheme(scheme)) refuse_scheme(scheme);

    // Redirects to other schemes are refused before they are followed (urllib
    // itself would follow http to ftp); the page a replaced urlopen hands back
    // is still checked before it is read.
    http::Response response(http::open(prepared, request));
    PyObject* final_url = nullptr;
    must(PyObject_GetOptionalAttr(response.get().ptr(), k_url, &final_url));
    object final_scheme = final_url ? scheme_of(nb::steal(final_url)) : object(nb::none());
    if (!final_scheme.is_none() && !http::is_web_scheme(final_scheme)) refuse_scheme(final_scheme);

    set_item(result, k_status, getattr(response.get(), k_status));
    object raw = call_method(response.get(), k_read, max_bytes);
    object html = decode_body(response.get(), raw);
    response.close();
    return html;
}

// s.strip(), entity references decoded, cut to `limit` characters.
object clean(handle html, const Span& span, Py_ssize_t limit) {
    object group = own(PyUnicode_Substring(html.ptr(), span.begin, span.end));
    return head(html_unescape(call_method(group, k_strip)), limit);
}

// The analysis phase: title, description, links and text, then success.
void analyse(handle html, handle result) {
    if (!PyUnicode_Check(html.ptr()))
        raise(PyExc_TypeError, "expected string or bytes-like object, got '%.200s'", type_name(html.ptr()));
    if (auto title = find_title(html.ptr())) set_item(result, k_title, clean(html, *title, kTitleLimit));
    if (auto description = find_description(html.ptr()))
        set_item(result, k_meta_description, clean(html, *description, kDescriptionLimit));
    nb::list links;
    for (const Span& link : find_links(html.ptr(), kLinkLimit))
        links.append(own(PyUnicode_Substring(html.ptr(), link.begin, link.end)));
    set_item(result, k_links, links);
    set_item(result, k_text, head(mod.get(k_extract_text)(html), kTextLimit));
    set_item(result, k_success, handle(Py_True));
}

// ---------------------------------------------------------------- interface

ORV_FUNCTION(is_url, "is_url(target: str) -> bool",
             "Whether `target` begins with \"http://\" or \"https://\" (case-sensitive, not trimmed).") {
    auto& [target] = args;
    for (const char* prefix : {"http://", "https://"}) {
        object p = nb::str(prefix);
        const Py_ssize_t r = PyUnicode_Tailmatch(target, p.ptr(), 0, PY_SSIZE_T_MAX, -1);
        if (r < 0) raise_current();
        if (r) return nb::bool_(true);
    }
    return nb::bool_(false);
}

ORV_FUNCTION(extract_text, "_extract_text(html_body: str) -> str",
             "The readable text of an HTML page: scripts, styles, navigation, headers, footers, "
             "noscript blocks and tags removed, entity references decoded, white space collapsed.") {
    auto& [html_body] = args;
    object decoded = html_unescape(strip_markup(html_body));
    if (PyUnicode_Check(decoded.ptr())) return collapse_space(decoded.ptr());
    // Whatever a replaced unescape returned: the host's own handling of it.
    return call_method(re_sub("\\s+", " ", decoded), k_strip);
}

ORV_FUNCTION(fetch_url, "fetch_url(url: str, timeout: SupportsIndex = 30, max_bytes: SupportsIndex = 500000) -> dict",
             "Fetch a web page (http or https) and extract its title, description, text and links. "
             "Never raises for network, TLS, HTTP or decoding failures: they give \"success\" false "
             "and the error's text in \"error\".") {
    auto& [url, timeout, max_bytes] = args;

    object result = own(PyDict_New());
    set_item(result, k_url, handle(url));
    set_item(result, k_status, nb::int_(0));
    set_item(result, k_title, nb::str(""));
    set_item(result, k_text, nb::str(""));
    set_item(result, k_meta_description, nb::str(""));
    set_item(result, k_links, nb::list());
    set_item(result, k_success, handle(Py_False));
    set_item(result, k_error, nb::str(""));

    object html;
    try {
        html = fetch_page(handle(url), handle(timeout), handle(max_bytes), result);
    } catch (nb::python_error& e) {
        if (!e.matches(PyExc_Exception)) throw;
        set_item(result, k_error, own(PyObject_Str(e.value().ptr())));
        http::close_error_response(e);
        return result;
    }
    analyse(html, result);
    return result;
}

ORV_FUNCTION(describe_url, "describe_url(url: str) -> str",
             "A plain-text description of the page at `url` for the brain's prompt; when the fetch "
             "fails, a text that says so and asks the brain to work from what it knows.") {
    auto& [url] = args;
    handle u(url);
    object result = mod.get(k_fetch_url)(u);
    if (!truth(item(result, k_success).ptr()))
        return concat({"URL: ", formatted(u), "\n(Failed to fetch: ", formatted(item(result, k_error)),
                       ")\nThe brain should analyze this URL based on what it knows about the domain."});

    nb::list parts;
    parts.append(concat({"URL: ", formatted(u)}));
    if (object title = item(result, k_title); truth(title.ptr()))
        parts.append(concat({"Page title: ", formatted(title)}));
    if (object description = item(result, k_meta_description); truth(description.ptr()))
        parts.append(concat({"Description: ", formatted(description)}));
    if (object text = item(result, k_text); truth(text.ptr()))
        parts.append(concat({"\nPage content (extracted text):\n", formatted(head(text, kDescribedText))}));
    if (object links = item(result, k_links); truth(links.ptr())) {
        const Py_ssize_t count = PyObject_Size(links.ptr());
        if (count < 0) raise_current();
        parts.append(concat({"\nOutbound links (", formatted(nb::int_(count)), "):"}));
        object first = own(PyObject_GetIter(head(links, kDescribedLinks).ptr()));
        while (PyObject* link = PyIter_Next(first.ptr())) parts.append(concat({"  ", formatted(nb::steal(link))}));
        if (PyErr_Occurred()) raise_current();
    }
    return own(PyUnicode_Join(nb::str("\n").ptr(), parts.ptr()));
}

}  // namespace

NB_MODULE(pagegrab, m) {
    mod.init(m, "A web page fetched and described as text for the brain.");
    build_literals();
    mod.function(is_url_def);
    mod.function(extract_text_def);
    mod.function(fetch_url_def);
    mod.function(describe_url_def);
}
