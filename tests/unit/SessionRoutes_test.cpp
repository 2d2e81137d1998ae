#include "auth/SessionRoutes.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "auth/SessionStore.h"

namespace Lumenbox {
namespace {

TEST(SessionRoutes, TheListingDropsApprovalsTheUserNeverGaveOnceEnhancedSecurityIsOn) {
    for (const bool secure : {false, true}) {
        SessionStore store;
        store.approve("auto-approved", "F", "agent", 60, /*autoApproved=*/true);
        store.approve("user-approved", "F", "agent", 60);
        SessionRoutes routes(store, [secure] { return secure; });
        const nlohmann::json listing = routes.listing();
        EXPECT_EQ(listing["enhancedSecurityEnabled"], secure);
        EXPECT_EQ(listing["sessions"].size(), secure ? 1u : 2u) << listing.dump();
    }
}

}  // namespace
}  // namespace Lumenbox
