// Deeply nested and very long JSON through every place that reads JSON from a socket: each POST
// route's body (real bridge) and each WebSocket message type (fake connections). The input is a
// recipe, so that a few bytes reach nesting far past the limit and texts of a megabyte: byte 0 the
// path (kPaths) and whether the nesting is left unbalanced, bytes 1-2 the levels (x 3), byte 3 the
// fragment's repeats (x 256), byte 4 what opens a level ("[" or "{\"k\":"), the rest the fragment.
#include <iterator>

#include "fuzz/FuzzBridge.h"

namespace {
using namespace Lumenbox;

// The route ("/..."), or the sending connection ("webviewer"/"agent"), and the text around the value.
struct Path { const char *target, *prefix, *suffix; };

constexpr Path kPaths[] = {
    {"/callScript", R"({"connectedFileName":"fuzz.fmp12","scriptName":"Report","data":)", "}"},
    {"/callScript", R"({"connectedFileName":"fuzz.fmp12","scriptName":"LB_get_version","data":)", "}"},
    {"/callScript", "", ""},
    {"/authorizeSession", R"({"sessionId":"s","fileName":"fuzz.fmp12","clientName":)", "}"},
    {"/sessions/revoke", R"({"sessionId":)", "}"},
    {"/tokens/revoke", R"({"tokenPrefix":)", "}"},
    {"webviewer", R"({"type":"callback","fn":"handleFMCallback","args":[)", R"(,"fetch-1"]})"},
    {"webviewer", R"({"type":"callback","fn":"streamingChunkReceived","args":)", "}"},
    {"webviewer", R"({"type":"callback","fn":"resultTooLarge","args":[)", R"(,"fetch-1"]})"},
    {"webviewer", R"({"type":"register","fileName":"fuzz.fmp12","role":"webviewer","x":)", "}"},
    {"webviewer", R"({"type":"pong","id":"ping-1","x":)", "}"},
    {"agent", R"({"type":"callScript","script":"Report","param":"","x":)", "}"},
    {"agent", R"({"type":"callScriptWithOption","script":"Report","param":"","option":)", "}"},
    {"webviewer", "", ""},
};
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const Path& path = kPaths[(data[0] >> 1) % std::size(kPaths)];
    const std::size_t depth = (std::size_t{data[1]} << 8 | data[2]) * 3, repeat = std::size_t{data[3]} * 256 + 1;
    const bool objects = data[4] & 1;
    const std::string_view fragment(reinterpret_cast<const char*>(data + 5), size - 5);
    std::string text = path.prefix;
    text.reserve(text.size() + depth * 6 + repeat * (fragment.size() + 1) + 64);
    for (std::size_t level = 0; level < depth; ++level) text += objects ? R"({"k":)" : "[";
    for (std::size_t copy = 0; copy < repeat; ++copy) (copy > 0 ? text += ',' : text) += fragment;
    for (std::size_t level = data[0] & 1; level < depth; ++level) text += objects ? '}' : ']';  // odd: unbalanced
    text += path.suffix;
    if (path.target[0] == '/') return fuzz::FuzzBridge::instance().exchange(fuzz::httpRequest("POST", path.target, "", text)), 0;
    static fuzz::DispatchHarness harness;
    harness.reset();
    harness.dispatch.dispatch(&harness.connections[path.target[0] == 'a' ? 1 : 0], text, transport::OpCode::Text);
    return 0;
}
