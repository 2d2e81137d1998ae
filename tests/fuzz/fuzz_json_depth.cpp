// Deeply nested and very long JSON through every place that reads JSON from a socket: the body of
// each POST route (sent to a real bridge) and each WebSocket message type (on fake connections,
// as in fuzz_ws_dispatch). The input is a recipe rather than the text itself, so that a few bytes
// reach nesting far past the limit and texts of a megabyte:
//   byte 0     the path (see kPaths) and whether the nesting is left unbalanced
//   bytes 1-2  how many levels to open (up to 65535 x 3)
//   byte 3     how often the fragment is repeated (up to 255 x 256 times)
//   byte 4     what opens a level: "[" or "{\"k\":"
//   the rest   the fragment at the innermost level
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/FuzzBridge.h"

namespace {

using namespace Lumenbox;

enum class Via { Http, WebSocket };
struct Path {
    Via via;
    const char* target;  // the route, or the sending connection ("webviewer"/"agent")
    const char* prefix;  // the text around the generated value
    const char* suffix;
};

constexpr Path kPaths[] = {
    {Via::Http, "/callScript", R"({"connectedFileName":"fuzz.fmp12","scriptName":"Report","data":)", "}"},
    {Via::Http, "/callScript", R"({"connectedFileName":"fuzz.fmp12","scriptName":"LB_get_version","data":)", "}"},
    {Via::Http, "/callScript", "", ""},
    {Via::Http, "/authorizeSession", R"({"sessionId":"s","fileName":"fuzz.fmp12","clientName":)", "}"},
    {Via::Http, "/sessions/revoke", R"({"sessionId":)", "}"},
    {Via::Http, "/tokens/revoke", R"({"tokenPrefix":)", "}"},
    {Via::WebSocket, "webviewer", R"({"type":"callback","fn":"handleFMCallback","args":[)", R"(,"fetch-1"]})"},
    {Via::WebSocket, "webviewer", R"({"type":"callback","fn":"streamingChunkReceived","args":)", "}"},
    {Via::WebSocket, "webviewer", R"({"type":"callback","fn":"resultTooLarge","args":[)", R"(,"fetch-1"]})"},
    {Via::WebSocket, "webviewer", R"({"type":"register","fileName":"fuzz.fmp12","role":"webviewer","x":)", "}"},
    {Via::WebSocket, "webviewer", R"({"type":"pong","id":"ping-1","x":)", "}"},
    {Via::WebSocket, "agent", R"({"type":"callScript","script":"Report","param":"","x":)", "}"},
    {Via::WebSocket, "agent", R"({"type":"callScriptWithOption","script":"Report","param":"","option":)", "}"},
    {Via::WebSocket, "webviewer", "", ""},
};
constexpr std::size_t kPathCount = sizeof kPaths / sizeof kPaths[0];

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const Path& path = kPaths[(data[0] >> 1) % kPathCount];
    const bool unbalanced = data[0] & 1;
    const std::size_t depth = (std::size_t{data[1]} << 8 | data[2]) * 3;
    const std::size_t repeat = std::size_t{data[3]} * 256 + 1;
    const bool objects = data[4] & 1;
    const std::string_view fragment(reinterpret_cast<const char*>(data + 5), size - 5);

    std::string text = path.prefix;
    text.reserve(text.size() + depth * 6 + repeat * (fragment.size() + 1) + 64);
    for (std::size_t level = 0; level < depth; ++level) text += objects ? R"({"k":)" : "[";
    for (std::size_t copy = 0; copy < repeat; ++copy) {
        if (copy > 0) text += ',';
        text += fragment;
    }
    for (std::size_t level = unbalanced ? 1 : 0; level < depth; ++level) text += objects ? '}' : ']';
    text += path.suffix;

    if (path.via == Via::Http) {
        Lumenbox::fuzz::FuzzBridge::instance().exchange(Lumenbox::fuzz::httpRequest("POST", path.target, "", text));
    } else {
        static fuzz::DispatchHarness harness;
        harness.reset();
        WebSocketConnection* ws = std::string_view(path.target) == "agent" ? &harness.connections[1] : &harness.connections[0];
        harness.deliver(ws, text, transport::OpCode::Text);
    }
    return 0;
}
