#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket.hpp>

#include "server/transport/App.h"
#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Transport = BridgeFixture;

constexpr const char* kNotFound = R"({"error":"Not found."})";
constexpr std::size_t kMaxBody = 16 * 1024 * 1024;

using clients::requestBytes;
std::string rawGet(const std::string& target, const clients::Headers& headers = {}) {
    return requestBytes("GET", target, {}, headers);
}
std::string chunked(const std::string& chunks) {
    return "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n" + chunks;
}
tcp::socket connectRaw(asio::io_context& context, int port, boost::system::error_code& error,
                       const asio::ip::address& address = asio::ip::make_address("127.0.0.1")) {
    tcp::socket socket(context);
    socket.connect({address, static_cast<unsigned short>(port)}, error);
    return socket;
}

TEST_F(Transport, RequestsOnOneConnectionAreAnsweredInOrderAndOnlyAClosingReplyEndsIt) {
    std::string unknown;  // paths and methods no route has, a method nobody defines included
    for (const char* request : {"GET /nope", "GET /Health", "POST /health", "PUT /connectedFiles", "OPTIONS *", "FROBNICATE /health"}) {
        unknown += std::string(request) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    }
    using Replies = std::vector<std::pair<const char*, std::string>>;  // status line, body ("" unchecked)
    const std::tuple<std::string, Replies, bool> exchanges[] = {
        {rawGet("/health") + rawGet("/missing") + requestBytes("POST", "/callScript", "not json") + rawGet("/connectedFiles"),
         {{"200 OK", ""}, {"404 Not Found", kNotFound}, {"400 Bad Request", kInvalidJson}, {"200 OK", "[]"}}, false},
        {unknown, Replies(6, {"404 Not Found", kNotFound}), false},
        {rawGet("/health", {{"Connection", "close"}}) + rawGet("/health"), {{"200 OK", ""}}, true},
        {"GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" + rawGet("/health"), {{"200 OK", ""}}, true},
        {"GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n" + rawGet("/connectedFiles"), {{"200 OK", ""}, {"200 OK", "[]"}}, false},
        {"NOT A REQUEST\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", R"({"error":"Malformed HTTP request."})"}}, true},
        {"GET /health HTTP/1.1\r\nBad Header Line\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", ""}}, true},
        {"\x01\x02\x03\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", ""}}, true},
        {rawGet("/health", {{"X-Padding", std::string(7 * 1024, 'a')}}), {{"200 OK", ""}}, false},
        {rawGet("/health", {{"X-Padding", std::string(9 * 1024, 'a')}}),
         {{"431 Request Header Fields Too Large", R"({"error":"Request headers too large."})"}}, true},
        {requestBytes("POST", "/callScript", std::string(kMaxBody, ' ')), {{"400 Bad Request", kInvalidJson}}, false},
        {"POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(kMaxBody + 1) + "\r\n\r\n{}",
         {{"413 Payload Too Large", R"({"error":"Request body too large."})"}}, true},
        {chunked([] {
             std::string chunks;
             for (std::size_t sent = 0; sent <= kMaxBody; sent += 1024 * 1024) chunks += "100000\r\n" + std::string(1024 * 1024, 'x') + "\r\n";
             return chunks + "0\r\n\r\n";
         }()), {{"413 Payload Too Large", ""}}, true},
        // A trailer field never counts as a header: this Origin would be refused.
        {chunked("1\r\nx\r\n0\r\nOrigin: http://elsewhere.example\r\n\r\n"), {{"400 Bad Request", kInvalidJson}}, false},
    };
    for (const auto& [raw, replies, closes] : exchanges) {
        SCOPED_TRACE(raw.substr(0, 40));
        HttpClient client(port());
        client.sendRaw(raw);
        for (std::size_t i = 0; i < replies.size(); ++i) {
            auto reply = client.readReply();
            const bool closing = closes && i + 1 == replies.size();
            EXPECT_EQ(std::make_tuple(reply.statusLine, reply.headers["connection"]), std::make_tuple(replies[i].first, closing ? "close" : ""));
            EXPECT_TRUE(replies[i].second.empty() || reply.body == replies[i].second) << reply.body;
            EXPECT_TRUE(reply.status < 400 || (reply.body.starts_with("{\"error\":") && reply.headers["content-type"] == "application/json"));
        }
        if (closes) EXPECT_EQ(client.readReply().status, 0) << "answered a request after a closing reply";
        else EXPECT_EQ(client.get("/connectedFiles").body, "[]");
    }
}

TEST_F(Transport, ARequestPipelinedBehindAHeldOneWaitsForIt) {
    auto webviewer = connectWebviewer("Sales");
    HttpClient client(port());
    client.sendRaw(requestBytes("POST", "/callScript", R"({"connectedFileName":"Sales","scriptName":"Slow"})") + rawGet("/connectedFiles"));
    sendResult(*webviewer, "done", receiveForwardedCall(*webviewer).fetchId);
    EXPECT_EQ(client.readReply().json()["result"], "done");
    EXPECT_EQ(client.readReply().body, R"(["Sales"])");
}

TEST_F(Transport, WebSocketsUpgradeOnAnyPathAndEchoOnlyValidCloseCodesAndHeadIsAGetWithoutBody) {
    WsClient deepPath(port(), "/some/deep/path?x=1");
    deepPath.registerAs("File", "webviewer");
    EXPECT_EQ(deepPath.receiveJson()["type"], "status");
    for (const auto& [sent, expected] : {std::pair<std::uint16_t, std::uint16_t>{5000, 1002}, {1005, 1002}, {1015, 1002}, {999, 1002}, {4000, 4000}, {1000, 1000}}) {
        asio::io_context context;
        boost::system::error_code error;
        boost::beast::websocket::stream<tcp::socket> ws(connectRaw(context, port(), error));
        ws.handshake("127.0.0.1", "/ws");
        ws.close(boost::beast::websocket::close_reason(sent), error);
        EXPECT_EQ(ws.reason().code, expected) << sent;
    }
    for (const std::string target : {"/connectedFiles", "/nope"}) {
        const std::string raw = *clients::exchangeRaw(port(), requestBytes("HEAD", target) + rawGet(target, {{"Connection", "close"}}), 5s);
        const std::size_t headEnd = raw.find("\r\n\r\n") + 4;
        const std::string getReply = raw.substr(headEnd);
        EXPECT_EQ(raw.substr(0, headEnd), getReply.substr(0, getReply.find("Connection: close\r\n")) + "\r\n") << target;
    }
}

TEST_F(Transport, ListensOnTheLoopbackAddressOnly) {
    // All of 127.0.0.0/8 reaches this machine, so a wildcard bind would accept on 127.0.0.2 too.
    asio::io_context context;
    boost::system::error_code error;
    connectRaw(context, port(), error, asio::ip::make_address("127.0.0.2"));
    EXPECT_EQ(error, asio::error::connection_refused);
}

// A bridge with small transport limits, set per suite.
template <auto Set>
struct Limited : BridgeFixture {
    static HttpServer::Options options() {
        HttpServer::Options options;
        Set(options.httpLimits);
        return options;
    }
    Limited() : BridgeFixture(options()) {}
};
using IdleConnections = Limited<+[](transport::HttpLimits& limits) { limits.idleTimeout = 200ms; }>;
using SlowClients = Limited<+[](transport::HttpLimits& limits) { limits.headTimeout = limits.bodyTimeout = 200ms; }>;
using ConnectionCap = Limited<+[](transport::HttpLimits& limits) { limits.maxConnections = 4; }>;
using BodyBytesCap = Limited<+[](transport::HttpLimits& limits) { limits.maxBodyBytesInFlight = 1000; }>;

TEST_F(IdleConnections, StalledConnectionsCloseOnceIdlePastTheLimitButWebviewersAndALargeReplyReadPieceByPieceStay) {
    auto webviewer = connectWebviewer("Sales");
    asio::io_context context;
    tcp::socket socket(context);
    socket.open(tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(16 * 1024));  // the reply must trickle
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port())});
    asio::write(socket, asio::buffer(requestBytes("POST", "/callScript", R"({"connectedFileName":"Sales","scriptName":"Big"})")));
    const auto call = receiveForwardedCall(*webviewer);
    HttpClient keptAlive(port()), halfHeader(port()), halfBody(port());
    EXPECT_EQ(keptAlive.get("/health").status, 200);
    halfHeader.sendRaw("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    halfBody.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{");
    for (HttpClient* client : {&keptAlive, &halfHeader, &halfBody}) ASSERT_TRUE(client->closedByServer(5000ms));
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Sales"])");
    // The call has now waited past the limit: only the reply's own progress keeps its connection
    // from counting as idle. Two round trips through the bridge after each piece read: the reply
    // takes several limits to read but its connection never stands still for one.
    const std::string result(15 * 1024 * 1024, 'x');  // the bridge sees its progress about every MiB
    sendResult(*webviewer, result, call.fetchId);
    std::optional<HttpClient> pacer;  // made once the reply has begun: until then it would idle
    std::string received;
    std::vector<char> chunk(64 * 1024);
    boost::system::error_code error;
    while (!error && received.find("\"}", result.size()) == std::string::npos) {
        received.append(chunk.data(), socket.read_some(asio::buffer(chunk), error));
        if (!pacer) pacer.emplace(port());
        pacer->get("/health"), pacer->get("/health");
    }
    EXPECT_TRUE(received.starts_with("HTTP/1.1 200 OK") && received.ends_with("\"result\":\"" + result + "\"}")) << error.message();
}

TEST_F(SlowClients, ClientsTricklingAHeadOrABodyAreClosedAtTheDeadlineButAKeptAliveOneIsNot) {
    for (const std::string start : {std::string("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "),
                                    std::string("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\n{\"a\":\""), chunked("1000\r\n")}) {
        HttpClient client(port());
        client.sendRaw(start);
        bool closed = false;  // one byte at a time, each well within the idle limit
        for (int sent = 0; sent < 400 && !closed; ++sent) {
            try {
                client.sendRaw("x");
                closed = client.closedByServer(25ms);
            } catch (const boost::system::system_error&) {
                closed = true;
            }
        }
        EXPECT_TRUE(closed) << start;
    }
    HttpClient keptAlive(port());
    EXPECT_EQ(keptAlive.get("/health").status, 200);
    EXPECT_FALSE(keptAlive.closedByServer(500ms));
    EXPECT_EQ(keptAlive.get("/health").status, 200);
}

TEST_F(ConnectionCap, OverTheCapTheIdleLongestIsClosedOrWhenNoneIsIdleTheNewcomerIsRefused) {
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<HttpClient>(port()));
        EXPECT_EQ(clients.back()->get("/health").status, 200);
    }
    auto newcomer = std::make_unique<HttpClient>(port());
    EXPECT_EQ(newcomer->get("/health").status, 200);
    std::size_t closed = 0;
    for (auto& client : clients) {
        if (client->closedByServer(100ms)) client = std::move(newcomer), ++closed;
    }
    ASSERT_EQ(closed, 1u);
    for (auto& client : clients) client->sendRaw("GET /connectedFiles HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    auto refused = HttpClient(port()).readReply();
    expectJsonReply(refused, "503 Service Unavailable", R"({"error":"Too many connections."})");
    EXPECT_EQ(refused.headers["connection"], "close");
    for (auto& client : clients) {
        client->sendRaw("\r\n");
        EXPECT_EQ(client->readReply().body, "[]");
    }
}

TEST_F(BodyBytesCap, BodiesTakingTheTotalOverTheCapAreRefusedUntilTheHeldOnesAreHandedOn) {
    const std::string head = "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n";
    HttpClient holder(port());  // 800 bytes declared and held while their body trickles in
    holder.sendRaw(head + "Content-Length: 800\r\n\r\n");
    ASSERT_EQ(holder.readReply().statusLine, "100 Continue");
    for (const std::string request : {head + "Content-Length: 300\r\n\r\n",
                                      head + "Transfer-Encoding: chunked\r\n\r\n96\r\n" + std::string(150, 'x') + "\r\n64\r\n" + std::string(100, 'x') + "\r\n"}) {
        HttpClient client(port());
        client.sendRaw(request);
        auto reply = client.readReply();
        if (reply.status == 100) reply = client.readReply();  // the chunked body is counted as it comes
        expectJsonReply(reply, "503 Service Unavailable", R"({"error":"Server busy: too much request data at once."})");
        EXPECT_TRUE(client.closedByServer());
    }
    holder.sendRaw(std::string(800, ' '));
    EXPECT_EQ(holder.readReply().statusLine, "400 Bad Request");  // the body reached the route
    EXPECT_EQ(httpPost(port(), "/callScript", std::string(900, ' ')).statusLine, "400 Bad Request");
}

struct Nothing {};

// An application whose handlers fail in every way a handler can, on a loop thread of its own.
class HandlerGuard : public ::testing::Test {
protected:
    HandlerGuard() {
        loop_.onHandlerException([this](std::string_view what) { reported_.emplace_back(what); });
        app_.get("/throws", [](auto, auto&) { throw std::runtime_error("route failed"); });
        app_.get("/throws-later", [](auto res, auto&) { res->onBody([](std::string) { throw 42; }); });
        app_.get("/forgets", [](auto, auto&) {});
        app_.get("/defer-throwing", [this](auto res, auto&) {
            loop_.defer([] { throw std::runtime_error("task failed"); });
            timer_.start(std::chrono::milliseconds(1), [] { throw std::runtime_error("timer failed"); });
            loop_.defer([res] { res->end("after"); });
        });
        transport::WebSocketBehavior<Nothing> ws;
        ws.message = [](transport::WebSocket<Nothing>* socket, std::string_view text, transport::OpCode) {
            if (text == "boom") throw std::runtime_error("message failed");
            socket->send(text);
        };
        app_.ws<Nothing>("/*", std::move(ws));
        app_.onReject([](transport::HttpResponse& res, std::string_view status, std::string_view text) { res.writeStatus(status)->end(text); });
        app_.listen("127.0.0.1", 0, [this](transport::ListenSocket* socket, int) { port_ = socket ? socket->port() : 0; });
        thread_ = std::thread([this] { loop_.run(); });
    }
    ~HandlerGuard() override {
        loop_.defer([this] { app_.close(); });
        thread_.join();
    }

    transport::Loop loop_;
    transport::App app_{loop_};
    transport::Timer timer_{loop_};
    std::vector<std::string> reported_;  // written on the loop thread, read after it has ended
    int port_ = 0;
    std::thread thread_;
};

TEST_F(HandlerGuard, ThrowingRoutesTasksTimersAndWebSocketHandlersEndNeitherTheLoopNorTheConnection) {
    HttpClient client(port_);
    for (const char* path : {"/throws", "/throws-later", "/forgets"}) {
        auto reply = client.get(path);
        EXPECT_EQ(std::make_tuple(reply.statusLine, reply.body), std::make_tuple("500 Internal Server Error", "Internal error.")) << path;
    }
    EXPECT_EQ(client.get("/defer-throwing").body, "after");
    WsClient socket(port_);
    socket.send("boom");
    socket.send("still here");
    EXPECT_EQ(socket.receive(), "still here");
}

using DescriptorExhaustion = BridgeFixture;

bool readableWithin(int fd, int milliseconds) {
    pollfd entry{fd, POLLIN, 0};
    return ::poll(&entry, 1, milliseconds) == 1;
}

TEST_F(DescriptorExhaustion, ServerKeepsServingAndAcceptsAgainOnceDescriptorsFree) {
    HttpClient existing(port());
    ASSERT_EQ(existing.get("/health").status, 200);
    asio::io_context context;
    asio::ip::tcp::socket socket(context);  // its reactor takes descriptors now
    // Every free descriptor slot under a lowered limit is filled, so that the server's next accept
    // fails with EMFILE; one slot is left for a client on one plain descriptor.
    rlimit original{};
    getrlimit(RLIMIT_NOFILE, &original);
    int highest = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) highest = std::max(highest, std::stoi(entry.path().filename()));
    const rlimit squeezed{static_cast<rlim_t>(highest + 16), original.rlim_max};
    setrlimit(RLIMIT_NOFILE, &squeezed);
    std::vector<int> fillers;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) fillers.push_back(fd);
    auto release = [&](std::size_t count) {
        for (; count > 0 && !fillers.empty(); --count, fillers.pop_back()) ::close(fillers.back());
    };
    release(1);
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port())});
    asio::write(socket, asio::buffer(std::string("GET /connectedFiles HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")));
    EXPECT_EQ(existing.get("/health").status, 200) << "an existing connection is still served";
    EXPECT_FALSE(readableWithin(socket.native_handle(), 300)) << "no descriptor is free to accept the new connection";
    release(4);
    EXPECT_TRUE(readableWithin(socket.native_handle(), 10000)) << "accepting resumes once descriptors free";
    release(fillers.size());
    setrlimit(RLIMIT_NOFILE, &original);
    char reply[512];
    const std::size_t n = socket.read_some(asio::buffer(reply));
    EXPECT_TRUE(std::string(reply, n).ends_with("\r\n\r\n[]"));
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

}  // namespace
}  // namespace Lumenbox::testing
