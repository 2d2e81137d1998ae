#include "server/transport/HttpResponse.h"

#include "server/transport/HttpConnection.h"

namespace Lumenbox::transport {

HttpResponse::HttpResponse(HttpConnection& connection) : connection_(&connection) {}

HttpResponse* HttpResponse::writeStatus(std::string_view status) {
    if (isOpen() && status_.empty()) status_ = status;
    return this;
}

HttpResponse* HttpResponse::writeHeader(std::string_view name, std::string_view value) {
    if (isOpen()) headers_.append(name).append(": ").append(value).append("\r\n");
    return this;
}

void HttpResponse::end(std::string_view body) {
    if (!isOpen()) return;
    ended_ = true;
    HttpConnection* connection = connection_;
    connection_ = nullptr;
    // Handlers often capture this response; dropping them here breaks that cycle.
    dataHandler_ = nullptr;
    abortHandler_ = nullptr;
    if (connection) connection->completeResponse(*this, status_.empty() ? "200 OK" : status_, headers_, body);
}

void HttpResponse::onData(std::function<void(std::string_view, bool)> handler) {
    if (isOpen()) dataHandler_ = std::move(handler);
}

void HttpResponse::onAborted(std::function<void()> handler) {
    if (isOpen()) abortHandler_ = std::move(handler);
}

void HttpResponse::deliverBody(std::string_view body) {
    if (!isOpen() || !dataHandler_) return;
    auto handler = std::move(dataHandler_);
    dataHandler_ = nullptr;
    handler(body, true);
}

void HttpResponse::abort() {
    if (!isOpen()) return;
    aborted_ = true;
    connection_ = nullptr;
    dataHandler_ = nullptr;
    auto handler = std::move(abortHandler_);
    abortHandler_ = nullptr;
    if (handler) handler();
}

}  // namespace Lumenbox::transport
