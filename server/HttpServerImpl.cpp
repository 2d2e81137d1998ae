#include "server/HttpServerImpl.h"

namespace Lumenbox {

HttpServer::Impl::Impl(SessionStore& sessionStore, const HttpServer::Options& options, ConnectorKeys* connectorKeys)
    : sessionStore_(sessionStore), options_(options), connectorKeys_(connectorKeys) {}

bool HttpServer::Impl::deferToLoop(const std::weak_ptr<Impl>& weak, std::function<void()> task) {
    auto impl = weak.lock();
    if (!impl || impl->stopping_ || !impl->loopRunning_) return false;
    auto loop = impl->loop();
    if (!loop) return false;
    // The loop object outlives this call (shared ownership), so a task that loses the race with
    // the end of the loop is simply never run.
    loop->defer(std::move(task));
    return true;
}

std::shared_ptr<transport::Loop> HttpServer::Impl::loop() const {
    std::lock_guard lock(loopMutex_);
    return loop_;
}

void HttpServer::Impl::setLoop(std::shared_ptr<transport::Loop> loop) {
    std::lock_guard lock(loopMutex_);
    loop_ = std::move(loop);
}

void HttpServer::Impl::clearState() {
    webviewers_.clear();
    replacedWebviewers_.clear();
    agentBrowsers_.clear();
    // Moved out first: dropping an entry releases its response, and nothing may re-enter the map
    // while it is being cleared.
    auto calls = std::move(pendingHttpCalls_);
    pendingHttpCalls_.clear();
    calls.clear();
    // Waiting authorization requests are released unanswered (the connections close with the
    // server) and their time limits cancelled; a dialog still open answers into nothing.
    auto questions = std::move(pendingAuthRequests_);
    pendingAuthRequests_.clear();
    questions.clear();
    auto pings = std::move(pendingWebviewerPings_);
    pendingWebviewerPings_.clear();
    pings.clear();
}

}  // namespace Lumenbox
