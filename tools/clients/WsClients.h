#pragma once

// WebSocket clients of the bridge on 127.0.0.1, playing web viewer pages and agent browsers.
// Thread rule: WsClient may be used from any one thread at a time (its reads run on a thread of
// its own); StalledWsClient belongs to its thread; an AsyncWsClient and its handlers run on the
// thread that runs its io_context.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <boost/asio/io_context.hpp>
#include <nlohmann/json.hpp>

namespace Lumenbox::clients {

using namespace std::chrono_literals;

// A client whose messages a reader thread collects, so that the caller can wait for the next one
// with a time limit.
class WsClient {
public:
    explicit WsClient(int port, const std::string& path = "/ws");
    ~WsClient();

    void send(const std::string& text);
    void sendBinary(const std::string& bytes);
    void sendJson(const nlohmann::json& message) { send(message.dump()); }
    // The next message, or nullopt if none arrives within the wait.
    std::optional<std::string> receive(std::chrono::milliseconds wait = 2000ms);
    // The next message parsed; throws if none arrives within the wait.
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

// A client that never reads after the handshake and has a small receive buffer, so that the
// server's writes to it back up: a page that stops taking messages.
class StalledWsClient {
public:
    explicit StalledWsClient(int port, const std::string& path = "/ws");
    ~StalledWsClient();

    void sendJson(const nlohmann::json& message);

private:
    struct State;
    std::unique_ptr<State> state_;
};

// A client on the caller's io_context, so that one thread drives hundreds of pages. Writes are
// queued, one in flight. onEnd runs exactly once, when the connect or handshake fails, the
// connection ends or close() has finished; no handler runs after it, which also frees what the
// handlers hold.
class AsyncWsClient : public std::enable_shared_from_this<AsyncWsClient> {
public:
    explicit AsyncWsClient(boost::asio::io_context& context);
    ~AsyncWsClient();

    std::function<void()> onOpen;
    std::function<void(const std::string& text)> onMessage;
    std::function<void(const std::string& reason)> onEnd;  // reason is empty after close()

    void connect(int port, const std::string& path = "/ws");
    void send(std::string text);  // dropped unless open
    void registerAs(const std::string& fileName, const std::string& role);
    // abrupt: the socket is cut. Otherwise a close handshake ("going away"), cut if it has not
    // finished within two seconds.
    void close(bool abrupt);
    bool isOpen() const;

private:
    struct State;
    void readNext();
    void writeNext();
    void end(const std::string& reason);
    std::unique_ptr<State> state_;
};

}  // namespace Lumenbox::clients
