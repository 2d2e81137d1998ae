#include "webviewer/Identifiers.h"

#include <gtest/gtest.h>

#include <regex>
#include <set>
#include <thread>
#include <vector>

namespace Lumenbox {
namespace {

const std::regex kIdPattern("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}");

void expectWellFormedAndUnique(const std::vector<std::string>& ids) {
    std::set<std::string> seen;
    for (const auto& id : ids) {
        ASSERT_TRUE(std::regex_match(id, kIdPattern)) << id;
        ASSERT_TRUE(seen.insert(id).second) << "duplicate " << id;
    }
}

TEST(Identifiers, UuidsAndFetchIdsStayWellFormedAndDistinctEvenWhenDrawnConcurrently) {
    std::vector<std::string> uuids, fetchIds[4];
    std::vector<std::thread> threads;
    for (auto& out : fetchIds) {
        threads.emplace_back([&out] {
            for (int i = 0; i < 5000; ++i) out.push_back(generateFetchId());
        });
    }
    for (int i = 0; i < 20000; ++i) uuids.push_back(generateUuid());
    for (auto& t : threads) t.join();
    expectWellFormedAndUnique(uuids);
    for (int i = 1; i < 4; ++i) fetchIds[0].insert(fetchIds[0].end(), fetchIds[i].begin(), fetchIds[i].end());
    expectWellFormedAndUnique(fetchIds[0]);
}

}  // namespace
}  // namespace Lumenbox
