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

#include "FMWrapper/FMXText.h"
#include "FMWrapper/FMXTypes.h"
#include "plugin/PluginHarness.h"
#include "tools/host/PluginLibrary.h"
#include "tools/host/SettingsFile.h"

namespace Lumenbox::testing {
namespace {

using devhost::PluginLibrary;
using fmx::standin::HostCall;

struct LoadedPluginTest : ::testing::Test {
    PluginEnvironment environment_;
};

// Refused when the functions cannot be registered, without the bridge when the port is taken.
TEST_F(LoadedPluginTest, InitUnderAFaultIsRefusedOrRunsWithoutTheBridgeAndLeavesNothingInTheWay) {
    PluginLibrary plugin(kPluginPath);
    PortBlocker port;
    fmx::QuadCharUniquePtr id('L', 'M', 'B', 'X');
    fmx::TextUniquePtr name;
    name->Assign("Other", fmx::Text::kEncoding_UTF8);
    auto other = [](short, const fmx::ExprEnv&, const fmx::DataVect&, fmx::Data&) -> fmx::errcode { return 0; };
    auto failing = [](HostCall call, int code) { return [=] { fmx::standin::failCalls(call, code); }; };
    const std::tuple<std::function<void()>, std::function<void()>, fmx::ptrtype, std::size_t, std::string> cases[] = {
        {failing(HostCall::RegisterExternalFunction, 2), fmx::standin::clearFaults, kDeclined, 0,
         "plugin_init_exception error=\"" + std::string(std::exception().what()) + "\"\n"},
        {failing(HostCall::QuadCharConstructor, 1), fmx::standin::clearFaults, kDeclined, 0, "plugin_init_exception error=\"std::bad_alloc\"\n"},
        {[&] { ASSERT_EQ(fmx::ExprEnv::RegisterExternalFunctionEx(*id, 4, *name, *name, *name, 1, 1, 0, other), 0); },
         [&] { fmx::ExprEnv::UnRegisterExternalFunction(*id, 4); }, kDeclined, 1,
         "plugin_init_exception error=\"FM_ExprEnv_RegisterExternalFunctionEx failed with host error 1\"\n"},
        {[&] { ASSERT_TRUE(port.bind()); }, [&] { port.release(); }, kEnabled, 2, "bridge_start_failed host=127.0.0.1 port=1365 error_code="},
    };
    for (const auto& [fault, clear, init, functions, logged] : cases) {
        fault();
        EXPECT_EQ((std::pair{plugin.init(), fmx::standin::registrations().size()}), std::pair(init, functions)) << logged;
        clear();
        EXPECT_TRUE(!bridgeHealth() && environment_.logText().find(logged) != std::string::npos) << environment_.logText();
        plugin.shutdown();
    }
    EXPECT_TRUE((plugin.init(), bridgeHealth())) << "no init after a refused one";
    plugin.shutdown();
}

// The capacity comes in parm3; parm2 holds the Windows language id (1033, US English), far more
// than the buffer holds.
TEST_F(LoadedPluginTest, GetStringWritesWithinTheCapacityTheHostGivesInParm3) {
    PluginLibrary plugin(kPluginPath);
    constexpr char16_t kUntouched = 0xAAAA;
    const std::u16string name(u"Lumenbox\0", 9), empty(1, u'\0');
    // The id, the capacity, and what is written, then untouched units up to the capacity and one more.
    const std::tuple<FMX_Strings, fmx::uint32, std::u16string> cases[] = {{kFMXT_NameStr, 10, name},
        {kFMXT_NameStr, 9, name}, {kFMXT_NameStr, 5, u"Lume" + empty}, {kFMXT_NameStr, 1, empty},
        {kFMXT_NameStr, 0, u""}, {130, 4, empty}, {127, 2, empty}, {133, 2, empty}};
    for (const auto& [id, capacity, written] : cases) {
        std::u16string buffer(capacity + 1, kUntouched);
        plugin.send(kFMXT_GetString, id, 1033, capacity, reinterpret_cast<fmx::ptrtype>(buffer.data()));
        EXPECT_EQ(buffer, written + std::u16string(capacity + 1 - written.size(), kUntouched)) << int(id) << "/" << capacity;
    }
    EXPECT_EQ(plugin.getString(kFMXT_OptionsStr), "LMBX1YnYYYn");
    plugin.send(kFMXT_GetString, kFMXT_NameStr, 1033, 10, 0);  // no buffer: nothing to crash on
}

// Twice with Shutdown before the unload, then once unloaded with the bridge running. /health shows
// the last idle level and when it was seen; other messages answer with the result they were given
// and change nothing; Shutdown forgets the level.
TEST_F(LoadedPluginTest, InitStartsTheBridgeAndShutdownOrUnloadStopsItLeavingNoThreadOrDescriptorBehind) {
    std::thread([] {}).join();  // some runtimes (ThreadSanitizer's) start a helper with the first thread
    const auto threads = procEntries("task"), descriptors = procEntries("fd");
    auto nowMs = [] { return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count(); };
    for (int round = 0; round < 3; ++round) {
        {
            PluginLibrary plugin(kPluginPath);
            ASSERT_EQ(plugin.init(), kEnabled);
            EXPECT_GT(procEntries("task"), threads);
            const auto before = nowMs();
            plugin.idle(kFMXT_ScriptRunning);
            const auto health = *bridgeHealth();
            const auto& seen = health["fileMaker"];
            EXPECT_TRUE(health["version"] == "3.2.0" && seen["idleLevel"] == 3 && seen["idleState"] == "script_running" &&
                        before <= seen["observedAtUnixMs"] && seen["observedAtUnixMs"] <= nowMs()) << health;
            for (const FMX_ExternCallSwitch message : {2, 3, 6, 8, 9, 10, 100, 255}) {
                EXPECT_EQ((plugin.send(message, kFMXT_Unsafe, 10, 20, 12345), plugin.lastCall().result), 12345u) << int(message);
            }
            EXPECT_EQ(std::pair(*bridgeHealth(), fmx::standin::registrations().size()), std::pair(health, std::size_t{2}));
            if (round < 2) {
                plugin.shutdown();
                ASSERT_EQ(plugin.init(), kEnabled);
                EXPECT_EQ((*bridgeHealth())["fileMaker"], (nlohmann::json{{"idleLevel", -1}, {"idleState", "unknown"}, {"observedAtUnixMs", 0}}));
                plugin.shutdown();
            }
        }
        void* handle = dlopen(kPluginPath.c_str(), RTLD_NOW | RTLD_NOLOAD);
        EXPECT_EQ(handle, nullptr) << "still loaded after round " << round;
        if (handle) dlclose(handle);
        // No callback into the unloaded library; a joined thread's kernel task may linger a moment.
        EXPECT_TRUE(!bridgeHealth() && fmx::standin::registrations().empty());
        EXPECT_TRUE(eventually([&] { return procEntries("task") == threads; }, 5s));
        EXPECT_EQ(procEntries("fd"), descriptors);
    }
}

// The development host as a user runs it, with no copy of the plug-in's code: its options reach
// the plug-in it loads (the setting through the file both read, keeping the file's other keys),
// the demo file's web viewer runs scripts, and the banner says where the setting is kept. A
// second host finds the port taken, says why, and keeps its demo file away from the first's bridge.
// The plug-in's debug log shows the requests.
TEST_F(LoadedPluginTest, DevelopmentHostRunsThePluginWithItsOptionsAndTheDemoFile) {
    const auto settings = *devhost::settingsFile();
    std::filesystem::create_directories(settings.parent_path());
    std::ofstream(settings) << R"({"Other":[1]})";
    struct Child {  // a host whose standard input is empty and whose output goes to `output`
        std::string output;
        pid_t pid = 0;
        Child(std::string path, std::vector<const char*> argv) : output(std::move(path)) {
            posix_spawn_file_actions_t actions;
            posix_spawn_file_actions_init(&actions);
            posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
            posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            argv.insert(argv.begin(), LUMENBOX_HOST_PATH);
            argv.push_back(nullptr);
            if (posix_spawn(&pid, argv[0], &actions, nullptr, const_cast<char* const*>(argv.data()), environ)) pid = 0;
            posix_spawn_file_actions_destroy(&actions);
        }
        bool says(const std::string& line) const { return readFile(output).find(line) != std::string::npos; }
        int stop(int s = -1) { return pid > 0 && !kill(pid, SIGTERM) && waitpid(pid, &s, 0) == pid ? (pid = 0, s) : -1; }
        ~Child() { stop(); }
    };
    const ScopedEnv debugLog("LUMENBOX_LOG_LEVEL", "debug");  // read by the host's plug-in at its start
    Child host((environment_.home() / "host.out").string(), {"--demo", "--enhanced-security", "on", "--approve", "allow"});
    ASSERT_GT(host.pid, 0);

    ASSERT_TRUE(eventually([] { return bridgeHealth() && httpGet(kBridgePort, "/connectedFiles").body == R"(["Demo"])"; }, 10s));
    auto call = [](const char* session) {
        const std::map<std::string, std::string> headers{{"x-lumenbox-session", session}};
        return httpPost(kBridgePort, "/callScript", R"({"connectedFileName":"Demo","scriptName":"Echo","data":{"a":1}})", headers);
    };
    EXPECT_EQ(call("host-session-2").status, 401);
    const auto approval = httpPost(kBridgePort, "/authorizeSession", R"({"sessionId":"host-session-1","fileName":"Demo"})");
    EXPECT_EQ(std::pair(approval.body, call("host-session-1").json()["result"]),
              std::pair(std::string(R"({"status":"approved"})"), nlohmann::json{{"a", 1}}));

    Child second((environment_.home() / "second.out").string(), {"--demo"});
    EXPECT_TRUE(eventually([&] { return second.says("(Address already in use)"); }, 10s)) << readFile(second.output);
    for (const char* line : {"port 1365 is taken (Address already in use): ", "the plug-in retries after 1, 5, 30, then every 60 s",
                             "no one answers authorization questions here: each times out after 120 s; choose with --approve"}) {
        EXPECT_TRUE(second.says(line)) << line << "\n" << readFile(second.output);
    }
    EXPECT_EQ(second.stop(), 0);
    EXPECT_FALSE(second.says("connected")) << readFile(second.output);
    EXPECT_EQ(httpGet(kBridgePort, "/connectedFiles").body, R"(["Demo"])");

    const int status = host.stop();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0 && !bridgeHealth());
    for (const std::string& line : {std::string("bridge listening on http://127.0.0.1:1365 (enhanced security on)"),
                                   "enhanced security is on, kept for later runs in " + settings.string() +
                                       "; change it with --enhanced-security off",
                                   std::string("web viewer of \"Demo\" connected")}) {
        EXPECT_TRUE(host.says(line)) << line << "\n" << readFile(host.output);
    }
    EXPECT_FALSE(host.says("no one answers")) << readFile(host.output);
    EXPECT_EQ(nlohmann::json::parse(readFile(settings)), (nlohmann::json{{"EnableEnhancedSecurity", true}, {"Other", {1}}}));
    // The debug level logs every request as it ends and every WebSocket event, never a session id.
    const auto log = environment_.logText();
    for (const char* line : {" request method=POST path=/callScript status=401 file=\"Demo\" duration_ms=",
                             " request method=POST path=/callScript status=200 file=\"Demo\" duration_ms=",
                             " request method=GET path=/connectedFiles status=200 duration_ms=",
                             " ws_event event=register file=\"Demo\" duration_ms=", " ws_event event=callback file=\"Demo\""}) {
        EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;
    }
    EXPECT_EQ(log.find("host-session"), std::string::npos) << log;
}

}  // namespace
}  // namespace Lumenbox::testing
