#include "webviewer/FileName.h"

#include <gtest/gtest.h>

namespace Lumenbox {
namespace {

TEST(NormalizeFileName, TrimsTakesTheValueOfAnyFileNameParameterAndCutsAtASlashOrQuestionMarkNotFirst) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""}, {" \t\n\v\f\r", ""}, {"  My Contacts \r\n", "My Contacts"},
        {"\xC2\xA0Name\xC2\xA0", "\xC2\xA0Name\xC2\xA0"},  // only ASCII white space is trimmed
        {"http://127.0.0.1:1365/webviewer?fileName=Sales&mode=x", "Sales"}, {"https://host/p?a=1&fileName=Sales", "Sales"},
        {"http://host/p?xfileName=Sales&y", "Sales"}, {"http://host/p?fileName=  Sales  &y=1", "Sales"},
        {"http://host/p?fileName=Sub/Dir&y=1", "Sub"}, {"http://h/p?fileName=A%2FB&z", "A%2FB"},
        // A URL without the parameter in its query is cut to its scheme.
        {"http://host/fileName=Sales", "http:"}, {"https://host/p?mode=x", "https:"}, {"http://host", "http:"},
        // Not a URL: the parameter is found anywhere.
        {"webviewer?fileName=Sales&x=1", "Sales"}, {"HTTP://host/p?fileName=Sales&x", "Sales"}, {"fileName=", ""},
        {"Sales/extra", "Sales"}, {"/Sales/extra", "/Sales/extra"}, {"Sales?x=1", "Sales"}, {"?Sales", "?Sales"},
        {"/Sales?x", "/Sales"}, {"Sales ?x", "Sales"}, {"My%20File+Name.FMP12", "My%20File+Name.FMP12"},  // never decoded
    };
    for (const auto& [raw, name] : cases) EXPECT_EQ(normalizeFileName(raw), name) << '"' << raw << '"';
}

}  // namespace
}  // namespace Lumenbox
