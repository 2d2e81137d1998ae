#include "server/transport/HttpResponse.h"

#include "server/transport/HttpConnection.h"

#include <utility>

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
    bodyHandler_ = nullptr;
    abortHandlers_.clear();
    // Taken out first: completing may drop the last holder of this response.
    auto finished = std::exchange(finishHandler_, nullptr);
    const std::string status = finished ? (status_.empty() ? "200 OK" : status_) : std::string();
    if (connection) connection->completeResponse(*this, status_.empty() ? "200 OK" : status_, headers_, body);
    if (finished) finished(status);
}

void HttpResponse::write(std::string_view piece) {
    if (!isOpen()) return;
    streaming_ = true;
    connection_->streamResponse(*this, status_.empty() ? "200 OK" : status_, headers_, piece);
}

void HttpResponse::onBody(std::function<void(std::string)> handler) {
    if (isOpen()) bodyHandler_ = std::move(handler);
}

void HttpResponse::onAborted(std::function<void()> handler) {
    if (isOpen() && handler) abortHandlers_.push_back(std::move(handler));
}

void HttpResponse::onFinished(std::function<void(std::string_view)> handler) {
    if (isOpen()) finishHandler_ = std::move(handler);
}

void HttpResponse::deliverBody(std::string body) {
    if (!isOpen() || !bodyHandler_) return;
    auto handler = std::move(bodyHandler_);
    bodyHandler_ = nullptr;
    handler(std::move(body));
}

void HttpResponse::abort() {
    if (!isOpen()) return;
    aborted_ = true;
    connection_ = nullptr;
    bodyHandler_ = nullptr;
    // Moved out first: a handler may drop the last holder of this response.
    auto handlers = std::move(abortHandlers_);
    abortHandlers_.clear();
    auto finished = std::exchange(finishHandler_, nullptr);
    for (auto& handler : handlers) handler();
    if (finished) finished("aborted");
}

}  // namespace Lumenbox::transport
