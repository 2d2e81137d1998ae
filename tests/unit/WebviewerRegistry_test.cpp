#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

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
            sent[ws - page].emplace_back(text);
            return transport::SendStatus::Sent;
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
        for (const auto& file : registry.files()) {
            out += file.fileName + "=" + who(registry.webviewerOf(file.fileName)) + "/" +
                   who(registry.agentBrowserOf(file.fileName)) + " ";
        }
        return out + "| " + told;
    }
};

struct Scenario {
    const char* name;
    bool enhancedSecurity;
    std::function<void(Pages&)> steps;
    const char* expected;
};

TEST(WebviewerRegistry, RegistrationsReplacementsAndClosesLeaveEachFileWithTheRightPage) {
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
             p.join(0, {{"role", "admin"}, {"fileName", "A"}});
             p.join(0, {{"role", "webviewer"}, {"fileName", 7}});
             p.join(0, {{"role", "webviewer"}, {"fileName", "  "}});
             p.join(0, {{"role", 1}, {"fileName", "A"}});
             p.close(0);
         },
         "| "},
    };
    for (const auto& scenario : scenarios) {
        Pages pages;
        pages.enhancedSecurity = scenario.enhancedSecurity;
        scenario.steps(pages);
        EXPECT_EQ(pages.state(), scenario.expected) << scenario.name;
    }
}

TEST(WebviewerRegistry, BothPagesOfAFileHearItsStatusAndARefusedPageHearsWhy) {
    Pages pages;
    pages.enhancedSecurity = true;
    pages.webviewer(0, "A");
    pages.agent(1, "A");
    pages.webviewer(2, "A");  // refused: no key
    pages.close(1);
    auto last = [&](int i) { return nlohmann::json::parse(pages.sent[i].back()); };
    EXPECT_EQ(last(0), (nlohmann::json{{"type", "status"}, {"webviewerConnected", true}, {"agentBrowserConnected", false}}));
    EXPECT_EQ(pages.sent[1].size(), 1u);  // its own registration's status only
    EXPECT_EQ(last(1)["agentBrowserConnected"], true);
    EXPECT_EQ(last(2)["type"], "error");
    EXPECT_NE(last(2)["message"].get<std::string>().find("Another web viewer is connected for A"), std::string::npos);
}

}  // namespace
}  // namespace Lumenbox
