#include "tools/host/HostOptions.h"

#include <ostream>

namespace Lumenbox::devhost {

void printUsage(std::ostream& out) {
    out << "usage: lumenbox-host [--plugin PATH] [--demo] [--enhanced-security on|off]\n"
           "                     [--approve ask|allow|deny|never] [--preferences]\n"
           "                     [--register-token FILE=TOKEN]... [--help]\n"
           "Loads the Lumenbox plug-in and plays its host: Init, idle messages four times a second,\n"
           "Shutdown on Ctrl-C. The plug-in's bridge listens on 127.0.0.1:1365 (a fixed port).\n"
           "  --plugin PATH                 the plug-in to load (default: the one built with this program)\n"
           "  --demo                        attach a simulated file \"Demo\" (scripts Echo, LB_get_version,\n"
           "                                NeverAnswers)\n"
           "  --enhanced-security on|off    store the enhanced-security setting before Init; it is kept in\n"
           "                                ${XDG_CONFIG_HOME:-~/.config}/lumenbox/defaults.json for later runs\n"
           "  --approve ask|allow|deny|never\n"
           "                                how authorization dialogs are answered: asked on this terminal,\n"
           "                                allowed or denied at once, or never (they time out after 120 s);\n"
           "                                default: ask when standard input is a terminal, else never\n"
           "  --preferences                 after Init, open the preferences window on this terminal\n"
           "                                (answered there unless --approve says otherwise)\n"
           "  --register-token FILE=TOKEN   after Init, evaluate Lumenbox_RegisterPersistentToken(TOKEN)\n"
           "                                as a calculation in file FILE would (repeatable)\n"
           "  --help                        show this text\n";
}

std::optional<HostOptions> parseHostOptions(int argc, char** argv, std::string& error) {
    HostOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) {
                error = arg + " needs a value";
                return std::nullopt;
            }
            return std::string(argv[++i]);
        };
        if (arg == "--help" || arg == "-h") {
            options.help = true;
        } else if (arg == "--demo") {
            options.demo = true;
        } else if (arg == "--plugin") {
            auto path = value();
            if (!path) return std::nullopt;
            options.pluginPath = *path;
        } else if (arg == "--enhanced-security") {
            auto setting = value();
            if (!setting) return std::nullopt;
            if (*setting != "on" && *setting != "off") {
                error = "--enhanced-security takes on or off";
                return std::nullopt;
            }
            options.enhancedSecurity = *setting == "on";
        } else if (arg == "--approve") {
            auto mode = value();
            if (!mode) return std::nullopt;
            if (*mode != "ask" && *mode != "allow" && *mode != "deny" && *mode != "never") {
                error = "--approve takes ask, allow, deny or never";
                return std::nullopt;
            }
            options.approve = *mode;
        } else if (arg == "--preferences") {
            options.preferences = true;
        } else if (arg == "--register-token") {
            auto pair = value();
            if (!pair) return std::nullopt;
            // The file name ends at the first "=", so the token may contain "=" itself.
            const auto equals = pair->find('=');
            if (equals == std::string::npos || equals == 0 || equals + 1 == pair->size()) {
                error = "--register-token takes FILE=TOKEN, both not empty";
                return std::nullopt;
            }
            options.tokens.emplace_back(pair->substr(0, equals), pair->substr(equals + 1));
        } else {
            error = "unknown option " + arg;
            return std::nullopt;
        }
    }
    return options;
}

}  // namespace Lumenbox::devhost
