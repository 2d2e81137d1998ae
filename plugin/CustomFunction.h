#pragma once

// The plug-in's calculation functions:
// - Lumenbox_RegisterPersistentToken( token ): a file calls it (typically from its start-up
//   script) to register `token` as a shared token for itself, so that a client sending the token
//   as its session reaches the file without an approval and without expiry. It always answers
//   "OK", whether or not it registered anything.
// - Lumenbox_ConnectorURL: the URL a file's web viewer opens, carrying the file's name and its
//   connector key, so that the page can prove to the bridge that the file itself opened it.

#include <string_view>

#include "FMWrapper/FMXCalcEngine.h"
#include "FMWrapper/FMXData.h"

namespace Lumenbox {

class ConnectorKeys;
class SessionStore;

inline constexpr std::string_view kPersistentTokenFunctionName = "Lumenbox_RegisterPersistentToken";
inline constexpr fmx::int16 kPersistentTokenFunctionId = 4;
inline constexpr std::string_view kConnectorUrlFunctionName = "Lumenbox_ConnectorURL";
inline constexpr fmx::int16 kConnectorUrlFunctionId = 5;

// Makes the functions register their tokens in `store` and take their keys from `keys`, and adds
// them to the host's calculation language. On failure (the host raised an error or refused a
// function) nothing stays registered and the store and keys are forgotten again.
// REQUIRES: host's main thread; `store` and `keys` outlive the registration (unregisterCustomFunctions).
void registerCustomFunctions(SessionStore& store, ConnectorKeys& keys);

// Removes the functions from the host and forgets the store and keys, even when the host reports
// an error (the first of which is then thrown). Returns once no evaluation still uses the store or
// the keys, so both may go then; a late evaluation registers or mints nothing.
// REQUIRES: host's main thread.
void unregisterCustomFunctions();

// The functions' callbacks. The host may call them on any of its threads, several at once (server
// processes evaluate in sessions of their own); each is safe there.
//
// The token function's callback. Registers argument 0 as a
// shared token for the file the calculation runs in (the host's Get function for the file name,
// taken as it is), then sets the result to "OK" and returns 0. A missing store or argument, or a
// file name the host cannot tell, registers nothing. Returns an error only when the result cannot
// be set; never throws.
fmx::errcode registerPersistentTokenFunc(fmx::int16 functionId, const fmx::ExprEnv& environment,
                                         const fmx::DataVect& arguments, fmx::Data& result);

// The connector URL function's callback: sets the result to
// "http://127.0.0.1:1365/webviewer?fileName=<the calling file's name, percent-encoded>&key=<its
// connector key>" and returns 0. Without keys or a file name the host can tell, the result is
// empty text. Returns an error only when the result cannot be set; never throws.
fmx::errcode connectorUrlFunc(fmx::int16 functionId, const fmx::ExprEnv& environment, const fmx::DataVect& arguments,
                              fmx::Data& result);

}  // namespace Lumenbox
