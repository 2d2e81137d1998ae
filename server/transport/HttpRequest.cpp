#include "server/transport/HttpRequest.h"

#include "server/transport/QueryString.h"
#include "server/transport/RequestMessage.h"

namespace Lumenbox::transport {

HttpRequest::HttpRequest(const RequestMessage& message) : message_(message) {}

std::string_view HttpRequest::getHeader(std::string_view name) const {
    auto it = message_.message.find(name);
    if (it == message_.message.end()) return {};
    return it->value();
}

bool HttpRequest::hasHeader(std::string_view name) const {
    return message_.message.find(name) != message_.message.end();
}

std::string HttpRequest::getQuery(std::string_view key) const {
    return findQueryValue(message_.query, key).value_or(std::string());
}

bool HttpRequest::hasQuery(std::string_view key) const {
    return findQueryValue(message_.query, key).has_value();
}

std::string_view HttpRequest::getUrl() const { return message_.path; }

std::string_view HttpRequest::getQueryString() const { return message_.query; }

std::string_view HttpRequest::getMethod() const { return message_.message.method_string(); }

std::string_view HttpRequest::getBody() const { return message_.message.body(); }

}  // namespace Lumenbox::transport
