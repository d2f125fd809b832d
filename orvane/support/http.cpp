// HTTP through the host's urllib.request and ssl.
#include "support/http.hpp"

#include "support/host.hpp"

namespace orv::http {

namespace {

Name k_urllib_request{"urllib.request"}, k_Request{"Request"}, k_urlopen{"urlopen"},
    k_data{"data"}, k_headers{"headers"}, k_method{"method"}, k_timeout{"timeout"},
    k_context{"context"}, k_ssl{"ssl"}, k_create_default_context{"create_default_context"},
    k_read{"read"}, k_close{"close"}, k_urllib_error{"urllib.error"}, k_HTTPError{"HTTPError"};

}  // namespace

object make_request(const Request& request) {
    object module = host_module(k_urllib_request);
    object kwargs = own(PyDict_New());
    if (request.data.is_valid()) set_item(kwargs, k_data, request.data);
    if (request.headers.is_valid()) set_item(kwargs, k_headers, request.headers);
    if (request.method.is_valid()) set_item(kwargs, k_method, request.method);
    object args = nb::make_tuple(request.url);
    return own(PyObject_Call(getattr(module, k_Request).ptr(), args.ptr(), kwargs.ptr()));
}

object open(handle prepared, const Request& request) {
    object module = host_module(k_urllib_request);
    object open_kwargs = own(PyDict_New());
    if (request.timeout_value.is_valid())
        set_item(open_kwargs, k_timeout, request.timeout_value);
    else if (request.timeout >= 0)
        set_item(open_kwargs, k_timeout, nb::float_(request.timeout));
    if (request.context.is_valid()) set_item(open_kwargs, k_context, request.context);
    object open_args = nb::make_tuple(prepared);
    return own(PyObject_Call(getattr(module, k_urlopen).ptr(), open_args.ptr(), open_kwargs.ptr()));
}

object open(const Request& request) { return open(make_request(request), request); }

bool is_web_scheme(handle scheme) {
    PyObject* s = scheme.ptr();
    return PyUnicode_Check(s) && (PyUnicode_CompareWithASCIIString(s, "http") == 0 ||
                                  PyUnicode_CompareWithASCIIString(s, "https") == 0);
}

void close_error_response(const nb::python_error& error) {
    object http_error = getattr(host_module(k_urllib_error), k_HTTPError);
    if (error.matches(http_error)) call_quietly(error.value(), k_close);
}

object default_tls_context() { return call_method(host_module(k_ssl), k_create_default_context); }

Response::~Response() {
    if (response_.is_valid()) call_quietly(response_, k_close);
}

object Response::read() const { return call_method(response_, k_read); }

void Response::close() {
    object response = std::move(response_);
    if (response.is_valid()) call_method(response, k_close);
}

}  // namespace orv::http
