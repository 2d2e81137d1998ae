#include "base/Text.h"

#include <gtest/gtest.h>

namespace Lumenbox {
namespace {

TEST(Utf8Validation, AcceptsWellFormedTextOnly) {
    for (const char* valid : {"", "plain", "\xC3\xBC", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF"}) {
        EXPECT_TRUE(isValidUtf8(valid)) << valid;
    }
    const char* invalid[] = {
        "\x80",          "\xC3",          // a continuation without a lead; cut short
        "\xC0\xAF",      "\xE0\x80\xAF",  // overlong
        "\xED\xA0\x80",                   // surrogate
        "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80", "a\xC3(b",
    };
    for (const char* text : invalid) EXPECT_FALSE(isValidUtf8(text)) << text;
}

TEST(ClientText, LosesControlCharactersSeparatorsAndBadBytesAndIsCutAtWholeCharacters) {
    const std::tuple<std::string, std::size_t, std::string> cases[] = {
        {"plain agent", 80, "plain agent"},
        {"a\nb\r\tc\x1b[0m\x7f", 80, "abc[0m"},
        {std::string("nul\0byte", 8), 80, "nulbyte"},
        {"c1\xC2\x80\xC2\x9F\xC2\xA0ok", 80, "c1\xC2\xA0ok"},  // U+0080 and U+009F go, U+00A0 stays
        {"line\xE2\x80\xA8para\xE2\x80\xA9" "end\xE2\x80\xA7", 80, "lineparaend\xE2\x80\xA7"},
        {"bad\xFF\xC3utf8\xE2\x82", 80, "badutf8"},
        {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 2, "\xF0\x9F\x98\x80\xF0\x9F\x98\x80"},
        {"\n\n\nabc", 2, "ab"},  // what is removed does not count
    };
    for (const auto& [text, maxChars, clean] : cases) EXPECT_EQ(sanitizeClientText(text, maxChars), clean) << text;
}

}  // namespace
}  // namespace Lumenbox
