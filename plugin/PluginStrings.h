#pragma once

// Pure functions and constants: safe from any thread.
// What the plug-in tells the host about itself.

#include <cstdint>
#include <string>
#include <string_view>

#include "FMWrapper/FMXExtern.h"

namespace Lumenbox {

// The plug-in's four-character id, under which its calculation functions are registered.
inline constexpr std::string_view kPluginId = "LMBX";
inline constexpr std::string_view kPluginName = "Lumenbox";
// The id followed by the host's option flags.
inline constexpr std::string_view kPluginOptions = "LMBX1YnYYYn";
inline constexpr std::string_view kPluginWebAddress = "https://lumenbox.example/";

// The text of GetString `id`: name (128), description (129), options (131), web address (132);
// empty for any other id.
std::string pluginString(unsigned id);

// Writes the text of `id` into the host's buffer of `capacity` 16-bit units (GetString's parm3):
// as many characters as fit before a terminating 0 unit, each byte widened to one unit. Writes
// nothing when the capacity is 0 or the buffer is null, and never past the capacity.
void writePluginString(unsigned id, std::uint64_t capacity, fmx::unichar16* buffer);

}  // namespace Lumenbox
