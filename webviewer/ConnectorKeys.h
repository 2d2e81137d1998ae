#pragma once

#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace Lumenbox {

// The per-file connector keys: secrets that only FileMaker can hand a web viewer page. The
// calculation function Lumenbox_ConnectorURL asks for its file's key and builds the page's URL
// with it; the bridge checks the key a page sends when it registers, so that with enhanced
// security on no other local program can take a file's web viewer over while the real page is
// connected. Each key is 256 bits from the OS CSPRNG, minted on first use per normalised file
// name and kept for the plug-in's life (a page reloaded later still holds a valid key).
//
// Safe from any thread: the calculation runs on the host's main thread, registrations are checked
// on the server thread.
class ConnectorKeys {
public:
    // The key of `fileName` (normalised), minted now if the file has none yet. Empty for an empty
    // name. Throws std::system_error when the system has no randomness to give.
    std::string keyFor(const std::string& fileName);

    // True when `key` is the key minted for `fileName` (normalised). False when none was minted.
    // The comparison takes the same time wherever the first difference lies.
    bool matches(const std::string& fileName, std::string_view key) const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> keys_;  // Guarded by mutex_
};

// "http://127.0.0.1:<port>/webviewer?fileName=<name>&key=<key>", the name percent-encoded (every
// byte but ASCII letters, digits and "-._~").
std::string connectorUrl(int port, const std::string& fileName, const std::string& key);

}  // namespace Lumenbox
