#include "server/HttpServerImpl.h"

#include <set>

#include "base/MonotonicClock.h"

namespace Lumenbox {

HttpServer::Impl::Impl(SessionStore& sessionStore, const HttpServer::Options& options, ConnectorKeys* connectorKeys)
    : sessionStore_(sessionStore),
      options_(options),
      connectorKeys_(connectorKeys),
      sessionRoutes_(sessionStore, options.enhancedSecurity),
      statusRoutes_([this] { return fileConnections(); }),
      servedPages_([this] { return listenPort_.load(); }) {}

void HttpServer::Impl::createRunComponents(transport::App& app) {
    AuthorizationQuestions::Settings settings{options_.authorizationTimeout, options_.authorizationDenialCooldown,
                                              options_.enhancedSecurity};
    questions_ = std::make_shared<AuthorizationQuestions>(
        app.loop(), realMonotonicClock(), sessionStore_,
        options_.approvalPrompt ? *options_.approvalPrompt : silentApprovalPrompt(), std::move(settings),
        [weak = weak_from_this()](std::function<void()> task) { return deferToLoop(weak, std::move(task)); });
}

std::vector<FileConnections> HttpServer::Impl::fileConnections() const {
    std::set<std::string> names;
    for (const auto& [name, ws] : webviewers_) names.insert(name);
    for (const auto& [name, ws] : agentBrowsers_) names.insert(name);
    std::vector<FileConnections> files;
    files.reserve(names.size());
    for (const auto& name : names) files.push_back({name, webviewers_.contains(name), agentBrowsers_.contains(name)});
    return files;
}

void HttpServer::Impl::awaitApproval(const void* owner, const AuthRequestKey& key, const AuthApproval& approval,
                                     std::function<void(AuthAnswer)> answer) {
    if (!questions_) return answer(AuthAnswer::TooManyQuestions);
    questions_->awaitApproval(owner, key, approval, std::move(answer));
}

void HttpServer::Impl::abandonAuthorizationsOf(const void* owner) {
    if (questions_) questions_->abandonAuthorizationsOf(owner);
}

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
    if (auto questions = std::move(questions_)) questions->clear();
    auto pings = std::move(pendingWebviewerPings_);
    pendingWebviewerPings_.clear();
    pings.clear();
}

}  // namespace Lumenbox
