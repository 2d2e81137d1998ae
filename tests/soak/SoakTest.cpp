// lumenbox-soak [--seconds S] [--webviewers N] [--files F] [--clients C] [--seed X]: a bounded soak
// of the bridge, in one process, with enhanced security on. A user on the host's main thread allows,
// denies or closes each approval dialog after a while, or never answers; N web viewers over F files
// register, re-register and drop at random and answer calls and pings at once, late or never; C
// clients send calls, pings, authorization requests and health checks and give up at random. Then:
// answered (each request answered once with an expected status and the right result, or aborted by
// its client), pending (nothing held on the server), fds and memory (back near their start) and
// loop (/health answers). A seed (--seed, LUMENBOX_SOAK_SEED) replays a run; every phase is bounded.
#include <array>
#include <atomic>
#include <cstdio>
#include <deque>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include <malloc.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "auth/SessionStore.h"
#include "clients/HttpClients.h"
#include "clients/Messages.h"
#include "clients/Process.h"
#include "clients/WsClients.h"
#include "server/HttpServer.h"
#include "support/ScopedEnv.h"
#include "support/TestClients.h"
#include "ui/AuthDialog.h"
#include "ui/AuthDialogState.h"
#include "ui/EnhancedSecurity.h"
#include "ui/MainQueue.h"
#include "ui/headless/ApprovalHook.h"

namespace Lumenbox::soak {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

struct Settings {
    int seconds = 100, webviewers = 200, files = 50, clients = 100;
    std::uint64_t seed = 0;
};

constexpr auto kAuthorizationTimeout = 2500ms;  // the server's limit for a question
constexpr int kMaxCallTimeoutMs = 1500;         // the clients' "timeout" query for script calls
constexpr int kMaxPingTimeoutMs = 1000;         // and for pings
constexpr auto kDrainLimit = 30s;               // how long each end phase may take
constexpr long kDescriptorTolerance = 4;
constexpr long kMemoryToleranceKb = 64 * 1024;

std::string fileNameOf(int index) { return "Soak-" + std::to_string(index); }
long trimmedResidentKb() { return malloc_trim(0), clients::sampleProcess().rssKb; }

// The user, on a thread that plays the host's main thread: allows, denies or closes each approval
// dialog within 3 s (some after the question's time limit, when nobody waits any more), or never.
class User {
public:
    explicit User(std::uint64_t seed) : random_(seed) {
        setApprovalHook([this](const AuthDialogContent&, AuthDialogHandle handle) {
            const int roll = std::uniform_int_distribution<int>(0, 99)(random_);
            const int action = roll < 45 ? 0 : roll < 65 ? 1 : roll < 80 ? 2 : 3;  // allow, deny, close, never
            ++counts_[static_cast<std::size_t>(action)];
            const auto at = Clock::now() + std::chrono::milliseconds(std::uniform_int_distribution<int>(0, 3000)(random_));
            if (action < 3) due_.emplace_back(at, action, std::move(handle));
        });
        thread_ = std::thread([this] {
            while (!stopping_) {
                waitAndDrainMainQueue(10ms);
                std::erase_if(due_, [now = Clock::now()](const auto& due) {
                    const auto& [at, action, handle] = due;
                    return at <= now && (action == 0 ? handle.allow() : action == 1 ? handle.deny() : handle.close(), true);
                });
            }
        });
    }
    ~User() { shutdown(); }
    void shutdown() {  // after the server has stopped
        if (!thread_.joinable()) return;
        runOnMainQueue([this] { dismissOpenAuthDialogs(), stopping_ = true; });
        thread_.join();
        setApprovalHook({});
        drainMainQueue();
        dismissOpenAuthDialogs();
    }

    std::size_t openDialogs() {
        std::promise<std::size_t> count;
        runOnMainQueue([&] { count.set_value(openAuthDialogCount()); });
        return count.get_future().get();
    }
    std::string summary() const {
        std::string out;
        for (std::size_t i = 0; i < 4; ++i) out += std::array{"allowed=", " denied=", " closed=", " unanswered="}[i] + std::to_string(counts_[i]);
        return out;
    }

private:
    std::mt19937_64 random_;                                                     // main thread only
    std::vector<std::tuple<Clock::time_point, int, AuthDialogHandle>> due_;     // main thread only: when, what
    std::array<std::atomic<std::size_t>, 4> counts_{};
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The client side: everything below runs on the client thread.

enum class Route { CallScript, Ping, Authorize, Health };
std::string routeName(Route route) { return std::array{"callScript", "ping", "authorize", "health"}[static_cast<std::size_t>(route)]; }
// The statuses each route may answer with (429: too many questions open at once).
const std::map<Route, std::set<int>> kExpected{
    {Route::CallScript, {200, 401, 404, 502}}, {Route::Ping, {200, 401, 404, 502, 504}}, {Route::Authorize, {200, 403, 408, 409, 429}}, {Route::Health, {200}}};

// Counts by name, all printed at the end, with the first problems described.
struct Counters {
    std::map<std::string, std::size_t> n;
    std::vector<std::string> problems;
    void problem(const std::string& kind, const std::string& text) {
        if (++n[kind], problems.size() < 10) problems.push_back(kind + ": " + text);
    }
};

struct Request {
    Route route = Route::Health;
    std::string file{}, marker{};  // marker: the result the web viewer gives for this call, or the session asked for
    bool versionProbe = false;  // forwarded without its data: the result is the fetch id
    std::string bytes{};
};

class Soak {
public:
    Soak(const Settings& settings, int port)
        : settings_(settings), port_(port), random_(settings.seed), approved_(static_cast<std::size_t>(settings.files)) {}

    void run() {
        const auto start = Clock::now(), deadline = start + std::chrono::seconds(settings_.seconds);
        for (int i = 0; i < settings_.webviewers; ++i) startPage(i);
        context_.run_for(300ms);  // let the first registrations land
        for (int i = 0; i < settings_.clients; ++i) startCaller(i);
        while (Clock::now() < deadline) {
            context_.restart(), context_.run_for(100ms);
            if (warmRssKb == 0 && Clock::now() >= start + (deadline - start) / 6) warmRssKb = trimmedResidentKb();
        }
        // No new request; let those in flight end, then drop every web viewer.
        stopping_ = true;
        runWhile([this] { return liveCallers_ > 0; });
        counters.n["callers_left"] = static_cast<std::size_t>(liveCallers_);
        for (const auto& [slot, page] : std::map(pages_)) page->ws->close(chance(50));  // a copy: closing erases
        runWhile([this] { return !pages_.empty(); });
        counters.n["webviewers_left"] = pages_.size();
        context_.stop();
    }

    Counters counters;
    long warmRssKb = 0;

private:
    struct Page {
        std::shared_ptr<clients::AsyncWsClient> ws;
        int slot, file;
        bool opened = false;
    };
    struct Caller {
        std::shared_ptr<clients::AsyncHttpClient> http;
        int slot;
        std::optional<Request> current{};
        std::uint64_t requests = 0;  // tells a give-up timer whether its request is still the current one
        bool opened = false, finished = false, reconnect = true;
    };

    int random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    bool chance(int percent) { return random(0, 99) < percent; }
    std::string nextId() { return std::to_string(++ids_); }
    auto& pick(auto& list) { return list[static_cast<std::size_t>(random(0, static_cast<int>(list.size()) - 1))]; }

    void later(int lowMs, int highMs, std::function<void()> task) {
        auto timer = std::make_shared<asio::steady_timer>(context_, std::chrono::milliseconds(random(lowMs, highMs)));
        timer->async_wait([timer, task = std::move(task)](boost::system::error_code) { task(); });
    }
    void runWhile(const std::function<bool()>& busy) {
        const auto limit = Clock::now() + kDrainLimit;
        while (busy() && Clock::now() < limit) context_.restart(), context_.run_for(50ms);
    }

    // Web viewers: a page that drops comes back after a moment, as a page reloads.
    void startPage(int slot) {
        auto page = std::make_shared<Page>(Page{std::make_shared<clients::AsyncWsClient>(context_), slot, random(0, settings_.files - 1)});
        pages_[slot] = page;
        page->ws->onOpen = [this, page] { page->opened = true, registerPage(page, "registrations"); };
        page->ws->onMessage = [this, page](const std::string& text) { onPageMessage(page, text); };
        page->ws->onEnd = [this, page](const std::string&) {
            counters.n["connect_failures"] += page->opened ? 0 : 1;
            pages_.erase(page->slot);
            later(0, 300, [this, slot = page->slot] { if (!stopping_) startPage(slot); });
        };
        page->ws->connect(port_);
    }

    void onPageMessage(const std::shared_ptr<Page>& page, const std::string& text) {
        auto send = [page](std::string message) { return [page, message] { page->ws->send(message); }; };
        if (auto call = clients::readForwardedCall(text)) {
            ++counters.n["calls_seen"];
            if (!call->envelope.is_object()) return;
            // The version probe comes without the caller's data: its result is then the fetch id.
            const auto& data = call->envelope["data"];
            const std::string marker = data.is_object() ? data.value("marker", "") : data.is_null() ? call->fetchId : "";
            const int roll = random(0, 99);
            if (roll < 12) return;  // never answered: the call times out or its client gives up
            ++counters.n["calls_answered"];
            later(roll < 80 ? 0 : 200, roll < 80 ? 40 : 1500, send(clients::resultMessage(marker, call->fetchId)));
            if (chance(2)) page->ws->send(clients::resultMessage("stray", "no-such-call"));  // for no call
            return;
        }
        auto message = nlohmann::json::parse(text, nullptr, false);
        if (!message.is_object() || message.value("type", nlohmann::json()) != "ping") return;
        ++counters.n["pings_seen"];
        if (chance(12)) return;  // a page too busy to answer
        ++counters.n["pongs"];
        later(0, 30, send(clients::pongMessage(message.value("id", ""))));
    }

    void lifeEvent(const std::shared_ptr<Page>& page) {
        if (!page->ws->isOpen() || stopping_) return;
        const int roll = random(0, 99);
        if (roll >= 60) return ++counters.n["drops"], page->ws->close(roll < 80);
        if (roll >= 30) page->file = random(0, settings_.files - 1);  // else the same file again
        registerPage(page, "re_registrations");
    }
    void registerPage(const std::shared_ptr<Page>& page, const char* counter) {
        page->ws->registerAs(fileNameOf(page->file), "webviewer");
        ++counters.n[counter];
        later(300, 4000, [this, page] { lifeEvent(page); });
    }

    // Callers: one request at a time on a keep-alive connection, now and then a fresh connection.
    void startCaller(int slot) {
        auto caller = std::make_shared<Caller>(Caller{.http = std::make_shared<clients::AsyncHttpClient>(context_), .slot = slot});
        ++liveCallers_;
        caller->http->onOpen = [this, caller] { caller->opened = true, sendNext(caller); };
        caller->http->onReply = [this, caller](const clients::HttpReply& reply) { onReply(caller, reply); };
        caller->http->onEnd = [this, caller](const std::string& reason) {
            caller->finished = true;
            counters.n["connect_failures"] += caller->opened ? 0 : 1;
            if (caller->current) counters.problem("unanswered", "the connection ended before the reply to " + routeName(caller->current->route) + ": " + reason);
            --liveCallers_;
            if (caller->reconnect) later(0, 50, [this, slot = caller->slot] { if (!stopping_) startCaller(slot); });
        };
        caller->http->connect(port_);
    }

    // The caller's connection closes; `aborted`: with its request unanswered on purpose.
    void finish(Caller& caller, bool reconnect, bool aborted = false) {
        if (caller.finished) return;
        counters.n["aborted"] += aborted && caller.current ? 1 : 0;
        caller.finished = true, caller.reconnect = reconnect;
        caller.current.reset();
        caller.http->close();
    }

    void sendNext(const std::shared_ptr<Caller>& caller) {
        if (caller->finished) return;
        if (stopping_) return finish(*caller, false);
        caller->current = chooseRequest();
        ++caller->requests, ++counters.n["sent"];
        std::string bytes = caller->current->bytes;
        // A few clients leave halfway through writing their request.
        if (chance(2)) return caller->http->send(bytes.substr(0, static_cast<std::size_t>(random(1, static_cast<int>(bytes.size()) - 1)))), finish(*caller, true, true);
        // Some clients give up: before the reply, at a random moment, they close the connection.
        if (chance(12)) later(0, 800, [this, caller, request = caller->requests] { if (caller->requests == request) finish(*caller, true, true); });
        caller->http->send(std::move(bytes));
    }

    void onReply(const std::shared_ptr<Caller>& caller, const clients::HttpReply& reply) {
        if (!caller->current) return counters.problem("unsolicited", std::to_string(reply.status) + " " + reply.body);
        const Request request = *std::exchange(caller->current, std::nullopt);
        const std::string route = routeName(request.route);
        ++counters.n["answered"], ++counters.n["reply_" + route + "_" + std::to_string(reply.status)];
        if (!kExpected.at(request.route).contains(reply.status)) counters.problem("unexpected", route + " answered " + std::to_string(reply.status) + ": " + reply.body);
        if (request.route == Route::CallScript && reply.status == 200) {
            auto body = nlohmann::json::parse(reply.body, nullptr, false);
            if (!(request.versionProbe ? body.is_object() && body["result"].is_string() && body["result"] == body["fetchId"]
                                       : reply.body.find("\"" + request.marker + "\"") != std::string::npos)) {
                counters.problem("misrouted", "wanted " + (request.versionProbe ? "the fetch id" : request.marker) + " and not the call's data, got " + reply.body);
            }
        }
        if (request.route == Route::Authorize && reply.status == 200) {
            auto& list = approved_[static_cast<std::size_t>(std::atoi(request.file.c_str() + 5))];  // after "Soak-"
            if (list.size() >= 32) list.erase(list.begin());
            list.push_back(request.marker);
        }
        // A pause, sometimes a fresh connection, then the next request.
        chance(5) ? finish(*caller, true) : later(0, 30, [this, caller] { sendNext(caller); });
    }

    Request chooseRequest() {
        const int file = random(0, settings_.files - 1);
        Request request{.file = fileNameOf(file)};
        // Mostly a session the user allowed for the file, else one nobody approved.
        auto session = [&](int percent) {
            auto& approved = approved_[static_cast<std::size_t>(file)];
            return clients::Headers{{"X-Lumenbox-Session", !approved.empty() && chance(percent) ? pick(approved) : "unknown-" + nextId()}};
        };
        const int roll = random(0, 99);
        if (roll < 45) {
            request.route = Route::CallScript, request.versionProbe = chance(30), request.marker = "m-" + nextId();  // the probe needs no session
            const nlohmann::json body{{"connectedFileName", request.file}, {"scriptName", request.versionProbe ? "LB_get_version" : "Soak"},
                                      {"data", {{"marker", request.marker}}}};
            request.bytes = clients::requestBytes("POST", "/callScript?timeout=" + std::to_string(random(200, kMaxCallTimeoutMs)), body.dump(),
                                                  request.versionProbe ? clients::Headers{} : session(79));
        } else if (roll < 70) {
            request.route = Route::Ping;
            request.bytes = clients::requestBytes("GET", "/webviewerPing?fileName=" + request.file + "&timeout=" + std::to_string(random(100, kMaxPingTimeoutMs)), {}, session(85));
        } else if (roll < 95) {
            // Without a session header; often for a recent session, so that several wait on one question.
            request.route = Route::Authorize;
            if (recentSessions_.empty() || !chance(30)) {
                if (recentSessions_.size() >= 16) recentSessions_.pop_front();
                recentSessions_.push_back("soak-" + std::to_string(settings_.seed) + "-" + nextId());
            }
            request.marker = pick(recentSessions_);
            const nlohmann::json body{{"sessionId", request.marker}, {"fileName", request.file}, {"clientName", "soak"},
                                      {"clientDescription", "soak client"}, {"idleTimeoutSeconds", random(5, 60)}};
            request.bytes = clients::requestBytes("POST", "/authorizeSession", body.dump());
        } else {
            request.bytes = clients::requestBytes("GET", "/health");
        }
        return request;
    }

    Settings settings_;
    int port_;
    asio::io_context context_;  // before everything that holds its objects
    std::mt19937_64 random_;
    std::map<int, std::shared_ptr<Page>> pages_;      // the live pages by slot
    std::vector<std::vector<std::string>> approved_;  // sessions the user allowed, by file
    std::deque<std::string> recentSessions_;
    std::uint64_t ids_ = 0;
    int liveCallers_ = 0;
    bool stopping_ = false;
};

using Pending = HttpServer::BridgeCounts;
std::size_t total(const Pending& left) { return left.calls + left.pings + left.questions + left.webviewers + left.agentBrowsers; }

// Read on the loop thread; nullopt when the loop does not take the task.
std::optional<Pending> readPending(HttpServer& server) {
    auto result = std::make_shared<std::promise<Pending>>();
    auto future = result->get_future();
    if (!server.deferToLoop([&server, result] { result->set_value(server.pendingCounts()); })) return std::nullopt;
    return future.wait_for(10s) == std::future_status::ready ? std::optional(future.get()) : std::nullopt;
}

int runSoak(Settings settings) {
    const auto seed = static_cast<unsigned long long>(settings.seed);
    std::printf("lumenbox-soak seed=%llu seconds=%d webviewers=%d files=%d clients=%d (replay with LUMENBOX_SOAK_SEED=%llu)\n",
                seed, settings.seconds, settings.webviewers, settings.files, settings.clients, seed), std::fflush(stdout);
    testing::TempDir home;
    testing::ScopedEnv homeEnv("HOME", home.path().string()), configEnv("XDG_CONFIG_HOME", std::nullopt),
        approveEnv("LUMENBOX_APPROVE", std::nullopt), logEnv("LUMENBOX_PLUGIN_LOG_PATH", (home.path() / "bridge.log").string());
    setEnhancedSecurityEnabled(true);
    if (!isEnhancedSecurityEnabled()) return std::printf("lumenbox-soak: could not switch enhanced security on\n"), 1;

    const auto started = Clock::now();
    User user(settings.seed ^ 0x5eedu);
    SessionStore store;
    HttpServer::Options options;
    options.authorizationTimeout = kAuthorizationTimeout;
    options.enhancedSecurity = [] { return isEnhancedSecurityEnabled(); };
    options.approvalPrompt = &nativeApprovalPrompt();
    auto server = std::make_unique<HttpServer>(store, options);
    if (!server->start(0)) return std::printf("lumenbox-soak: the bridge did not start\n"), 1;
    const int port = server->port();
    const long startFds = clients::sampleProcess().descriptors, startRssKb = trimmedResidentKb();
    Soak soak(settings, port);
    std::thread([&] { soak.run(); }).join();
    auto& n = soak.counters.n;

    // The server notices closed connections on its own loop: wait (bounded) for it to settle.
    std::optional<Pending> pending;
    testing::eventually([&] { return !(pending = readPending(*server)) || total(*pending) == 0; }, 10s);
    std::optional<std::string> health;
    try { health = clients::exchangeRaw(port, clients::requestBytes("GET", "/health"), 10s); } catch (const std::exception&) {}
    // Wait (bounded) for the exact start count of descriptors; the check allows the loop a few of its own.
    long endFds = 0;
    testing::eventually([&] { return (endFds = clients::sampleProcess().descriptors) <= startFds; }, 5s);
    store.revokeAll();  // approved sessions are state the user granted, not a leak
    const long endRssKb = trimmedResidentKb();
    const std::size_t openDialogs = user.openDialogs();
    server->stop();
    user.shutdown();

    const bool answeredOk = n["unanswered"] + n["unexpected"] + n["unsolicited"] + n["misrouted"] + n["callers_left"] == 0 &&
                            n["sent"] == n["answered"] + n["aborted"];
    const bool pendingOk = pending && total(*pending) == 0, fdsOk = endFds <= startFds + kDescriptorTolerance;
    const bool loopOk = health && health->starts_with("HTTP/1.1 200 ");
    // Under AddressSanitizer freed memory waits in its quarantine, so the resident set says nothing;
    // its leak checker at exit takes the place of this check.
#if defined(__SANITIZE_ADDRESS__)
    const char* memory = "skipped-under-asan";
#else
    const char* memory = endRssKb <= std::max(startRssKb, soak.warmRssKb) + kMemoryToleranceKb ? "ok" : "FAIL";
#endif
    const bool ok = answeredOk && pendingOk && fdsOk && memory[0] != 'F' && loopOk;

    for (const auto& problem : soak.counters.problems) std::printf("  problem: %s\n", problem.c_str());
    std::string counts;
    for (const auto& [name, value] : n) counts += " " + name + "=" + std::to_string(value);
    std::printf("  counts:%s\n  user: %s open_at_end=%zu\n", counts.c_str(), user.summary().c_str(), openDialogs);
    auto mark = [](bool pass) { return pass ? "ok" : "FAIL"; };
    const auto left = pending.value_or(Pending{});
    std::printf("lumenbox-soak %s seed=%llu seconds=%.1f requests=%zu | answered_once=%s pending=%s(calls=%zu pings=%zu auth=%zu registry=%zu) "
                "fds=%s(%ld->%ld) memory=%s(rss_kb start=%ld warm=%ld end=%ld) loop=%s\n",
                ok ? "PASS" : "FAIL", seed, std::chrono::duration<double>(Clock::now() - started).count(), n["sent"], mark(answeredOk),
                mark(pendingOk), left.calls, left.pings, left.questions, left.webviewers + left.agentBrowsers, mark(fdsOk), startFds,
                endFds, memory, startRssKb, soak.warmRssKb, endRssKb, mark(loopOk));
    return std::fflush(stdout), ok ? 0 : 1;
}

std::optional<std::uint64_t> parseNumber(const char* text) {
    char* end = nullptr;
    const auto value = text && *text ? std::strtoull(text, &end, 10) : 0;
    return end && *end == '\0' ? std::optional(value) : std::nullopt;
}

}  // namespace
}  // namespace Lumenbox::soak

int main(int argc, char** argv) {
    using namespace Lumenbox::soak;
    Settings settings;
    auto seed = parseNumber(std::getenv("LUMENBOX_SOAK_SEED"));
    const std::map<std::string, int*> flags{
        {"--seconds", &settings.seconds}, {"--webviewers", &settings.webviewers}, {"--files", &settings.files}, {"--clients", &settings.clients}};
    for (int i = 1; i < argc; i += 2) {
        const std::string flag = argv[i];
        const auto value = i + 1 < argc ? parseNumber(argv[i + 1]) : std::nullopt;
        if (!value || (flag != "--seed" && !flags.contains(flag))) {
            return std::fprintf(stderr, "usage: lumenbox-soak [--seconds S] [--webviewers N] [--files F] [--clients C] [--seed X]\n"), 2;
        }
        flag == "--seed" ? void(seed = *value) : void(*flags.at(flag) = static_cast<int>(*value));
    }
    // The environment overrides the command line's duration so CI can shorten a registered run.
    if (auto seconds = parseNumber(std::getenv("LUMENBOX_SOAK_SECONDS"))) settings.seconds = static_cast<int>(*seconds);
    settings.seconds = std::max(settings.seconds, 1), settings.files = std::max(settings.files, 1);
    settings.seed = seed.value_or(std::random_device{}());
    Lumenbox::clients::raiseDescriptorLimit(65536);  // 200 web viewers, their server ends, the clients and theirs
    try {
        return runSoak(settings);
    } catch (const std::exception& error) {
        return std::printf("lumenbox-soak FAIL: %s\n", error.what()), 1;
    }
}
