// The built plug-in loaded with dlopen and driven through FMExternCallProc, as the host does.
#include <dlfcn.h>

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "fmx/StandInHost.h"
#include "plugin/PluginHarness.h"
#include "support/TestClients.h"
#include "tools/host/PluginLibrary.h"

namespace Lumenbox::testing {
namespace {

using devhost::PluginLibrary;

std::int64_t unixMillisNow() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool pluginIsLoaded() {
    void* handle = dlopen(kPluginPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

class LoadedPluginTest : public ::testing::Test {
protected:
    PluginEnvironment environment_;
};

TEST_F(LoadedPluginTest, HealthReportsTheLastIdleLevelAndWhenItCame) {
    PluginLibrary plugin(kPluginPath);
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    EXPECT_EQ((*bridgeHealth())["fileMaker"],
              (nlohmann::json{{"idleLevel", -1}, {"idleState", "unknown"}, {"observedAtUnixMs", 0}}));

    const auto before = unixMillisNow();
    plugin.idle(fmx::kIdleScriptRunning);
    const auto after = unixMillisNow();
    auto fileMaker = (*bridgeHealth())["fileMaker"];
    EXPECT_EQ(fileMaker["idleLevel"], 3);
    EXPECT_EQ(fileMaker["idleState"], "script_running");
    EXPECT_GE(fileMaker["observedAtUnixMs"].get<std::int64_t>(), before);
    EXPECT_LE(fileMaker["observedAtUnixMs"].get<std::int64_t>(), after);

    plugin.idle(fmx::kIdleUserIdle);
    EXPECT_EQ((*bridgeHealth())["fileMaker"]["idleState"], "user_idle");

    // Shutdown forgets the level: a later Init starts from "unknown" again.
    plugin.shutdown();
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    EXPECT_EQ((*bridgeHealth())["fileMaker"]["idleLevel"], -1);
    plugin.shutdown();
}

TEST_F(LoadedPluginTest, InitWhileThePortIsTakenStillEnablesThePlugin) {
    PortBlocker port;
    ASSERT_TRUE(port.bind());
    PluginLibrary plugin(kPluginPath);

    EXPECT_EQ(plugin.init(), fmx::kInterfaceVersion);

    EXPECT_FALSE(bridgeHealth());
    EXPECT_EQ(fmx::standin::registrations().size(), 2u);  // the function works without the bridge
    EXPECT_NE(environment_.logText().find("bridge_start_failed host=127.0.0.1 port=1365 error_code="),
              std::string::npos);
    plugin.idle();  // too early for a retry: nothing happens
    EXPECT_FALSE(bridgeHealth());
    plugin.shutdown();
}

TEST_F(LoadedPluginTest, FailingInitIsRefusedLoggedAndLeavesNothingBehind) {
    PluginLibrary plugin(kPluginPath);
    struct Case {
        fmx::standin::HostCall call;
        fmx::int32 code;
        std::string logged;
    };
    for (const Case& failure :
         {Case{fmx::standin::HostCall::RegisterExternalFunction, fmx::ErrorCode::kUnknown,
               "plugin_init_exception error=\"FM_ExprEnv_RegisterExternalFunctionEx failed with host error 2\"\n"},
          Case{fmx::standin::HostCall::QuadCharConstructor, fmx::ErrorCode::kOutOfMemory,
               "plugin_init_exception error=\"std::bad_alloc\"\n"}}) {
        fmx::standin::failCalls(failure.call, failure.code);
        EXPECT_EQ(plugin.init(), fmx::kInitRefused);
        fmx::standin::clearFaults();

        EXPECT_FALSE(bridgeHealth());
        EXPECT_TRUE(fmx::standin::registrations().empty());
        EXPECT_NE(environment_.logText().find(failure.logged), std::string::npos) << environment_.logText();
    }

    // Nothing of the failed attempts is in the way of the next one.
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    EXPECT_TRUE(bridgeHealth());
    plugin.shutdown();
}

TEST_F(LoadedPluginTest, FunctionTheHostRefusesFailsInit) {
    // Another plug-in already holds the function id.
    fmx::ErrorCode error;
    fmx::QuadCharUniquePtr id(FM_QuadChar_Constructor2('L', 'M', 'B', 'X', error));
    fmx::TextUniquePtr name(FM_Text_Constructor1(error));
    FM_Text_Assign(*name, "Other", fmx::kEncodingUtf8, error);
    auto other = [](fmx::int16, const fmx::ExprEnv&, const fmx::DataVect&, fmx::Data&) -> fmx::errcode { return 0; };
    ASSERT_EQ(FM_ExprEnv_RegisterExternalFunctionEx(*id, 4, *name, *name, *name, 1, 1, 0, other, error), 0);

    PluginLibrary plugin(kPluginPath);
    EXPECT_EQ(plugin.init(), fmx::kInitRefused);
    EXPECT_FALSE(bridgeHealth());

    FM_ExprEnv_UnRegisterExternalFunction(*id, 4, error);
}

TEST_F(LoadedPluginTest, GetStringFillsTheBufferWithinItsCapacity) {
    PluginLibrary plugin(kPluginPath);
    constexpr fmx::unichar16 kUntouched = 0xAAAA;
    // The units written for `id` into a buffer of `capacity` units, followed by one unit that
    // must never be written.
    auto answer = [&](fmx::uchar id, fmx::uint32 capacity) {
        std::vector<fmx::unichar16> buffer(capacity + 1, kUntouched);
        plugin.send(fmx::kMessageGetString, id, capacity, reinterpret_cast<fmx::intptr>(buffer.data()));
        EXPECT_EQ(buffer.back(), kUntouched) << "written past the capacity";
        buffer.pop_back();
        return std::u16string(buffer.begin(), buffer.end());
    };
    const std::u16string untouched(1, kUntouched);

    EXPECT_EQ(answer(fmx::kStringName, 10), std::u16string(u"Lumenbox\0", 9) + untouched);
    EXPECT_EQ(answer(fmx::kStringName, 9), std::u16string(u"Lumenbox\0", 9));
    EXPECT_EQ(answer(fmx::kStringName, 5), std::u16string(u"Lume\0", 5));
    EXPECT_EQ(answer(fmx::kStringName, 1), std::u16string(1, u'\0'));
    EXPECT_EQ(answer(fmx::kStringName, 0), u"");
    EXPECT_EQ(answer(130, 4), std::u16string(1, u'\0') + untouched + untouched + untouched);
    EXPECT_EQ(answer(127, 2), std::u16string(1, u'\0') + untouched);
    EXPECT_EQ(answer(133, 2), std::u16string(1, u'\0') + untouched);

    EXPECT_EQ(plugin.getString(fmx::kStringName), "Lumenbox");
    EXPECT_EQ(plugin.getString(fmx::kStringDescription), "Lumenbox Plugin v3.2.0 - Local connection for Lumenbox MCP");
    EXPECT_EQ(plugin.getString(fmx::kStringOptions), "LMBX1YnYYYn");
    EXPECT_EQ(plugin.getString(fmx::kStringWebAddress).rfind("https://", 0), 0u);

    // No buffer at all: nothing to write, nothing to crash on.
    plugin.send(fmx::kMessageGetString, fmx::kStringName, 10, 0);
}

TEST_F(LoadedPluginTest, MessagesItDoesNotHandleChangeNothing) {
    PluginLibrary plugin(kPluginPath);
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    plugin.idle(fmx::kIdleScriptPaused);
    const auto before = bridgeHealth();
    ASSERT_TRUE(before);

    for (const fmx::uchar message : {2, 3, 6, 8, 9, 100, 255}) {
        plugin.send(message, fmx::kIdleUnsafe, 10, 12345);
        EXPECT_EQ(plugin.lastCall().result, 12345) << "message " << int(message);
    }

    EXPECT_EQ(bridgeHealth(), before);
    EXPECT_EQ(fmx::standin::registrations().size(), 2u);
    plugin.shutdown();
}

// Twice with Shutdown before the unload, then once unloaded with the bridge running.
TEST_F(LoadedPluginTest, InitStartsTheBridgeAndShutdownOrUnloadStopsItLeavingNoThreadOrDescriptorBehind) {
    // Some runtimes (ThreadSanitizer's) start a helper thread of their own with the process's
    // first thread: start and join one first, so that the baseline already counts it.
    std::thread([] {}).join();
    const auto threads = threadCount();
    const auto descriptors = openDescriptorCount();

    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            PluginLibrary plugin(kPluginPath);
            ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
            plugin.idle();
            const auto health = bridgeHealth();
            ASSERT_TRUE(health);
            EXPECT_EQ((*health)["status"], "ok");
            EXPECT_EQ((*health)["version"], "3.2.0");
            EXPECT_EQ(fmx::standin::registrations().size(), 2u);
            EXPECT_GT(threadCount(), threads);
            if (round < 2) {
                plugin.shutdown();
                EXPECT_FALSE(bridgeHealth());
            }
        }
        EXPECT_FALSE(pluginIsLoaded());
        EXPECT_FALSE(bridgeHealth());
        EXPECT_TRUE(fmx::standin::registrations().empty()) << "a callback into the unloaded library is left behind";
        // A joined thread's kernel task may linger for a moment after the join returns.
        EXPECT_TRUE(eventually([&] { return threadCount() == threads; }, 5s)) << threadCount() << " threads, " << threads << " before";
        EXPECT_EQ(openDescriptorCount(), descriptors);
    }
}

}  // namespace
}  // namespace Lumenbox::testing
