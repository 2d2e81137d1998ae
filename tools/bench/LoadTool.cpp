// lumenbox-load: drives a running bridge with simulated web viewers and HTTP clients.
//
//   lumenbox-load roundtrip --port P [--clients M] [--webviewers N] [--seconds S]
//       N simulated web viewers (files "Load-0".."Load-N-1") answer every "callScript" at once;
//       M keep-alive clients send POST /callScript in a loop. Prints calls/s and latency.
//   lumenbox-load pending --port P --server-pid PID [--calls K]
//       one web viewer that never answers; K clients each leave one call pending. Prints the
//       server's threads and memory before, while the calls wait, and after the clients left.
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
#include <memory>
#include <string>
#include <vector>

#include <boost/asio/io_context.hpp>

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

// A keep-alive client that sends POST /callScript to `fileName` again as soon as each reply
// arrives, until the deadline, recording the round trip of every 200 and counting other replies
// as failures. `opened` runs once it is connected.
std::shared_ptr<AsyncHttpClient> startCaller(asio::io_context& context, int port, const std::string& fileName,
                                             const std::string& query, Clock::time_point deadline,
                                             std::vector<double>& latenciesUs, std::size_t& failures,
                                             std::function<void()> opened = {}) {
    const std::string body =
        nlohmann::json{{"connectedFileName", fileName}, {"scriptName", "Bench"}, {"data", {{"n", 1}}}}.dump();
    auto caller = std::make_shared<AsyncHttpClient>(context);
    auto sentAt = std::make_shared<Clock::time_point>();
    auto send = [client = caller.get(), sentAt, request = Lumenbox::clients::requestBytes("POST", "/callScript" + query, body)] {
        *sentAt = Clock::now();
        client->send(request);
    };
    caller->onOpen = [send, opened = std::move(opened)] {
        send();
        if (opened) opened();
    };
    caller->onReply = [send, sentAt, deadline, &latenciesUs, &failures](const Lumenbox::clients::HttpReply& reply) {
        auto now = Clock::now();
        if (reply.status == 200) {
            latenciesUs.push_back(std::chrono::duration<double, std::micro>(now - *sentAt).count());
        } else {
            ++failures;
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
    std::size_t failures = 0;
    std::vector<std::shared_ptr<AsyncHttpClient>> callers;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(settings.seconds);
    for (int i = 0; i < settings.clients; ++i) {
        callers.push_back(startCaller(context, settings.port, "Load-" + std::to_string(i % settings.webviewers), "",
                                      deadline, latencies, failures));
    }
    context.run_until(deadline + std::chrono::seconds(2));
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    elapsed = std::min(elapsed, static_cast<double>(settings.seconds));
    std::size_t count = latencies.size();
    std::printf("roundtrip clients=%d webviewers=%d seconds=%d calls=%zu failures=%zu calls_per_s=%.0f p50_us=%.1f p99_us=%.1f\n",
                settings.clients, settings.webviewers, settings.seconds, count, failures,
                static_cast<double>(count) / elapsed, percentile(latencies, 0.50), percentile(latencies, 0.99));
    return failures == 0 && count > 0 ? 0 : 1;
}

int runPending(const Settings& settings) {
    asio::io_context context;
    std::size_t forwarded = 0;
    auto webviewer = startWebviewer(context, settings.port, "Pending", false, forwarded);
    context.run_for(std::chrono::milliseconds(200));
    auto before = sampleProcess(settings.serverPid);

    std::vector<double> unused;
    std::size_t failures = 0;
    std::vector<std::shared_ptr<AsyncHttpClient>> callers(static_cast<std::size_t>(settings.calls));
    auto deadline = Clock::now() + std::chrono::hours(1);
    std::function<void(int)> start = [&](int i) {
        if (i >= settings.calls) return;
        callers[static_cast<std::size_t>(i)] = startCaller(context, settings.port, "Pending", "?timeout=600000", deadline,
                                                           unused, failures, [&start, i] { start(i + kConnectWindow); });
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
    std::printf("pending calls=%d forwarded=%zu threads_before=%ld threads_during=%ld threads_after=%ld "
                "rss_kb_before=%ld rss_kb_during=%ld rss_kb_after=%ld bytes_per_call=%.0f\n",
                settings.calls, forwarded, before.threads, during.threads, after.threads, before.rssKb,
                during.rssKb, after.rssKb, 1024.0 * static_cast<double>(during.rssKb - before.rssKb) / settings.calls);
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

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: lumenbox-load roundtrip|pending|idle --port P [--clients M] [--webviewers N] [--seconds S] "
                     "[--calls K] [--server-pid PID]\n";
        return 2;
    }
    Settings settings;
    settings.mode = argv[1];
    for (int i = 2; i + 1 < argc; i += 2) {
        std::string flag = argv[i];
        long value = std::strtol(argv[i + 1], nullptr, 10);
        if (flag == "--port") settings.port = static_cast<int>(value);
        else if (flag == "--clients") settings.clients = static_cast<int>(value);
        else if (flag == "--webviewers") settings.webviewers = static_cast<int>(value);
        else if (flag == "--seconds") settings.seconds = static_cast<int>(value);
        else if (flag == "--calls") settings.calls = static_cast<int>(value);
        else if (flag == "--server-pid") settings.serverPid = value;
    }
    Lumenbox::clients::raiseDescriptorLimit();
    try {
        if (settings.mode == "roundtrip") return runRoundTrips(settings);
        if (settings.mode == "pending" && settings.serverPid > 0) return runPending(settings);
        if (settings.mode == "idle" && settings.serverPid > 0) return runIdle(settings);
    } catch (const std::exception& error) {
        std::cerr << "lumenbox-load: " << error.what() << "\n";
        return 1;
    }
    std::cerr << "lumenbox-load: unknown mode or missing --server-pid\n";
    return 2;
}
