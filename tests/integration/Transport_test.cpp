#include <ifaddrs.h>
#include <netinet/in.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket.hpp>

#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

using Transport = BridgeFixture;

constexpr const char* kNotFoundBody = R"({"error":"Not found."})";
constexpr std::size_t kMaxBody = 16 * 1024 * 1024;

std::string rawGet(const std::string& target, const std::string& extraHeaders = {}) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}
std::string rawPost(const std::string& target, const std::string& body) {
    return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
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
tcp::socket connectRaw(asio::io_context& context, int port) {
    boost::system::error_code error;
    return connectRaw(context, port, error);
}

// Sends the raw requests on a fresh connection (the last one asking to close) and returns all
// that comes back.
std::string exchangeRaw(int port, const std::string& requests) {
    asio::io_context context;
    auto socket = connectRaw(context, port);
    asio::write(socket, asio::buffer(requests));
    std::string received;
    char chunk[4096];
    boost::system::error_code error;
    while (!error) received.append(chunk, socket.read_some(asio::buffer(chunk), error));
    return received;
}

TEST_F(Transport, RequestsOnOneConnectionAreAnsweredInOrderAndOnlyAClosingReplyEndsIt) {
    const std::string error = "{\"error\":";
    std::string unknown;  // paths and methods no route has, a method nobody defines included
    for (const char* request : {"GET /nope", "GET /health/", "GET /Health", "POST /health", "DELETE /health",
                                "PUT /connectedFiles", "GET /callScript", "OPTIONS *", "FROBNICATE /health"}) {
        unknown += std::string(request) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    }
    struct Exchange {
        std::string name;
        std::string raw;
        std::vector<std::pair<const char*, std::string>> replies;  // status line, body ("" unchecked)
        bool closes;
    };
    const Exchange exchanges[] = {
        {"pipelined", rawGet("/health") + rawGet("/missing") + rawPost("/callScript", "not json") + rawGet("/connectedFiles"),
         {{"200 OK", ""}, {"404 Not Found", kNotFoundBody}, {"400 Bad Request", R"({"error":"Invalid JSON body."})"}, {"200 OK", "[]"}},
         false},
        {"unknown", unknown, std::vector<std::pair<const char*, std::string>>(9, {"404 Not Found", kNotFoundBody}), false},
        {"asks to close", rawGet("/health", "Connection: close\r\n") + rawGet("/health"), {{"200 OK", ""}}, true},
        {"HTTP/1.0", "GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n" + rawGet("/health"), {{"200 OK", ""}}, true},
        {"HTTP/1.0 keep-alive", "GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n"
                                "GET /connectedFiles HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n",
         {{"200 OK", ""}, {"200 OK", "[]"}}, false},
        {"not a request", "NOT A REQUEST\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", R"({"error":"Malformed HTTP request."})"}}, true},
        {"bad version", "GET /health HTTP/1.1 x\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", ""}}, true},
        {"bad header", "GET /health HTTP/1.1\r\nBad Header Line\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", ""}}, true},
        {"binary", "\x01\x02\x03\r\n\r\n" + rawGet("/health"), {{"400 Bad Request", ""}}, true},
        {"7 KiB of headers", rawGet("/health", "X-Padding: " + std::string(7 * 1024, 'a') + "\r\n"), {{"200 OK", ""}}, false},
        {"9 KiB of headers", rawGet("/health", "X-Padding: " + std::string(9 * 1024, 'a') + "\r\n"),
         {{"431 Request Header Fields Too Large", R"({"error":"Request headers too large."})"}}, true},
        {"body of the limit", rawPost("/callScript", std::string(kMaxBody, ' ')), {{"400 Bad Request", R"({"error":"Invalid JSON body."})"}}, false},
        {"larger body announced", "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(kMaxBody + 1) + "\r\n\r\n{}",
         {{"413 Payload Too Large", R"({"error":"Request body too large."})"}}, true},
        {"larger body streamed", chunked([] {
             std::string chunks;
             for (std::size_t sent = 0; sent <= kMaxBody; sent += 1024 * 1024) chunks += "100000\r\n" + std::string(1024 * 1024, 'x') + "\r\n";
             return chunks + "0\r\n\r\n";
         }()), {{"413 Payload Too Large", ""}}, true},
        // A trailer field never counts as a header: this Origin would be refused.
        {"trailer", chunked("1\r\nx\r\n0\r\nOrigin: http://elsewhere.example\r\n\r\n"),
         {{"400 Bad Request", R"({"error":"Invalid JSON body."})"}}, false},
    };
    for (const auto& exchange : exchanges) {
        SCOPED_TRACE(exchange.name);
        HttpClient client(port());
        client.sendRaw(exchange.raw);
        for (std::size_t i = 0; i < exchange.replies.size(); ++i) {
            const auto& [statusLine, body] = exchange.replies[i];
            auto reply = client.readReply();
            EXPECT_EQ(reply.statusLine, statusLine);
            EXPECT_TRUE(body.empty() || reply.body == body) << reply.body;
            EXPECT_TRUE(reply.status < 400 || (reply.body.rfind(error, 0) == 0 && reply.headers["content-type"] == "application/json"))
                << reply.body;
            const bool last = i + 1 == exchange.replies.size();
            EXPECT_EQ(reply.headers.count("connection") ? reply.headers["connection"] : "", exchange.closes && last ? "close" : "");
        }
        if (exchange.closes) {
            EXPECT_EQ(client.readReply().status, 0) << "answered a request after a closing reply";
            EXPECT_TRUE(client.closedByServer());
        } else {
            EXPECT_EQ(client.get("/connectedFiles").body, "[]");
        }
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, RequestPipelinedBehindAHeldResponseWaitsForIt) {
    auto webviewer = connectWebviewer("Sales");
    HttpClient client(port());
    client.sendRaw(rawPost("/callScript", R"({"connectedFileName":"Sales","scriptName":"Slow"})") + rawGet("/connectedFiles"));
    sendResult(*webviewer, "done", receiveForwardedCall(*webviewer).fetchId);
    auto first = client.readReply();
    EXPECT_EQ(first.status, 200);
    EXPECT_EQ(first.json()["result"], "done");
    EXPECT_EQ(client.readReply().body, R"(["Sales"])");
}

TEST_F(Transport, ExpectContinueIsGrantedBeforeTheBody) {
    HttpClient client(port());
    client.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(client.readReply().statusLine, "100 Continue");
    client.sendRaw("{x}");
    EXPECT_EQ(client.readReply().body, R"({"error":"Invalid JSON body."})");
}

TEST_F(Transport, WebSocketUpgradeWorksOnAnyPathAndAClientLeavingMidRequestDisturbsNothing) {
    for (const char* path : {"/", "/health", "/some/deep/path?x=1"}) {
        WsClient client(port(), path);
        client.registerAs(std::string("File ") + path, "webviewer");
        EXPECT_EQ(client.receiveJson()["type"], "status") << path;
    }
    for (const char* partial : {"GET /health HTTP/1.1\r\nHost: 127.0.", "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                                                         "Content-Length: 100\r\n\r\n{\"connected"}) {
        HttpClient(port()).sendRaw(partial);
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, HeadHasNoBodyAndInvalidCloseCodesGetProtocolError) {
    // HEAD: the GET's status and headers, Content-Length included, and nothing after them.
    for (const std::string target : {"/connectedFiles", "/nope", "/callScript"}) {
        const std::string raw = exchangeRaw(port(), "HEAD " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n" +
                                                        rawGet(target, "Connection: close\r\n"));
        const std::size_t headEnd = raw.find("\r\n\r\n");
        ASSERT_NE(headEnd, std::string::npos) << raw;
        const std::string headReply = raw.substr(0, headEnd + 4);
        const std::string getReply = raw.substr(headEnd + 4);
        const std::size_t closeLine = getReply.find("Connection: close\r\n");
        ASSERT_NE(closeLine, std::string::npos) << raw;
        EXPECT_EQ(headReply, getReply.substr(0, closeLine) + "\r\n") << target;
        EXPECT_EQ(headReply.rfind(target == "/connectedFiles" ? "HTTP/1.1 200 OK" : "HTTP/1.1 404 Not Found", 0), 0u);
    }
    // Close codes no endpoint may send are answered 1002; valid ones are echoed.
    const std::pair<std::uint16_t, std::uint16_t> closes[] = {
        {5000, 1002}, {65535, 1002}, {1005, 1002}, {1015, 1002}, {999, 1002}, {4000, 4000}, {1000, 1000},
    };
    for (const auto& [sent, expected] : closes) {
        asio::io_context context;
        boost::beast::websocket::stream<tcp::socket> ws(connectRaw(context, port()));
        ws.handshake("127.0.0.1", "/ws");
        boost::system::error_code error;
        ws.close(boost::beast::websocket::close_reason(sent), error);
        EXPECT_EQ(ws.reason().code, expected) << sent << ": " << error.message();
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, ListensOnTheLoopbackAddressOnly) {
    // All of 127.0.0.0/8 reaches this machine, so a wildcard bind would accept on 127.0.0.2 too.
    std::vector<asio::ip::address> others{asio::ip::make_address("127.0.0.2")};
    ifaddrs* interfaces = nullptr;
    ASSERT_EQ(getifaddrs(&interfaces), 0);
    for (ifaddrs* it = interfaces; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        asio::ip::address_v4 address(ntohl(reinterpret_cast<sockaddr_in*>(it->ifa_addr)->sin_addr.s_addr));
        if (!address.is_loopback()) others.emplace_back(address);
    }
    freeifaddrs(interfaces);
    for (const auto& address : others) {
        asio::io_context context;
        boost::system::error_code error;
        connectRaw(context, port(), error, address);
        EXPECT_EQ(error, asio::error::connection_refused) << address.to_string();
    }
}

// A bridge with small transport limits, set per suite.
class LimitedBridge : public BridgeFixture {
protected:
    explicit LimitedBridge(const std::function<void(transport::HttpLimits&)>& set) : BridgeFixture(options(set)) {}
    static HttpServer::Options options(const std::function<void(transport::HttpLimits&)>& set) {
        HttpServer::Options options;
        set(options.httpLimits);
        return options;
    }
};

class IdleConnections : public LimitedBridge {
protected:
    IdleConnections() : LimitedBridge([](transport::HttpLimits& limits) { limits.idleTimeout = 200ms; }) {}
};

TEST_F(IdleConnections, KeptAliveAndStalledConnectionsAreClosedOnceIdlePastTheLimitButWebviewersStay) {
    auto webviewer = connectWebviewer("Sales");
    HttpClient keptAlive(port());
    EXPECT_EQ(keptAlive.get("/health").status, 200);
    HttpClient halfHeader(port());
    halfHeader.sendRaw("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    HttpClient halfBody(port());
    halfBody.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{");
    EXPECT_TRUE(keptAlive.closedByServer(5000ms));
    EXPECT_TRUE(halfHeader.closedByServer(5000ms));
    EXPECT_TRUE(halfBody.closedByServer(5000ms));
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Sales"])");
}

TEST_F(IdleConnections, ALargeReplyToACallHeldPastTheLimitReachesItsReaderWhoTakesItPieceByPiece) {
    auto webviewer = connectWebviewer("Sales");
    asio::io_context context;
    tcp::socket socket(context);
    socket.open(tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(16 * 1024));  // the reply must trickle
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port())});
    asio::write(socket, asio::buffer(rawPost("/callScript", R"({"connectedFileName":"Sales","scriptName":"Big"})")));
    const auto call = receiveForwardedCall(*webviewer);
    // A connection that went idle after the call has been closed: the call has waited past the
    // limit, so only the reply's own progress keeps its connection from counting as idle.
    HttpClient idle(port());
    ASSERT_EQ(idle.get("/health").status, 200);
    ASSERT_TRUE(idle.closedByServer(5000ms));
    const std::string result(15 * 1024 * 1024, 'x');  // the bridge sees its progress about every MiB
    sendResult(*webviewer, result, call.fetchId);

    // The reader takes the reply piece by piece, two round trips through the bridge after each, so
    // that the reply takes several limits to read but its connection never stands still for one.
    std::optional<HttpClient> pacer;  // made once the reply has begun: until then it would idle
    std::string received;
    std::vector<char> chunk(64 * 1024);
    boost::system::error_code error;
    while (!error && received.size() < result.size() + 40 && received.find("\"}", result.size()) == std::string::npos) {
        received.append(chunk.data(), socket.read_some(asio::buffer(chunk), error));
        if (!pacer) pacer.emplace(port());
        pacer->get("/health");
        pacer->get("/health");
    }
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(received.rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_NE(received.find("\"result\":\"" + result + "\"}"), std::string::npos) << received.size() << " bytes received";
}

class SlowClients : public LimitedBridge {
protected:
    SlowClients() : LimitedBridge([](transport::HttpLimits& limits) {
        limits.headTimeout = 200ms;
        limits.bodyTimeout = 200ms;
    }) {}
};

// Sends one byte at a time, each well within the idle limit, until the server closes.
bool trickledUntilClosed(HttpClient& client, const std::string& byte) {
    for (int sent = 0; sent < 400; ++sent) {
        try {
            client.sendRaw(byte);
        } catch (const boost::system::system_error&) {
            return true;
        }
        if (client.closedByServer(25ms)) return true;
    }
    return false;
}

TEST_F(SlowClients, ClientsTricklingAHeadOrABodyAreClosedAtTheDeadlineAndTheBridgeStillServes) {
    const std::pair<const char*, std::string> cases[] = {
        {"head", "GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: "},
        {"body", "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 1000\r\n\r\n{\"a\":\""},
        {"chunked body", chunked("1000\r\n")},
    };
    for (const auto& [name, start] : cases) {
        HttpClient client(port());
        client.sendRaw(start);
        EXPECT_TRUE(trickledUntilClosed(client, "x")) << name;
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    HttpClient keptAlive(port());  // a kept-alive connection between requests has no deadline
    EXPECT_EQ(keptAlive.get("/health").status, 200);
    EXPECT_FALSE(keptAlive.closedByServer(500ms));
    EXPECT_EQ(keptAlive.get("/health").status, 200);
}

class ConnectionCap : public LimitedBridge {
protected:
    ConnectionCap() : LimitedBridge([](transport::HttpLimits& limits) { limits.maxConnections = 4; }) {}
};

TEST_F(ConnectionCap, OverTheCapTheIdleLongestIsClosedOrWhenNoneIsIdleTheNewcomerIsRefused) {
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(std::make_unique<HttpClient>(port()));
        EXPECT_EQ(clients.back()->get("/health").status, 200);
    }
    // All four are idle: the newcomer is served, and one of them is closed for it.
    auto newcomer = std::make_unique<HttpClient>(port());
    EXPECT_EQ(newcomer->get("/health").status, 200);
    std::size_t closed = 0;
    for (auto& client : clients) {
        if (client->closedByServer(100ms)) {
            client = std::move(newcomer);
            ++closed;
        }
    }
    ASSERT_EQ(closed, 1u);

    // None is idle while each is in the middle of a request: the newcomer is refused.
    for (auto& client : clients) client->sendRaw("GET /connectedFiles HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    HttpClient refused(port());
    auto reply = refused.readReply();
    expectJsonReply(reply, "503 Service Unavailable", R"({"error":"Too many connections."})");
    EXPECT_EQ(reply.headers["connection"], "close");
    EXPECT_TRUE(refused.closedByServer());
    refused.close();
    for (auto& client : clients) {
        client->sendRaw("\r\n");
        EXPECT_EQ(client->readReply().body, "[]");
    }
}

class BodyBytesCap : public LimitedBridge {
protected:
    BodyBytesCap() : LimitedBridge([](transport::HttpLimits& limits) { limits.maxBodyBytesInFlight = 1000; }) {}
};

TEST_F(BodyBytesCap, BodiesTakingTheTotalOverTheCapAreRefusedUntilTheHeldOnesAreHandedOn) {
    auto postHead = [](const std::string& framing) {
        return "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n" + framing + "\r\n\r\n";
    };
    // 800 bytes declared and held while their body trickles in ("100 Continue": counted).
    HttpClient holder(port());
    holder.sendRaw(postHead("Content-Length: 800"));
    ASSERT_EQ(holder.readReply().statusLine, "100 Continue");

    const std::pair<const char*, std::string> over[] = {
        {"declared", postHead("Content-Length: 300")},
        {"chunked", postHead("Transfer-Encoding: chunked") + "96\r\n" + std::string(150, 'x') + "\r\n64\r\n" + std::string(100, 'x') + "\r\n"},
    };
    for (const auto& [name, request] : over) {
        HttpClient client(port());
        client.sendRaw(request);
        auto reply = client.readReply();
        if (reply.status == 100) reply = client.readReply();  // the chunked body is counted as it comes
        expectJsonReply(reply, "503 Service Unavailable", R"({"error":"Server busy: too much request data at once."})");
        EXPECT_EQ(reply.headers["connection"], "close") << name;
        EXPECT_TRUE(client.closedByServer()) << name;
    }
    holder.sendRaw(std::string(800, ' '));
    EXPECT_EQ(holder.readReply().statusLine, "400 Bad Request");  // the body reached the route
    EXPECT_EQ(httpPost(port(), "/callScript", std::string(900, ' ')).statusLine, "400 Bad Request");
}

}  // namespace
}  // namespace Lumenbox::testing
