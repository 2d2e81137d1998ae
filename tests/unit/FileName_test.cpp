#include "webviewer/FileName.h"

#include <gtest/gtest.h>

namespace Lumenbox {
namespace {

struct Case {
    const char* raw;
    const char* expected;
};

void expectAll(std::initializer_list<Case> cases) {
    for (const auto& c : cases) EXPECT_EQ(normalizeFileName(c.raw), c.expected) << "raw: \"" << c.raw << '"';
}

TEST(NormalizeFileName, TrimsAsciiWhitespaceOnlyAndKeepsInnerSpaces) {
    expectAll({
        {"", ""},
        {" \t\n\v\f\r", ""},
        {"  My Contacts \r\n", "My Contacts"},
        {"\xC2\xA0Name\xC2\xA0", "\xC2\xA0Name\xC2\xA0"},  // a UTF-8 no-break space is not ASCII whitespace
    });
}

TEST(NormalizeFileName, TakesFileNameFromTheQueryOfAnHttpUrl) {
    expectAll({
        {"http://127.0.0.1:1365/webviewer?fileName=Sales&mode=x", "Sales"},
        {"https://host/p?a=1&fileName=Sales", "Sales"},
        {"http://host/p?xfileName=Sales&y", "Sales"},        // found anywhere in the query
        {"http://host/p?fileName=  Sales  &y=1", "Sales"},   // value trimmed at the end
        {"http://host/p?fileName=Sub/Dir&y=1", "Sub"},       // then cut before "/"
    });
}

TEST(NormalizeFileName, UrlWithoutUsableQueryIsCutToItsScheme) {
    expectAll({
        {"http://host/fileName=Sales", "http:"},  // "fileName=" outside the query does not count
        {"https://host/p?mode=x", "https:"},
        {"http://host", "http:"},
    });
}

TEST(NormalizeFileName, OtherTextCarryingFileNameYieldsTheValue) {
    expectAll({
        {"webviewer?fileName=Sales&x=1", "Sales"},
        {"HTTP://host/p?fileName=Sales&x", "Sales"},  // capital scheme: not a URL, generic search
        {"fileName=a&b", "a"},
        {"fileName=", ""},
    });
}

TEST(NormalizeFileName, CutsBeforeSlashAndQuestionMarkUnlessFirstAndDecodesNothing) {
    expectAll({
        {"Sales/extra", "Sales"},
        {"/Sales/extra", "/Sales/extra"},
        {"Sales?x=1", "Sales"},
        {"?Sales", "?Sales"},
        {"/Sales?x", "/Sales"},
        {"Sales ?x", "Sales"},
        {"My%20File+Name.FMP12", "My%20File+Name.FMP12"},  // never decoded or case-folded
        {"http://h/p?fileName=A%2FB&z", "A%2FB"},
    });
}

}  // namespace
}  // namespace Lumenbox
