#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/mcp/Endpoint.h"
#include "tools/mcp/EventStream.h"
#include "tools/mcp/Lines.h"
#include "tools/mcp/MessageHeaders.h"

namespace Lumenbox::mcpstdio {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using nlohmann::json;

TEST(RelayHeaders, TheGenerationComesFromTheMessageAndDecidesWhichHeadersTravelWithIt) {
    const LegacySession none, session{"s-1", "2025-06-18"};
    const json modernCall = json::parse(R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"run_script",
        "_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})");
    const json modernList = json::parse(R"({"jsonrpc":"2.0","id":2,"method":"tools/list",
        "params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})");
    const json oddName = json::parse(R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"caf\u00e9 ",
        "_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}}})");
    const json legacyCall = json::parse(R"({"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"run_script"}})");
    const json notMeta = json::parse(R"({"jsonrpc":"2.0","method":"ping","params":{"_meta":{"progressToken":1}}})");
    struct Case {
        const json& message;
        const LegacySession& session;
        std::string lumenboxSession;
        bool modern;
        Headers headers;
    };
    for (const auto& [message, legacy, lumenbox, modern, headers] : std::initializer_list<Case>{
             {modernCall, session, "", true,
              {{"MCP-Protocol-Version", "2026-07-28"}, {"Mcp-Method", "tools/call"}, {"Mcp-Name", "run_script"}}},
             {modernList, none, "agent-7", true,
              {{"MCP-Protocol-Version", "2026-07-28"}, {"Mcp-Method", "tools/list"}, {"x-lumenbox-session", "agent-7"}}},
             {oddName, none, "", true,
              {{"MCP-Protocol-Version", "2026-07-28"}, {"Mcp-Method", "tools/call"}, {"Mcp-Name", "=?base64?Y2Fmw6kg?="}}},
             {legacyCall, session, "agent-7", false,
              {{"Mcp-Session-Id", "s-1"}, {"MCP-Protocol-Version", "2025-06-18"}, {"x-lumenbox-session", "agent-7"}}},
             {legacyCall, none, "", false, {}},
             {notMeta, none, "", false, {}},
         }) {
        const Routing routing = routeMessage(message, legacy, lumenbox);
        EXPECT_EQ(routing.modern, modern) << message;
        EXPECT_EQ(routing.headers, headers) << message;
    }
}

TEST(RelayHeaders, AValueThatIsNotHeaderSafeTravelsAsBase64OfItsBytes) {
    for (const auto& [bytes, encoded] : std::initializer_list<std::pair<std::string, std::string>>{
             {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"foobar", "Zm9vYmFy"},
             {std::string("\xff\xfe\0", 3), "//4A"}}) {
        EXPECT_EQ(base64(bytes), encoded) << bytes;
    }
    for (const auto& [value, header] : std::initializer_list<std::pair<std::string, std::string>>{
             {"run_script", "run_script"}, {"a b", "a b"}, {"", ""}, {" a", "=?base64?IGE=?="}, {"a\t", "=?base64?YQk=?="},
             {"line\nbreak", "=?base64?bGluZQpicmVhaw==?="}, {"=?base64?YQ==?=", "=?base64?PT9iYXNlNjQ/WVE9PT89?="}}) {
        EXPECT_EQ(headerValue(value), header) << value;
    }
}

TEST(EventStream, MessagesComeOutWholeHoweverTheBytesAreCutAndWhateverTheLineEnds) {
    const std::string stream =
        ": keep-alive\n\n"
        "event: message\r\ndata: {\"a\":1}\r\n\r\n"
        "id: 7\rretry: 100\rdata:{\"b\":\rdata:  2}\r\r"
        "event: other\ndata: {\"skipped\":true}\n\n"
        "data: {\"c\":3}\n\n"
        "data: {\"unfinished\":true}\n";
    const auto expected = ElementsAre("{\"a\":1}", "{\"b\":\n 2}", "{\"c\":3}");
    EXPECT_THAT(EventStreamReader().feed(stream), expected);
    EventStreamReader byteByByte;
    std::vector<std::string> messages;
    for (char c : stream) {
        for (auto& message : byteByByte.feed(std::string_view(&c, 1))) messages.push_back(message);
    }
    EXPECT_THAT(messages, expected);
}

TEST(StandardInput, LinesAreCutAtNewlinesAcrossChunksWithoutCarriageReturnsOrBlankLines) {
    LineSplitter splitter;
    EXPECT_THAT(splitter.feed("{\"a\":"), IsEmpty());
    EXPECT_THAT(splitter.feed("1}\r\n\n  \r\n{\"b\":2}\n{\"c\""), ElementsAre("{\"a\":1}", "{\"b\":2}"));
    EXPECT_THAT(splitter.feed(":3}"), IsEmpty());
    EXPECT_THAT(splitter.feed("\n"), ElementsAre("{\"c\":3}"));
    EXPECT_EQ(asOneLine("{\r\n  \"a\": \"x\\ny\"\n}"), "{  \"a\": \"x\\ny\"}");
}

TEST(Endpoint, OnlyPlainHttpUrlsAreTakenAndTheirPartsSplitForTheRequest) {
    struct Case {
        std::string url;
        std::optional<std::tuple<std::string, std::string, std::string, std::string>> parts;  // host, port, target, Host
    };
    for (const auto& [url, parts] : std::initializer_list<Case>{
             {"http://127.0.0.1:1365/mcp", std::tuple{"127.0.0.1", "1365", "/mcp", "127.0.0.1:1365"}},
             {"HTTP://localhost/mcp?x=1#frag", std::tuple{"localhost", "80", "/mcp?x=1", "localhost"}},
             {"http://[::1]:9", std::tuple{"::1", "9", "/", "[::1]:9"}},
             {"https://127.0.0.1/mcp", std::nullopt}, {"127.0.0.1:1365/mcp", std::nullopt},
             {"http://user@127.0.0.1/mcp", std::nullopt}, {"http://127.0.0.1:99999/", std::nullopt},
             {"http://127.0.0.1:/", std::nullopt}, {"http://:80/", std::nullopt}, {"http://[::1/", std::nullopt}}) {
        const auto endpoint = parseEndpoint(url);
        ASSERT_EQ(endpoint.has_value(), parts.has_value()) << url;
        if (endpoint) {
            EXPECT_EQ(std::tie(endpoint->host, endpoint->port, endpoint->target, endpoint->hostHeader), *parts) << url;
        }
    }
}

}  // namespace
}  // namespace Lumenbox::mcpstdio
