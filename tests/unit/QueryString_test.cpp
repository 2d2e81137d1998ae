#include "server/transport/QueryString.h"

#include <gtest/gtest.h>

namespace Lumenbox::transport {
namespace {

TEST(PercentDecode, DecodesEscapesOfEitherCaseAndPlusAsSpace) {
    EXPECT_EQ(percentDecode("a%20b+c"), "a b c");
    EXPECT_EQ(percentDecode("%4a%4A"), "JJ");
    EXPECT_EQ(percentDecode("%2B%26%3D"), "+&=");  // escaped delimiters become plain bytes
    EXPECT_EQ(percentDecode("%C3%A4"), "\xC3\xA4");
    EXPECT_EQ(percentDecode("%FF"), "\xFF");  // not checked for UTF-8
    EXPECT_EQ(percentDecode("%00"), std::string(1, '\0'));
}

TEST(PercentDecode, KeepsEscapesThatAreNotTwoHexDigits) {
    EXPECT_EQ(percentDecode("%"), "%");
    EXPECT_EQ(percentDecode("100%"), "100%");
    EXPECT_EQ(percentDecode("%4"), "%4");
    EXPECT_EQ(percentDecode("%zz%4g"), "%zz%4g");
    EXPECT_EQ(percentDecode("%%41"), "%A");   // the second "%" starts a valid escape
    EXPECT_EQ(percentDecode("%2541"), "%41");  // decoded once, never twice
    EXPECT_EQ(percentDecode("ab%41"), "abA");  // an escape that ends the text
}

TEST(FindQueryValue, FindsTheFirstPairWithTheKeyAndDecodesItsValue) {
    EXPECT_EQ(findQueryValue("a=1&b=2", "b"), "2");
    EXPECT_EQ(findQueryValue("a=1&a=2", "a"), "1");
    EXPECT_EQ(findQueryValue("a=b=c", "a"), "b=c");
    EXPECT_EQ(findQueryValue("name=x%26b%3D2&b=3", "name"), "x&b=2");
    EXPECT_EQ(findQueryValue("name=x%26b%3D2&b=3", "b"), "3");  // an escaped "&" splits nothing
    EXPECT_EQ(findQueryValue("&&t=%31%30+&", "t"), "10 ");
}

TEST(FindQueryValue, MatchesDecodedKeysExactly) {
    EXPECT_EQ(findQueryValue("my%20key=v", "my key"), "v");
    EXPECT_EQ(findQueryValue("my+key=v", "my key"), "v");
    EXPECT_EQ(findQueryValue("ab=1&A=2", "a"), std::nullopt);  // neither a prefix nor another case
}

TEST(FindQueryValue, TellsAnEmptyValueFromAMissingKey) {
    EXPECT_EQ(findQueryValue("flag&x=1", "flag"), "");
    EXPECT_EQ(findQueryValue("flag=&x=1", "flag"), "");
    EXPECT_EQ(findQueryValue("x=1", "flag"), std::nullopt);
    EXPECT_EQ(findQueryValue("", "flag"), std::nullopt);
}

}  // namespace
}  // namespace Lumenbox::transport
