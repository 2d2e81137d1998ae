#pragma once

#include <functional>
#include <string>

namespace Lumenbox {

// The authorization side as the features that reach a file's page see it. Loop thread only.
struct SessionGate {
    // Whether enhanced security is on now (it may change while the bridge runs).
    std::function<bool()> enhancedSecurity;
    // Whether `session` is approved for `fileName`; a pure check (it restarts the idle time only).
    std::function<bool(const std::string& session, const std::string& fileName)> isAuthorized;
    // Records `session` as approved for `fileName` without asking (enhanced security off), so that
    // it shows in the session list until the setting is switched on.
    std::function<void(const std::string& session, const std::string& fileName, const std::string& clientName)>
        approveOnFirstUse;

    // Whether a client under `session` (empty: none) may reach `fileName` now. With enhanced
    // security off every client is trusted, and its session is approved on first use.
    bool admit(const std::string& session, const std::string& fileName, const std::string& clientName) const {
        if (!session.empty() && isAuthorized(session, fileName)) return true;
        if (enhancedSecurity()) return false;
        if (!session.empty()) approveOnFirstUse(session, fileName, clientName);
        return true;
    }
};

}  // namespace Lumenbox
