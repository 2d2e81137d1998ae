#pragma once

#include <string>
#include <string_view>

namespace Lumenbox::transport {

struct RequestMessage;  // the parsed request, private to the transport

// Loop thread only.
// Read-only view of one HTTP request, valid only during the route handler's call: handlers copy
// what they need before they return.
class HttpRequest {
public:
    explicit HttpRequest(const RequestMessage& message);

    // The value of the header, empty when absent. Names are matched without regard to case.
    std::string_view getHeader(std::string_view name) const;
    bool hasHeader(std::string_view name) const;
    // The decoded value of a query parameter (percent-escapes and "+"), empty when absent.
    std::string getQuery(std::string_view key) const;
    // True when the query names the parameter, even with an empty value.
    bool hasQuery(std::string_view key) const;
    // The path, without the query.
    std::string_view getUrl() const;
    // The query, without the "?"; empty when there is none.
    std::string_view getQueryString() const;
    // The method as sent, for instance "GET".
    std::string_view getMethod() const;
    // The body as read (empty without one); seen by the filter too, before any route runs.
    std::string_view getBody() const;

private:
    const RequestMessage& message_;
};

}  // namespace Lumenbox::transport
