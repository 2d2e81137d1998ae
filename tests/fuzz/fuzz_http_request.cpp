// Raw bytes on a new connection to a real bridge: the transport's request parsing, pipelining,
// upgrades and refusals. Each input is followed by the end of the client's stream.
#include "fuzz/FuzzBridge.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Lumenbox::fuzz::FuzzBridge::instance().exchange(std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
