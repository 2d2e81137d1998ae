// lumenbox-load: drives a running bridge with simulated web viewers and HTTP clients.
//
//   lumenbox-load roundtrip --port P [--clients M] [--webviewers N] [--seconds S] [--via V]
//       N simulated web viewers (files "Load-0".."Load-N-1") answer every "callScript" at once;
//       M keep-alive clients run a script in a loop. Prints calls/s and latency.
//   lumenbox-load pending --port P --server-pid PID [--calls K] [--via V]
//       one web viewer that never answers; K clients each leave one call pending. Prints the
//       server's threads and memory before, while the calls wait, and after the clients left.
//   --via callscript (default): POST /callScript. --via mcp-legacy: the run_script tool through
//       POST /mcp in a session (one initialize per client; for pending, one session for all);
//       --via mcp-modern: the same call stateless, with the headers of that generation.
//   lumenbox-load idle --port P --server-pid PID [--webviewers N] [--seconds S]
//       N web viewers stay connected and nothing else happens; prints the server's CPU time.
//
// Everything runs on one thread with one event loop, so the tool's own cost stays small and
// steady. It talks to 127.0.0.1 only and stops by itself.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iostream>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/system/system_error.hpp>

#include "clients/HttpClients.h"
#include "clients/Messages.h"
#include "clients/Process.h"
#include "clients/WsClients.h"

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using Lumenbox::clients::AsyncHttpClient;
using Lumenbox::clients::AsyncWsClient;
using Lumenbox::clients::sampleProcess;

namespace {

struct Settings {
    std::string mode;
    int port = 1365;
    int clients = 1;
    int webviewers = 1;
    int seconds = 5;
    int calls = 10000;
    long serverPid = 0;
    std::string via = "callscript";
};

// At most this many connects in flight, so that the bridge's accept queue never overflows.
constexpr int kConnectWindow = 256;

// A web viewer page stand-in: registers `fileName` and answers each forwarded script call at once
// with a result, unless it stays silent; counts the calls it saw.
std::shared_ptr<AsyncWsClient> startWebviewer(asio::io_context& context, int port, const std::string& fileName,
                                              bool answers, std::size_t& callsSeen) {
    auto webviewer = std::make_shared<AsyncWsClient>(context);
    webviewer->onOpen = [page = webviewer.get(), fileName] { page->registerAs(fileName, "webviewer"); };
    webviewer->onMessage = [page = webviewer.get(), answers, &callsSeen](const std::string& text) {
        auto call = Lumenbox::clients::readForwardedCall(text);
        if (!call) return;
        ++callsSeen;
        if (answers) page->send(Lumenbox::clients::resultMessage("ok", call->fetchId));
    };
    webviewer->connect(port);
    return webviewer;
}

constexpr std::string_view kLegacyVersion = "2025-11-25";
constexpr std::string_view kModernVersion = "2026-07-28";

// The bytes of one request that runs the script "Bench" in `fileName` through `via` with a time
// limit of `timeoutMs`, in the legacy era within `session`.
std::string scriptCallBytes(const std::string& via, const std::string& fileName, int timeoutMs,
                            const std::string& session) {
    using nlohmann::json;
    const json data = {{"n", 1}};
    if (via == "callscript") {
        // The bridge's default time limit goes without a query, as the bare baseline takes none.
        return Lumenbox::clients::requestBytes(
            "POST", timeoutMs == 30000 ? "/callScript" : "/callScript?timeout=" + std::to_string(timeoutMs),
            json{{"connectedFileName", fileName}, {"scriptName", "Bench"}, {"data", data}}.dump());
    }
    json params = {{"name", "run_script"},
                   {"arguments", {{"fileName", fileName}, {"scriptName", "Bench"}, {"data", data}, {"timeoutMs", timeoutMs}}}};
    Lumenbox::clients::Headers headers = {{"Accept", "application/json, text/event-stream"}};
    if (via == "mcp-modern") {
        params["_meta"] = {{"io.modelcontextprotocol/protocolVersion", kModernVersion},
                           {"io.modelcontextprotocol/clientCapabilities", json::object()},
                           {"io.modelcontextprotocol/clientInfo", {{"name", "lumenbox-load"}, {"version", "1"}}}};
        headers.insert({{"MCP-Protocol-Version", std::string(kModernVersion)}, {"Mcp-Method", "tools/call"}, {"Mcp-Name", "run_script"}});
    } else {
        headers.insert({{"MCP-Protocol-Version", std::string(kLegacyVersion)}, {"Mcp-Session-Id", session}});
    }
    return Lumenbox::clients::requestBytes(
        "POST", "/mcp", json{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "tools/call"}, {"params", params}}.dump(), headers);
}

// A legacy session's handshake: initialize, then (with its session id) notifications/initialized.
std::string initializeBytes() {
    return Lumenbox::clients::requestBytes(
        "POST", "/mcp",
        nlohmann::json{{"jsonrpc", "2.0"}, {"id", 0}, {"method", "initialize"},
                       {"params", {{"protocolVersion", kLegacyVersion}, {"capabilities", nlohmann::json::object()},
                                   {"clientInfo", {{"name", "lumenbox-load"}, {"version", "1"}}}}}}.dump(),
        {{"Accept", "application/json, text/event-stream"}});
}

std::string initializedBytes(const std::string& session) {
    return Lumenbox::clients::requestBytes(
        "POST", "/mcp", R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
        {{"MCP-Protocol-Version", std::string(kLegacyVersion)}, {"Mcp-Session-Id", session}});
}

// The calls that failed, by why: the HTTP status, "<status>-isError" for a tool call that the
// bridge answered with an error result, 0 when the connection closed without a reply.
struct Failures {
    std::map<std::string, std::size_t> byReason;
    std::size_t total = 0;
    void add(const Lumenbox::clients::HttpReply& reply, bool toolError = false) {
        ++total;
        ++byReason[std::to_string(reply.status) + (toolError ? "-isError" : "")];
    }
    // For the report: " failure_statuses=401:3,503:1", or nothing when every call went through.
    std::string report() const {
        std::string text;
        for (const auto& [reason, count] : byReason) text += (text.empty() ? "" : ",") + reason + ":" + std::to_string(count);
        return text.empty() ? text : " failure_statuses=" + text;
    }
};

// A script call that went through: a 200, and through /mcp a tool result with its structured
// content (a failed tool call answers 200 too, with isError and no structured content).
bool callSucceeded(const std::string& via, const Lumenbox::clients::HttpReply& reply) {
    return reply.status == 200 && (via == "callscript" || reply.body.find("\"structuredContent\"") != std::string::npos);
}

// The session id of a legacy initialize's reply, or empty.
std::string sessionOf(const Lumenbox::clients::HttpReply& reply) {
    auto it = reply.headers.find("mcp-session-id");
    return reply.status == 200 && it != reply.headers.end() ? it->second : std::string{};
}

// A keep-alive client that runs the script in `fileName` through `via` again as soon as each
// reply arrives, until the deadline, recording the round trip of every call that succeeded and
// counting other replies as failures. Through mcp-legacy without a `session` it first opens one
// of its own. `opened` runs once it is connected.
std::shared_ptr<AsyncHttpClient> startCaller(asio::io_context& context, int port, const std::string& via,
                                             const std::string& fileName, int timeoutMs, std::string session,
                                             Clock::time_point deadline, std::vector<double>& latenciesUs,
                                             Failures& failures, std::function<void()> opened = {}) {
    auto caller = std::make_shared<AsyncHttpClient>(context);
    enum class Step { Initialize, Initialized, Call };
    struct Loop {
        Step step = Step::Call;
        std::string request;
        Clock::time_point sentAt;
    };
    auto loop = std::make_shared<Loop>();
    auto send = [client = caller.get(), loop] {
        loop->sentAt = Clock::now();
        client->send(loop->request);
    };
    if (via == "mcp-legacy" && session.empty()) {
        loop->step = Step::Initialize;
        loop->request = initializeBytes();
    } else {
        loop->request = scriptCallBytes(via, fileName, timeoutMs, session);
    }
    caller->onOpen = [send, opened = std::move(opened)] {
        send();
        if (opened) opened();
    };
    caller->onReply = [client = caller.get(), send, loop, via, fileName, timeoutMs, deadline, &latenciesUs,
                       &failures](const Lumenbox::clients::HttpReply& reply) {
        auto now = Clock::now();
        if (loop->step == Step::Initialize) {
            const std::string id = sessionOf(reply);
            if (id.empty()) {
                failures.add(reply);
                return client->close();
            }
            loop->step = Step::Initialized;
            loop->request = initializedBytes(id);
            send();
            loop->request = scriptCallBytes(via, fileName, timeoutMs, id);
            return;
        }
        if (loop->step == Step::Initialized) {
            loop->step = Step::Call;
        } else if (callSucceeded(via, reply)) {
            latenciesUs.push_back(std::chrono::duration<double, std::micro>(now - loop->sentAt).count());
        } else {
            failures.add(reply, reply.status == 200);
        }
        if (now < deadline) send();
    };
    caller->connect(port);
    return caller;
}

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

// `count` answering web viewers for the files "<prefix>0".."<prefix>count-1".
std::vector<std::shared_ptr<AsyncWsClient>> connectWebviewers(asio::io_context& context, int port, int count,
                                                              const std::string& prefix, std::size_t& callsSeen) {
    std::vector<std::shared_ptr<AsyncWsClient>> webviewers;
    for (int i = 0; i < count; ++i) {
        webviewers.push_back(startWebviewer(context, port, prefix + std::to_string(i), true, callsSeen));
    }
    return webviewers;
}

int runRoundTrips(const Settings& settings) {
    asio::io_context context;
    std::size_t callsSeen = 0;
    auto webviewers = connectWebviewers(context, settings.port, settings.webviewers, "Load-", callsSeen);
    // Registration completes on the bridge's loop before the first call arrives on it: give the
    // web viewers' connects and register messages a head start by running the loop briefly.
    context.run_for(std::chrono::milliseconds(200));

    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    Failures failures;
    std::vector<std::shared_ptr<AsyncHttpClient>> callers;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(settings.seconds);
    for (int i = 0; i < settings.clients; ++i) {
        callers.push_back(startCaller(context, settings.port, settings.via, "Load-" + std::to_string(i % settings.webviewers),
                                      30000, {}, deadline, latencies, failures));
    }
    context.run_until(deadline + std::chrono::seconds(2));
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    elapsed = std::min(elapsed, static_cast<double>(settings.seconds));
    std::size_t count = latencies.size();
    std::printf("roundtrip via=%s clients=%d webviewers=%d seconds=%d calls=%zu failures=%zu calls_per_s=%.0f p50_us=%.1f p99_us=%.1f%s\n",
                settings.via.c_str(), settings.clients, settings.webviewers, settings.seconds, count, failures.total,
                static_cast<double>(count) / elapsed, percentile(latencies, 0.50), percentile(latencies, 0.99),
                failures.report().c_str());
    return failures.total == 0 && count > 0 ? 0 : 1;
}

int runPending(const Settings& settings) {
    asio::io_context context;
    std::size_t forwarded = 0;
    auto webviewer = startWebviewer(context, settings.port, "Pending", false, forwarded);
    context.run_for(std::chrono::milliseconds(200));
    // Every call of the legacy era goes in one session: the bridge keeps at most 100.
    std::string session;
    if (settings.via == "mcp-legacy") {
        Lumenbox::clients::HttpClient client(settings.port);
        const std::string bytes = initializeBytes();
        client.sendRaw(bytes);
        session = sessionOf(client.readReply());
        if (session.empty()) throw std::runtime_error("initialize gave no session");
        client.sendRaw(initializedBytes(session));
        client.readReply();
    }
    auto before = sampleProcess(settings.serverPid);

    std::vector<double> unused;
    Failures failures;
    std::vector<std::shared_ptr<AsyncHttpClient>> callers(static_cast<std::size_t>(settings.calls));
    auto deadline = Clock::now() + std::chrono::hours(1);
    std::function<void(int)> start = [&](int i) {
        if (i >= settings.calls) return;
        callers[static_cast<std::size_t>(i)] = startCaller(context, settings.port, settings.via, "Pending", 600000, session,
                                                           deadline, unused, failures, [&start, i] { start(i + kConnectWindow); });
    };
    for (int i = 0; i < std::min(kConnectWindow, settings.calls); ++i) start(i);
    auto waitUntil = Clock::now() + std::chrono::seconds(60);
    while (forwarded < static_cast<std::size_t>(settings.calls) && Clock::now() < waitUntil) {
        context.run_for(std::chrono::milliseconds(50));
    }
    auto during = sampleProcess(settings.serverPid);

    for (auto& caller : callers) {
        if (caller) caller->close();
    }
    context.run_for(std::chrono::milliseconds(1000));
    auto after = sampleProcess(settings.serverPid);
    std::printf("pending via=%s calls=%d forwarded=%zu threads_before=%ld threads_during=%ld threads_after=%ld "
                "rss_kb_before=%ld rss_kb_during=%ld rss_kb_after=%ld bytes_per_call=%.0f%s\n",
                settings.via.c_str(), settings.calls, forwarded, before.threads, during.threads, after.threads, before.rssKb,
                during.rssKb, after.rssKb, 1024.0 * static_cast<double>(during.rssKb - before.rssKb) / settings.calls,
                failures.report().c_str());
    return forwarded == static_cast<std::size_t>(settings.calls) && during.threads == before.threads ? 0 : 1;
}

// Web viewers stay connected and nothing else happens: what the server costs while it waits.
int runIdle(const Settings& settings) {
    asio::io_context context;
    std::size_t callsSeen = 0;
    auto webviewers = connectWebviewers(context, settings.port, settings.webviewers, "Idle-", callsSeen);
    context.run_for(std::chrono::milliseconds(500));
    const double before = sampleProcess(settings.serverPid).cpuSeconds;
    context.run_for(std::chrono::seconds(settings.seconds));
    const double cpuMs = 1000.0 * (sampleProcess(settings.serverPid).cpuSeconds - before);
    std::printf("idle webviewers=%d seconds=%d server_cpu_ms=%.0f server_cpu_percent=%.3f\n", settings.webviewers,
                settings.seconds, cpuMs, cpuMs / (10.0 * settings.seconds));
    return 0;
}

constexpr const char* kUsage =
    "usage: lumenbox-load roundtrip|pending|idle --port P [options]\n"
    "Drives a running bridge on 127.0.0.1:P with simulated web viewers and HTTP clients; stops by itself.\n"
    "  roundtrip   N web viewers (files Load-0..) answer every call at once; M clients call in a loop for S\n"
    "              seconds. Prints calls/s, latency and why calls failed (failure_statuses=STATUS:COUNT,...)\n"
    "  pending     one web viewer that never answers; K clients each leave a call pending. Prints the\n"
    "              server's threads and memory before, during and after (needs --server-pid)\n"
    "  idle        N web viewers stay connected; prints the server's CPU time over S seconds (needs --server-pid)\n"
    "  --port P          the bridge's port (default 1365)\n"
    "  --clients M       roundtrip: calling clients (default 1)\n"
    "  --webviewers N    roundtrip, idle: simulated web viewers (default 1)\n"
    "  --seconds S       roundtrip, idle: how long to measure (default 5)\n"
    "  --calls K         pending: calls left waiting (default 10000)\n"
    "  --server-pid PID  pending, idle: the server process to sample\n"
    "  --via V           callscript (default: POST /callScript), mcp-legacy (the run_script tool through\n"
    "                    POST /mcp in a session) or mcp-modern (the same call stateless)\n"
    "  --help            show this text\n";

// A plain line when nothing listens: the clients would otherwise just count no calls.
bool bridgeReachable(int port) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    boost::system::error_code error;
    socket.connect({asio::ip::address_v4::loopback(), static_cast<unsigned short>(port)}, error);
    if (!error) return true;
    std::cerr << "lumenbox-load: cannot connect to 127.0.0.1:" << port << ": " << error.message()
              << " (is the bridge running on that port?)\n";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string_view(argv[i]) == "--help" || std::string_view(argv[i]) == "-h") {
            std::cout << kUsage;
            return 0;
        }
    }
    auto usageError = [](const std::string& message) {
        std::cerr << "lumenbox-load: " << message << " (lumenbox-load --help lists the options)\n";
        return 2;
    };
    if (argc < 2) return usageError("no mode given");
    Settings settings;
    settings.mode = argv[1];
    if (settings.mode != "roundtrip" && settings.mode != "pending" && settings.mode != "idle") {
        return usageError("unknown mode " + settings.mode);
    }
    for (int i = 2; i < argc; i += 2) {
        const std::string flag = argv[i];
        if (i + 1 >= argc) return usageError(flag + " needs a value");
        if (flag == "--via") {
            settings.via = argv[i + 1];
            continue;
        }
        char* end = nullptr;
        const long value = std::strtol(argv[i + 1], &end, 10);
        if (*argv[i + 1] == '\0' || *end != '\0' || value <= 0 || value > 1'000'000'000) {
            return usageError(flag + " takes a positive number, not \"" + argv[i + 1] + "\"");
        }
        if (flag == "--port") settings.port = static_cast<int>(value);
        else if (flag == "--clients") settings.clients = static_cast<int>(value);
        else if (flag == "--webviewers") settings.webviewers = static_cast<int>(value);
        else if (flag == "--seconds") settings.seconds = static_cast<int>(value);
        else if (flag == "--calls") settings.calls = static_cast<int>(value);
        else if (flag == "--server-pid") settings.serverPid = value;
        else return usageError("unknown option " + flag);
    }
    if (settings.via != "callscript" && settings.via != "mcp-legacy" && settings.via != "mcp-modern") {
        return usageError("--via is callscript, mcp-legacy or mcp-modern");
    }
    if (settings.mode != "roundtrip" && settings.serverPid <= 0) return usageError(settings.mode + " needs --server-pid");
    if (settings.port > 65535) return usageError("--port is at most 65535");
    Lumenbox::clients::raiseDescriptorLimit();
    if (!bridgeReachable(settings.port)) return 1;
    try {
        if (settings.mode == "roundtrip") return runRoundTrips(settings);
        if (settings.mode == "pending") return runPending(settings);
        return runIdle(settings);
    } catch (const boost::system::system_error& error) {
        // Only the system's message: what() adds Boost's source locations.
        std::cerr << "lumenbox-load: " << error.code().message() << "\n";
    } catch (const std::exception& error) {
        std::cerr << "lumenbox-load: " << error.what() << "\n";
    }
    return 1;
}
