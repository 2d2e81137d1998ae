// The development host's demo file: whatever a page sends its scripts through an agent browser,
// the host keeps running and the file keeps answering.
#include "support/BridgeFixture.h"
#include "tools/host/DemoWebviewer.h"

namespace Lumenbox::testing {
namespace {

using DemoFile = BridgeFixture;

TEST_F(DemoFile, AnyParameterFromAPageIsTheScriptsDataAndTheFileKeepsServing) {
    devhost::DemoWebviewer demo(port(), "Demo");
    ASSERT_TRUE(eventually([&] { return httpGet(port(), "/connectedFiles").body == R"(["Demo"])"; }));
    auto page = connectAgentBrowser("Demo");
    const std::string deep = std::string(100000, '[') + std::string(100000, ']');  // too deep to take apart: text
    const std::pair<std::string, nlohmann::json> cases[] = {
        {"hello", "hello"}, {"{", "{"}, {R"({"a":[1,2]})", {{"a", {1, 2}}}},
        {R"({"callback":7,"data":1})", {{"callback", 7}, {"data", 1}}},  // not the bridge's envelope
        {deep, deep},
    };
    for (const auto& [param, echoed] : cases) {
        page->sendJson({{"type", "callScript"}, {"script", "Echo"}, {"param", param}});
        auto callback = page->receiveJson();
        EXPECT_EQ(std::make_tuple(callback["fn"], callback["args"][0]), std::make_tuple("handleFMCallback", echoed)) << param.substr(0, 40);
    }
    EXPECT_EQ(httpPost(port(), "/callScript", R"({"connectedFileName":"Demo","scriptName":"Echo","data":{"a":1}})").json()["result"], nlohmann::json({{"a", 1}}));
}

}  // namespace
}  // namespace Lumenbox::testing
