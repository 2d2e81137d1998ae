#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "webviewer/MessageDispatch.h"

namespace Lumenbox {
namespace {

TEST(MessageDispatch, OnlyTextFramesHoldingAnObjectWithAKnownTypeReachAHandler) {
    MessageDispatch dispatch;
    WebSocketConnection page;
    std::vector<std::string> handled;
    dispatch.on("pong", [&](WebSocketConnection* ws, const nlohmann::json& message) {
        EXPECT_EQ(ws, &page);
        handled.push_back(message.dump());
    });
    const struct {
        const char* text;
        transport::OpCode opCode;
    } frames[] = {
        {R"({"type":"pong","id":"1"})", transport::OpCode::Text},
        {R"({"type":"pong","id":"2"})", transport::OpCode::Binary},
        {R"({"type":"PONG"})", transport::OpCode::Text},
        {R"({"type":["pong"]})", transport::OpCode::Text},
        {R"(["pong"])", transport::OpCode::Text},
        {R"({"type":"pong")", transport::OpCode::Text},
        {R"({"id":"3"})", transport::OpCode::Text},
    };
    for (const auto& frame : frames) dispatch.dispatch(&page, frame.text, frame.opCode);
    EXPECT_EQ(handled, (std::vector<std::string>{R"({"id":"1","type":"pong"})"}));
}

}  // namespace
}  // namespace Lumenbox
