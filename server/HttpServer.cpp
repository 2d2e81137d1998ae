#include "server/HttpServer.h"

#include <condition_variable>
#include <set>
#include <system_error>
#include <mutex>

#include "base/Log.h"
#include "server/HttpServerImpl.h"

namespace Lumenbox {

namespace {
constexpr const char* kBridgeHost = "127.0.0.1";

std::string inQuotes(std::string_view text) {
    return "\"" + std::string(text) + "\"";
}
}  // namespace

// Shared by `start` and the server thread: the thread reports once whether it listens.
struct HttpServer::StartupSignal {
    std::mutex mutex;
    std::condition_variable cv;
    bool completed = false;  // Guarded by mutex
    bool succeeded = false;  // Guarded by mutex

    // Later reports change nothing.
    void complete(bool ok) {
        std::lock_guard lock(mutex);
        if (completed) return;
        completed = true;
        succeeded = ok;
        cv.notify_one();
    }

    bool wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [this] { return completed; });
        return succeeded;
    }
};

std::string bridgeEndpointDetails(int port) {
    return std::string("host=") + kBridgeHost + " port=" + std::to_string(port);
}

HttpServer::HttpServer(SessionStore& sessionStore) : HttpServer(sessionStore, Options{}) {}

HttpServer::HttpServer(SessionStore& sessionStore, const Options& options, ConnectorKeys* connectorKeys)
    : impl_(std::make_shared<Impl>(sessionStore, options, connectorKeys)) {}

HttpServer::~HttpServer() {
    stop();
}

int HttpServer::port() const {
    return impl_->listenPort_.load();
}

bool HttpServer::deferToLoop(std::function<void()> task) const {
    return Impl::deferToLoop(impl_, std::move(task));
}

HttpServer::BridgeCounts HttpServer::pendingCounts() const {
    return impl_->pendingCounts();
}

std::optional<std::int32_t> HttpServer::pendingTimeLimit(const std::string& id) const {
    if (!impl_->features_) return std::nullopt;
    if (auto call = impl_->features_->scriptCalls.timeLimitOf(id)) return call;
    return impl_->features_->pings.timeLimitOf(id);
}

bool HttpServer::start(int port) {
    if (running_) return true;
    if (thread_.joinable()) thread_.join();
    impl_->stopping_ = false;
    // A fresh loop per run: a task handed to an earlier, ended loop can never run in this one.
    impl_->setLoop(std::make_shared<transport::Loop>());
    auto signal = std::make_shared<StartupSignal>();
    thread_ = std::thread([this, port, signal] { runServerThread(port, signal); });
    if (!signal->wait()) {
        thread_.join();
        return false;
    }
    return true;
}

void HttpServer::runServerThread(int port, std::shared_ptr<StartupSignal> signal) {
    std::shared_ptr<transport::Loop> loop = impl_->loop();
    const char* failureEvent = "bridge_start_exception";
    try {
        // A handler's exception is logged and the loop carries on: no request may take the
        // bridge down. Each distinct message is logged once per run, and only so many, so that a
        // client repeating a failing request cannot fill the disk.
        loop->onHandlerException([port, logged = std::set<std::string>()](std::string_view what) mutable {
            constexpr std::size_t kMaxDistinctHandlerFailures = 32;
            if (logged.size() >= kMaxDistinctHandlerFailures || !logged.emplace(what).second) return;
            appendPluginLog("bridge_handler_exception", bridgeEndpointDetails(port) + " error=" + inQuotes(what));
        });
        transport::App app(*loop, impl_->options_.httpLimits);
        impl_->attach(app);
        bool listening = false;
        app.listen(kBridgeHost, port, [&](transport::ListenSocket* socket, int errorNumber) {
            if (socket) {
                impl_->listenPort_ = socket->port();
                running_ = true;
                listening = true;
                // Set before `start` returns, so that work handed over right after a successful
                // start is queued for the loop rather than dropped.
                impl_->loopRunning_ = true;
                logStartupRecovered(port);
                signal->complete(true);
                return;
            }
            std::string message = errorNumber == 0 ? "unknown system error" : std::system_category().message(errorNumber);
            logStartupFailure("bridge_start_failed", bridgeEndpointDetails(port) + " error_code=" +
                                                         std::to_string(errorNumber) + " error=" + inQuotes(message));
            signal->complete(false);
        });
        if (listening) {
            failureEvent = "bridge_runtime_exception";
            loop->run();
        }
    } catch (const std::exception& error) {
        logStartupFailure(failureEvent, bridgeEndpointDetails(port) + " error=" + inQuotes(error.what()));
    } catch (...) {
        logStartupFailure(failureEvent, bridgeEndpointDetails(port) + " error=\"unknown exception\"");
    }
    signal->complete(false);
    impl_->loopRunning_ = false;
    running_ = false;
    impl_->app_ = nullptr;
    impl_->listenPort_ = 0;
    // After a handler's exception the stop task never ran: drop what it would have dropped, here
    // on the server thread, before the loop that their timers belong to goes away.
    impl_->clearState();
    impl_->detach();
    impl_->setLoop(nullptr);
}

void HttpServer::stop() {
    bool was = running_.exchange(false);
    impl_->stopping_ = true;
    if (was) {
        if (auto loop = impl_->loop()) {
            loop->defer([impl = impl_] {
                // Held requests are answered (503) while the routes still hold them; their maps
                // are then dropped, and the loop ends once the goodbyes have gone out.
                if (impl->app_) impl->app_->close();
                impl->clearState();
                impl->listenPort_ = 0;
            });
        }
    }
    if (thread_.joinable()) thread_.join();
}

void HttpServer::logStartupFailure(const std::string& event, const std::string& details) {
    std::string key = event + "\n" + details;
    if (key == lastStartupFailure_) return;
    lastStartupFailure_ = std::move(key);
    appendPluginLog(event, details);
}

void HttpServer::logStartupRecovered(int port) {
    if (lastStartupFailure_.empty()) return;
    lastStartupFailure_.clear();
    appendPluginLog("bridge_start_recovered", bridgeEndpointDetails(port));
}

}  // namespace Lumenbox
