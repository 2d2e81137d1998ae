// The helpers every layer shares (ids, text, the plug-in log) and what a client names in a request.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "base/Identifiers.h"
#include "base/Log.h"
#include "base/Text.h"
#include "server/LoopbackPolicy.h"
#include "server/transport/QueryString.h"
#include "support/ScopedEnv.h"
#include "base/FileName.h"

namespace Lumenbox {
namespace {

using testing::ScopedEnv;
namespace fs = std::filesystem;

TEST(Identifiers, IdsAreVersion8WithEveryFreeBitVaryingAndDistinctEvenWhenDrawnConcurrently) {
    std::vector<std::string> drawn[4];
    std::vector<std::thread> threads;
    for (auto& ids : drawn) threads.emplace_back([&ids] { for (int i = 0; i < 8000; ++i) ids.push_back(generateUuid()); });
    for (auto& thread : threads) thread.join();
    std::set<std::string> seen;
    int seenZero[36] = {}, seenOne[36] = {};  // per position: the bits seen clear, the bits seen set
    for (const auto& ids : drawn)
        for (const auto& id : ids) {
            ASSERT_TRUE(isBridgeIssuedId(id) && seen.insert(id).second) << id;
            for (std::size_t i = 0; i < id.size(); ++i) {
                const int nibble = id[i] == '-' ? 0xF : std::stoi(id.substr(i, 1), nullptr, 16);
                seenZero[i] |= ~nibble & 0xF, seenOne[i] |= nibble;
            }
        }
    // Only the version nibble (14) and the variant's two bits (19) are fixed; the dashes count as fixed too.
    for (std::size_t i = 0; i < 36; ++i)
        EXPECT_EQ(seenZero[i] & seenOne[i], i == 19 ? 0x3 : (std::set<std::size_t>{8, 13, 14, 18, 23}.count(i)) ? 0 : 0xF)
            << i;
}

TEST(Identifiers, OnlyVersion8IdsInEitherCaseCountAsIssuedByTheBridge) {
    for (const auto& [id, issued] : std::initializer_list<std::pair<const char*, bool>>{
             {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5b", true}, {"3F2A9C1E-7B4D-8E21-B9F0-0C1D2E3F4A5B", true},
             {"3f2a9c1e-7b4d-4e21-a9f0-0c1d2e3f4a5b", false}, {"3f2a9c1e-7b4d-8e21-c9f0-0c1d2e3f4a5b", false},
             {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5", false}, {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4a5bb", false},
             {"3f2a9c1e+7b4d-8e21-a9f0-0c1d2e3f4a5b", false}, {"3f2a9c1e-7b4d-8e21-a9f0-0c1d2e3f4g5b", false}, {"", false}})
        EXPECT_EQ(isBridgeIssuedId(id), issued) << id;
}

TEST(ClientText, OnlyWellFormedUtf8IsValidAndCleanedTextLosesControlsSeparatorsAndBadBytesCutAtWholeCharacters) {
    for (const char* text : {"", "plain", "\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) EXPECT_TRUE(isValidUtf8(text)) << text;
    for (const char* text : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\xC3(b"})
        EXPECT_FALSE(isValidUtf8(text)) << text;
    for (const auto& [text, maxChars, clean] : std::initializer_list<std::tuple<std::string, std::size_t, std::string>>{
             {"a\nb\r\tc\x1b[0m\x7f", 80, "abc[0m"}, {std::string("nul\0byte", 8), 80, "nulbyte"},
             {"c1\xC2\x80\xC2\x9F\xC2\xA0ok", 80, "c1\xC2\xA0ok"}, {"l\xE2\x80\xA8p\xE2\x80\xA9" "e\xE2\x80\xA7", 80, "lpe\xE2\x80\xA7"},
             {"bad\xFF\xC3utf8\xE2\x82", 80, "badutf8"}, {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
             {"\n\n\nabc", 2, "ab"}})
        EXPECT_EQ(sanitizeClientText(text, maxChars), clean) << text;
}

TEST(PluginLog, LinesAreStampedAndOneLineAndGoToTheVariableThenTheStateFolderCreatingDirectoriesOrNowhere) {
    EXPECT_EQ(formatPluginLogLine(1700000000, "a\r\nb", "error=\"x\ry\nz\""), "2023-11-14T22:13:20Z a  b error=\"x y z\"\n");
    EXPECT_EQ(formatPluginLogLine(0, "started", ""), "1970-01-01T00:00:00Z started\n");
#ifdef __APPLE__
    const fs::path underHome("/Users/someone/Library/Application Support/Lumenbox/MCP/logs/lumenbox-plugin.log");
#else
    const fs::path underHome("/Users/someone/.local/state/lumenbox/lumenbox-plugin.log");
#endif
    const fs::path underState = underHome.string().starts_with("/Users/someone/.local") ? "/st/lumenbox/lumenbox-plugin.log" : underHome;
    using Text = std::optional<std::string>;
    for (const auto& [variable, home, state, path] : std::initializer_list<std::tuple<Text, Text, Text, std::optional<fs::path>>>{
             {"relative/log.txt", "/Users/someone", "/st", "relative/log.txt"}, {std::nullopt, "/Users/someone", std::nullopt, underHome},
             {"", "/Users/someone", "", underHome}, {std::nullopt, "/Users/someone", "/st", underState}, {"", "", std::nullopt, std::nullopt},
             {std::nullopt, std::nullopt, std::nullopt, std::nullopt}}) {
        ScopedEnv homeEnv("HOME", home), pathEnv("LUMENBOX_PLUGIN_LOG_PATH", variable), stateEnv("XDG_STATE_HOME", state);
        EXPECT_EQ(pluginLogPath(), path) << variable.value_or("(unset)") << " " << home.value_or("(unset)");
        if (!path) appendPluginLog("plugin_init_exception", "nowhere to go");  // must simply do nothing
    }
    testing::TempDir dir;
    const auto path = dir.path() / "a" / "b" / "plugin.log", regularFile = dir.path() / "file";
    std::ofstream(regularFile) << "keep";
    // The last two cannot be written: a parent that is a regular file, and a directory.
    for (const fs::path& target : {path, path, regularFile / "sub" / "plugin.log", dir.path()}) {
        ScopedEnv logPath("LUMENBOX_PLUGIN_LOG_PATH", target.string());
        appendPluginLog("bridge_start_failed", "error=\"first\nsecond\"");
    }
    const std::string line = "\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ bridge_start_failed error=\"first second\"\n";
    EXPECT_TRUE(std::regex_match(testing::readFile(path), std::regex(line + line))) << testing::readFile(path);
    EXPECT_EQ(std::make_pair(testing::readFile(regularFile), fs::exists(regularFile / "sub")), std::make_pair(std::string("keep"), false));
}

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
