#include "tools/mcp/BridgeExchange.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>

#include "tools/mcp/EventStream.h"

namespace Lumenbox::mcpstdio {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {

// The bridge closes a connection after 10 s without traffic; one idle for less is safe to reuse.
constexpr auto kReuseWithin = std::chrono::seconds(5);
// Connections kept for reuse: enough for a few requests at once, no more.
constexpr std::size_t kIdleConnections = 8;
// A connect to a loopback port answers at once; a name that resolves elsewhere must not hang a request.
constexpr auto kConnectLimit = std::chrono::seconds(5);

bool isEventStream(std::string_view contentType) {
    constexpr std::string_view type = "text/event-stream";
    if (contentType.size() < type.size()) return false;
    for (std::size_t i = 0; i < type.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(contentType[i])) != type[i]) return false;
    }
    return true;
}

}  // namespace

struct ConnectionPool::Connection {
    explicit Connection(asio::io_context& context) : stream(context) {}
    beast::tcp_stream stream;
    beast::flat_buffer buffer;
    Clock::time_point idleSince;
};

ConnectionPool::ConnectionPool(asio::io_context& context, Endpoint endpoint)
    : context_(context), endpoint_(std::move(endpoint)) {}

ConnectionPool::~ConnectionPool() = default;

std::unique_ptr<ConnectionPool::Connection> ConnectionPool::take() {
    const auto now = Clock::now();
    while (!idle_.empty()) {
        auto connection = std::move(idle_.back());
        idle_.pop_back();
        if (now - connection->idleSince < kReuseWithin) return connection;
    }
    return nullptr;
}

void ConnectionPool::giveBack(std::unique_ptr<Connection> connection) {
    connection->idleSince = Clock::now();
    if (idle_.size() == kIdleConnections) idle_.erase(idle_.begin());
    idle_.push_back(std::move(connection));
}

struct BridgeExchange::State {
    explicit State(ConnectionPool& pool) : pool(pool), resolver(pool.context()) {}
    ConnectionPool& pool;
    tcp::resolver resolver;
    http::request<http::string_body> request;
    std::unique_ptr<ConnectionPool::Connection> connection;
    std::optional<http::response_parser<http::string_body>> parser;
    EventStreamReader events;
    ExchangeOutcome outcome;
    bool reused = false;
    bool ended = false;
    OnEvent onEvent;
    OnEnd onEnd;
};

BridgeExchange::BridgeExchange(ConnectionPool& pool) : state_(std::make_unique<State>(pool)) {}

BridgeExchange::~BridgeExchange() = default;

std::shared_ptr<BridgeExchange> BridgeExchange::start(ConnectionPool& pool, std::string method, std::string body,
                                                      const Headers& headers, OnEvent onEvent, OnEnd onEnd) {
    std::shared_ptr<BridgeExchange> exchange(new BridgeExchange(pool));
    State& s = *exchange->state_;
    s.onEvent = std::move(onEvent);
    s.onEnd = std::move(onEnd);
    const Endpoint& endpoint = pool.endpoint();
    s.request = {http::string_to_verb(method), endpoint.target, 11};
    s.request.set(http::field::host, endpoint.hostHeader);
    s.request.set(http::field::accept, "application/json, text/event-stream");
    for (const auto& [name, value] : headers) s.request.set(name, value);
    if (!body.empty()) {
        s.request.set(http::field::content_type, "application/json");
        s.request.body() = std::move(body);
    }
    s.request.prepare_payload();
    s.connection = pool.take();
    s.reused = s.connection != nullptr;
    if (s.reused) {
        exchange->write();
    } else {
        exchange->connect();
    }
    return exchange;
}

void BridgeExchange::abort() {
    State& s = *state_;
    s.ended = true;
    s.onEvent = {};
    s.onEnd = {};
    s.resolver.cancel();
    if (s.connection) {
        beast::error_code ignored;
        s.connection->stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
        s.connection->stream.close();
    }
}

void BridgeExchange::connect() {
    State& s = *state_;
    s.connection = std::make_unique<ConnectionPool::Connection>(s.pool.context());
    s.reused = false;
    s.connection->stream.expires_after(kConnectLimit);
    auto onConnect = [self = shared_from_this()](beast::error_code error, auto&&...) {
        if (self->state_->ended) return;
        if (error) return self->failed("connect: " + error.message(), true);
        self->onConnected();
    };
    const Endpoint& endpoint = s.pool.endpoint();
    beast::error_code error;
    const auto address = asio::ip::make_address(endpoint.host, error);
    if (!error) {
        const auto port = static_cast<unsigned short>(std::stoi(endpoint.port));
        return s.connection->stream.async_connect(tcp::endpoint(address, port), onConnect);
    }
    s.resolver.async_resolve(endpoint.host, endpoint.port,
                             [self = shared_from_this(), onConnect](beast::error_code error,
                                                                    const tcp::resolver::results_type& results) {
                                 State& s = *self->state_;
                                 if (s.ended) return;
                                 if (error) return self->failed("resolve: " + error.message(), true);
                                 s.connection->stream.async_connect(results, onConnect);
                             });
}

void BridgeExchange::onConnected() {
    State& s = *state_;
    s.connection->stream.expires_never();
    beast::error_code ignored;
    s.connection->stream.socket().set_option(tcp::no_delay(true), ignored);
    write();
}

void BridgeExchange::write() {
    http::async_write(state_->connection->stream, state_->request, [self = shared_from_this()](beast::error_code error, std::size_t) {
        if (self->state_->ended) return;
        if (error) return self->failed("write: " + error.message(), false);
        self->readHead();
    });
}

void BridgeExchange::readHead() {
    State& s = *state_;
    s.parser.emplace();
    s.parser->body_limit(boost::none);  // an event stream may go on for long; its events are taken as they come
    http::async_read_header(s.connection->stream, s.connection->buffer, *s.parser,
                            [self = shared_from_this()](beast::error_code error, std::size_t) {
                                State& s = *self->state_;
                                if (s.ended) return;
                                if (error) return self->failed("read: " + error.message(), false);
                                const auto& head = s.parser->get();
                                s.outcome.status = static_cast<int>(head.result_int());
                                s.outcome.sessionId = std::string(head["Mcp-Session-Id"]);
                                s.outcome.eventStream = isEventStream(head[http::field::content_type]);
                                self->readBody();
                            });
}

void BridgeExchange::readBody() {
    State& s = *state_;
    if (s.parser->is_done()) return complete();
    http::async_read_some(s.connection->stream, s.connection->buffer, *s.parser,
                          [self = shared_from_this()](beast::error_code error, std::size_t) {
                              State& s = *self->state_;
                              if (s.ended) return;
                              std::string& body = s.parser->get().body();
                              if (s.outcome.eventStream) {
                                  for (const auto& data : s.events.feed(body)) {
                                      // A copy: the handler may abort this exchange, which lets go of it.
                                      if (auto handler = s.onEvent) handler(data);
                                      if (s.ended) return;
                                  }
                              } else {
                                  s.outcome.body += body;
                              }
                              body.clear();
                              if (error && !(error == http::error::end_of_stream && s.parser->is_done())) {
                                  return self->failed("read: " + error.message(), false);
                              }
                              self->readBody();
                          });
}

void BridgeExchange::failed(const std::string& what, bool beforeReply) {
    State& s = *state_;
    // A kept connection the bridge closed while it sat idle fails before any of the reply: the
    // message never reached the bridge, so it goes again on a new connection.
    if (s.reused && (!s.parser || !s.parser->is_header_done())) return connect();
    s.connection.reset();
    s.outcome.ending = beforeReply ? ExchangeOutcome::Ending::Unreachable : ExchangeOutcome::Ending::Lost;
    s.outcome.error = what;
    end();
}

void BridgeExchange::complete() {
    State& s = *state_;
    if (s.parser->keep_alive()) {
        s.pool.giveBack(std::move(s.connection));
    } else {
        s.connection.reset();
    }
    s.outcome.ending = ExchangeOutcome::Ending::Answered;
    end();
}

void BridgeExchange::end() {
    State& s = *state_;
    s.ended = true;
    auto handler = std::move(s.onEnd);
    s.onEvent = {};
    s.onEnd = {};
    if (handler) handler(std::move(s.outcome));
}

}  // namespace Lumenbox::mcpstdio
