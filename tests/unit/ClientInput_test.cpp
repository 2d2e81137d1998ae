// What a client names in a request line or header: the host it asked for, query values, file names.
#include <gtest/gtest.h>

#include "server/LoopbackPolicy.h"
#include "server/transport/QueryString.h"
#include "base/FileName.h"

namespace Lumenbox {
namespace {

// Origins are judged after the host, and an Origin header that is present but empty is refused.
TEST(LoopbackPolicy, OnlyTheThreeLoopbackNamesWithAValidPortAreHostsAndOnlyTheirHttpOrHttpsOriginsAreAllowed) {
    for (const char* host : {"127.0.0.1", "127.0.0.1:1365", "localhost", "LOCALHOST:8080", "[::1]", "[::1]:1365", "127.0.0.1:65535", "127.0.0.1:1"})
        EXPECT_TRUE(isLoopbackHost(host)) << host;
    for (const char* host : {"", "localhost.", "localhost.:1365", "127.0.0.2", "::ffff:127.0.0.1", "[::ffff:127.0.0.1]", "localhost6", "0177.0.0.1",
                             "127.1", "2130706433", "0x7f.0.0.1", "evil@127.0.0.1", "127.0.0.1@evil.example", "127.0.0.1.evil.example",
                             "localhost.evil.example", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:13a5", "127.0.0.1:1365/",
                             " 127.0.0.1", "[::1]x", "::1"})
        EXPECT_FALSE(isLoopbackHost(host)) << '"' << host << '"';
    for (const char* origin : {"http://127.0.0.1:1365", "http://localhost:5173", "https://localhost", "http://[::1]:3000", "HTTP://LOCALHOST:1365"})
        EXPECT_TRUE(isLoopbackOrigin(origin)) << origin;
    for (const char* origin : {"null", "", "http://", "file://", "http://evil.example", "https://127.0.0.1.evil.example", "http://evil@127.0.0.1",
                               "ws://127.0.0.1:1365", "chrome-extension://abc", "http://localhost./", "http://127.0.0.1:1365/",
                               "http://localhost:1365/path"})
        EXPECT_FALSE(isLoopbackOrigin(origin)) << '"' << origin << '"';
    using V = LoopbackVerdict;
    EXPECT_EQ(std::make_tuple(checkLoopbackRequest(false, "", false, ""), checkLoopbackRequest(true, "evil.example", true, "http://localhost"),
                              checkLoopbackRequest(true, "127.0.0.1:1365", false, ""), checkLoopbackRequest(true, "127.0.0.1:1365", true, "")),
              std::make_tuple(V::HostNotAllowed, V::HostNotAllowed, V::Allowed, V::OriginNotAllowed));
}

TEST(PercentDecode, DecodesTwoHexDigitEscapesOnceAndPlusAsSpaceAndKeepsEverythingElse) {
    // "%FF" is not checked for UTF-8.
    for (const auto& [text, decoded] : std::initializer_list<std::pair<std::string, std::string>>{{"a%20b+c", "a b c"}, {"%4a%4A", "JJ"},
             {"%2B%26%3D", "+&="}, {"%C3%A4", "\xC3\xA4"}, {"%FF", "\xFF"}, {"%00", std::string(1, '\0')}, {"%", "%"}, {"100%", "100%"},
             {"%4", "%4"}, {"%zz%4g", "%zz%4g"}, {"%%41", "%A"}, {"%2541", "%41"}, {"ab%41", "abA"}})
        EXPECT_EQ(transport::percentDecode(text), decoded) << text;
}

TEST(FindQueryValue, FindsTheFirstPairWhoseDecodedKeyMatchesExactlyAndTellsEmptyFromMissing) {
    // An escaped "&" splits nothing; a key matches neither as a prefix nor in another case.
    for (const auto& [query, key, value] : std::initializer_list<std::tuple<const char*, const char*, std::optional<std::string>>>{
             {"a=1&b=2", "b", "2"}, {"a=1&a=2", "a", "1"}, {"a=b=c", "a", "b=c"}, {"name=x%26b%3D2&b=3", "name", "x&b=2"},
             {"name=x%26b%3D2&b=3", "b", "3"}, {"&&t=%31%30+&", "t", "10 "}, {"my%20key=v", "my key", "v"}, {"my+key=v", "my key", "v"},
             {"ab=1&A=2", "a", std::nullopt}, {"flag&x=1", "flag", ""}, {"flag=&x=1", "flag", ""}, {"x=1", "flag", std::nullopt},
             {"", "flag", std::nullopt}})
        EXPECT_EQ(transport::findQueryValue(query, key), value) << query << " " << key;
}

TEST(NormalizeFileName, TrimsTakesTheValueOfAnyFileNameParameterAndCutsAtASlashOrQuestionMarkNotFirst) {
    // Only ASCII white space is trimmed, nothing is decoded, and a URL without the parameter in its query is cut to its scheme.
    for (const auto& [raw, name] : std::initializer_list<std::pair<const char*, const char*>>{{"", ""}, {" \t\n\v\f\r", ""},
             {"  My Contacts \r\n", "My Contacts"}, {"\xC2\xA0Name\xC2\xA0", "\xC2\xA0Name\xC2\xA0"},
             {"http://127.0.0.1:1365/webviewer?fileName=Sales&mode=x", "Sales"}, {"https://host/p?a=1&fileName=Sales", "Sales"},
             {"http://host/p?xfileName=Sales&y", "Sales"}, {"http://host/p?fileName=  Sales  &y=1", "Sales"},
             {"http://host/p?fileName=Sub/Dir&y=1", "Sub"}, {"http://h/p?fileName=A%2FB&z", "A%2FB"}, {"http://host/fileName=Sales", "http:"},
             {"https://host/p?mode=x", "https:"}, {"http://host", "http:"}, {"webviewer?fileName=Sales&x=1", "Sales"},
             {"HTTP://host/p?fileName=Sales&x", "Sales"}, {"fileName=", ""}, {"Sales/extra", "Sales"}, {"/Sales/extra", "/Sales/extra"},
             {"Sales?x=1", "Sales"}, {"?Sales", "?Sales"}, {"/Sales?x", "/Sales"},
             {"Sales ?x", "Sales"}, {"My%20File+Name.FMP12", "My%20File+Name.FMP12"}})
        EXPECT_EQ(normalizeFileName(raw), name) << '"' << raw << '"';
}

}  // namespace
}  // namespace Lumenbox
