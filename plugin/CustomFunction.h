#pragma once

// The calculation function Lumenbox_RegisterPersistentToken( token ): a file calls it (typically
// from its start-up script) to register `token` as a shared token for itself, so that a client
// sending the token as its session reaches the file without an approval and without expiry. The
// function always answers "OK", whether or not it registered anything.

#include <string_view>

#include "fmx/HostSdk.h"

namespace Lumenbox {

class SessionStore;

inline constexpr std::string_view kPersistentTokenFunctionName = "Lumenbox_RegisterPersistentToken";
inline constexpr fmx::int16 kPersistentTokenFunctionId = 4;

// Makes the function register its tokens in `store` and adds it to the host's calculation
// language. On failure (the host raised an error or refused the function) nothing stays
// registered and the store is forgotten again.
// REQUIRES: host's main thread; `store` outlives the registration (unregisterCustomFunctions).
void registerCustomFunctions(SessionStore& store);

// Removes the function from the host and forgets the store, even when the host reports an error
// (which is then thrown). A late evaluation registers nothing.
// REQUIRES: host's main thread.
void unregisterCustomFunctions();

// The function's callback, called by the host on its main thread. Registers argument 0 as a
// shared token for the file the calculation runs in (the host's Get function for the file name,
// taken as it is), then sets the result to "OK" and returns 0. A missing store or argument, or a
// file name the host cannot tell, registers nothing. Returns an error only when the result cannot
// be set; never throws.
fmx::errcode registerPersistentTokenFunc(fmx::int16 functionId, const fmx::ExprEnv& environment,
                                         const fmx::DataVect& arguments, fmx::Data& result);

}  // namespace Lumenbox
