#pragma once

// The host's plug-in interface, as far as the plug-in uses it: the extern-call structure the host
// passes to the plug-in's entry point, the host objects (texts, data, locales, four-character
// codes, argument lists, calculation environments) and the FM_* functions that create, read and
// release them.
//
// This is a stand-in written in plain C++ so that the plug-in builds, runs and is tested without
// the host. Host objects are opaque: the plug-in handles them only through the functions below.
// Every FM_* function reports failure through its trailing ErrorCode out-parameter; a function
// that also returns an errcode reports the outcome of the operation itself there (0 = done).

#include <cstdint>
#include <memory>

namespace fmx {

using int16 = std::int16_t;
using uint16 = std::uint16_t;
using int32 = std::int32_t;
using uint32 = std::uint32_t;
using uint64 = std::uint64_t;
using intptr = std::intptr_t;
using uchar = unsigned char;
using unichar16 = char16_t;
// Outcome of a host operation or of a plug-in callback; 0 means no error.
using errcode = int16;

// The trailing out-parameter of every FM_* function. The host sets `code` when the call failed.
struct ErrorCode {
    enum : int32 {
        kNoError = 0,
        kOutOfMemory = 1,  // the host could not allocate
        kUnknown = 2,      // any other failure inside the host
    };
    int32 code = kNoError;
};

class Text;
class Data;
class Locale;
class QuadChar;
class DataVect;
class ExprEnv;

// Text encodings of FM_Text_Assign and FM_Text_GetBytes.
inline constexpr int32 kEncodingUtf8 = 1;
// FM_Text_GetBytes: convert from the position to the end of the text.
inline constexpr uint32 kTextToEnd = 0xFFFFFFFFu;
// Locale type of FM_Locale_Constructor1: the host's default locale.
inline constexpr int32 kLocaleDefault = 1;
// Data type of FM_Data_SetAsText: plain text.
inline constexpr int32 kDataTypeText = 1;

// How a started script treats a script that is already running.
inline constexpr uchar kScriptControlHalt = 0;
inline constexpr uchar kScriptControlExit = 1;
inline constexpr uchar kScriptControlResume = 2;
inline constexpr uchar kScriptControlPause = 3;

// Get function of FM_ExprEnv_EvaluateGetFunction: the name of the file the calculation runs in.
inline constexpr int16 kGetFileName = 1005;

// A calculation function the plug-in adds to the host's calculation language. The host calls it on
// its main thread with the id it was registered under, the calculation's environment and its
// arguments; the callback puts its value into `result` and returns 0, or an error.
using ExtPluginType = errcode (*)(int16 functionId, const ExprEnv& environment, const DataVect& arguments,
                                  Data& result);

// Starts the script `scriptName` in the open file `fileName` with `parameter` as its parameter.
// Safe to call from any thread; the script runs later, on the host's main thread.
using StartScriptCall = errcode (*)(const Text* fileName, const Text* scriptName, uchar control,
                                    const Data* parameter);

// Message codes of the extern-call structure.
inline constexpr uchar kMessageInit = 0;
inline constexpr uchar kMessageIdle = 1;
inline constexpr uchar kMessageShutdown = 4;
inline constexpr uchar kMessagePreferences = 5;
inline constexpr uchar kMessageGetString = 7;

// The host's idle levels, the first parameter of an Idle message.
inline constexpr uchar kIdleUserIdle = 0;
inline constexpr uchar kIdleUserNotIdle = 1;
inline constexpr uchar kIdleScriptPaused = 2;
inline constexpr uchar kIdleScriptRunning = 3;
inline constexpr uchar kIdleUnsafe = 4;

// Answers to Init: the interface version the plug-in was built for, or "do not enable me".
inline constexpr intptr kInterfaceVersion = 76;
inline constexpr intptr kInitRefused = -2;

// String ids of a GetString message.
inline constexpr uchar kStringName = 128;
inline constexpr uchar kStringDescription = 129;
inline constexpr uchar kStringOptions = 131;
inline constexpr uchar kStringWebAddress = 132;

}  // namespace fmx

// What the host passes to the plug-in's entry point with every message. The host keeps one such
// structure for the plug-in's whole life and fills it anew before each call.
struct FMX_ExternCallStruct {
    fmx::int16 interfaceVersion = fmx::kInterfaceVersion;  // the host's interface version
    fmx::uchar message = 0;                                // one of the fmx::kMessage* codes
    fmx::uchar parameter1 = 0;     // Idle: the idle level; GetString: the string id
    fmx::uint32 parameter2 = 0;    // GetString: the buffer's capacity in 16-bit units
    fmx::uint64 parameter3 = 0;    // unused by the messages the plug-in handles
    fmx::intptr result = 0;        // Init: the plug-in's answer; GetString: the buffer's address
    fmx::StartScriptCall startScript = nullptr;
};
using FMX_ExternCallPtr = FMX_ExternCallStruct*;
// The entry point every plug-in exports under the name "FMExternCallProc".
using FMX_ExternCallProc = void (*)(FMX_ExternCallPtr);

#define LUMENBOX_HOST_API extern "C" __attribute__((visibility("default")))
// The stand-in host's own C++ interface (fmx/StandInHost.h).
#define LUMENBOX_HOST_API_CXX __attribute__((visibility("default")))

LUMENBOX_HOST_API fmx::Text* FM_Text_Constructor1(fmx::ErrorCode& error);
LUMENBOX_HOST_API void FM_Text_Delete(fmx::Text* text, fmx::ErrorCode& error);
// Replaces the text with the NUL-terminated `bytes` in `encoding`.
LUMENBOX_HOST_API void FM_Text_Assign(fmx::Text& text, const char* bytes, fmx::int32 encoding, fmx::ErrorCode& error);
// The length of the text in 16-bit units.
LUMENBOX_HOST_API fmx::uint32 FM_Text_GetSize(const fmx::Text& text, fmx::ErrorCode& error);
// Converts `size` units from `position` (fmx::kTextToEnd: to the end) to `encoding` into `buffer`,
// writing at most `bufferSize` bytes and never part of a character.
LUMENBOX_HOST_API void FM_Text_GetBytes(const fmx::Text& text, char* buffer, fmx::uint32 bufferSize,
                                        fmx::uint32 position, fmx::uint32 size, fmx::int32 encoding,
                                        fmx::ErrorCode& error);

LUMENBOX_HOST_API fmx::Data* FM_Data_Constructor1(fmx::ErrorCode& error);
LUMENBOX_HOST_API void FM_Data_Delete(fmx::Data* data, fmx::ErrorCode& error);
LUMENBOX_HOST_API fmx::errcode FM_Data_SetAsText(fmx::Data& data, const fmx::Text& text, const fmx::Locale& locale,
                                                 fmx::int32 type, fmx::ErrorCode& error);
// The data's value as text; owned by the data.
LUMENBOX_HOST_API const fmx::Text* FM_Data_GetAsText(const fmx::Data& data, fmx::ErrorCode& error);

LUMENBOX_HOST_API fmx::Locale* FM_Locale_Constructor1(fmx::int32 type, fmx::ErrorCode& error);
LUMENBOX_HOST_API void FM_Locale_Delete(fmx::Locale* locale, fmx::ErrorCode& error);

LUMENBOX_HOST_API fmx::QuadChar* FM_QuadChar_Constructor2(char c0, char c1, char c2, char c3, fmx::ErrorCode& error);
LUMENBOX_HOST_API void FM_QuadChar_Delete(fmx::QuadChar* quadChar, fmx::ErrorCode& error);

// Adds a calculation function under (pluginId, functionId); 0 when it was added.
LUMENBOX_HOST_API fmx::errcode FM_ExprEnv_RegisterExternalFunctionEx(
    const fmx::QuadChar& pluginId, fmx::int16 functionId, const fmx::Text& name, const fmx::Text& prototype,
    const fmx::Text& description, fmx::int16 minArguments, fmx::int16 maxArguments, fmx::uint32 flags,
    fmx::ExtPluginType callback, fmx::ErrorCode& error);
LUMENBOX_HOST_API fmx::errcode FM_ExprEnv_UnRegisterExternalFunction(const fmx::QuadChar& pluginId,
                                                                     fmx::int16 functionId, fmx::ErrorCode& error);
// Evaluates the Get function `getFunction` in the calculation's environment into `result`; 0 when
// the host could answer it.
LUMENBOX_HOST_API fmx::errcode FM_ExprEnv_EvaluateGetFunction(const fmx::ExprEnv& environment,
                                                              fmx::int16 getFunction, fmx::Data& result,
                                                              fmx::ErrorCode& error);

LUMENBOX_HOST_API fmx::uint32 FM_DataVect_Size(const fmx::DataVect& arguments, fmx::ErrorCode& error);
// Argument `position` as text; owned by the argument list.
LUMENBOX_HOST_API const fmx::Text* FM_DataVect_AtAsText(const fmx::DataVect& arguments, fmx::uint32 position,
                                                        fmx::ErrorCode& error);

namespace fmx {

// Owning pointers that release host objects through the matching Delete function. A failure to
// release cannot be reported from a destructor and is ignored.
struct TextDeleter {
    void operator()(Text* text) const noexcept {
        ErrorCode ignored;
        FM_Text_Delete(text, ignored);
    }
};
struct DataDeleter {
    void operator()(Data* data) const noexcept {
        ErrorCode ignored;
        FM_Data_Delete(data, ignored);
    }
};
struct LocaleDeleter {
    void operator()(Locale* locale) const noexcept {
        ErrorCode ignored;
        FM_Locale_Delete(locale, ignored);
    }
};
struct QuadCharDeleter {
    void operator()(QuadChar* quadChar) const noexcept {
        ErrorCode ignored;
        FM_QuadChar_Delete(quadChar, ignored);
    }
};

using TextUniquePtr = std::unique_ptr<Text, TextDeleter>;
using DataUniquePtr = std::unique_ptr<Data, DataDeleter>;
using LocaleUniquePtr = std::unique_ptr<Locale, LocaleDeleter>;
using QuadCharUniquePtr = std::unique_ptr<QuadChar, QuadCharDeleter>;

}  // namespace fmx
