#include "server/LoopbackPolicy.h"

#include <gtest/gtest.h>

namespace Lumenbox {
namespace {

TEST(LoopbackPolicy, OnlyTheThreeLoopbackNamesWithAnOptionalValidPortAreAllowedHosts) {
    for (const char* host : {"127.0.0.1", "127.0.0.1:1365", "localhost", "LOCALHOST:8080", "[::1]", "[::1]:1365", "127.0.0.1:65535",
                             "127.0.0.1:1"}) {
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    }
    for (const char* host : {"", "localhost.", "localhost.:1365", "127.0.0.2", "::ffff:127.0.0.1", "[::ffff:127.0.0.1]",
                             "localhost6", "0177.0.0.1", "127.1", "2130706433", "0x7f.0.0.1", "evil@127.0.0.1",
                             "127.0.0.1@evil.example", "127.0.0.1.evil.example", "localhost.evil.example", "127.0.0.1:",
                             "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:13a5", "127.0.0.1:1365/", " 127.0.0.1", "[::1]x", "::1"}) {
        EXPECT_FALSE(isLoopbackHost(host)) << '"' << host << '"';
    }
}

TEST(LoopbackPolicy, OnlyHttpAndHttpsOriginsOfALoopbackHostAreAllowedAndTheHostIsJudgedFirst) {
    for (const char* origin : {"http://127.0.0.1:1365", "http://localhost:5173", "https://localhost", "http://[::1]:3000",
                               "HTTP://LOCALHOST:1365"}) {
        EXPECT_TRUE(isLoopbackOrigin(origin)) << origin;
    }
    for (const char* origin : {"null", "", "http://", "file://", "http://evil.example", "https://127.0.0.1.evil.example",
                               "http://evil@127.0.0.1", "ws://127.0.0.1:1365", "chrome-extension://abc", "http://localhost./",
                               "http://127.0.0.1:1365/", "http://localhost:1365/path"}) {
        EXPECT_FALSE(isLoopbackOrigin(origin)) << '"' << origin << '"';
    }
    using V = LoopbackVerdict;
    EXPECT_EQ(checkLoopbackRequest(false, "", false, ""), V::HostNotAllowed);
    EXPECT_EQ(checkLoopbackRequest(true, "evil.example", true, "http://localhost"), V::HostNotAllowed);
    EXPECT_EQ(checkLoopbackRequest(true, "127.0.0.1:1365", false, ""), V::Allowed);
    EXPECT_EQ(checkLoopbackRequest(true, "127.0.0.1:1365", true, ""), V::OriginNotAllowed);  // present but empty
}

}  // namespace
}  // namespace Lumenbox
