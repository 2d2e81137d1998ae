#pragma once

// HTTP/1.1 clients of the bridge on 127.0.0.1, for the tests, the soak and the load tool.
// Thread rule: an HttpClient belongs to the thread that uses it; an AsyncHttpClient and its
// handlers run on the thread that runs its io_context.

#include <chrono>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

namespace Lumenbox::clients {

using namespace std::chrono_literals;
using Headers = std::map<std::string, std::string>;

struct HttpReply {
    int status = 0;            // 0 when the connection closed without a reply
    std::string statusLine;    // for instance "404 Not Found"
    Headers headers;           // lower-case names
    std::string body;
    nlohmann::json json() const { return nlohmann::json::parse(body); }
};

// The bytes of a request to 127.0.0.1; a POST carries a JSON content type and its length.
std::string requestBytes(const std::string& method, const std::string& target, const std::string& body = {},
                         const Headers& headers = {});

// A blocking client on one keep-alive connection.
class HttpClient {
public:
    explicit HttpClient(int port);
    ~HttpClient();

    HttpReply request(const std::string& method, const std::string& target, const std::string& body = {},
                      const Headers& headers = {});
    HttpReply get(const std::string& target) { return request("GET", target); }
    HttpReply post(const std::string& target, const std::string& body, const Headers& headers = {}) {
        return request("POST", target, body, headers);
    }
    // Writes bytes as they are, for malformed or pipelined requests.
    void sendRaw(const std::string& bytes);
    // Reads one reply, or returns status 0 if the server closes first.
    HttpReply readReply();
    // True when the server has closed the connection (reads end of stream within the wait).
    bool closedByServer(std::chrono::milliseconds wait = 2000ms);
    void close();

private:
    struct State;
    std::unique_ptr<State> state_;
};

HttpReply httpGet(int port, const std::string& target, const Headers& headers = {});
HttpReply httpPost(int port, const std::string& target, const std::string& body, const Headers& headers = {});
// Connects before returning, then sends the request on a thread of its own; the reply arrives
// through the future.
std::future<HttpReply> httpGetAsync(int port, const std::string& target, const Headers& headers = {});
std::future<HttpReply> httpPostAsync(int port, const std::string& target, const std::string& body,
                                     const Headers& headers = {});

// Sends `bytes` on a new connection, half-closes it and reads until the server closes: all the
// server wrote, or nullopt if it neither answered nor closed within `limit`. Throws if it cannot
// connect. For malformed input and for probes that must not hang on a stuck server.
std::optional<std::string> exchangeRaw(int port, const std::string& bytes, std::chrono::milliseconds limit);

// One keep-alive connection on the caller's io_context, so that one thread drives thousands. A
// read is always outstanding, so that a reply nobody asked for is seen when it arrives. onEnd
// runs exactly once, when the connect fails, the connection ends or close() has finished; no
// handler runs after it, which also frees what the handlers hold.
class AsyncHttpClient : public std::enable_shared_from_this<AsyncHttpClient> {
public:
    explicit AsyncHttpClient(boost::asio::io_context& context);
    ~AsyncHttpClient();

    std::function<void()> onOpen;
    std::function<void(const HttpReply&)> onReply;
    std::function<void(const std::string& reason)> onEnd;  // reason is empty after close()

    void connect(int port);
    // Queues bytes to write as they are, after those queued before (the request of requestBytes,
    // or part of one).
    void send(std::string bytes);
    // Closes once the bytes already queued are written; replies that arrive meanwhile are dropped.
    void close();

private:
    struct State;
    void readNext();
    void writeNext();
    void end(const std::string& reason);
    std::unique_ptr<State> state_;
};

}  // namespace Lumenbox::clients
