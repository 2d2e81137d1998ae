#include "base/Identifiers.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>

namespace Lumenbox {
namespace {

TEST(Identifiers, IdsAreVersion8WithEveryFreeBitVaryingAndDistinctEvenWhenDrawnConcurrently) {
    std::vector<std::string> drawn[4];
    std::vector<std::thread> threads;
    for (auto& ids : drawn) threads.emplace_back([&ids] { for (int i = 0; i < 8000; ++i) ids.push_back(generateUuid()); });
    for (auto& thread : threads) thread.join();
    // Version 8 at the version nibble, variant 10 at the top of the clock-sequence byte.
    const std::regex pattern("[0-9a-f]{8}-[0-9a-f]{4}-8[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    int seenZero[36] = {}, seenOne[36] = {};
    for (const auto& ids : drawn) {
        for (const auto& id : ids) {
            ASSERT_TRUE(std::regex_match(id, pattern) && isBridgeIssuedId(id)) << id;
            ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
            for (std::size_t i = 0; i < id.size(); ++i) {
                const int nibble = id[i] == '-' ? 0 : std::stoi(id.substr(i, 1), nullptr, 16);
                seenZero[i] |= ~nibble & 0xF;
                seenOne[i] |= nibble;
            }
        }
    }
    // None of the 122 free bits is stuck over the draws; the variant fixes two bits at 19.
    for (std::size_t i = 0; i < 36; ++i) {
        if (i == 8 || i == 13 || i == 14 || i == 18 || i == 23) continue;  // the dashes and the version
        const int fixed = i == 19 ? 0xC : 0;
        EXPECT_EQ((seenZero[i] | fixed) & (seenOne[i] | fixed), 0xF) << "position " << i;
    }
}

TEST(Identifiers, OnlyVersion8IdsInEitherCaseCountAsIssuedByTheBridge) {
    const std::pair<const char*, bool> cases[] = {
        {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5b", true}, {"3F2A9C1E-7B4D-8E21-B9F0-0C1D2E3F4A5B", true},  // a script changed its case
        {"3f2a9c1e-7b4d-4e21-a9f0-0c1d2e3f4a5b", false},  // a browser's random UUID
        {"3f2a9c1e-7b4d-8e21-c9f0-0c1d2e3f4a5b", false},  // another variant
        {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5", false},   {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5bb", false},
        {"3f2a9c1e+7b4d-8e21-a9f0-0c1d2e3f4a5b", false},  {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4g5b", false},
        {"page-own-id", false},                            {"", false},
    };
    for (const auto& [id, issued] : cases) EXPECT_EQ(isBridgeIssuedId(id), issued) << id;
}

}  // namespace
}  // namespace Lumenbox
