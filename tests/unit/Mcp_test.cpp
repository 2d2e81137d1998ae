// The agents' endpoint without sockets: which generation a POST belongs to and how it is refused,
// the tools' argument checks and text cut, and the legacy session table.
#include <gtest/gtest.h>

#include "mcp/McpRequest.h"
#include "mcp/McpSessions.h"
#include "mcp/McpTools.h"
#include "server/json/JsonBuilders.h"
#include "server/json/JsonText.h"
#include "support/FakeClock.h"

namespace Lumenbox::mcp {
namespace {

using Kind = PostDecision::Kind;

constexpr const char* kMeta = R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
                              R"("io.modelcontextprotocol/clientCapabilities":{}})";

std::string request(const std::string& method, const std::string& params = "{}", const std::string& id = "1") {
    return R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":")" + method + R"(","params":)" + params + "}";
}

PostHeaders modern(const std::string& method, std::optional<std::string> name = std::nullopt) {
    return {"application/json", std::nullopt, std::nullopt, "2026-07-28", method, std::move(name)};
}

TEST(McpDecision, EachPostIsRefusedOrPlacedInItsGenerationInTheDocumentedOrder) {
    const PostHeaders json{"application/json; charset=utf-8"};
    PostHeaders withSession = json;
    withSession.sessionId = "abc";
    PostHeaders badVersion = withSession;
    badVersion.protocolVersion = "banana";
    PostHeaders legacyVersion = withSession;
    legacyVersion.protocolVersion = "2024-11-05";
    PostHeaders futureVersion = withSession;  // a version that is not a legacy one: stateless, the session ignored
    futureVersion.protocolVersion = "2027-01-01";
    futureVersion.method = "tools/list";
    PostHeaders htmlOnly = json;
    htmlOnly.accept = "text/html, application/json;q=0";
    PostHeaders streamOnly = json;
    streamOnly.accept = "text/event-stream";
    const std::string tools = R"({"name":"list_files",)" + std::string(kMeta) + "}";
    const std::string metaParams = std::string("{") + kMeta + "}";
    const std::string futureMeta = R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2027-01-01","io.modelcontextprotocol/clientCapabilities":{}}})";
    const std::string oldMeta = R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2025-06-18","io.modelcontextprotocol/clientCapabilities":{}}})";

    struct Case {
        const char* what;
        PostHeaders headers;
        std::string body;
        Kind kind;
        std::optional<McpError> error;
        nlohmann::json id;
    };
    const Case cases[] = {
        {"no content type", {}, request("ping"), Kind::Refused, McpError::UnsupportedMediaType, nullptr},
        {"text", {"text/plain"}, request("ping"), Kind::Refused, McpError::UnsupportedMediaType, nullptr},
        {"accept refuses both", htmlOnly, request("ping"), Kind::Refused, McpError::NotAcceptable, nullptr},
        {"not json", json, "{", Kind::Refused, McpError::ParseError, nullptr},
        {"batch", json, "[" + request("ping") + "]", Kind::Refused, McpError::InvalidRequest, nullptr},
        {"scalar", json, "7", Kind::Refused, McpError::InvalidRequest, nullptr},
        {"no jsonrpc", json, R"({"id":4,"method":"ping"})", Kind::Refused, McpError::InvalidRequest, 4},
        {"method not a string", json, R"({"jsonrpc":"2.0","id":"x","method":3})", Kind::Refused, McpError::InvalidRequest, "x"},
        {"no session", json, request("tools/list"), Kind::Refused, McpError::SessionRequired, 1},
        {"initialize", json, request("initialize"), Kind::Handshake, std::nullopt, 1},
        {"initialize as notification", json, R"({"jsonrpc":"2.0","method":"initialize"})", Kind::Refused,
         McpError::SessionRequired, nullptr},
        {"session", withSession, request("tools/list"), Kind::Session, std::nullopt, 1},
        {"session, legacy version", legacyVersion, request("tools/list"), Kind::Session, std::nullopt, 1},
        {"session, bad version header", badVersion, request("tools/list"), Kind::Refused, McpError::BadVersionHeader, 1},
        {"stream only is accepted", streamOnly, request("initialize"), Kind::Handshake, std::nullopt, 1},
        {"modern", modern("server/discover"), request("server/discover", metaParams), Kind::Modern, std::nullopt, 1},
        {"modern tool, name header", modern("tools/call", "list_files"), request("tools/call", tools), Kind::Modern, std::nullopt, 1},
        {"modern tool, base64 name", modern("tools/call", "=?base64?bGlzdF9maWxlcw==?="), request("tools/call", tools),
         Kind::Modern, std::nullopt, 1},
        {"modern tool, other name", modern("tools/call", "run_script"), request("tools/call", tools), Kind::Refused,
         McpError::HeaderMismatch, 1},
        {"modern tool, no name", modern("tools/call"), request("tools/call", tools), Kind::Refused, McpError::HeaderMismatch, 1},
        {"_meta with a session", withSession, request("tools/list", metaParams), Kind::Refused, McpError::HeaderMismatch, 1},
        {"method header differs", modern("tools/list"), request("server/discover", metaParams), Kind::Refused,
         McpError::HeaderMismatch, 1},
        {"version header differs", modern("server/discover"), request("server/discover", oldMeta), Kind::Refused,
         McpError::HeaderMismatch, 1},
        {"header only, no _meta", modern("tools/list"), request("tools/list"), Kind::Refused, McpError::MissingMeta, 1},
        {"future version", futureVersion, request("tools/list", futureMeta), Kind::Refused, McpError::UnsupportedVersion, 1},
    };
    for (const Case& c : cases) {
        const PostDecision decision = decidePost(c.headers, c.body);
        EXPECT_EQ(decision.kind, c.kind) << c.what;
        if (c.error) {
            EXPECT_EQ(decision.error, *c.error) << c.what;
        }
        EXPECT_EQ(decision.id, c.id) << c.what;
    }
    const PostDecision future = decidePost(futureVersion, request("tools/list", futureMeta));
    EXPECT_EQ(errorMessage(future.error, future.id, future.detail, future.data).dump(),
              R"({"error":{"code":-32022,"data":{"requested":"2027-01-01","supported":["2026-07-28"]},)"
              R"("message":"Unsupported protocol version"},"id":1,"jsonrpc":"2.0"})");
    EXPECT_FALSE(decidePost(streamOnly, request("initialize")).allowsJson);
}

TEST(McpErrors, SessionErrorsKeepTheSessionAliveWhileStatelessOnesCarryTheirStatus) {
    const std::tuple<McpError, const char*, const char*, int> cases[] = {
        {McpError::MethodNotFound, "200 OK", "404 Not Found", -32601},
        {McpError::UnknownTool, "200 OK", "200 OK", -32602},
        {McpError::UnknownSession, "404 Not Found", "404 Not Found", -32001},
        {McpError::HeaderMismatch, "400 Bad Request", "400 Bad Request", -32020},
        {McpError::MissingMeta, "400 Bad Request", "400 Bad Request", -32602},
        {McpError::UnsupportedVersion, "400 Bad Request", "400 Bad Request", -32022},
        {McpError::ParseError, "400 Bad Request", "400 Bad Request", -32700},
        {McpError::InvalidRequest, "400 Bad Request", "400 Bad Request", -32600},
        {McpError::UnsupportedMediaType, "415 Unsupported Media Type", "415 Unsupported Media Type", -32600},
        {McpError::NotAcceptable, "406 Not Acceptable", "406 Not Acceptable", -32600},
        {McpError::SessionRequired, "400 Bad Request", "400 Bad Request", -32600},
        {McpError::BadVersionHeader, "400 Bad Request", "400 Bad Request", -32600},
    };
    for (const auto& [error, legacy, modern, code] : cases) {
        EXPECT_EQ(std::make_tuple(errorInfo(error).legacyStatus, errorInfo(error).modernStatus, errorInfo(error).code),
                  std::make_tuple(std::string_view(legacy), std::string_view(modern), code));
    }
}

TEST(McpTools, ArgumentsAreCheckedAndBadOnesExplainedInsteadOfRefusedAsErrors) {
    const std::pair<const char*, bool> runCases[] = {
        {R"({"fileName":"Invoices","scriptName":" Report "})", true},
        {R"({"fileName":"Invoices","scriptName":"Report","timeoutMs":2147483647})", true},
        {R"({"fileName":"Invoices","scriptName":"Report","timeoutMs":5.0})", true},
        {R"({"fileName":"Invoices","scriptName":"Report","timeoutMs":0})", false},
        {R"({"fileName":"Invoices","scriptName":"Report","timeoutMs":2147483648})", false},
        {R"({"fileName":"Invoices","scriptName":"Report","timeoutMs":1.5})", false},
        {R"({"fileName":"Invoices","scriptName":"Report","timeoutMs":"5"})", false},
        {R"({"fileName":"Invoices","scriptName":"  "})", false},
        {R"({"fileName":"  ","scriptName":"Report"})", false},
        {R"({"scriptName":"Report"})", false},
        {R"(["Invoices","Report"])", false},
    };
    for (const auto& [arguments, valid] : runCases) {
        auto read = readRunScriptArguments(nlohmann::json::parse(arguments));
        EXPECT_EQ(std::holds_alternative<RunScriptArguments>(read), valid) << arguments;
    }
    auto run = std::get<RunScriptArguments>(readRunScriptArguments(
        nlohmann::json::parse(R"({"fileName":" Invoices ","scriptName":" Report ","data":{"b":[1,2],"a":"é"}})")));
    EXPECT_EQ(std::make_tuple(run.fileName, run.scriptName, run.data, run.timeoutMs),
              std::make_tuple("Invoices", "Report", R"({"a":"é","b":[1,2]})", 30000));
    EXPECT_EQ(std::get<PingFileArguments>(readPingFileArguments(nlohmann::json::parse(R"({"fileName":"F"})"))).timeoutMs, 1500);
    for (const char* arguments : {R"({"fileName":"F","timeoutMs":5001})", "null", R"({"fileName":7})"}) {
        EXPECT_TRUE(std::holds_alternative<std::string>(readPingFileArguments(nlohmann::json::parse(arguments)))) << arguments;
    }
}

// The names, order and object schemas are what the clients' suites see; an array without "items"
// is one they accept but stricter validators refuse.
TEST(McpTools, EveryArrayInASchemaSaysWhatItsItemsAre) {
    for (const auto& tool : toolList()) {
        for (const auto& schema : {tool["inputSchema"], tool["outputSchema"]}) {
            for (const auto& [key, property] : schema["properties"].items()) {
                EXPECT_TRUE(property.value("type", "") != "array" || property.contains("items")) << key;
            }
        }
    }
}

TEST(McpTools, LongTextIsCutAtWholeCharactersWithANote) {
    EXPECT_EQ(cutText("abc", 3), "abc");
    const std::string cut = cutText("aé€😀b", 3);
    EXPECT_EQ(cut.substr(0, cut.find('\n')), "aé€");
    EXPECT_NE(cut.find("3 of 5 characters"), std::string::npos) << cut;
    const nlohmann::json big = {{"result", std::string(kMaxResultTextChars, 'x')}};
    const nlohmann::json message = nlohmann::json::parse(toolResultMessage(7, json::serialize(big), false));
    EXPECT_EQ(message["result"]["structuredContent"], big);
    EXPECT_LT(message["result"]["content"][0]["text"].get<std::string>().size(), kMaxResultTextChars + 200);
}

// The reply is written piece by piece: it must be what the serialiser writes for the same tree.
TEST(McpTools, ResultMessagesAreWhatTheSerialiserWritesForTheSameTree) {
    const nlohmann::json result = {{"a", "\"é\n\x01"}, {"n", {1.5, nullptr}}};
    const std::string content = runScriptContent("Invoices", "Report \"Q\"", "f-1", result);
    const nlohmann::json structured = {{"fileName", "Invoices"}, {"scriptName", "Report \"Q\""}, {"fetchId", "f-1"}, {"result", result}};
    EXPECT_EQ(content, json::serialize(structured));
    for (const bool stateless : {false, true}) {
        nlohmann::json tree = {{"content", {{{"type", "text"}, {"text", content}}}}, {"structuredContent", structured}};
        if (stateless) tree["resultType"] = "complete";
        for (const nlohmann::json& id : {nlohmann::json(3), nlohmann::json("x\"y")}) {
            EXPECT_EQ(toolResultMessage(id, content, stateless),
                      json::serialize({{"jsonrpc", "2.0"}, {"id", id}, {"result", tree}}));
        }
    }
}

// run_script hands the page its data as POST /callScript does: same bytes, the caller's member order.
TEST(McpDecision, RunScriptDataIsCapturedAsPostCallScriptWritesIt) {
    const char* cases[] = {
        R"({"zeta":1,"alpha":{"y":1,"b":2}})", R"([1.0,2.50,-0,1e3,"éA",{"k":1,"k":2}])", R"("text")", "null",
        R"({"data":{"data":3}})",
    };
    for (const std::string data : cases) {
        const PostDecision decision = decidePost(
            modern("tools/call", "run_script"),
            request("tools/call", R"({"name":"run_script","arguments":{"fileName":"F","data":)" + data +
                                      R"(,"scriptName":"S"},)" + kMeta + "}"));
        ASSERT_EQ(decision.kind, Kind::Modern) << data;
        const auto body = json::parseCallScriptRequest(R"({"connectedFileName":"F","scriptName":"S","data":)" + data + "}");
        EXPECT_EQ(decision.argumentsData, body.data) << data;
        auto read = readRunScriptArguments(decision.message["params"]["arguments"], decision.argumentsData);
        EXPECT_EQ(std::get<RunScriptArguments>(read).data, body.data);
    }
    // Only that path is taken out of the tree; a data elsewhere stays in it.
    const PostDecision other = decidePost(modern("tools/list"), request("tools/list", R"({"data":{"b":1,"a":2},)" + std::string(kMeta) + "}"));
    EXPECT_TRUE(other.argumentsData.empty());
    EXPECT_EQ(other.message["params"]["data"]["a"], 2);
}

TEST(McpSessions, IdleSessionsEndAfterAnHourAndTheCapEndsTheOneIdleLongest) {
    testing::FakeClock clock;
    McpSessions sessions(clock);
    const std::string first = sessions.open({"2025-06-18", "a", "1", {}});
    EXPECT_GE(first.size(), 32u);  // at least 128 random bits, in hex
    clock.advance(std::chrono::minutes(59));
    ASSERT_NE(sessions.use(first), nullptr);  // use restarts the idle hour
    clock.advance(std::chrono::minutes(59));
    EXPECT_NE(sessions.use(first), nullptr);
    clock.advance(McpSessions::kIdleLimit);
    EXPECT_EQ(sessions.use(first), nullptr);

    std::vector<std::string> ids;
    for (std::size_t i = 0; i < McpSessions::kMaxSessions; ++i) {
        ids.push_back(sessions.open({}));
        clock.advance(std::chrono::seconds(1));
    }
    sessions.use(ids[0]);  // now the second is idle longest
    std::string ended;
    const std::string newest = sessions.open({}, &ended);
    EXPECT_EQ(ended, ids[1]);
    EXPECT_EQ(sessions.size(), McpSessions::kMaxSessions);
    EXPECT_NE(newest, ids[1]);
    EXPECT_TRUE(sessions.end(newest));
    EXPECT_FALSE(sessions.end(newest));
}

}  // namespace
}  // namespace Lumenbox::mcp
