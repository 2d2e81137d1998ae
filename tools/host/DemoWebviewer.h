#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace Lumenbox::devhost {

// A simulated FileMaker file for trying the bridge without FileMaker: a WebSocket client that
// registers as the file's web viewer, answers "ping" with "pong" and runs a few built-in scripts
// when the bridge forwards a "callScript":
//   "Echo"            returns its data
//   "LB_get_version"  returns the plug-in version
//   "NeverAnswers"    never calls back (to see a time-out)
// any other script answers {"error":"Unknown script: <name>"}. A parameter that is not the
// bridge's envelope (a page's own FileMaker.PerformScript) is the script's data as it is. It
// registers with the file's connector key when it has one, and reconnects every 2 s while the
// bridge is away, like the real page.
class DemoWebviewer {
public:
    DemoWebviewer(int port, std::string fileName, std::string connectorKey = {});
    ~DemoWebviewer();  // disconnects and joins its thread
    DemoWebviewer(const DemoWebviewer&) = delete;
    DemoWebviewer& operator=(const DemoWebviewer&) = delete;

private:
    struct Connection;
    void run();
    std::optional<std::string> answer(const std::string& text) const;

    int port_;
    std::string fileName_;
    std::string connectorKey_;
    std::atomic<bool> stopping_{false};
    std::mutex pauseMutex_;
    std::condition_variable pauseEnded_;  // wakes the reconnect pause at shutdown
    std::shared_ptr<Connection> connection_;
    std::thread thread_;
};

}  // namespace Lumenbox::devhost
