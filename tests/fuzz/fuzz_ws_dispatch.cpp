// The WebSocket message dispatch on fake connections (fuzz::DispatchHarness). The first byte
// picks the sending connection and whether it closes afterwards; the rest is the message text.
#include "fuzz/FuzzBridge.h"

using namespace Lumenbox;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static fuzz::DispatchHarness harness;
    if (size == 0) return 0;
    harness.reset();
    WebSocketConnection* ws = &harness.connections[data[0] & 3];
    const std::string_view message(reinterpret_cast<const char*>(data + 1), size - 1);
    harness.dispatch.dispatch(ws, message, (data[0] & 8) ? transport::OpCode::Binary : transport::OpCode::Text);
    if (data[0] & 4) harness.registry->handleClose(ws);
    return 0;
}
