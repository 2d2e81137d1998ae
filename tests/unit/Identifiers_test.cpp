#include "webviewer/Identifiers.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace Lumenbox {
namespace {

const std::regex kIdPattern("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

void expectWellFormedAndUnique(std::string (*generate)(), int draws) {
    std::set<std::string> seen;
    for (int i = 0; i < draws; ++i) {
        const std::string id = generate();
        ASSERT_TRUE(std::regex_match(id, kIdPattern)) << id;
        ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
    }
}

TEST(Identifiers, UuidsAndFetchIdsAreWellFormedAndDistinct) {
    expectWellFormedAndUnique(&generateUuid, 20000);
    expectWellFormedAndUnique(&generateFetchId, 20000);
}

TEST(Identifiers, ConcurrentFetchIdsStayWellFormedAndDistinct) {
    constexpr int kThreads = 4;
    constexpr int kPerThread = 5000;
    std::vector<std::vector<std::string>> results(kThreads);
    std::vector<std::thread> threads;
    for (auto& out : results) {
        threads.emplace_back([&out] {
            for (int i = 0; i < kPerThread; ++i) out.push_back(generateFetchId());
        });
    }
    for (auto& t : threads) t.join();

    std::set<std::string> seen;
    for (const auto& out : results) {
        for (const auto& id : out) {
            ASSERT_TRUE(std::regex_match(id, kIdPattern)) << id;
            ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
        }
    }
}

}  // namespace
}  // namespace Lumenbox
