// lumenbox-soak: a bounded soak of the bridge, in one process.
//
//   lumenbox-soak [--seconds S] [--webviewers N] [--files F] [--clients C] [--seed X]
//
// The bridge runs in-process on an ephemeral port with its own session store, enhanced security
// on and an approval hook (on a thread playing the host's main thread) that allows, denies or
// closes each dialog after a random delay, or never answers it. One client thread with one
// io_context drives N simulated web viewers over F files, which register, re-register and drop at
// random and answer script calls and pings at once, late or never, and C HTTP clients that send
// POST /callScript, GET /webviewerPing, POST /authorizeSession and GET /health, and abort
// requests at random. At the end it checks:
//   answered  every request got exactly one reply with an expected status, or was aborted by its
//             client; no reply came unasked;
//   pending   the server holds no pending call, ping or authorization request, and no registry
//             entry (read on the loop thread);
//   fds       the process's descriptor count is back to its start (small tolerance);
//   memory    the resident set is back near its size after warm-up (generous bound);
//   loop      GET /health still answers 200.
//
// Randomness comes from one seed, printed at start and settable with --seed or the environment
// variable LUMENBOX_SOAK_SEED, so a failing run can be replayed. Every phase is bounded in time;
// nothing asserts on how long anything took. It talks to 127.0.0.1 only.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <sys/resource.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"
#include "server/HttpServer.h"
#include "server/HttpServerImpl.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"
#include "ui/AuthDialog.h"
#include "ui/AuthDialogState.h"
#include "ui/EnhancedSecurity.h"
#include "ui/MainQueue.h"
#include "ui/headless/ApprovalHook.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace Lumenbox::soak {
namespace {

// ---------------------------------------------------------------------------------------------
// Settings and helpers

struct Settings {
    int seconds = 100;
    int webviewers = 200;
    int files = 50;
    int clients = 100;
    std::uint64_t seed = 0;
};

constexpr auto kAuthorizationTimeout = 2500ms;  // the server's limit for a question
constexpr int kMaxCallTimeoutMs = 1500;         // the clients' "timeout" query for script calls
constexpr int kMaxPingTimeoutMs = 1000;         // and for pings
constexpr auto kDrainLimit = 30s;               // how long the end phases may take, each
constexpr long kDescriptorTolerance = 4;
constexpr long kMemoryToleranceKb = 64 * 1024;

std::string fileNameOf(int index) {
    return "Soak-" + std::to_string(index);
}

long descriptorCount() {
    long count = 0;
    std::error_code error;
    for (auto it = std::filesystem::directory_iterator("/proc/self/fd", error);
         !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
        ++count;
    }
    return count - 1;  // the iterator's own descriptor
}

long residentKb() {
    std::ifstream status("/proc/self/status");
    std::string key;
    long value = 0;
    while (status >> key) {
        if (key == "VmRSS:") {
            status >> value;
            return value;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

long trimmedResidentKb() {
    malloc_trim(0);
    return residentKb();
}

// ---------------------------------------------------------------------------------------------
// The user: answers authorization dialogs on a thread that plays the host's main thread.

class User {
public:
    explicit User(std::uint64_t seed) : random_(seed) {
        setApprovalHook([this](const AuthDialogContent&, AuthDialogHandle handle) { onDialog(std::move(handle)); });
        thread_ = std::thread([this] {
            while (!stopping_) {
                waitAndDrainMainQueue(10ms);
                answerDue();
            }
        });
    }

    ~User() { shutdown(); }

    // After the server has stopped.
    void shutdown() {
        if (!thread_.joinable()) return;
        runOnMainQueue([this] {
            dismissOpenAuthDialogs();
            stopping_ = true;
        });
        thread_.join();
        setApprovalHook({});
        drainMainQueue();
        dismissOpenAuthDialogs();
    }

    // How many dialogs are open right now, read on the main thread.
    std::size_t openDialogs() {
        std::promise<std::size_t> count;
        runOnMainQueue([&] { count.set_value(openAuthDialogCount()); });
        return count.get_future().get();
    }

    std::string summary() const {
        return "dialogs=" + std::to_string(opened_) + " allowed=" + std::to_string(counts_[0]) +
               " denied=" + std::to_string(counts_[1]) + " closed=" + std::to_string(counts_[2]) +
               " unanswered=" + std::to_string(counts_[3]);
    }

private:
    enum Action { Allow, Deny, Close, Never };
    struct Due {
        Clock::time_point at;
        Action action;
        AuthDialogHandle handle;
    };

    void onDialog(AuthDialogHandle handle) {
        ++opened_;
        int roll = std::uniform_int_distribution<int>(0, 99)(random_);
        Action action = roll < 45 ? Allow : roll < 65 ? Deny : roll < 80 ? Close : Never;
        ++counts_[action];
        if (action == Never) return;  // left open until the time limit dismisses it
        // Some answers come after the question's time limit, when nobody waits for them.
        auto delay = std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 3000)(random_));
        due_.push_back(Due{Clock::now() + delay, action, std::move(handle)});
    }

    void answerDue() {
        auto now = Clock::now();
        for (auto it = due_.begin(); it != due_.end();) {
            if (it->at > now) {
                ++it;
                continue;
            }
            if (it->action == Allow) it->handle.allow();
            else if (it->action == Deny) it->handle.deny();
            else it->handle.close();
            it = due_.erase(it);
        }
    }

    std::mt19937_64 random_;  // main thread only
    std::vector<Due> due_;    // main thread only
    std::atomic<std::size_t> opened_{0};
    std::array<std::atomic<std::size_t>, 4> counts_{};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// ---------------------------------------------------------------------------------------------
// The client side: everything below runs on the client thread.

enum class Route { CallScript, Ping, Authorize, Health };
constexpr std::array<const char*, 4> kRouteNames{"callScript", "ping", "authorize", "health"};

struct Counters {
    std::map<std::pair<int, int>, std::size_t> replies;  // (route, status) -> count
    std::size_t sent = 0;
    std::size_t answered = 0;
    std::size_t aborted = 0;
    std::size_t unanswered = 0;   // the connection ended without the reply (server side)
    std::size_t unexpected = 0;   // a status the route never gives here
    std::size_t unsolicited = 0;  // a reply with no request waiting for it
    std::size_t misrouted = 0;    // a script result that belongs to another request
    std::size_t connectFailures = 0;
    std::size_t registrations = 0;
    std::size_t reRegistrations = 0;
    std::size_t drops = 0;
    std::size_t callsSeen = 0;
    std::size_t callsAnswered = 0;
    std::size_t pingsSeen = 0;
    std::size_t pongs = 0;
    std::vector<std::string> firstProblems;

    void problem(const std::string& text) {
        if (firstProblems.size() < 10) firstProblems.push_back(text);
    }
};

class Soak;

class Webviewer : public std::enable_shared_from_this<Webviewer> {
public:
    Webviewer(Soak& soak, int slot);
    void start();
    void shutdown(bool abrupt);

private:
    void onConnected();
    void sendText(std::string text);
    void sendLater(std::chrono::milliseconds delay, std::string text);
    void doWrite();
    void doRead();
    void onMessage(const std::string& text);
    void scheduleLifeEvent();
    void onLifeEvent();
    void registerFor(int file);
    void drop(bool abrupt);

    Soak& soak_;
    int slot_;
    int file_;
    websocket::stream<tcp::socket> stream_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    asio::steady_timer lifeTimer_;
    bool open_ = false;
    bool closing_ = false;
    bool writing_ = false;
};

class Caller : public std::enable_shared_from_this<Caller> {
public:
    Caller(Soak& soak, int slot);
    void start();

private:
    struct Request {
        Route route;
        std::string file;
        std::string session;
        std::string marker;  // the result the web viewer gives for this call
        bool versionProbe = false;  // forwarded without its data: the result is the fetch id
    };

    void readNext();
    void sendNext();
    void onReply(const http::response<http::string_body>& reply);
    void onAbortTimer();
    void finish(bool reconnect);
    Request chooseRequest(std::string& wire);

    Soak& soak_;
    int slot_;
    tcp::socket socket_;
    beast::flat_buffer buffer_;
    std::optional<http::response_parser<http::string_body>> parser_;
    std::optional<Request> current_;
    asio::steady_timer abortTimer_;
    asio::steady_timer thinkTimer_;
    bool finished_ = false;
};

class Soak {
public:
    Soak(const Settings& settings, int port)
        : settings_(settings), port_(port), random_(settings.seed), approved_(settings.files) {}

    void run() {
        auto start = Clock::now();
        deadline_ = start + std::chrono::seconds(settings_.seconds);
        warmAt_ = start + std::chrono::seconds(settings_.seconds) / 6;
        for (int i = 0; i < settings_.webviewers; ++i) std::make_shared<Webviewer>(*this, i)->start();
        context_.run_for(300ms);  // let the first registrations land
        for (int i = 0; i < settings_.clients; ++i) std::make_shared<Caller>(*this, i)->start();

        while (Clock::now() < deadline_) {
            context_.restart();
            context_.run_for(100ms);
            if (warmRssKb_ == 0 && Clock::now() >= warmAt_) warmRssKb_ = trimmedResidentKb();
        }
        // No new request; let those in flight end, then drop every web viewer.
        stopping_ = true;
        runWhile([this] { return liveCallers_ > 0; });
        callersLeft_ = liveCallers_;
        droppingAll_ = true;
        for (auto& [slot, webviewer] : webviewers_) {
            if (auto live = webviewer.lock()) live->shutdown(random(0, 1) == 0);
        }
        runWhile([this] { return liveWebviewers_ > 0; });
        webviewersLeft_ = liveWebviewers_;
        context_.stop();
    }

    // For the web viewers and callers.
    asio::io_context& context() { return context_; }
    tcp::endpoint endpoint() const { return {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port_)}; }
    bool stopping() const { return stopping_; }
    bool droppingAll() const { return droppingAll_; }
    Counters& counters() { return counters_; }
    int random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(int percent) { return random(0, 99) < percent; }
    int randomFile() { return random(0, settings_.files - 1); }
    std::string nextId() { return std::to_string(++ids_); }
    std::uint64_t seed() const { return settings_.seed; }

    void webviewerStarted(int slot, const std::shared_ptr<Webviewer>& webviewer) {
        webviewers_[slot] = webviewer;
        ++liveWebviewers_;
    }
    void webviewerEnded(int slot) {
        --liveWebviewers_;
        if (stopping_) return;
        // Back after a moment, as a page reloads.
        auto timer = std::make_shared<asio::steady_timer>(context_, std::chrono::milliseconds(random(0, 300)));
        timer->async_wait([this, slot, timer](beast::error_code) {
            if (!stopping_) std::make_shared<Webviewer>(*this, slot)->start();
        });
    }
    void callerStarted() { ++liveCallers_; }
    void callerEnded(int slot, bool reconnect) {
        --liveCallers_;
        if (stopping_ || !reconnect) return;
        auto timer = std::make_shared<asio::steady_timer>(context_, std::chrono::milliseconds(random(0, 50)));
        timer->async_wait([this, slot, timer](beast::error_code) {
            if (!stopping_) std::make_shared<Caller>(*this, slot)->start();
        });
    }

    // Sessions the user allowed, by file; the callers use them for script calls and pings.
    void rememberApproved(const std::string& session, const std::string& file) {
        auto index = fileIndex(file);
        if (index < 0) return;
        auto& list = approved_[index];
        if (list.size() >= 32) list.erase(list.begin());
        list.push_back(session);
    }
    std::optional<std::string> approvedSession(int file) {
        auto& list = approved_[file];
        if (list.empty()) return std::nullopt;
        return list[random(0, static_cast<int>(list.size()) - 1)];
    }
    // A session id for an authorization request: often one asked for recently, so that several
    // requests wait on one question.
    std::string authorizationSession() {
        if (!recentSessions_.empty() && chance(30)) {
            return recentSessions_[random(0, static_cast<int>(recentSessions_.size()) - 1)];
        }
        std::string session = "soak-" + std::to_string(settings_.seed) + "-" + nextId();
        if (recentSessions_.size() >= 16) recentSessions_.pop_front();
        recentSessions_.push_back(session);
        return session;
    }

    long warmRssKb() const { return warmRssKb_; }
    int callersLeft() const { return callersLeft_; }
    int webviewersLeft() const { return webviewersLeft_; }

private:
    int fileIndex(const std::string& file) const {
        const std::string prefix = "Soak-";
        if (file.rfind(prefix, 0) != 0) return -1;
        int index = std::atoi(file.c_str() + prefix.size());
        return index >= 0 && index < settings_.files ? index : -1;
    }

    void runWhile(const std::function<bool()>& busy) {
        auto limit = Clock::now() + kDrainLimit;
        while (busy() && Clock::now() < limit) {
            context_.restart();
            context_.run_for(50ms);
        }
    }

    Settings settings_;
    int port_;
    asio::io_context context_;
    std::mt19937_64 random_;
    Counters counters_;
    std::map<int, std::weak_ptr<Webviewer>> webviewers_;
    std::vector<std::vector<std::string>> approved_;
    std::deque<std::string> recentSessions_;
    std::uint64_t ids_ = 0;
    int liveWebviewers_ = 0;
    int liveCallers_ = 0;
    int callersLeft_ = 0;
    int webviewersLeft_ = 0;
    bool stopping_ = false;
    bool droppingAll_ = false;
    Clock::time_point deadline_;
    Clock::time_point warmAt_;
    long warmRssKb_ = 0;
};

// --- Webviewer -------------------------------------------------------------------------------

Webviewer::Webviewer(Soak& soak, int slot)
    : soak_(soak), slot_(slot), file_(soak.randomFile()), stream_(soak.context()), lifeTimer_(soak.context()) {}

void Webviewer::start() {
    soak_.webviewerStarted(slot_, shared_from_this());
    stream_.next_layer().async_connect(soak_.endpoint(), [self = shared_from_this()](beast::error_code error) {
        if (error) {
            ++self->soak_.counters().connectFailures;
            return self->drop(true);
        }
        self->stream_.async_handshake("127.0.0.1", "/ws", [self](beast::error_code error) {
            if (error) {
                ++self->soak_.counters().connectFailures;
                return self->drop(true);
            }
            self->onConnected();
        });
    });
}

void Webviewer::onConnected() {
    open_ = true;
    if (soak_.droppingAll()) return drop(false);
    stream_.text(true);
    registerFor(file_);
    ++soak_.counters().registrations;
    doRead();
    scheduleLifeEvent();
}

void Webviewer::registerFor(int file) {
    file_ = file;
    sendText(nlohmann::json{{"type", "register"}, {"fileName", fileNameOf(file)}, {"role", "webviewer"}}.dump());
}

void Webviewer::sendText(std::string text) {
    if (!open_ || closing_) return;
    queue_.push_back(std::move(text));
    if (!writing_) doWrite();
}

void Webviewer::sendLater(std::chrono::milliseconds delay, std::string text) {
    auto timer = std::make_shared<asio::steady_timer>(soak_.context(), delay);
    timer->async_wait([self = shared_from_this(), timer, text = std::move(text)](beast::error_code) mutable {
        self->sendText(std::move(text));
    });
}

void Webviewer::doWrite() {
    writing_ = true;
    stream_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](beast::error_code error, std::size_t) {
        self->writing_ = false;
        if (error || self->closing_) return;
        self->queue_.pop_front();
        if (!self->queue_.empty()) self->doWrite();
    });
}

void Webviewer::doRead() {
    stream_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (error) return self->drop(true);
        self->onMessage(beast::buffers_to_string(self->buffer_.data()));
        self->buffer_.consume(self->buffer_.size());
        self->doRead();
    });
}

void Webviewer::onMessage(const std::string& text) {
    auto message = nlohmann::json::parse(text, nullptr, false);
    if (!message.is_object()) return;
    const std::string type = message.value("type", "");
    if (type == "callScript") {
        ++soak_.counters().callsSeen;
        auto envelope = nlohmann::json::parse(message.value("param", ""), nullptr, false);
        if (!envelope.is_object()) return;
        std::string fetchId = envelope["callback"].value("fetchId", "");
        // The version probe reaches the file without the caller's data (enhanced security is on):
        // its result is then the fetch id, which the caller checks against its reply instead.
        std::string marker = envelope["data"].is_object() ? envelope["data"].value("marker", "")
                             : envelope["data"].is_null() ? fetchId
                                                          : "";
        int roll = soak_.random(0, 99);
        if (roll < 12) return;  // never answered: the call times out or its client gives up
        ++soak_.counters().callsAnswered;
        auto delay = std::chrono::milliseconds(roll < 80 ? soak_.random(0, 40) : soak_.random(200, 1500));
        sendLater(delay, nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {marker, fetchId}}}.dump());
        // Now and then a result for a call that does not exist.
        if (soak_.chance(2)) {
            sendText(nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"stray", "no-such-call"}}}.dump());
        }
    } else if (type == "ping") {
        ++soak_.counters().pingsSeen;
        if (soak_.chance(12)) return;  // a page too busy to answer
        ++soak_.counters().pongs;
        sendLater(std::chrono::milliseconds(soak_.random(0, 30)),
                  nlohmann::json{{"type", "pong"}, {"id", message.value("id", "")}}.dump());
    }
}

void Webviewer::scheduleLifeEvent() {
    lifeTimer_.expires_after(std::chrono::milliseconds(soak_.random(300, 4000)));
    lifeTimer_.async_wait([self = shared_from_this()](beast::error_code error) {
        if (!error) self->onLifeEvent();
    });
}

void Webviewer::onLifeEvent() {
    if (!open_ || closing_ || soak_.stopping()) return;
    int roll = soak_.random(0, 99);
    if (roll < 30) {
        registerFor(file_);  // the same file again
        ++soak_.counters().reRegistrations;
    } else if (roll < 60) {
        registerFor(soak_.randomFile());
        ++soak_.counters().reRegistrations;
    } else {
        ++soak_.counters().drops;
        return drop(roll < 80);
    }
    scheduleLifeEvent();
}

void Webviewer::shutdown(bool abrupt) {
    if (!open_) return;  // still connecting or already gone: it ends by itself
    drop(abrupt);
}

void Webviewer::drop(bool abrupt) {
    if (closing_) return;
    closing_ = true;
    lifeTimer_.cancel();
    auto self = shared_from_this();
    auto end = [self] {
        beast::error_code ignored;
        self->stream_.next_layer().shutdown(tcp::socket::shutdown_both, ignored);
        self->stream_.next_layer().close(ignored);
        self->open_ = false;
        self->soak_.webviewerEnded(self->slot_);
    };
    if (abrupt || !open_) return end();
    // A clean close handshake, but bounded: a close that does not complete is cut.
    auto guard = std::make_shared<asio::steady_timer>(soak_.context(), 2s);
    auto done = std::make_shared<bool>(false);
    guard->async_wait([self, done, end](beast::error_code error) {
        if (error || *done) return;
        *done = true;
        end();
    });
    stream_.async_close(websocket::close_code::going_away, [self, guard, done, end](beast::error_code) {
        if (*done) return;
        *done = true;
        guard->cancel();
        end();
    });
}

// --- Caller ----------------------------------------------------------------------------------

Caller::Caller(Soak& soak, int slot)
    : soak_(soak), slot_(slot), socket_(soak.context()), abortTimer_(soak.context()), thinkTimer_(soak.context()) {}

void Caller::start() {
    soak_.callerStarted();
    socket_.async_connect(soak_.endpoint(), [self = shared_from_this()](beast::error_code error) {
        if (error) {
            ++self->soak_.counters().connectFailures;
            return self->finish(true);
        }
        self->socket_.set_option(tcp::no_delay(true));
        self->readNext();
        self->sendNext();
    });
}

// One read is always outstanding, so that a reply nobody asked for is seen when it arrives.
void Caller::readNext() {
    parser_.emplace();
    parser_->body_limit(1 << 20);
    http::async_read(socket_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (self->finished_) return;
        if (error) {
            if (self->current_) {
                ++self->soak_.counters().unanswered;
                self->soak_.counters().problem(std::string("connection ended before the reply to ") +
                                               kRouteNames[static_cast<int>(self->current_->route)] + ": " +
                                               error.message());
                self->current_.reset();
            }
            return self->finish(true);
        }
        self->onReply(self->parser_->get());
        if (!self->finished_) self->readNext();
    });
}

Caller::Request Caller::chooseRequest(std::string& wire) {
    Request request;
    int file = soak_.randomFile();
    request.file = fileNameOf(file);
    std::string target;
    std::string body;
    std::string method = "GET";
    int roll = soak_.random(0, 99);
    if (roll < 45) {
        request.route = Route::CallScript;
        method = "POST";
        std::string script = "Soak";
        int who = soak_.random(0, 99);
        if (who < 30) {
            script = "LB_get_version";  // never needs a session
            request.versionProbe = true;
        } else if (auto session = soak_.approvedSession(file); session && who < 85) {
            request.session = *session;
        } else {
            request.session = "unknown-" + soak_.nextId();
        }
        request.marker = "m-" + soak_.nextId();
        body = nlohmann::json{{"connectedFileName", request.file}, {"scriptName", script}, {"data", {{"marker", request.marker}}}}.dump();
        target = "/callScript?timeout=" + std::to_string(soak_.random(200, kMaxCallTimeoutMs));
    } else if (roll < 70) {
        request.route = Route::Ping;
        if (auto session = soak_.approvedSession(file); session && soak_.chance(85)) {
            request.session = *session;
        } else {
            request.session = "unknown-" + soak_.nextId();
        }
        target = "/webviewerPing?fileName=" + request.file + "&timeout=" + std::to_string(soak_.random(100, kMaxPingTimeoutMs));
    } else if (roll < 95) {
        request.route = Route::Authorize;
        method = "POST";
        request.session = soak_.authorizationSession();
        target = "/authorizeSession";
        body = nlohmann::json{{"sessionId", request.session}, {"fileName", request.file}, {"clientName", "soak"},
                              {"clientDescription", "soak client"}, {"idleTimeoutSeconds", soak_.random(5, 60)}}.dump();
        request.marker = request.session;
        request.session.clear();  // the authorization itself carries no session header
    } else {
        request.route = Route::Health;
        target = "/health";
    }
    wire = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!request.session.empty()) wire += "X-Lumenbox-Session: " + request.session + "\r\n";
    if (method == "POST") {
        wire += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    wire += "\r\n" + body;
    return request;
}

void Caller::sendNext() {
    if (finished_) return;
    if (soak_.stopping()) return finish(false);
    auto wire = std::make_shared<std::string>();
    current_ = chooseRequest(*wire);
    ++soak_.counters().sent;
    // A few clients leave halfway through writing their request.
    if (soak_.chance(2)) {
        wire->resize(static_cast<std::size_t>(soak_.random(1, static_cast<int>(wire->size()) - 1)));
        asio::async_write(socket_, asio::buffer(*wire), [self = shared_from_this(), wire](beast::error_code, std::size_t) {
            if (self->finished_ || !self->current_) return;
            ++self->soak_.counters().aborted;
            self->current_.reset();
            self->finish(true);
        });
        return;
    }
    // Some clients give up: before the reply, at a random moment, they close the connection.
    if (soak_.chance(12)) {
        abortTimer_.expires_after(std::chrono::milliseconds(soak_.random(0, 800)));
        abortTimer_.async_wait([self = shared_from_this()](beast::error_code error) {
            if (!error) self->onAbortTimer();
        });
    }
    asio::async_write(socket_, asio::buffer(*wire), [self = shared_from_this(), wire](beast::error_code error, std::size_t) {
        if (error && !self->finished_ && self->current_) {
            ++self->soak_.counters().unanswered;
            self->soak_.counters().problem("request write failed: " + error.message());
            self->current_.reset();
            self->finish(true);
        }
    });
}

void Caller::onAbortTimer() {
    if (finished_ || !current_) return;
    ++soak_.counters().aborted;
    current_.reset();
    finish(true);
}

void Caller::onReply(const http::response<http::string_body>& reply) {
    Counters& counters = soak_.counters();
    if (!current_) {
        ++counters.unsolicited;
        counters.problem("a reply with no request: " + std::to_string(reply.result_int()) + " " + reply.body());
        return;
    }
    abortTimer_.cancel();
    Request request = std::move(*current_);
    current_.reset();
    const int status = static_cast<int>(reply.result_int());
    ++counters.answered;
    ++counters.replies[{static_cast<int>(request.route), status}];

    static const std::map<Route, std::set<int>> kExpected{
        {Route::CallScript, {200, 401, 404, 502}},
        {Route::Ping, {200, 401, 404, 502, 504}},
        {Route::Authorize, {200, 403, 408, 409, 429}},  // 429: too many questions open at once
        {Route::Health, {200}},
    };
    if (!kExpected.at(request.route).contains(status)) {
        ++counters.unexpected;
        counters.problem(std::string(kRouteNames[static_cast<int>(request.route)]) + " answered " +
                         std::to_string(status) + ": " + reply.body());
    }
    if (request.route == Route::CallScript && status == 200 && request.versionProbe) {
        auto result = nlohmann::json::parse(reply.body(), nullptr, false);
        if (!result.is_object() || !result["result"].is_string() || result["result"] != result["fetchId"]) {
            ++counters.misrouted;
            counters.problem("version probe answered with another call's result or with its data: " + reply.body());
        }
    } else if (request.route == Route::CallScript && status == 200 &&
               reply.body().find("\"" + request.marker + "\"") == std::string::npos) {
        ++counters.misrouted;
        counters.problem("script result for another call: wanted " + request.marker + ", got " + reply.body());
    }
    if (request.route == Route::Authorize && status == 200) soak_.rememberApproved(request.marker, request.file);

    // A pause, sometimes a fresh connection, then the next request.
    if (soak_.chance(5)) return finish(true);
    thinkTimer_.expires_after(std::chrono::milliseconds(soak_.random(0, 30)));
    thinkTimer_.async_wait([self = shared_from_this()](beast::error_code error) {
        if (!error) self->sendNext();
    });
}

void Caller::finish(bool reconnect) {
    if (finished_) return;
    finished_ = true;
    abortTimer_.cancel();
    thinkTimer_.cancel();
    beast::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    soak_.callerEnded(slot_, reconnect);
}

// ---------------------------------------------------------------------------------------------
// The run

std::optional<int> healthStatus(int port) {
    try {
        asio::io_context context;
        beast::tcp_stream stream(context);
        stream.expires_after(10s);  // a bound on a dead loop, not a check on speed
        stream.connect(tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
        http::request<http::empty_body> request{http::verb::get, "/health", 11};
        request.set(http::field::host, "127.0.0.1");
        http::write(stream, request);
        beast::flat_buffer buffer;
        http::response<http::string_body> reply;
        http::read(stream, buffer, reply);
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        return static_cast<int>(reply.result_int());
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

struct PendingState {
    std::size_t calls = 0, pings = 0, authorizations = 0, webviewers = 0, agentBrowsers = 0;
    std::size_t total() const { return calls + pings + authorizations + webviewers + agentBrowsers; }
};

// Read on the loop thread; nullopt when the loop does not take the task.
std::optional<PendingState> readPending(HttpServer& server) {
    auto result = std::make_shared<std::promise<PendingState>>();
    auto future = result->get_future();
    auto impl = server.impl();
    bool handedOver = HttpServer::Impl::deferToLoop(impl, [impl, result] {
        PendingState state;
        state.calls = impl->pendingHttpCalls_.size();
        state.pings = impl->pendingWebviewerPings_.size();
        if (auto* questions = impl->authorizationQuestions()) state.authorizations = questions->size();
        state.webviewers = impl->webviewers_.size();
        state.agentBrowsers = impl->agentBrowsers_.size();
        result->set_value(state);
    });
    if (!handedOver || future.wait_for(10s) != std::future_status::ready) return std::nullopt;
    return future.get();
}

std::optional<std::uint64_t> parseNumber(const char* text) {
    if (!text || !*text) return std::nullopt;
    char* end = nullptr;
    auto value = std::strtoull(text, &end, 10);
    if (*end != '\0') return std::nullopt;
    return value;
}

int runSoak(Settings settings) {
    std::printf("lumenbox-soak seed=%llu seconds=%d webviewers=%d files=%d clients=%d "
                "(replay with LUMENBOX_SOAK_SEED=%llu)\n",
                static_cast<unsigned long long>(settings.seed), settings.seconds, settings.webviewers, settings.files,
                settings.clients, static_cast<unsigned long long>(settings.seed));
    std::fflush(stdout);

    Lumenbox::testing::TempDir home;
    Lumenbox::testing::ScopedEnv homeEnv("HOME", home.path().string());
    Lumenbox::testing::ScopedEnv configEnv("XDG_CONFIG_HOME", std::nullopt);
    Lumenbox::testing::ScopedEnv approveEnv("LUMENBOX_APPROVE", std::nullopt);
    Lumenbox::testing::ScopedEnv logEnv("LUMENBOX_PLUGIN_LOG_PATH", (home.path() / "bridge.log").string());
    setEnhancedSecurityEnabled(true);
    if (!isEnhancedSecurityEnabled()) {
        std::printf("lumenbox-soak: could not switch enhanced security on\n");
        return 1;
    }

    auto started = Clock::now();
    User user(settings.seed ^ 0x5eedu);
    SessionStore store;
    HttpServer::Options options;
    options.authorizationTimeout = kAuthorizationTimeout;
    options.enhancedSecurity = [] { return isEnhancedSecurityEnabled(); };
    options.approvalPrompt = &nativeApprovalPrompt();
    auto server = std::make_unique<HttpServer>(store, options);
    if (!server->start(0)) {
        std::printf("lumenbox-soak: the bridge did not start\n");
        return 1;
    }
    const int port = server->port();
    const long startFds = descriptorCount();
    const long startRssKb = trimmedResidentKb();

    Counters counters;
    long warmRssKb = 0;
    int callersLeft = 0, webviewersLeft = 0;
    std::thread clientThread([&] {
        Soak soak(settings, port);
        soak.run();
        counters = soak.counters();
        warmRssKb = soak.warmRssKb();
        callersLeft = soak.callersLeft();
        webviewersLeft = soak.webviewersLeft();
    });
    clientThread.join();

    // The server notices closed connections on its own loop: wait (bounded) for it to settle.
    std::optional<PendingState> pending;
    testing::eventually([&] {
        pending = readPending(*server);
        return !pending || pending->total() == 0;
    }, 10s);
    auto health = healthStatus(port);
    long endFds = 0;
    // Wait (bounded) for the exact start count; the check itself allows the loop a few of its own.
    testing::eventually([&] { return (endFds = descriptorCount()) <= startFds; }, 5s);
    // Approved sessions are state the user granted, not a leak; they go before memory is read.
    store.revokeAll();
    const long endRssKb = trimmedResidentKb();
    const std::size_t openDialogs = user.openDialogs();

    server->stop();
    user.shutdown();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();

    // Invariants.
    const bool answeredOk = counters.unanswered == 0 && counters.unexpected == 0 && counters.unsolicited == 0 &&
                            counters.misrouted == 0 && callersLeft == 0 &&
                            counters.sent == counters.answered + counters.aborted;
    const bool pendingOk = pending && pending->total() == 0;
    const bool fdsOk = endFds <= startFds + kDescriptorTolerance;
    const long memoryBase = std::max(startRssKb, warmRssKb);
    // Under AddressSanitizer freed memory waits in its quarantine, so the resident set says nothing
    // there; its leak checker at exit takes the place of this check.
#if defined(__SANITIZE_ADDRESS__)
    constexpr bool kMemoryMeasurable = false;
#else
    constexpr bool kMemoryMeasurable = true;
#endif
    const bool memoryOk = !kMemoryMeasurable || endRssKb <= memoryBase + kMemoryToleranceKb;
    const bool loopOk = health && *health == 200;
    const bool ok = answeredOk && pendingOk && fdsOk && memoryOk && loopOk;

    for (const auto& problem : counters.firstProblems) std::printf("  problem: %s\n", problem.c_str());
    std::string byStatus;
    for (const auto& [key, count] : counters.replies) {
        byStatus += std::string(byStatus.empty() ? "" : ",") + kRouteNames[key.first] + ":" + std::to_string(key.second) +
                    "=" + std::to_string(count);
    }
    std::printf("  replies by route and status: %s\n", byStatus.c_str());
    std::printf("  web viewers: calls_seen=%zu calls_answered=%zu pings_seen=%zu pongs=%zu connect_failures=%zu; "
                "user: %s open_at_end=%zu\n",
                counters.callsSeen, counters.callsAnswered, counters.pingsSeen, counters.pongs, counters.connectFailures,
                user.summary().c_str(), openDialogs);
    auto mark = [](bool pass) { return pass ? "ok" : "FAIL"; };
    const char* memoryMark = kMemoryMeasurable ? mark(memoryOk) : "skipped-under-asan";
    std::printf("lumenbox-soak %s seed=%llu seconds=%.1f requests=%zu answered=%zu aborted=%zu unanswered=%zu "
                "unexpected=%zu unsolicited=%zu misrouted=%zu callers_left=%d registrations=%zu re_registrations=%zu "
                "drops=%zu webviewers_left=%d | answered_once=%s pending=%s(calls=%zu pings=%zu auth=%zu registry=%zu) "
                "fds=%s(%ld->%ld) memory=%s(rss_kb start=%ld warm=%ld end=%ld) loop=%s(health=%d)\n",
                ok ? "PASS" : "FAIL", static_cast<unsigned long long>(settings.seed), seconds, counters.sent,
                counters.answered, counters.aborted, counters.unanswered, counters.unexpected, counters.unsolicited,
                counters.misrouted, callersLeft, counters.registrations, counters.reRegistrations, counters.drops,
                webviewersLeft, mark(answeredOk), mark(pendingOk), pending ? pending->calls : 0, pending ? pending->pings : 0,
                pending ? pending->authorizations : 0, pending ? pending->webviewers + pending->agentBrowsers : 0,
                mark(fdsOk), startFds, endFds, memoryMark, startRssKb, warmRssKb, endRssKb, mark(loopOk),
                health.value_or(0));
    std::fflush(stdout);
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace Lumenbox::soak

int main(int argc, char** argv) {
    using namespace Lumenbox::soak;
    Settings settings;
    auto seed = parseNumber(std::getenv("LUMENBOX_SOAK_SEED"));
    if (auto seconds = parseNumber(std::getenv("LUMENBOX_SOAK_SECONDS"))) settings.seconds = static_cast<int>(*seconds);
    for (int i = 1; i < argc; ++i) {
        std::string flag = argv[i];
        auto value = i + 1 < argc ? parseNumber(argv[i + 1]) : std::nullopt;
        if (!value) {
            std::cerr << "usage: lumenbox-soak [--seconds S] [--webviewers N] [--files F] [--clients C] [--seed X]\n";
            return 2;
        }
        ++i;
        if (flag == "--seconds") settings.seconds = static_cast<int>(*value);
        else if (flag == "--webviewers") settings.webviewers = static_cast<int>(*value);
        else if (flag == "--files") settings.files = static_cast<int>(*value);
        else if (flag == "--clients") settings.clients = static_cast<int>(*value);
        else if (flag == "--seed") seed = *value;
        else {
            std::cerr << "lumenbox-soak: unknown flag " << flag << "\n";
            return 2;
        }
    }
    // The environment overrides the command line's duration so CI can shorten a registered run.
    if (auto seconds = parseNumber(std::getenv("LUMENBOX_SOAK_SECONDS"))) settings.seconds = static_cast<int>(*seconds);
    settings.seconds = std::max(settings.seconds, 1);
    settings.files = std::max(settings.files, 1);
    settings.seed = seed.value_or(std::random_device{}());

    // 200 web viewers, their server ends, the clients and theirs: make room.
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 65536);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    try {
        return runSoak(settings);
    } catch (const std::exception& error) {
        std::printf("lumenbox-soak FAIL: %s\n", error.what());
        return 1;
    }
}
