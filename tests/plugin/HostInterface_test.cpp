#include "plugin/HostInterface.h"

#include <new>
#include <vector>

#include <gtest/gtest.h>

#include "fmx/StandInHost.h"
#include "plugin/PluginHarness.h"

namespace Lumenbox::testing {
namespace {

TEST(HostInterfaceTest, TextsKeepEveryCharacterOnTheWayThroughTheHost) {
    PluginEnvironment environment;
    // One-, two-, three- and four-byte characters, the last ones taking two 16-bit units each.
    for (const std::string& text : std::vector<std::string>{"", "Invoices", "Ärzte – Übersicht", "請求書", "😀🎉 x",
                                                               std::string(5000, 'a')}) {
        EXPECT_EQ(textToString(*makeText(text)), text);
    }
    // A UTF-8 error comes back as the replacement character, never as a cut text.
    EXPECT_EQ(textToString(*makeText("a\xFF" "b")), "a\xEF\xBF\xBD" "b");
}

TEST(HostInterfaceTest, HostErrorsBecomeExceptionsAndOwnedObjectsAreReleased) {
    PluginEnvironment environment;
    const auto before = fmx::standin::liveObjects();

    fmx::standin::failCalls(fmx::standin::HostCall::TextConstructor, fmx::ErrorCode::kOutOfMemory);
    EXPECT_THROW(makeText("x"), std::bad_alloc);
    fmx::standin::clearFaults();

    fmx::standin::failCalls(fmx::standin::HostCall::TextAssign, 7);
    try {
        makeText("x");  // constructed, then failed to assign
        FAIL() << "no exception";
    } catch (const HostCallError& error) {
        EXPECT_EQ(error.code(), 7);
        EXPECT_STREQ(error.what(), "FM_Text_Assign failed with host error 7");
    }
    EXPECT_EQ(fmx::standin::liveObjects(), before);
}

}  // namespace
}  // namespace Lumenbox::testing
