#include "auth/SessionStore.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <nlohmann/json.hpp>

#include "auth/SessionRoutes.h"
#include "support/FakeClock.h"

namespace Lumenbox {
namespace {

using namespace std::chrono_literals;
using Ids = std::vector<std::string>;

class SessionStoreTest : public ::testing::Test {
protected:
    bool allowed(const std::string& id, const std::string& file, bool enhanced = false) { return store_.isAuthorized(id, file, enhanced); }
    std::vector<SessionSnapshot> sessions() { return store_.listSessions(); }
    Ids listedIds() { Ids ids; for (const auto& s : sessions()) ids.push_back(s.sessionId); return ids; }

    testing::FakeClock clock_;
    SessionStore store_{clock_};
};

TEST_F(SessionStoreTest, EmptyOrWhiteSpaceIdsAndEmptyFileNamesAreNeverStoredNorAuthorized) {
    for (const char* id : {"", " \t "}) store_.approve(id, "A", "c", 60);
    store_.approve("s", "", "c", 60);
    store_.registerSharedToken("", "A"), store_.registerSharedToken("t", "");
    EXPECT_TRUE(sessions().empty() && store_.listSharedTokens().empty());
    store_.approve("s", "A", "c", 60);
    EXPECT_FALSE(allowed("", "A") || allowed(" \t ", "A") || allowed("s", ""));
}

// One timeline: every successful check for the file restarts the window, listings count the whole
// seconds left.
TEST_F(SessionStoreTest, SessionLastsItsIdleTimeoutFromItsLastSuccessfulCheckForThatFile) {
    store_.approve("s", "A", "c", 60), store_.approve("short", "A", "c", 10);
    clock_.advance(60s);
    EXPECT_EQ(listedIds(), Ids{"s"});  // a listing erases what expired; exactly the timeout is still valid
    EXPECT_TRUE(allowed("s", "A") && (clock_.advance(60s), allowed("s", "A")));
    clock_.advance(50s);
    EXPECT_FALSE(allowed("s", "B") || allowed("other", "A"));  // neither refreshes
    // 59.999... s elapsed counts as 59.
    for (const auto& [step, left] : {std::pair<std::chrono::nanoseconds, int>{0s, 10}, {9s + 999'999'999ns, 1}, {1ns, 0}}) {
        clock_.advance(step);
        EXPECT_EQ(sessions().at(0).idleRemainingSeconds, left);
    }
    clock_.advance(1ns);
    EXPECT_FALSE(allowed("s", "A"));
    // The failed check erased the entry: approving again starts from an empty file set.
    store_.approve("s", "B", "c", 60);
    EXPECT_EQ(sessions().at(0).files, Ids{"B"});
}

TEST_F(SessionStoreTest, LaterApprovalAddsTheFileReplacesNameAndTimeoutAndRevivesAnUnprunedEntry) {
    store_.approve("s", "A", "first", 60);
    clock_.advance(61s);  // expired, but nothing has looked since: the entry and its files stay
    store_.approve("s", "B", "second", 120);
    const auto s = sessions().at(0);
    EXPECT_EQ(std::tie(s.files, s.clientName, s.idleTimeoutSeconds, s.lastUsed), std::make_tuple(Ids{"A", "B"}, "second", 120, clock_.now()));
}

TEST_F(SessionStoreTest, SharedTokenNeverExpiresServesOnlyItsFilesAndLeavesASessionOfTheSameValueAlone) {
    store_.registerSharedToken("x", "A");
    store_.approve("x", "B", "c", 60);
    clock_.advance(10s);
    EXPECT_TRUE(allowed("x", "B"));  // not in the token's files: the session rule applies
    clock_.advance(60s);
    EXPECT_TRUE(allowed("x", "A"));  // through the token, without refreshing the session
    clock_.advance(1ns);
    EXPECT_FALSE(allowed("x", "B"));
    clock_.advance(24h * 365);
    store_.approve("s", "A", "c", 60), store_.revokeAll();
    EXPECT_TRUE(sessions().empty() && allowed("x", "A") && !allowed("x", "C"));
}

TEST_F(SessionStoreTest, EnhancedSecurityDropsForGoodOnlyTheApprovalsTheUserNeverGave) {
    for (const auto& [id, file, autoApproved] : {std::tuple{"auto", "A", true}, {"mixed", "A", true}, {"mixed", "B", false},
                                                 {"user", "A", false}, {"user", "A", true}})  // the last cannot demote
        store_.approve(id, file, "c", 60, autoApproved);
    store_.registerSharedToken("token", "A");
    EXPECT_TRUE(allowed("auto", "A"));
    EXPECT_FALSE(allowed("auto", "A", true) || allowed("mixed", "A", true));
    EXPECT_TRUE(allowed("mixed", "B", true) && allowed("user", "A", true) && allowed("token", "A", true));
    EXPECT_FALSE(allowed("auto", "A"));  // switching the setting off again brings nothing back
    EXPECT_EQ(listedIds(), (Ids{"mixed", "user"}));
}

TEST(ShownPrefix, NeverShowsMoreThanHalfOfASecretNorEightBytesNorHalfACharacter) {
    for (const auto& [secret, shown] : std::initializer_list<std::pair<std::string, std::string>>{{"", ""}, {"a", ""}, {"ab", "a"},
             {"abc123", "abc"}, {"abcdefghijklmnopqrstuvwxyz", "abcdefgh"}, {"ab\xC3\xA9" "cd", "ab"},
             {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9"}})
        EXPECT_EQ(shownPrefix(secret), shown) << secret;
}

// The routes' tests cover the plain cases; these are the edges of the search among sorted ids.
TEST(RevokeByPrefix, RemovesOnlyAPrefixMatchingExactlyOneIdEvenWhenAWholeIdPrefixesAnother) {
    using R = PrefixRevokeResult;
    for (const auto& [held, prefix, result, left] : std::initializer_list<std::tuple<Ids, const char*, R, Ids>>{
             {{"abcd", "abce"}, "abcdx", R::NotFound, {"abcd", "abce"}}, {{"abcd", "abce"}, "abb", R::NotFound, {"abcd", "abce"}},
             {{"abc", "abcd"}, "abc", R::Ambiguous, {"abc", "abcd"}}, {{"abc", "abcd"}, "abcd", R::Revoked, {"abc"}}}) {
        SessionStore store;
        for (const auto& id : held) store.registerSharedToken(id, "A");
        EXPECT_EQ(store.revokeSharedTokenByPrefix(prefix), result) << prefix;
        Ids kept;
        std::copy_if(held.begin(), held.end(), std::back_inserter(kept), [&](auto& id) { return store.isAuthorized(id, "A", false); });
        EXPECT_EQ(kept, left) << prefix;
    }
}

TEST(SessionRoutes, TheListingDropsApprovalsTheUserNeverGaveOnceEnhancedSecurityIsOn) {
    for (const bool secure : {false, true}) {
        SessionStore store;
        store.approve("auto-approved", "F", "agent", 60, /*autoApproved=*/true);
        store.approve("user-approved", "F", "agent", 60);
        SessionRoutes routes(store, [secure] { return secure; });
        const nlohmann::json listing = routes.listing();
        EXPECT_EQ(std::tuple(listing["enhancedSecurityEnabled"] == secure, listing["sessions"].size()),
                  std::tuple(true, secure ? 1u : 2u)) << listing.dump();
    }
}

}  // namespace
}  // namespace Lumenbox
