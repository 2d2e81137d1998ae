#include "base/Identifiers.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace Lumenbox {
namespace {

// Version 8 at the version nibble, variant 10 at the top of the clock-sequence byte.
const std::regex kIdPattern("[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");

void expectWellFormedAndUnique(const std::vector<std::string>& ids) {
    std::set<std::string> seen;
    for (const auto& id : ids) {
        ASSERT_TRUE(std::regex_match(id, kIdPattern)) << id;
        ASSERT_TRUE(isBridgeIssuedId(id)) << id;
        ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
    }
}

TEST(Identifiers, UuidsAndFetchIdsAreVersion8AndDistinctEvenWhenDrawnConcurrently) {
    std::vector<std::string> uuids, fetchIds[4];
    std::vector<std::thread> threads;
    for (auto& out : fetchIds) {
        threads.emplace_back([&out] {
            for (int i = 0; i < 5000; ++i) out.push_back(generateUuid());
        });
    }
    for (int i = 0; i < 20000; ++i) uuids.push_back(generateUuid());
    for (auto& t : threads) t.join();
    uuids.insert(uuids.end(), fetchIds[0].begin(), fetchIds[0].end());
    for (int i = 1; i < 4; ++i) uuids.insert(uuids.end(), fetchIds[i].begin(), fetchIds[i].end());
    expectWellFormedAndUnique(uuids);

    // Every one of the 122 free bits varies: none is stuck at 0 or 1 over the draws.
    std::string seenZero(36, '\0'), seenOne(36, '\0');
    for (const auto& id : uuids) {
        for (std::size_t i = 0; i < id.size(); ++i) {
            if (id[i] == '-') continue;
            const int nibble = std::stoi(std::string(1, id[i]), nullptr, 16);
            seenZero[i] |= static_cast<char>(~nibble & 0xF);
            seenOne[i] |= static_cast<char>(nibble);
        }
    }
    for (std::size_t i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23 || i == 14) continue;
        const int fixed = i == 19 ? 0xC : 0;  // the variant's two bits
        EXPECT_EQ(seenZero[i] | fixed, 0xF) << "position " << i;
        EXPECT_EQ((seenOne[i] | fixed) & 0xF, 0xF) << "position " << i;
    }
}

TEST(Identifiers, OnlyVersion8IdsCountAsIssuedByTheBridge) {
    const struct {
        const char* id;
        bool bridge;
    } cases[] = {
        {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5b", true},
        {"3F2A9C1E-7B4D-8E21-B9F0-0C1D2E3F4A5B", true},   // a script changed its case
        {"3f2a9c1e-7b4d-4e21-a9f0-0c1d2e3f4a5b", false},  // a browser's random UUID
        {"3f2a9c1e-7b4d-8e21-c9f0-0c1d2e3f4a5b", false},  // another variant
        {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5", false},
        {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5bb", false},
        {"3f2a9c1e+7b4d-8e21-a9f0-0c1d2e3f4a5b", false},
        {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4g5b", false},
        {"page-own-id", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isBridgeIssuedId(c.id), c.bridge) << c.id;
}

}  // namespace
}  // namespace Lumenbox
