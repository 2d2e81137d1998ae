#include "auth/SessionStore.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/FakeClock.h"

namespace Lumenbox {
namespace {

using namespace std::chrono_literals;
using Files = std::vector<std::string>;

class SessionStoreTest : public ::testing::Test {
protected:
    std::vector<std::string> listedIds() {
        std::vector<std::string> ids;
        for (const auto& s : store_.listSessions()) ids.push_back(s.sessionId);
        return ids;
    }

    SessionSnapshot onlySession() {
        auto sessions = store_.listSessions();
        EXPECT_EQ(sessions.size(), 1u);
        return sessions.empty() ? SessionSnapshot{} : sessions.front();
    }

    testing::FakeClock clock_;
    SessionStore store_{clock_};
};

TEST_F(SessionStoreTest, EmptySessionIdOrFileNameIsNeverAuthorizedNorStored) {
    store_.approve("", "A", "c", 60);
    store_.approve("s", "", "c", 60);
    store_.registerSharedToken("", "A");
    store_.registerSharedToken("t", "");
    EXPECT_TRUE(store_.listSessions().empty());
    EXPECT_TRUE(store_.listSharedTokens().empty());

    store_.approve("s", "A", "c", 60);
    EXPECT_FALSE(store_.isAuthorized("", "A", false));
    EXPECT_FALSE(store_.isAuthorized("s", "", false));
    EXPECT_TRUE(store_.isAuthorized("s", "A", false));
}

TEST_F(SessionStoreTest, SessionIsValidAtExactlyItsTimeoutAndErasedOneNanosecondLater) {
    store_.approve("s", "A", "c", 60);
    clock_.advance(60s);
    EXPECT_TRUE(store_.isAuthorized("s", "A", false));  // restarts the window

    clock_.advance(60s + 1ns);
    EXPECT_FALSE(store_.isAuthorized("s", "A", false));
    // The failed check erased the entry: approving again starts from an empty file set.
    store_.approve("s", "B", "c", 60);
    EXPECT_EQ(onlySession().files, Files{"B"});
}

TEST_F(SessionStoreTest, ListingErasesExpiredSessionsAndNeverReportsNegativeRemainingTime) {
    store_.approve("short", "A", "c", 10);
    store_.approve("long", "A", "c", 60);
    clock_.advance(10s);
    auto sessions = store_.listSessions();
    ASSERT_EQ(sessions.size(), 2u);
    EXPECT_EQ(sessions[0].sessionId, "long");
    EXPECT_EQ(sessions[0].idleRemainingSeconds, 50);
    EXPECT_EQ(sessions[1].idleRemainingSeconds, 0);

    clock_.advance(1ns);
    EXPECT_EQ(listedIds(), std::vector<std::string>{"long"});

    // Whole seconds are truncated: 49.999... s elapsed still counts as 49.
    clock_.advance(39s + 999'999'998ns);
    EXPECT_EQ(onlySession().idleRemainingSeconds, 11);
    clock_.advance(10s + 1ns);
    EXPECT_EQ(onlySession().idleRemainingSeconds, 0);
    clock_.advance(1ns);
    EXPECT_TRUE(store_.listSessions().empty());
}

TEST_F(SessionStoreTest, EachSuccessfulCheckPushesExpiryOut) {
    store_.approve("s", "A", "c", 60);
    const auto approvedAt = clock_.now();
    for (int i = 0; i < 5; ++i) {
        clock_.advance(50s);
        ASSERT_TRUE(store_.isAuthorized("s", "A", false)) << "check " << i;
    }
    EXPECT_EQ(onlySession().lastUsed, approvedAt + 250s);
    clock_.advance(60s + 1ns);
    EXPECT_FALSE(store_.isAuthorized("s", "A", false));
}

TEST_F(SessionStoreTest, CheckForAnotherFileFailsAndDoesNotRefresh) {
    store_.approve("s", "A", "c", 60);
    clock_.advance(50s);
    EXPECT_FALSE(store_.isAuthorized("s", "B", false));
    EXPECT_FALSE(store_.isAuthorized("other", "A", false));
    clock_.advance(10s + 1ns);
    EXPECT_FALSE(store_.isAuthorized("s", "A", false));
}

TEST_F(SessionStoreTest, IdleTimeoutIsClampedToOneSecondThroughOneHour) {
    const std::pair<std::int64_t, std::int64_t> cases[] = {
        {0, 1},       {-5, 1},       {1, 1},       {2, 2},
        {3600, 3600}, {7200, 3600},  {86400, 3600},
        {std::numeric_limits<std::int64_t>::min(), 1},
        {std::numeric_limits<std::int64_t>::max(), 3600},
    };
    for (auto [requested, stored] : cases) {
        store_.approve("s", "A", "c", requested);
        EXPECT_EQ(onlySession().idleTimeoutSeconds, stored) << "requested " << requested;
    }
}

TEST_F(SessionStoreTest, LaterApprovalAddsTheFileAndReplacesClientNameAndTimeout) {
    store_.approve("s", "A", "first", 60);
    clock_.advance(30s);
    store_.approve("s", "B", "second", 120);
    auto s = onlySession();
    EXPECT_EQ(s.files, (Files{"A", "B"}));
    EXPECT_EQ(s.clientName, "second");
    EXPECT_EQ(s.idleTimeoutSeconds, 120);
    EXPECT_EQ(s.lastUsed, clock_.now());

    store_.approve("s", "A", "", 60);
    EXPECT_EQ(onlySession().clientName, "lumenbox-mcp");
    EXPECT_EQ(onlySession().files, (Files{"A", "B"}));
}

TEST_F(SessionStoreTest, ReapprovingAnExpiredButUnprunedSessionKeepsItsFiles) {
    store_.approve("s", "A", "c", 60);
    clock_.advance(61s);  // expired, but nothing has looked since
    store_.approve("s", "B", "c", 60);
    clock_.advance(60s);
    EXPECT_TRUE(store_.isAuthorized("s", "A", false));
    EXPECT_TRUE(store_.isAuthorized("s", "B", false));
}

TEST_F(SessionStoreTest, SharedTokenNeverExpiresIsLimitedToItsFilesAndSurvivesRevokeAll) {
    store_.registerSharedToken("tok", "A");
    store_.registerSharedToken("tok", "A");
    clock_.advance(24h * 365);
    EXPECT_TRUE(store_.isAuthorized("tok", "A", false));
    EXPECT_FALSE(store_.isAuthorized("tok", "B", false));

    store_.approve("s", "A", "c", 60);
    store_.revokeAll();
    EXPECT_TRUE(store_.listSessions().empty());
    EXPECT_TRUE(store_.isAuthorized("tok", "A", false));
}

TEST_F(SessionStoreTest, TokenMatchDoesNotRefreshASessionWithTheSameValue) {
    store_.approve("x", "B", "c", 60);
    store_.registerSharedToken("x", "A");
    clock_.advance(10s);
    EXPECT_TRUE(store_.isAuthorized("x", "B", false));  // not in the token's set: the session rule applies
    clock_.advance(60s);
    EXPECT_TRUE(store_.isAuthorized("x", "A", false));  // through the token; the session is left alone
    clock_.advance(1ns);
    EXPECT_FALSE(store_.isAuthorized("x", "B", false));
    EXPECT_TRUE(store_.isAuthorized("x", "A", false));
}

TEST_F(SessionStoreTest, SharedTokenListingShowsOnlyItsPrefix) {
    store_.registerSharedToken("abcdefghijklmnopq", "A");
    store_.registerSharedToken("xyz", "C");
    store_.registerSharedToken("xyz", "B");
    auto tokens = store_.listSharedTokens();
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].tokenPrefix, "abcdefgh");
    EXPECT_EQ(tokens[0].files, Files{"A"});
    EXPECT_EQ(tokens[1].tokenPrefix, "x");
    EXPECT_EQ(tokens[1].files, (Files{"B", "C"}));
}

TEST(ShownPrefix, NeverShowsMoreThanHalfOfASecretNorEightBytesNorHalfACharacter) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},       {"a", ""},         {"ab", "a"},           {"abc123", "abc"},
        {"abcdefghijklmnop", "abcdefgh"},  {"abcdefghijklmnopqrstuvwxyz", "abcdefgh"},
        // "é" is two bytes: half of 6 bytes would cut it.
        {"ab\xC3\xA9cd", "ab"},            {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "\xC3\xA9\xC3\xA9"},
    };
    for (const auto& [secret, shown] : cases) EXPECT_EQ(shownPrefix(secret), shown) << secret;
}

TEST_F(SessionStoreTest, SessionIsRevokedByAnUnambiguousPrefixAndWhiteSpaceIdsAreNoSession) {
    store_.approve(" \t ", "A", "c", 60);
    EXPECT_FALSE(store_.isAuthorized(" \t ", "A", false));
    EXPECT_TRUE(store_.listSessions().empty());

    store_.approve("abcd-1", "A", "c", 60);
    store_.approve("abcd-2", "A", "c", 60);
    EXPECT_EQ(store_.revokeByPrefix("abcd"), PrefixRevokeResult::Ambiguous);
    EXPECT_EQ(store_.revokeByPrefix("x"), PrefixRevokeResult::NotFound);
    EXPECT_EQ(store_.revokeByPrefix(""), PrefixRevokeResult::NotFound);
    EXPECT_EQ(store_.revokeByPrefix("abcd-2"), PrefixRevokeResult::Revoked);
    EXPECT_EQ(listedIds(), std::vector<std::string>{"abcd-1"});
}

TEST_F(SessionStoreTest, EnhancedSecurityDropsOnlyTheApprovalsTheUserNeverGave) {
    store_.approve("auto", "A", "c", 60, /*autoApproved=*/true);
    store_.approve("mixed", "A", "c", 60, /*autoApproved=*/true);
    store_.approve("mixed", "B", "c", 60);
    store_.approve("user", "A", "c", 60);
    store_.approve("user", "A", "c", 60, /*autoApproved=*/true);  // cannot demote the user's approval
    store_.registerSharedToken("token", "A");
    EXPECT_TRUE(store_.isAuthorized("auto", "A", false));

    EXPECT_FALSE(store_.isAuthorized("auto", "A", true));
    EXPECT_FALSE(store_.isAuthorized("mixed", "A", true));
    EXPECT_TRUE(store_.isAuthorized("mixed", "B", true));
    EXPECT_TRUE(store_.isAuthorized("user", "A", true));
    EXPECT_TRUE(store_.isAuthorized("token", "A", true));
    // Dropped for good: switching the setting off again does not bring them back.
    EXPECT_FALSE(store_.isAuthorized("auto", "A", false));
    EXPECT_EQ(listedIds(), (std::vector<std::string>{"mixed", "user"}));
}

TEST_F(SessionStoreTest, RevokeByPrefixRemovesOnlyAnUnambiguousMatch) {
    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abc"), PrefixRevokeResult::NotFound);
    store_.registerSharedToken("abcd", "A");
    store_.registerSharedToken("abce", "A");

    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abc"), PrefixRevokeResult::Ambiguous);
    EXPECT_EQ(store_.listSharedTokens().size(), 2u);
    EXPECT_EQ(store_.revokeSharedTokenByPrefix(""), PrefixRevokeResult::NotFound);
    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abcdx"), PrefixRevokeResult::NotFound);
    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abb"), PrefixRevokeResult::NotFound);

    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abcd"), PrefixRevokeResult::Revoked);
    EXPECT_FALSE(store_.isAuthorized("abcd", "A", false));
    EXPECT_TRUE(store_.isAuthorized("abce", "A", false));
    EXPECT_EQ(store_.revokeSharedTokenByPrefix("ab"), PrefixRevokeResult::Revoked);
    EXPECT_TRUE(store_.listSharedTokens().empty());

    // A whole token that prefixes another is ambiguous too.
    store_.registerSharedToken("abc", "A");
    store_.registerSharedToken("abcd", "A");
    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abc"), PrefixRevokeResult::Ambiguous);
    EXPECT_EQ(store_.revokeSharedTokenByPrefix("abcd"), PrefixRevokeResult::Revoked);
    EXPECT_TRUE(store_.isAuthorized("abc", "A", false));
}

// Mostly here for ThreadSanitizer: the event-loop thread and the host's main thread use one store.
TEST(SessionStoreConcurrencyTest, OperationsFromTwoThreadsDoNotInterfere) {
    SessionStore store;
    std::atomic<bool> tokenAlwaysAuthorized{true};
    store.registerSharedToken("token", "F");

    auto hammer = [&](const std::string& prefix) {
        for (int i = 0; i < 2000; ++i) {
            const std::string id = prefix + std::to_string(i % 16);
            store.approve(id, "F", "client", 60);
            store.isAuthorized(id, "F", false);
            if (!store.isAuthorized("token", "F", false)) tokenAlwaysAuthorized = false;
            if (i % 50 == 0) {
                store.listSessions();
                store.listSharedTokens();
                store.revokeAll();
            }
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
    ASSERT_EQ(store.listSharedTokens().size(), 1u);
}

}  // namespace
}  // namespace Lumenbox
