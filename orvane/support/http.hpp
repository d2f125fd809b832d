// HTTP requests through the host's urllib.request, looked up at call time,
// so that the host's proxies, handlers, openers and certificates apply.
#pragma once

#include "support/core.hpp"

namespace orv::http {

// What a request does with a redirect (3xx with a location).
enum class Redirects {
    host,      // whatever the host's urlopen does
    web_only,  // followed only to http and https; any other scheme is refused first
    never,     // not followed: the 3xx answer is the host's HTTPError
};

struct Request {
    handle url;                         // str
    handle headers = handle();          // a map of str to str, or invalid: none
    handle data = handle();             // bytes for the body, or invalid: none
    handle method = handle();           // str such as "POST", or invalid: urllib's choice
    double timeout = -1;                // seconds; negative: urllib's default
    handle context = handle();          // an ssl.SSLContext, or invalid: none passed
    handle timeout_value = handle();    // passed to urlopen as it is when valid (overrides timeout)
    Redirects redirects = Redirects::host;
};

// urllib.request.urlopen(urllib.request.Request(url, data, headers, method),
// timeout=..., context=...): the response object, which the caller closes
// (see Response). Every failure is the host's own exception.
object open(const Request& request);

// The two halves of open(): the urllib.request.Request object, made by the
// host (its parse of the URL, so a caller can check the scheme before
// anything is fetched), then urlopen(prepared, timeout=..., context=...) with
// the timeout and TLS context of `request`. While urlopen is the host's own,
// a redirect policy other than `host` opens the request as urlopen would
// (build_opener, with an HTTPSHandler for the TLS context) with a redirect
// handler of the host's HTTPRedirectHandler class added, which applies the
// policy before anything at the new location is reached. A replaced urlopen
// is called as it is: the replacement decides.
object make_request(const Request& request);
object open(handle prepared, const Request& request);

// Whether a URL scheme (as urllib parses it) is one this library fetches:
// exactly "http" or "https".
bool is_web_scheme(handle scheme);

// When `error` is an HTTP error status (urllib.error.HTTPError, which holds
// the open response), closes that response quietly, as a `with` block would
// have closed it, rather than leaving its connection to the collector.
void close_error_response(const nb::python_error& error);

// ssl.create_default_context(), looked up at call time.
object default_tls_context();

// A response closed when it goes out of scope, as a `with` block closes it:
// a failure to close never hides the error already in flight.
class Response {
public:
    explicit Response(object response) : response_(std::move(response)) {}
    Response(const Response&) = delete;
    Response& operator=(const Response&) = delete;
    ~Response();
    handle get() const { return response_; }
    // The whole body: read().
    object read() const;
    // Closes now, reporting a failure to do so.
    void close();

private:
    object response_;
};

}  // namespace orv::http
