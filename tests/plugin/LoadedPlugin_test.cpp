// The built plug-in loaded with dlopen and driven through FMExternCallProc, as the host does.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <fstream>
#include <functional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "plugin/PluginHarness.h"
#include "tools/host/PluginLibrary.h"
#include "tools/host/SettingsFile.h"

namespace Lumenbox::testing {
namespace {

using devhost::PluginLibrary;
using fmx::standin::HostCall;

class LoadedPluginTest : public ::testing::Test {
protected:
    PluginEnvironment environment_;
};

TEST_F(LoadedPluginTest, HealthShowsTheLastIdleLevelOtherMessagesChangeNothingAndShutdownForgetsTheLevel) {
    PluginLibrary plugin(kPluginPath);
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    EXPECT_EQ((*bridgeHealth())["fileMaker"],
              (nlohmann::json{{"idleLevel", -1}, {"idleState", "unknown"}, {"observedAtUnixMs", 0}}));
    auto unixMillisNow = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    const auto before = unixMillisNow();
    plugin.idle(fmx::kIdleScriptRunning);
    auto fileMaker = (*bridgeHealth())["fileMaker"];
    EXPECT_EQ(fileMaker["idleLevel"], 3);
    EXPECT_EQ(fileMaker["idleState"], "script_running");
    EXPECT_GE(fileMaker["observedAtUnixMs"].get<std::int64_t>(), before);
    EXPECT_LE(fileMaker["observedAtUnixMs"].get<std::int64_t>(), unixMillisNow());

    const auto health = bridgeHealth();
    for (const fmx::uchar message : {2, 3, 6, 8, 9, 100, 255}) {
        plugin.send(message, fmx::kIdleUnsafe, 10, 12345);
        EXPECT_EQ(plugin.lastCall().result, 12345) << "message " << int(message);
    }
    EXPECT_EQ(bridgeHealth(), health);
    EXPECT_EQ(fmx::standin::registrations().size(), 2u);

    plugin.shutdown();
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    EXPECT_EQ((*bridgeHealth())["fileMaker"]["idleLevel"], -1);
    plugin.shutdown();
}

TEST_F(LoadedPluginTest, InitUnderAFaultIsRefusedOrRunsWithoutTheBridgeAndLeavesNothingInTheWay) {
    PluginLibrary plugin(kPluginPath);
    PortBlocker port;
    fmx::ErrorCode error;
    fmx::QuadCharUniquePtr id(FM_QuadChar_Constructor2('L', 'M', 'B', 'X', error));
    fmx::TextUniquePtr name(FM_Text_Constructor1(error));
    FM_Text_Assign(*name, "Other", fmx::kEncodingUtf8, error);
    auto other = [](fmx::int16, const fmx::ExprEnv&, const fmx::DataVect&, fmx::Data&) -> fmx::errcode { return 0; };
    struct Case {
        const char* name;
        std::function<void()> fault, clear;
        fmx::intptr init;
        std::size_t functions;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"the host refuses the function", [] { fmx::standin::failCalls(HostCall::RegisterExternalFunction, 2); },
         fmx::standin::clearFaults, fmx::kInitRefused, 0,
         "plugin_init_exception error=\"FM_ExprEnv_RegisterExternalFunctionEx failed with host error 2\"\n"},
        {"the host is out of memory", [] { fmx::standin::failCalls(HostCall::QuadCharConstructor, 1); },
         fmx::standin::clearFaults, fmx::kInitRefused, 0, "plugin_init_exception error=\"std::bad_alloc\"\n"},
        {"another plug-in holds the function id",
         [&] { ASSERT_EQ(FM_ExprEnv_RegisterExternalFunctionEx(*id, 4, *name, *name, *name, 1, 1, 0, other, error), 0); },
         [&] { FM_ExprEnv_UnRegisterExternalFunction(*id, 4, error); }, fmx::kInitRefused, 1, ""},
        // The functions work without the bridge.
        {"the port is taken", [&] { ASSERT_TRUE(port.bind()); }, [&] { port.release(); },
         fmx::kInterfaceVersion, 2, "bridge_start_failed host=127.0.0.1 port=1365 error_code="},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.fault();
        EXPECT_EQ(plugin.init(), c.init);
        EXPECT_EQ(fmx::standin::registrations().size(), c.functions);
        c.clear();
        EXPECT_FALSE(bridgeHealth());
        EXPECT_NE(environment_.logText().find(c.logged), std::string::npos) << environment_.logText();
        plugin.shutdown();
    }
    ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
    EXPECT_TRUE(bridgeHealth());
    plugin.shutdown();
}

TEST_F(LoadedPluginTest, GetStringWritesWithinTheBufferItIsGiven) {
    PluginLibrary plugin(kPluginPath);
    constexpr char16_t kUntouched = 0xAAAA;
    const struct {
        fmx::uchar id;
        fmx::uint32 capacity;
        std::u16string written;  // then untouched units up to the capacity, and one more
    } cases[] = {{fmx::kStringName, 10, std::u16string(u"Lumenbox\0", 9)}, {fmx::kStringName, 9, std::u16string(u"Lumenbox\0", 9)},
                 {fmx::kStringName, 5, std::u16string(u"Lume\0", 5)},     {fmx::kStringName, 1, std::u16string(1, u'\0')},
                 {fmx::kStringName, 0, u""},                              {130, 4, std::u16string(1, u'\0')},
                 {127, 2, std::u16string(1, u'\0')},                     {133, 2, std::u16string(1, u'\0')}};
    for (const auto& c : cases) {
        std::u16string buffer(c.capacity + 1, kUntouched);
        plugin.send(fmx::kMessageGetString, c.id, c.capacity, reinterpret_cast<fmx::intptr>(buffer.data()));
        EXPECT_EQ(buffer, c.written + std::u16string(c.capacity + 1 - c.written.size(), kUntouched))
            << "string " << int(c.id) << ", capacity " << c.capacity;
    }
    EXPECT_EQ(plugin.getString(fmx::kStringDescription), "Lumenbox Plugin v3.2.0 - Local connection for Lumenbox MCP");
    EXPECT_EQ(plugin.getString(fmx::kStringOptions), "LMBX1YnYYYn");
    EXPECT_EQ(plugin.getString(fmx::kStringWebAddress).rfind("https://", 0), 0u);
    plugin.send(fmx::kMessageGetString, fmx::kStringName, 10, 0);  // no buffer: nothing to crash on
}

// Twice with Shutdown before the unload, then once unloaded with the bridge running.
TEST_F(LoadedPluginTest, InitStartsTheBridgeAndShutdownOrUnloadStopsItLeavingNoThreadOrDescriptorBehind) {
    // Some runtimes (ThreadSanitizer's) start a helper thread with the process's first thread:
    // start and join one first, so that the baseline already counts it.
    std::thread([] {}).join();
    const auto threads = procEntries("task");
    const auto descriptors = procEntries("fd");
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        {
            PluginLibrary plugin(kPluginPath);
            ASSERT_EQ(plugin.init(), fmx::kInterfaceVersion);
            plugin.idle();
            EXPECT_EQ((*bridgeHealth())["version"], "3.2.0");
            EXPECT_GT(procEntries("task"), threads);
            if (round < 2) plugin.shutdown();
        }
        void* handle = dlopen(kPluginPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(handle, nullptr) << "still loaded";
        if (handle) dlclose(handle);
        EXPECT_FALSE(bridgeHealth());
        EXPECT_TRUE(fmx::standin::registrations().empty()) << "a callback into the unloaded library is left behind";
        // A joined thread's kernel task may linger for a moment after the join returns.
        EXPECT_TRUE(eventually([&] { return procEntries("task") == threads; }, 5s));
        EXPECT_EQ(procEntries("fd"), descriptors);
    }
}

// The development host as a user runs it, with no copy of the plug-in's code: its options reach
// the plug-in it loads (the setting through the file both read, keeping the file's other keys),
// and the demo file's web viewer runs scripts.
TEST_F(LoadedPluginTest, DevelopmentHostRunsThePluginWithItsOptionsAndTheDemoFile) {
    const auto settings = *devhost::settingsFile();
    std::filesystem::create_directories(settings.parent_path());
    std::ofstream(settings) << R"({"Other":[1]})";
    const auto output = (environment_.home() / "host.out").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<std::string> args = {LUMENBOX_HOST_PATH, "--demo", "--enhanced-security", "on", "--approve", "allow"};
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    struct Child {
        pid_t pid = 0;
        int stop() {  // SIGTERM, then its exit status
            int status = -1;
            if (pid > 0 && kill(pid, SIGTERM) == 0 && waitpid(pid, &status, 0) == pid) pid = 0;
            return status;
        }
        ~Child() { stop(); }
    } host;
    ASSERT_EQ(posix_spawn(&host.pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);

    ASSERT_TRUE(eventually([] { return bridgeHealth() && httpGet(kBridgePort, "/connectedFiles").body == R"(["Demo"])"; }, 10s));
    const std::string call = R"({"connectedFileName":"Demo","scriptName":"Echo","data":{"a":1}})";
    EXPECT_EQ(httpPost(kBridgePort, "/callScript", call, {{"x-lumenbox-session", "host-session-2"}}).status, 401);
    const auto approval = httpPost(kBridgePort, "/authorizeSession", R"({"sessionId":"host-session-1","fileName":"Demo"})");
    EXPECT_EQ(approval.body, R"({"status":"approved"})");
    const auto reply = httpPost(kBridgePort, "/callScript", call, {{"x-lumenbox-session", "host-session-1"}});
    EXPECT_EQ(reply.json()["result"], nlohmann::json({{"a", 1}})) << reply.body;

    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(bridgeHealth());
    const auto printed = readFile(output);
    EXPECT_NE(printed.find("bridge listening on http://127.0.0.1:1365 (enhanced security on)"), std::string::npos) << printed;
    EXPECT_NE(printed.find("demo: web viewer of \"Demo\" connected"), std::string::npos) << printed;
    EXPECT_EQ(nlohmann::json::parse(readFile(settings)), (nlohmann::json{{"EnableEnhancedSecurity", true}, {"Other", {1}}}));
}

}  // namespace
}  // namespace Lumenbox::testing
