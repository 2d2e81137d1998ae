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
#include <deque>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

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

tcp::endpoint bridge(int port) {
    return {asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)};
}

// A web viewer page stand-in: registers a file and answers each "callScript" with the result
// callback, unless it is told to stay silent.
class Webviewer : public std::enable_shared_from_this<Webviewer> {
public:
    Webviewer(asio::io_context& context, std::string fileName, bool answers)
        : stream_(context), fileName_(std::move(fileName)), answers_(answers) {}

    void connect(int port) {
        stream_.next_layer().connect(bridge(port));
        stream_.next_layer().set_option(tcp::no_delay(true));
        stream_.handshake("127.0.0.1", "/ws");
        stream_.text(true);
        stream_.write(asio::buffer(
            nlohmann::json{{"type", "register"}, {"fileName", fileName_}, {"role", "webviewer"}}.dump()));
        doRead();
    }

    std::size_t callsSeen() const { return callsSeen_; }

private:
    void doRead() {
        stream_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return;
            self->onMessage(beast::buffers_to_string(self->buffer_.data()));
            self->buffer_.consume(self->buffer_.size());
            self->doRead();
        });
    }

    void onMessage(const std::string& text) {
        auto message = nlohmann::json::parse(text, nullptr, false);
        if (!message.is_object() || message.value("type", "") != "callScript") return;
        ++callsSeen_;
        if (!answers_) return;
        auto envelope = nlohmann::json::parse(message.value("param", ""), nullptr, false);
        std::string fetchId = envelope["callback"].value("fetchId", "");
        queue_.push_back(nlohmann::json{{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"ok", fetchId}}}.dump());
        if (queue_.size() == 1) doWrite();
    }

    void doWrite() {
        stream_.async_write(asio::buffer(queue_.front()), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return;
            self->queue_.pop_front();
            if (!self->queue_.empty()) self->doWrite();
        });
    }

    websocket::stream<tcp::socket> stream_;
    beast::flat_buffer buffer_;
    std::deque<std::string> queue_;
    std::string fileName_;
    bool answers_;
    std::size_t callsSeen_ = 0;
};

// A keep-alive client that sends POST /callScript again as soon as each reply arrives, until the
// deadline, recording every round trip.
class Caller : public std::enable_shared_from_this<Caller> {
public:
    Caller(asio::io_context& context, const std::string& fileName, std::string query, std::vector<double>& latenciesUs)
        : socket_(context), latenciesUs_(latenciesUs) {
        std::string body = nlohmann::json{{"connectedFileName", fileName}, {"scriptName", "Bench"}, {"data", {{"n", 1}}}}.dump();
        request_ = "POST /callScript" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                   "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }

    void start(int port, Clock::time_point deadline) {
        socket_.connect(bridge(port));
        socket_.set_option(tcp::no_delay(true));
        deadline_ = deadline;
        send();
    }

    std::size_t failures() const { return failures_; }
    void close() {
        beast::error_code ignored;
        socket_.close(ignored);
    }

private:
    void send() {
        sentAt_ = Clock::now();
        asio::async_write(socket_, asio::buffer(request_), [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (!error) self->receive();
        });
    }

    void receive() {
        parser_.emplace();
        http::async_read(socket_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
            if (error) return;
            auto now = Clock::now();
            if (self->parser_->get().result_int() == 200) {
                self->latenciesUs_.push_back(std::chrono::duration<double, std::micro>(now - self->sentAt_).count());
            } else {
                ++self->failures_;
            }
            if (now < self->deadline_) self->send();
        });
    }

    tcp::socket socket_;
    std::string request_;
    beast::flat_buffer buffer_;
    std::optional<http::response_parser<http::string_body>> parser_;
    std::vector<double>& latenciesUs_;
    Clock::time_point sentAt_;
    Clock::time_point deadline_;
    std::size_t failures_ = 0;
};

double percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::size_t index = std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(index), values.end());
    return values[index];
}

// `count` answering web viewers for the files "<prefix>0".."<prefix>count-1".
std::vector<std::shared_ptr<Webviewer>> connectWebviewers(asio::io_context& context, int port, int count,
                                                          const std::string& prefix) {
    std::vector<std::shared_ptr<Webviewer>> webviewers;
    for (int i = 0; i < count; ++i) {
        webviewers.push_back(std::make_shared<Webviewer>(context, prefix + std::to_string(i), true));
        webviewers.back()->connect(port);
    }
    return webviewers;
}

int runRoundTrips(const Settings& settings) {
    asio::io_context context;
    auto webviewers = connectWebviewers(context, settings.port, settings.webviewers, "Load-");
    // Registration completes on the bridge's loop before the first call arrives on it: give the
    // web viewers' register messages a head start by running the loop briefly.
    context.run_for(std::chrono::milliseconds(200));

    std::vector<double> latencies;
    latencies.reserve(1 << 20);
    std::vector<std::shared_ptr<Caller>> callers;
    auto start = Clock::now();
    auto deadline = start + std::chrono::seconds(settings.seconds);
    for (int i = 0; i < settings.clients; ++i) {
        callers.push_back(std::make_shared<Caller>(context, "Load-" + std::to_string(i % settings.webviewers), "",
                                                   latencies));
        callers.back()->start(settings.port, deadline);
    }
    context.run_until(deadline + std::chrono::seconds(2));
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    elapsed = std::min(elapsed, static_cast<double>(settings.seconds));
    std::size_t failures = 0;
    for (auto& caller : callers) failures += caller->failures();
    std::size_t count = latencies.size();
    std::printf("roundtrip clients=%d webviewers=%d seconds=%d calls=%zu failures=%zu calls_per_s=%.0f p50_us=%.1f p99_us=%.1f\n",
                settings.clients, settings.webviewers, settings.seconds, count, failures,
                static_cast<double>(count) / elapsed, percentile(latencies, 0.50), percentile(latencies, 0.99));
    return failures == 0 && count > 0 ? 0 : 1;
}

struct ProcessSample {
    long threads = 0;
    long rssKb = 0;
};

ProcessSample sampleProcess(long pid) {
    ProcessSample sample;
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string key;
    while (status >> key) {
        if (key == "Threads:") status >> sample.threads;
        else if (key == "VmRSS:") status >> sample.rssKb;
        status.ignore(1 << 16, '\n');
    }
    return sample;
}

int runPending(const Settings& settings) {
    asio::io_context context;
    auto webviewer = std::make_shared<Webviewer>(context, "Pending", false);
    webviewer->connect(settings.port);
    context.run_for(std::chrono::milliseconds(200));
    ProcessSample before = sampleProcess(settings.serverPid);

    std::vector<double> unused;
    std::vector<std::shared_ptr<Caller>> callers;
    auto deadline = Clock::now() + std::chrono::hours(1);
    for (int i = 0; i < settings.calls; ++i) {
        callers.push_back(std::make_shared<Caller>(context, "Pending", "?timeout=600000", unused));
        callers.back()->start(settings.port, deadline);
    }
    auto waitUntil = Clock::now() + std::chrono::seconds(60);
    while (webviewer->callsSeen() < static_cast<std::size_t>(settings.calls) && Clock::now() < waitUntil) {
        context.run_for(std::chrono::milliseconds(50));
    }
    ProcessSample during = sampleProcess(settings.serverPid);

    for (auto& caller : callers) caller->close();
    context.run_for(std::chrono::milliseconds(1000));
    ProcessSample after = sampleProcess(settings.serverPid);
    std::printf("pending calls=%d forwarded=%zu threads_before=%ld threads_during=%ld threads_after=%ld "
                "rss_kb_before=%ld rss_kb_during=%ld rss_kb_after=%ld bytes_per_call=%.0f\n",
                settings.calls, webviewer->callsSeen(), before.threads, during.threads, after.threads, before.rssKb,
                during.rssKb, after.rssKb, 1024.0 * static_cast<double>(during.rssKb - before.rssKb) / settings.calls);
    return webviewer->callsSeen() == static_cast<std::size_t>(settings.calls) && during.threads == before.threads ? 0 : 1;
}

// The server process's CPU time so far (user and system, all threads), from /proc.
double processCpuSeconds(long pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the parenthesised command name: state is the first, utime the 12th, stime the 13th.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 1; index <= 13 && fields >> field; ++index) {
        if (index >= 12) ticks += std::strtod(field.c_str(), nullptr);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Web viewers stay connected and nothing else happens: what the server costs while it waits.
int runIdle(const Settings& settings) {
    asio::io_context context;
    auto webviewers = connectWebviewers(context, settings.port, settings.webviewers, "Idle-");
    context.run_for(std::chrono::milliseconds(500));
    const double before = processCpuSeconds(settings.serverPid);
    context.run_for(std::chrono::seconds(settings.seconds));
    const double cpuMs = 1000.0 * (processCpuSeconds(settings.serverPid) - before);
    std::printf("idle webviewers=%d seconds=%d server_cpu_ms=%.0f server_cpu_percent=%.3f\n", settings.webviewers,
                settings.seconds, cpuMs, cpuMs / (10.0 * settings.seconds));
    return 0;
}

void raiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
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
    raiseDescriptorLimit();
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
