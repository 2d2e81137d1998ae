// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
#ifndef FMWRAPPER_FMXCALCENGINE_H
#define FMWRAPPER_FMXCALCENGINE_H

#include "FMWrapper/FMXClient.h"

extern "C++" {
namespace fmx {

class Text;
class Data;
class QuadChar;
class ExprEnv;

class DataVect {
public:
    inline uint32 Size() const;
    inline const Text& AtAsText(uint32 position) const;
    inline const Data& At(uint32 position) const;
    inline void operator delete(void* obj);

private:
    DataVect();
    DataVect(const DataVect& other);
};

FMX_PROCPTR(errcode, ExtPluginType)(short functionId, const ExprEnv& env, const DataVect& parms, Data& result);

class ExprEnv {
public:
    enum {
        kDisplayInAllDialogs = 0x0000FF00,
        kMacCompatible = 0x00000002,
        kWinCompatible = 0x00000004,
        kServerCompatible = 0x00000008,
        kIOSCompatible = 0x00000010,
        kCustomWebCompatible = 0x00000020,
        kWebDirectCompatible = 0x00000040,
        kAllDeviceCompatible = kMacCompatible | kWinCompatible | kServerCompatible | kIOSCompatible |
                               kCustomWebCompatible | kWebDirectCompatible,
        kFutureCompatible = kAllDeviceCompatible | 0x00FF0000
    };
    enum {
        kGet_ApplicationVersion = 1001,
        kGet_FileName = 1005,
        kGet_ScriptName = 1026,
        kGet_FilePath = 1040,
        kGet_ScriptParameter = 1062,
        kGet_ScriptResult = 1080,
        kGet_HostApplicationVersion = 1090,
        kGet_UUID = 1101
    };

    inline errcode EvaluateGetFunction(short functionValue, Data& result) const;
    static inline errcode RegisterExternalFunctionEx(const QuadChar& pluginId, short functionId,
                                                     const Text& functionName, const Text& functionPrototype,
                                                     const Text& functionDescription, short minArgs, short maxArgs,
                                                     uint32 compatibleOnFlags, ExtPluginType funcPtr);
    static inline errcode UnRegisterExternalFunction(const QuadChar& pluginId, short functionId);
    inline void operator delete(void* obj);

private:
    ExprEnv();
    ExprEnv(const ExprEnv& other);
};

}  // namespace fmx
}

extern "C" {
FMX_API fmx::uint32 FM_DataVect_Size(const void* _self, fmx::_fmxcpt& _x) throw ();
FMX_API const fmx::Text* FM_DataVect_AtAsText(const void* _self, fmx::uint32 position, fmx::_fmxcpt& _x) throw ();
FMX_API const fmx::Data* FM_DataVect_At(const void* _self, fmx::uint32 position, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_DataVect_Delete(void* _self, fmx::_fmxcpt& _x) throw ();
FMX_API fmx::errcode FM_ExprEnv_EvaluateGetFunction(const void* _self, short functionValue, fmx::Data& result,
                                                    fmx::_fmxcpt& _x) throw ();
FMX_API fmx::errcode FM_ExprEnv_RegisterExternalFunctionEx(const fmx::QuadChar& pluginId, short functionId,
                                                           const fmx::Text& functionName,
                                                           const fmx::Text& functionPrototype,
                                                           const fmx::Text& functionDescription, short minArgs,
                                                           short maxArgs, fmx::uint32 compatibleOnFlags,
                                                           fmx::ExtPluginType funcPtr, fmx::_fmxcpt& _x) throw ();
FMX_API fmx::errcode FM_ExprEnv_UnRegisterExternalFunction(const fmx::QuadChar& pluginId, short functionId,
                                                           fmx::_fmxcpt& _x) throw ();
FMX_API void FM_ExprEnv_Delete(void* _self, fmx::_fmxcpt& _x) throw ();
}

extern "C++" {
namespace fmx {

inline uint32 DataVect::Size() const {
    _fmxcpt _x;
    uint32 _rtn = FM_DataVect_Size(this, _x);
    _x.Check();
    return _rtn;
}

inline const Text& DataVect::AtAsText(uint32 position) const {
    _fmxcpt _x;
    const Text* _rtn = FM_DataVect_AtAsText(this, position, _x);
    _x.Check();
    return *_rtn;
}

inline const Data& DataVect::At(uint32 position) const {
    _fmxcpt _x;
    const Data* _rtn = FM_DataVect_At(this, position, _x);
    _x.Check();
    return *_rtn;
}

inline void DataVect::operator delete(void* obj) {
    _fmxcpt _x;
    FM_DataVect_Delete(obj, _x);
    _x.Check();
}

inline errcode ExprEnv::EvaluateGetFunction(short functionValue, Data& result) const {
    _fmxcpt _x;
    errcode _rtn = FM_ExprEnv_EvaluateGetFunction(this, functionValue, result, _x);
    _x.Check();
    return _rtn;
}

inline errcode ExprEnv::RegisterExternalFunctionEx(const QuadChar& pluginId, short functionId,
                                                   const Text& functionName, const Text& functionPrototype,
                                                   const Text& functionDescription, short minArgs, short maxArgs,
                                                   uint32 compatibleOnFlags, ExtPluginType funcPtr) {
    _fmxcpt _x;
    errcode _rtn = FM_ExprEnv_RegisterExternalFunctionEx(pluginId, functionId, functionName, functionPrototype,
                                                         functionDescription, minArgs, maxArgs, compatibleOnFlags,
                                                         funcPtr, _x);
    _x.Check();
    return _rtn;
}

inline errcode ExprEnv::UnRegisterExternalFunction(const QuadChar& pluginId, short functionId) {
    _fmxcpt _x;
    errcode _rtn = FM_ExprEnv_UnRegisterExternalFunction(pluginId, functionId, _x);
    _x.Check();
    return _rtn;
}

inline void ExprEnv::operator delete(void* obj) {
    _fmxcpt _x;
    FM_ExprEnv_Delete(obj, _x);
    _x.Check();
}

}  // namespace fmx
}

#endif  // FMWRAPPER_FMXCALCENGINE_H
