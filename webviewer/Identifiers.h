#pragma once

#include <string>

namespace Lumenbox {

// Random identifiers of the form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (36 characters, lower-case
// hex, no fixed version or variant digits). They are unique in practice, not unguessable: the
// generator is a Mersenne Twister seeded once from /dev/urandom on first use.

// Fetch ids of POST /callScript calls and ids of web-viewer pings. Called on the server thread,
// but as safe as generateFetchId from any other.
std::string generateUuid();

// Fetch ids of the script bridge. Has its own generator, independent of generateUuid's.
// Safe to call from several threads at once.
std::string generateFetchId();

}  // namespace Lumenbox
