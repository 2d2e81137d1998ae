// lumenbox-mcp: the bridge's MCP endpoint for agents that only launch local commands.
//
//   LUMENBOX_URL=http://127.0.0.1:1365/mcp LUMENBOX_SESSION=<id> lumenbox-mcp
//
// Reads one JSON-RPC message per line on standard input, relays each to the endpoint and writes
// every message that comes back as one line on standard output; logs go to standard error only.
// It ends with status 0 when standard input ends, within a second, whatever is still under way.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <thread>

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>

#include "tools/mcp/Lines.h"
#include "tools/mcp/Relay.h"

namespace asio = boost::asio;
using namespace Lumenbox::mcpstdio;

namespace {

// After standard input ends, replies already under way get this long to arrive (so that
// `printf '...' | lumenbox-mcp` shows them); the process ends within a second in any case.
constexpr auto kGraceAfterInput = std::chrono::milliseconds(500);

void logLine(const std::string& text) {
    std::cerr << "lumenbox-mcp: " << text << std::endl;
}

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// A session id of white space only counts as none, as in the bridge's header.
std::string trimmed(std::string text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        std::cerr << "usage: " << argv[0] << "  (no arguments; LUMENBOX_URL, default " << kDefaultUrl
                  << ", and LUMENBOX_SESSION, sent as x-lumenbox-session)\n"
                     "Relays newline-delimited JSON-RPC on standard input and output to Lumenbox's MCP endpoint.\n";
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);  // an agent that goes away shows as a failed write, not a signal
    const std::string url = environment("LUMENBOX_URL").empty() ? std::string(kDefaultUrl) : environment("LUMENBOX_URL");
    auto endpoint = parseEndpoint(url);
    if (!endpoint) {
        logLine("LUMENBOX_URL must be an http:// URL such as " + std::string(kDefaultUrl) + ", not \"" + url + "\"");
        return 2;
    }

    asio::io_context context;
    auto work = asio::make_work_guard(context);
    bool outputFailed = false;
    auto writeLine = [&](const std::string& line) {
        if (outputFailed) return;
        if (std::fwrite(line.data(), 1, line.size(), stdout) != line.size() || std::fputc('\n', stdout) == EOF ||
            std::fflush(stdout) != 0) {
            outputFailed = true;
            logLine("standard output is closed; stopping");
            context.stop();
        }
    };
    Relay relay(context, {*endpoint, url, trimmed(environment("LUMENBOX_SESSION"))}, writeLine, logLine);
    logLine("relaying standard input to " + url);

    asio::steady_timer grace(context);
    std::atomic<bool> inputEnded = false;
    // A thread of its own reads standard input: whatever it is (pipe, terminal, file), a blocking
    // read works, where the event loop could only wait on some of them.
    std::thread reader([&] {
        LineSplitter splitter;
        char buffer[64 * 1024];
        for (;;) {
            const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR) continue;
            if (count <= 0) break;
            for (auto& line : splitter.feed({buffer, static_cast<std::size_t>(count)})) {
                asio::post(context, [&relay, line = std::move(line)] { relay.onLine(line); });
            }
        }
        for (auto& line : splitter.feed("\n")) {  // a last line without its newline
            asio::post(context, [&relay, line = std::move(line)] { relay.onLine(line); });
        }
        inputEnded = true;
        asio::post(context, [&] {
            relay.finish([&] { context.stop(); });
            grace.expires_after(kGraceAfterInput);
            grace.async_wait([&](const boost::system::error_code& error) {
                if (!error) context.stop();
            });
        });
    });
    context.run();
    if (!inputEnded) {
        // Standard output failed while the reader still waits on standard input: nothing can be
        // relayed any more, and the reader cannot be interrupted portably.
        std::_Exit(1);
    }
    reader.join();
    return 0;
}
