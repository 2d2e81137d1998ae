#include "server/transport/QueryString.h"

#include <gtest/gtest.h>

namespace Lumenbox::transport {
namespace {

TEST(PercentDecode, DecodesTwoHexDigitEscapesOnceAndPlusAsSpaceAndKeepsEverythingElse) {
    const std::pair<std::string, std::string> cases[] = {
        {"a%20b+c", "a b c"}, {"%4a%4A", "JJ"}, {"%2B%26%3D", "+&="}, {"%C3%A4", "\xC3\xA4"},
        {"%FF", "\xFF"},  // not checked for UTF-8
        {"%00", std::string(1, '\0')}, {"%", "%"}, {"100%", "100%"}, {"%4", "%4"}, {"%zz%4g", "%zz%4g"},
        {"%%41", "%A"}, {"%2541", "%41"}, {"ab%41", "abA"},
    };
    for (const auto& [text, decoded] : cases) EXPECT_EQ(percentDecode(text), decoded) << text;
}

TEST(FindQueryValue, FindsTheFirstPairWhoseDecodedKeyMatchesExactlyAndTellsEmptyFromMissing) {
    const std::tuple<const char*, const char*, std::optional<std::string>> cases[] = {
        {"a=1&b=2", "b", "2"}, {"a=1&a=2", "a", "1"}, {"a=b=c", "a", "b=c"},
        {"name=x%26b%3D2&b=3", "name", "x&b=2"}, {"name=x%26b%3D2&b=3", "b", "3"},  // an escaped "&" splits nothing
        {"&&t=%31%30+&", "t", "10 "}, {"my%20key=v", "my key", "v"}, {"my+key=v", "my key", "v"},
        {"ab=1&A=2", "a", std::nullopt},  // neither a prefix nor another case
        {"flag&x=1", "flag", ""}, {"flag=&x=1", "flag", ""}, {"x=1", "flag", std::nullopt}, {"", "flag", std::nullopt},
    };
    for (const auto& [query, key, value] : cases) EXPECT_EQ(findQueryValue(query, key), value) << query << " " << key;
}

}  // namespace
}  // namespace Lumenbox::transport
