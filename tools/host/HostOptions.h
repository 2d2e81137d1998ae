#pragma once

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace Lumenbox::devhost {

struct HostOptions {
    std::filesystem::path pluginPath;  // empty: the plug-in built next to this program
    bool demo = false;
    std::optional<bool> enhancedSecurity;
    // How authorization dialogs are answered: "ask", "allow", "deny" or "never"; unset, nobody
    // answers them (as "never"). The plug-in's stand-in dialogs read it from LUMENBOX_APPROVE.
    std::optional<std::string> approve;
    bool preferences = false;  // open the preferences window once, after Init
    // (file, token) pairs to register through the plug-in's calculation function, in order.
    std::vector<std::pair<std::string, std::string>> tokens;
    bool help = false;
};

// Pure function: safe from any thread.
// The options of the command line, or nullopt with `error` set when it is not understood.
std::optional<HostOptions> parseHostOptions(int argc, char** argv, std::string& error);

void printUsage(std::ostream& out);

}  // namespace Lumenbox::devhost
