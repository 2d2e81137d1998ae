#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

namespace Lumenbox::testing {

using namespace std::chrono_literals;

struct HttpReply {
    int status = 0;            // 0 when the connection closed without a reply
    std::string statusLine;    // for instance "404 Not Found"
    std::map<std::string, std::string> headers;  // lower-case names
    std::string body;
    nlohmann::json json() const { return nlohmann::json::parse(body); }
};

// A blocking HTTP/1.1 client on one keep-alive connection to 127.0.0.1.
class HttpClient {
public:
    explicit HttpClient(int port);
    ~HttpClient();

    HttpReply request(const std::string& method, const std::string& target, const std::string& body = {},
                      const std::map<std::string, std::string>& headers = {});
    HttpReply get(const std::string& target) { return request("GET", target); }
    HttpReply post(const std::string& target, const std::string& body,
                   const std::map<std::string, std::string>& headers = {}) {
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

// Polls `condition` until it holds or the wait is over; for effects no client can observe.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds wait = 2000ms);

// Checks a reply's status line, its JSON content type and its exact body.
void expectJsonReply(const HttpReply& reply, const std::string& statusLine, const std::string& body);

HttpReply httpGet(int port, const std::string& target, const std::map<std::string, std::string>& headers = {});
HttpReply httpPost(int port, const std::string& target, const std::string& body,
                   const std::map<std::string, std::string>& headers = {});
// Sends the request on its own connection and thread; the reply arrives through the future.
std::future<HttpReply> httpGetAsync(int port, const std::string& target,
                                    const std::map<std::string, std::string>& headers = {});
std::future<HttpReply> httpPostAsync(int port, const std::string& target, const std::string& body,
                                     const std::map<std::string, std::string>& headers = {});

// A WebSocket client whose messages are collected by a reader thread, so tests can wait for the
// next one with a time limit.
class WsClient {
public:
    explicit WsClient(int port, const std::string& path = "/ws");
    ~WsClient();

    void send(const std::string& text);
    void sendBinary(const std::string& bytes);
    void sendJson(const nlohmann::json& message) { send(message.dump()); }
    // The next message, or nullopt if none arrives within the wait.
    std::optional<std::string> receive(std::chrono::milliseconds wait = 2000ms);
    // The next message parsed; fails the test if none arrives.
    nlohmann::json receiveJson(std::chrono::milliseconds wait = 2000ms);
    // True when no message arrives within the wait.
    bool quiet(std::chrono::milliseconds wait = 200ms);
    // True once the server has closed the connection.
    bool waitClosed(std::chrono::milliseconds wait = 2000ms);
    // The code of the server's close frame once closed; 0 when it closed without one.
    int closeCode();
    void registerAs(const std::string& fileName, const std::string& role);
    void close();

private:
    struct State;
    std::shared_ptr<State> state_;
    std::thread reader_;
};

// A WebSocket client that never reads after the handshake and has a small receive buffer, so
// that the server's writes to it back up; for tests of a page that stops taking messages.
class StalledWsClient {
public:
    explicit StalledWsClient(int port, const std::string& path = "/ws");
    ~StalledWsClient();

    void sendJson(const nlohmann::json& message);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace Lumenbox::testing
