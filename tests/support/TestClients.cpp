#include "support/TestClients.h"

#include <thread>

#include <gtest/gtest.h>

namespace Lumenbox::testing {

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

void expectJsonReply(const HttpReply& reply, const std::string& statusLine, const std::string& body) {
    const std::string type = reply.headers.count("content-type") ? reply.headers.at("content-type") : "";
    EXPECT_EQ(std::tie(reply.statusLine, type, reply.body), std::tie(statusLine, "application/json", body));
}

}  // namespace Lumenbox::testing
