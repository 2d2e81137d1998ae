#include "auth/SessionStore.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "support/FakeClock.h"

namespace Lumenbox {
namespace {

using namespace std::chrono_literals;
using Ids = std::vector<std::string>;

class SessionStoreTest : public ::testing::Test {
protected:
    bool allowed(const std::string& id, const std::string& file, bool enhanced = false) {
        return store_.isAuthorized(id, file, enhanced);
    }
    std::vector<SessionSnapshot> sessions() { return store_.listSessions(); }
    Ids listedIds() {
        Ids ids;
        for (const auto& s : sessions()) ids.push_back(s.sessionId);
        return ids;
    }

    testing::FakeClock clock_;
    SessionStore store_{clock_};
};

TEST_F(SessionStoreTest, EmptyOrWhiteSpaceIdsAndEmptyFileNamesAreNeverStoredNorAuthorized) {
    for (const char* id : {"", " \t "}) store_.approve(id, "A", "c", 60);
    store_.approve("s", "", "c", 60);
    store_.registerSharedToken("", "A");
    store_.registerSharedToken("t", "");
    EXPECT_TRUE(sessions().empty() && store_.listSharedTokens().empty());
    store_.approve("s", "A", "c", 60);
    EXPECT_FALSE(allowed("", "A") || allowed(" \t ", "A") || allowed("s", ""));
}

// One timeline: every successful check for the file restarts the window, listings count the whole
// seconds left.
TEST_F(SessionStoreTest, SessionLastsItsIdleTimeoutFromItsLastSuccessfulCheckForThatFile) {
    store_.approve("s", "A", "c", 60);
    store_.approve("short", "A", "c", 10);
    clock_.advance(60s);
    EXPECT_EQ(listedIds(), Ids{"s"});  // a listing erases what expired; exactly the timeout is still valid
    EXPECT_TRUE(allowed("s", "A"));
    clock_.advance(60s);
    EXPECT_TRUE(allowed("s", "A"));
    clock_.advance(50s);
    EXPECT_FALSE(allowed("s", "B") || allowed("other", "A"));  // neither refreshes
    EXPECT_EQ(sessions().at(0).idleRemainingSeconds, 10);
    clock_.advance(9s + 999'999'999ns);
    EXPECT_EQ(sessions().at(0).idleRemainingSeconds, 1);  // 59.999... s elapsed counts as 59
    clock_.advance(1ns);
    EXPECT_EQ(sessions().at(0).idleRemainingSeconds, 0);
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
    auto s = sessions().at(0);
    EXPECT_EQ(s.files, (Ids{"A", "B"}));
    EXPECT_EQ(s.clientName, "second");
    EXPECT_EQ(s.idleTimeoutSeconds, 120);
    EXPECT_EQ(s.lastUsed, clock_.now());
    store_.approve("s", "A", "", 60);
    EXPECT_EQ(sessions().at(0).clientName, "lumenbox-mcp");
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
    store_.approve("s", "A", "c", 60);
    store_.revokeAll();
    EXPECT_TRUE(sessions().empty());
    EXPECT_TRUE(allowed("x", "A"));
    EXPECT_FALSE(allowed("x", "C"));
}

TEST_F(SessionStoreTest, EnhancedSecurityDropsForGoodOnlyTheApprovalsTheUserNeverGave) {
    store_.approve("auto", "A", "c", 60, /*autoApproved=*/true);
    store_.approve("mixed", "A", "c", 60, /*autoApproved=*/true);
    store_.approve("mixed", "B", "c", 60);
    store_.approve("user", "A", "c", 60);
    store_.approve("user", "A", "c", 60, /*autoApproved=*/true);  // cannot demote the user's approval
    store_.registerSharedToken("token", "A");
    EXPECT_TRUE(allowed("auto", "A"));
    EXPECT_FALSE(allowed("auto", "A", true) || allowed("mixed", "A", true));
    EXPECT_TRUE(allowed("mixed", "B", true) && allowed("user", "A", true) && allowed("token", "A", true));
    EXPECT_FALSE(allowed("auto", "A"));  // switching the setting off again brings nothing back
    EXPECT_EQ(listedIds(), (Ids{"mixed", "user"}));
}

TEST(ShownPrefix, NeverShowsMoreThanHalfOfASecretNorEightBytesNorHalfACharacter) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {"a", ""}, {"ab", "a"}, {"abc123", "abc"}, {"abcdefghijklmnopqrstuvwxyz", "abcdefgh"},
        {"ab\xC3\xA9" "cd", "ab"}, {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9"},  // "é" is two bytes
    };
    for (const auto& [secret, shown] : cases) EXPECT_EQ(shownPrefix(secret), shown) << secret;
}

// The routes' tests cover the plain cases; these are the edges of the search among sorted ids.
TEST(RevokeByPrefix, RemovesOnlyAPrefixMatchingExactlyOneIdEvenWhenAWholeIdPrefixesAnother) {
    using R = PrefixRevokeResult;
    const std::tuple<Ids, const char*, R, Ids> cases[] = {
        {{"abcd", "abce"}, "abcdx", R::NotFound, {"abcd", "abce"}}, {{"abcd", "abce"}, "abb", R::NotFound, {"abcd", "abce"}},
        {{"abc", "abcd"}, "abc", R::Ambiguous, {"abc", "abcd"}},   {{"abc", "abcd"}, "abcd", R::Revoked, {"abc"}},
    };
    for (const auto& [held, prefix, result, left] : cases) {
        SessionStore store;
        for (const auto& id : held) store.registerSharedToken(id, "A");
        EXPECT_EQ(store.revokeSharedTokenByPrefix(prefix), result) << prefix;
        for (const auto& id : held) {
            EXPECT_EQ(store.isAuthorized(id, "A", false), std::find(left.begin(), left.end(), id) != left.end()) << id;
        }
    }
}

// Mostly here for ThreadSanitizer: the event-loop thread and the host's main thread share a store.
TEST(SessionStoreConcurrency, OperationsFromTwoThreadsDoNotInterfere) {
    SessionStore store;
    store.registerSharedToken("token", "F");
    std::atomic<bool> tokenAlwaysAuthorized{true};
    auto hammer = [&](const std::string& prefix) {
        for (int i = 0; i < 2000; ++i) {
            const std::string id = prefix + std::to_string(i % 16);
            store.approve(id, "F", "client", 60);
            store.isAuthorized(id, "F", false);
            if (!store.isAuthorized("token", "F", false)) tokenAlwaysAuthorized = false;
            if (i % 50 == 0) { store.listSessions(); store.listSharedTokens(); store.revokeAll(); }
            store.revoke(id);
            store.registerSharedToken(prefix, "F");
            store.revokeSharedTokenByPrefix(prefix);
        }
    };
    std::thread other(hammer, "a");
    hammer("b");
    other.join();
    EXPECT_TRUE(tokenAlwaysAuthorized);
    EXPECT_TRUE(store.listSessions().empty());
    EXPECT_EQ(store.listSharedTokens().size(), 1u);
}

}  // namespace
}  // namespace Lumenbox
