#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "webviewer/MessageDispatch.h"
#include "webviewer/WebviewerRegistry.h"

namespace Lumenbox {
namespace {

// Four page connections without sockets; what the registry sends and tells is recorded.
struct Pages {
    bool enhancedSecurity = false;
    WebSocketConnection page[4];
    std::vector<std::string> sent[4];
    std::string told;  // "left A/1 closed 1 ..." in order
    WebviewerRegistry registry{{
        .send = [this](WebSocketConnection* ws, std::string_view text) {
            return sent[ws - page].emplace_back(text), transport::SendStatus::Sent;
        },
        .enhancedSecurity = [this] { return enhancedSecurity; },
        .showsConnectorKey = [](const std::string& fileName, std::string_view key) { return fileName == "A" && key == "good"; },
        .webviewerLeft = [this](const std::string& fileName, WebSocketConnection* ws) {
            told += "left " + fileName + "/" + std::to_string(ws - page) + " ";
        },
        .connectionClosed = [this](WebSocketConnection* ws) { told += "closed " + std::to_string(ws - page) + " "; },
    }};

    void join(int i, const nlohmann::json& message) { registry.handleRegister(&page[i], message); }
    void webviewer(int i, const std::string& file, const std::string& key = "") {
        join(i, {{"type", "register"}, {"role", "webviewer"}, {"fileName", file}, {"key", key}});
    }
    void agent(int i, const std::string& file) { join(i, {{"type", "register"}, {"role", "agent-browser"}, {"fileName", file}}); }
    void close(int i) { registry.handleClose(&page[i]); }

    std::string who(WebSocketConnection* ws) const { return ws ? std::to_string(ws - page) : "-"; }
    // "A=0/- B=-/1": each file's web viewer and agent browser, then what the hooks were told.
    std::string state() const {
        std::string out;
        for (const auto& file : registry.files())
            out += file.fileName + "=" + who(registry.webviewerOf(file.fileName)) + "/" +
                   who(registry.agentBrowserOf(file.fileName)) + " ";
        return out + "| " + told;
    }
};

TEST(WebviewerRegistry, RegistrationsReplacementsAndClosesLeaveEachFileWithTheRightPage) {
    using Scenario = std::tuple<const char*, bool, std::function<void(Pages&)>, const char*>;  // enhanced security
    const Scenario scenarios[] = {
        {"the newest web viewer wins; when it goes the one it replaced serves again", false,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(1, "A"); p.close(1); }, "A=0/- | closed 1 left A/1 "},
        {"a replaced web viewer closing late fails only its own work", false,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(1, "A"); p.close(0); }, "A=1/- | closed 0 left A/0 "},
        {"a web viewer moving to another file fails its work in the first", false,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(0, "B"); }, "B=0/- | left A/0 "},
        {"a web viewer becoming an agent browser fails its work", false,
         [](Pages& p) { p.webviewer(0, "A"); p.agent(0, "A"); }, "A=-/0 | left A/0 "},
        {"re-registering the same file and role fails nothing", false,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(0, "A"); }, "A=0/- | "},
        {"an agent browser that closes fails no web viewer work", false,
         [](Pages& p) { p.webviewer(0, "A"); p.agent(1, "A"); p.close(1); }, "A=0/- | closed 1 "},
        {"a closed connection's old registration is not its current one", false,
         [](Pages& p) { p.agent(1, "A"); p.agent(2, "A"); p.close(1); }, "A=-/2 | closed 1 "},
        {"with enhanced security a keyless page cannot take a file over", true,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(1, "A"); }, "A=0/- | "},
        {"with enhanced security the right key takes it over", true,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(1, "A", "bad"); p.webviewer(2, "A", "good"); }, "A=2/- | "},
        {"a keyed page does not hand the file to a keyless page it replaced", true,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(1, "A", "good"); p.close(1); }, "| closed 1 left A/1 "},
        {"without enhanced security anyone replaces and inherits", false,
         [](Pages& p) { p.webviewer(0, "A"); p.webviewer(1, "A", "good"); p.close(1); }, "A=0/- | closed 1 left A/1 "},
        {"registrations that are not valid change nothing", false,
         [](Pages& p) {
             for (auto [role, file] : {std::pair<nlohmann::json, nlohmann::json>{"admin", "A"}, {"webviewer", 7},
                                       {"webviewer", "  "}, {1, "A"}})
                 p.join(0, {{"role", role}, {"fileName", file}});
             p.close(0);
         },
         "| "},
    };
    for (const auto& [name, enhancedSecurity, steps, expected] : scenarios) {
        Pages pages;
        pages.enhancedSecurity = enhancedSecurity;
        steps(pages);
        EXPECT_EQ(pages.state(), expected) << name;
    }
}

TEST(WebviewerRegistry, BothPagesOfAFileHearItsStatusAndARefusedPageHearsWhy) {
    Pages pages;
    pages.enhancedSecurity = true;
    pages.webviewer(0, "A"), pages.agent(1, "A"), pages.webviewer(2, "A");  // the last refused: no key
    pages.close(1);
    auto last = [&](int i) { return nlohmann::json::parse(pages.sent[i].back()); };
    EXPECT_EQ(last(0), (nlohmann::json{{"type", "status"}, {"webviewerConnected", true}, {"agentBrowserConnected", false}}));
    // The agent browser hears its own registration's status only.
    EXPECT_EQ(std::tuple(pages.sent[1].size(), last(1)["agentBrowserConnected"], last(2)["type"]),
              std::tuple(1u, true, "error"));
    EXPECT_NE(last(2)["message"].get<std::string>().find("Another web viewer is connected for A"), std::string::npos);
}

TEST(MessageDispatch, OnlyTextFramesHoldingAnObjectWithAKnownTypeReachAHandler) {
    MessageDispatch dispatch;
    WebSocketConnection page;
    std::vector<std::string> handled;
    dispatch.on("pong", [&](WebSocketConnection* ws, const nlohmann::json& message) {
        handled.push_back(ws == &page ? message.dump() : "another page");
    });
    dispatch.dispatch(&page, R"({"type":"pong","id":"2"})", transport::OpCode::Binary);
    for (const char* text : {R"({"type":"pong","id":"1"})", R"({"type":"PONG"})", R"({"type":["pong"]})", R"(["pong"])",
                             R"({"type":"pong")", R"({"id":"3"})"})
        dispatch.dispatch(&page, text, transport::OpCode::Text);
    EXPECT_EQ(handled, (std::vector<std::string>{R"({"id":"1","type":"pong"})"}));
}

}  // namespace
}  // namespace Lumenbox
