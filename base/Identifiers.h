#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Lumenbox {

// Identifiers that guard something (which call a callback completes, which ping a pong answers)
// come from the operating system's CSPRNG, never from a seeded generator: a local program that
// could predict the next fetch id could answer a call meant for a web viewer. Every id is a
// version-8 UUID (RFC 9562): 36 characters, lower-case hex in the 8-4-4-4-12 form, version nibble
// 8 and variant bits 10, the other 122 bits random. Browsers' own random UUIDs are version 4,
// so the bridge can tell its ids from those a page makes up (isBridgeIssuedId).

// Fills `size` bytes at `out` from the OS CSPRNG (getrandom on Linux, arc4random_buf on Apple).
// Throws std::system_error when the system has no randomness to give. Safe from any thread.
void fillSecureRandom(void* out, std::size_t size);

// Fetch ids of script calls (the bridge's and the script bridge's) and ids of web-viewer pings.
// Safe from any thread.
std::string generateUuid();

// True when `id` has the form of the ids above (version 8, variant 10; hex digits of either case,
// in case a script changed their case on the way): an id the bridge issued, not one of a page's.
bool isBridgeIssuedId(std::string_view id);

}  // namespace Lumenbox
