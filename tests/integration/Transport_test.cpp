#include <ifaddrs.h>
#include <netinet/in.h>

#include <thread>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/websocket.hpp>

#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

namespace asio = boost::asio;

using Transport = BridgeFixture;

constexpr const char* kNotFoundBody = R"({"error":"Not found."})";
constexpr std::size_t kMaxBody = 16 * 1024 * 1024;

std::string rawGet(const std::string& target, const std::string& extraHeaders = {}) {
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + extraHeaders + "\r\n";
}

std::string healthBodyPrefix() { return R"({"fileMaker":)"; }

// The fetch id that a script call forwarded to a web viewer carries in its parameter.
std::string fetchIdOf(const nlohmann::json& callScriptMessage) {
    return nlohmann::json::parse(callScriptMessage.at("param").get<std::string>()).at("callback").at("fetchId");
}

void expectJsonError(const HttpReply& reply, const std::string& statusLine) {
    EXPECT_EQ(reply.statusLine, statusLine);
    EXPECT_EQ(reply.headers.count("content-type") ? reply.headers.at("content-type") : "", "application/json");
    auto body = nlohmann::json::parse(reply.body, nullptr, false);
    ASSERT_TRUE(body.is_object()) << reply.body;
    ASSERT_TRUE(body.contains("error")) << reply.body;
    EXPECT_TRUE(body["error"].is_string());
    EXPECT_FALSE(body["error"].get<std::string>().empty());
}

// Connects without HttpClient so that a refusal is an error code rather than an exception.
boost::system::error_code tryConnect(const asio::ip::address& address, int port) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    boost::system::error_code error;
    socket.connect({address, static_cast<unsigned short>(port)}, error);
    return error;
}

TEST_F(Transport, UnknownPathsAndMethodsGetNotFoundAndKeepTheConnection) {
    HttpClient client(port());
    const std::pair<const char*, const char*> requests[] = {
        {"GET", "/nope"},      {"GET", "/health/"},       {"GET", "/Health"},     {"POST", "/health"},
        {"DELETE", "/health"}, {"PUT", "/connectedFiles"}, {"GET", "/callScript"}, {"OPTIONS", "*"},
    };
    for (const auto& [method, target] : requests) {
        auto reply = client.request(method, target);
        EXPECT_EQ(reply.statusLine, "404 Not Found") << method << " " << target;
        EXPECT_EQ(reply.headers["content-type"], "application/json") << method << " " << target;
        EXPECT_EQ(reply.body, kNotFoundBody) << method << " " << target;
    }
    // A method the HTTP grammar allows but nobody defines.
    client.sendRaw("FROBNICATE /health HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    EXPECT_EQ(client.readReply().body, kNotFoundBody);
    EXPECT_EQ(client.get("/health").status, 200);
}

TEST_F(Transport, KeepAliveServesManyRequestsOnOneConnection) {
    HttpClient client(port());
    for (int i = 0; i < 5; ++i) {
        auto health = client.get("/health");
        EXPECT_EQ(health.status, 200);
        EXPECT_EQ(health.headers.count("connection"), 0u);
        EXPECT_EQ(client.get("/missing").status, 404);
        // A refusal by a route is no reason to close either.
        EXPECT_EQ(client.post("/callScript", "not json").statusLine, "400 Bad Request");
    }
    EXPECT_FALSE(client.closedByServer(50ms));
}

TEST_F(Transport, PipelinedRequestsAreAnsweredInOrder) {
    HttpClient client(port());
    client.sendRaw(rawGet("/missing") + rawGet("/health") + rawGet("/connectedFiles"));
    EXPECT_EQ(client.readReply().body, kNotFoundBody);
    EXPECT_EQ(client.readReply().body.rfind(healthBodyPrefix(), 0), 0u);
    EXPECT_EQ(client.readReply().body, "[]");
}

TEST_F(Transport, RequestPipelinedBehindAHeldResponseWaitsForIt) {
    auto webviewer = connectWebviewer("Sales");
    HttpClient client(port());
    const std::string callBody = R"({"connectedFileName":"Sales","scriptName":"Slow"})";
    client.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
                   "Content-Length: " + std::to_string(callBody.size()) + "\r\n\r\n" + callBody + rawGet("/health"));

    auto call = webviewer->receiveJson();
    ASSERT_EQ(call["type"], "callScript");
    webviewer->sendJson({{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"done", fetchIdOf(call)}}});

    auto first = client.readReply();
    EXPECT_EQ(first.status, 200);
    EXPECT_NE(first.body.find("done"), std::string::npos) << first.body;
    auto second = client.readReply();
    EXPECT_EQ(second.status, 200);
    EXPECT_EQ(second.body.rfind(healthBodyPrefix(), 0), 0u) << second.body;
}

TEST_F(Transport, ConnectionCloseIsHonouredAndLaterPipelinedRequestsDropped) {
    HttpClient client(port());
    client.sendRaw(rawGet("/health", "Connection: close\r\n") + rawGet("/health"));
    auto reply = client.readReply();
    EXPECT_EQ(reply.status, 200);
    EXPECT_EQ(reply.headers["connection"], "close");
    EXPECT_EQ(client.readReply().status, 0);
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(Transport, Http10ClosesUnlessItAsksForKeepAlive) {
    {
        HttpClient client(port());
        client.sendRaw("GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        EXPECT_EQ(client.readReply().status, 200);
        EXPECT_TRUE(client.closedByServer());
    }
    HttpClient client(port());
    client.sendRaw("GET /health HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(client.readReply().status, 200);
    client.sendRaw("GET /connectedFiles HTTP/1.0\r\nHost: 127.0.0.1\r\nConnection: keep-alive\r\n\r\n");
    EXPECT_EQ(client.readReply().body, "[]");
}

TEST_F(Transport, MalformedRequestsGetBadRequestAndClose) {
    for (const std::string& raw : {std::string("NOT A REQUEST\r\n\r\n"), std::string("GET /health HTTP/1.1 x\r\n\r\n"),
                                  std::string("GET /health HTTP/1.1\r\nBad Header Line\r\n\r\n"),
                                  std::string("\x01\x02\x03\r\n\r\n")}) {
        HttpClient client(port());
        client.sendRaw(raw + rawGet("/health"));
        expectJsonError(client.readReply(), "400 Bad Request");
        EXPECT_EQ(client.readReply().status, 0) << "answered a request after a malformed one";
        EXPECT_TRUE(client.closedByServer());
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, HeadersOverEightKibGetTooLargeAndClose) {
    HttpClient fits(port());
    fits.sendRaw(rawGet("/health", "X-Padding: " + std::string(7 * 1024, 'a') + "\r\n"));
    EXPECT_EQ(fits.readReply().status, 200);

    HttpClient client(port());
    client.sendRaw(rawGet("/health", "X-Padding: " + std::string(9 * 1024, 'a') + "\r\n"));
    auto reply = client.readReply();
    expectJsonError(reply, "431 Request Header Fields Too Large");
    EXPECT_EQ(reply.headers["connection"], "close");
    EXPECT_TRUE(client.closedByServer());
}

TEST_F(Transport, BodyOfTheLimitReachesTheRouteAndAnAnnouncedLargerOneGetsPayloadTooLargeAndClose) {
    HttpClient exact(port());
    auto reply = exact.post("/callScript", std::string(kMaxBody, ' '));
    EXPECT_EQ(reply.statusLine, "400 Bad Request");
    EXPECT_EQ(reply.body, R"({"error":"Invalid JSON body."})");
    EXPECT_EQ(exact.get("/health").status, 200);

    HttpClient client(port());
    client.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                   std::to_string(kMaxBody + 1) + "\r\n\r\n{}");
    reply = client.readReply();
    expectJsonError(reply, "413 Payload Too Large");
    EXPECT_EQ(reply.headers["connection"], "close");
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, StreamedBodyOverTheLimitGetsPayloadTooLargeAndClose) {
    HttpClient client(port());
    client.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    const std::size_t chunkSize = 1024 * 1024;
    const std::string chunk = "100000\r\n" + std::string(chunkSize, 'x') + "\r\n";
    for (std::size_t sent = 0; sent <= kMaxBody; sent += chunkSize) client.sendRaw(chunk);
    client.sendRaw("0\r\n\r\n");
    expectJsonError(client.readReply(), "413 Payload Too Large");
    EXPECT_TRUE(client.closedByServer());
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, ExpectContinueIsGrantedBeforeTheBody) {
    HttpClient client(port());
    client.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(client.readReply().statusLine, "100 Continue");
    client.sendRaw("{x}");
    EXPECT_EQ(client.readReply().body, R"({"error":"Invalid JSON body."})");
}

TEST_F(Transport, QueryParametersAreDecodedBeforeRoutesSeeThem) {
    auto webviewer = connectWebviewer("Sales");
    const std::string body = R"({"connectedFileName":"Sales","scriptName":"Never answered"})";
    // The escaped "&" and "=" of the first value must not yield a second "timeout".
    auto reply = httpPost(port(), "/callScript?note=a%26timeout%3D1&time%6Fut=%32%35", body);
    EXPECT_EQ(reply.status, 502);
    EXPECT_EQ(reply.json()["timeoutMs"], 25) << reply.body;

    EXPECT_EQ(httpPost(port(), "/callScript?timeout=2+5", body).statusLine, "400 Bad Request");  // "2 5"
}

TEST_F(Transport, WebSocketUpgradeWorksOnAnyPath) {
    for (const char* path : {"/", "/health", "/some/deep/path?x=1"}) {
        WsClient client(port(), path);
        client.registerAs(std::string("File ") + path, "webviewer");
        EXPECT_EQ(client.receiveJson()["type"], "status") << path;
    }
}

TEST_F(Transport, ClientThatLeavesMidRequestDoesNotDisturbTheServer) {
    {
        HttpClient halfHeader(port());
        halfHeader.sendRaw("GET /health HTTP/1.1\r\nHost: 127.0.");
    }
    {
        HttpClient halfBody(port());
        halfBody.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{\"connected");
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);

    // A client that leaves while its script call waits: the web viewer's late answer goes nowhere.
    auto webviewer = connectWebviewer("Sales");
    auto waiting = std::make_unique<HttpClient>(port());
    const std::string callBody = R"({"connectedFileName":"Sales","scriptName":"Slow"})";
    waiting->sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                     std::to_string(callBody.size()) + "\r\n\r\n" + callBody);
    auto call = webviewer->receiveJson();
    ASSERT_EQ(call["type"], "callScript");
    waiting.reset();
    webviewer->sendJson({{"type", "callback"}, {"fn", "handleFMCallback"}, {"args", {"late", fetchIdOf(call)}}});
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Sales"])");
}

// The same bridge with a short idle limit for HTTP connections.
class IdleConnections : public BridgeFixture {
protected:
    IdleConnections() : BridgeFixture(shortIdleLimit()) {}
    static HttpServer::Options shortIdleLimit() {
        HttpServer::Options options;
        options.httpLimits.idleTimeout = 200ms;
        return options;
    }
};

TEST_F(IdleConnections, KeptAliveAndStalledConnectionsAreClosedOnceIdlePastTheLimit) {
    HttpClient keptAlive(port());
    EXPECT_EQ(keptAlive.get("/health").status, 200);
    HttpClient halfHeader(port());
    halfHeader.sendRaw("GET /health HTTP/1.1\r\nHost: 127.0.0.1\r\n");
    HttpClient halfBody(port());
    halfBody.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 100\r\n\r\n{");
    EXPECT_TRUE(keptAlive.closedByServer(5000ms));
    EXPECT_TRUE(halfHeader.closedByServer(5000ms));
    EXPECT_TRUE(halfBody.closedByServer(5000ms));
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(IdleConnections, AScriptCallWaitingPastTheLimitIsStillAnsweredAndWebViewersStayConnected) {
    auto webviewer = connectWebviewer("Sales");
    HttpClient client(port());
    auto reply = client.post("/callScript?timeout=1000", R"({"connectedFileName":"Sales","scriptName":"Slow"})");
    EXPECT_EQ(reply.statusLine, "502 Bad Gateway");
    EXPECT_EQ(reply.json()["code"], "script_timeout") << reply.body;
    EXPECT_EQ(webviewer->receiveJson()["type"], "callScript");
    EXPECT_EQ(httpGet(port(), "/connectedFiles").body, R"(["Sales"])");
}

TEST_F(IdleConnections, ALargeReplyReachesASlowReaderThatTakesLongerThanTheLimit) {
    auto webviewer = connectWebviewer("Sales");
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    socket.open(asio::ip::tcp::v4());
    socket.set_option(asio::socket_base::receive_buffer_size(16 * 1024));  // the reply must trickle
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port())});
    const std::string body = R"({"connectedFileName":"Sales","scriptName":"Big"})";
    asio::write(socket, asio::buffer("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                                     std::to_string(body.size()) + "\r\n\r\n" + body));
    const std::string result(10 * 1024 * 1024, 'x');
    sendResult(*webviewer, result, receiveForwardedCall(*webviewer).fetchId);

    // Paced reading: the whole transfer takes several idle limits, but the socket never stands
    // still for one, so the connection is not idle.
    std::string received;
    std::vector<char> chunk(64 * 1024);
    boost::system::error_code error;
    while (!error && received.size() < result.size() + 40 && received.find("\"}", result.size()) == std::string::npos) {
        received.append(chunk.data(), socket.read_some(asio::buffer(chunk), error));
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_FALSE(error) << error.message();
    EXPECT_EQ(received.rfind("HTTP/1.1 200 OK", 0), 0u);
    EXPECT_NE(received.find("\"result\":\"" + result + "\"}"), std::string::npos) << received.size() << " bytes received";
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
        {"chunked body", "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n"},
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
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

class BodyBytesCap : public LimitedBridge {
protected:
    BodyBytesCap() : LimitedBridge([](transport::HttpLimits& limits) { limits.maxBodyBytesInFlight = 1000; }) {}
};

std::string postHead(const std::string& framing) {
    return "POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nExpect: 100-continue\r\n" + framing + "\r\n\r\n";
}

TEST_F(BodyBytesCap, BodiesTakingTheTotalOverTheCapAreRefusedUntilTheHeldOnesAreHandedOn) {
    // 800 bytes declared and held while their body trickles in ("100 Continue": counted).
    HttpClient holder(port());
    holder.sendRaw(postHead("Content-Length: 800"));
    ASSERT_EQ(holder.readReply().statusLine, "100 Continue");

    const std::pair<const char*, std::string> over[] = {
        {"declared", postHead("Content-Length: 300")},
        {"chunked", postHead("Transfer-Encoding: chunked") + "96\r\n" + std::string(150, 'x') + "\r\n64\r\n" +
                        std::string(100, 'x') + "\r\n"},
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

// Sends the raw requests on a fresh connection (the last one asking to close) and returns all
// that comes back.
std::string exchangeRaw(int port, const std::string& requests) {
    asio::io_context context;
    asio::ip::tcp::socket socket(context);
    socket.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)});
    asio::write(socket, asio::buffer(requests));
    std::string received;
    char chunk[4096];
    boost::system::error_code error;
    while (!error) received.append(chunk, socket.read_some(asio::buffer(chunk), error));
    return received;
}

TEST_F(Transport, ProtocolNitsHeadHasNoBodyTrailersAreDroppedInvalidCloseCodesGetProtocolError) {
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

    // A trailer field never counts as a header: this Origin would be refused.
    HttpClient client(port());
    client.sendRaw("POST /callScript HTTP/1.1\r\nHost: 127.0.0.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                   "1\r\nx\r\n0\r\nOrigin: http://elsewhere.example\r\n\r\n");
    EXPECT_EQ(client.readReply().body, R"({"error":"Invalid JSON body."})");

    // Close codes no endpoint may send are answered 1002; valid ones are echoed.
    const std::pair<std::uint16_t, std::uint16_t> closes[] = {
        {5000, 1002}, {65535, 1002}, {1005, 1002}, {1015, 1002}, {999, 1002}, {4000, 4000}, {1000, 1000},
    };
    for (const auto& [sent, expected] : closes) {
        asio::io_context context;
        boost::beast::websocket::stream<asio::ip::tcp::socket> ws(context);
        ws.next_layer().connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port())});
        ws.handshake("127.0.0.1", "/ws");
        boost::system::error_code error;
        ws.close(boost::beast::websocket::close_reason(sent), error);
        EXPECT_EQ(ws.reason().code, expected) << sent << ": " << error.message();
    }
    EXPECT_EQ(httpGet(port(), "/health").status, 200);
}

TEST_F(Transport, ListensOnTheLoopbackAddressOnly) {
    // All of 127.0.0.0/8 reaches this machine, so a wildcard bind would accept on 127.0.0.2 too.
    EXPECT_EQ(tryConnect(asio::ip::make_address("127.0.0.2"), port()), asio::error::connection_refused);

    std::vector<asio::ip::address> others;
    ifaddrs* interfaces = nullptr;
    ASSERT_EQ(getifaddrs(&interfaces), 0);
    for (ifaddrs* it = interfaces; it; it = it->ifa_next) {
        if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET) continue;
        auto* in = reinterpret_cast<sockaddr_in*>(it->ifa_addr);
        asio::ip::address_v4 address(ntohl(in->sin_addr.s_addr));
        if (!address.is_loopback()) others.emplace_back(address);
    }
    freeifaddrs(interfaces);
    if (others.empty()) GTEST_SKIP() << "this machine has no address besides loopback";
    for (const auto& address : others) {
        EXPECT_EQ(tryConnect(address, port()), asio::error::connection_refused) << address.to_string();
    }
}

}  // namespace
}  // namespace Lumenbox::testing
