#include "server/HostIdleState.h"
#include "support/BridgeFixture.h"

namespace Lumenbox::testing {
namespace {

class StatusRoutes : public BridgeFixture {
protected:
    void TearDown() override {
        g_fileMakerIdleLevel = -1;
        g_fileMakerIdleObservedAtUnixMs = 0;
    }
};

TEST_F(StatusRoutes, HealthBeforeAnyIdleMessageReportsUnknownState) {
    auto reply = httpGet(port(), "/health");
    EXPECT_EQ(reply.statusLine, "200 OK");
    EXPECT_EQ(reply.headers["content-type"], "application/json");
    EXPECT_EQ(reply.body,
              R"({"fileMaker":{"idleLevel":-1,"idleState":"unknown","observedAtUnixMs":0},)"
              R"("service":"lbhttp-plugin","status":"ok","version":"3.2.0"})");
}

}  // namespace
}  // namespace Lumenbox::testing
