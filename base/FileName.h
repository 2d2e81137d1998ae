#pragma once

#include <string>

namespace Lumenbox {

// Turns whatever a client sends as a file name into the key under which files are registered,
// looked up, approved and shown; two names denote the same file exactly when their normalised
// forms are equal byte for byte. Accepts a plain name (trimmed), an "http://" or "https://" URL
// whose query carries "fileName=", or any other text carrying "fileName=" (the value up to the
// first "&"). The result is then cut before its first "/" and its first "?" unless that
// character is the very first one, and trimmed again.
//
// Works on bytes: only the six ASCII whitespace bytes are trimmed, searches are case-sensitive,
// and nothing is decoded ("%20" and "+" stay as they are), case-folded or stripped of an
// extension. Pure; safe from any thread. May return an empty string.
std::string normalizeFileName(const std::string& raw);

}  // namespace Lumenbox
