// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
#ifndef FMWRAPPER_FMXDATA_H
#define FMWRAPPER_FMXDATA_H

#include "FMWrapper/FMXClient.h"
#include "FMWrapper/FMXTextStyle.h"

extern "C++" {
namespace fmx {

class Text;
class Locale;

class Data {
public:
    enum DataType { kDTInvalid = 0, kDTText = 1, kDTNumber = 2, kDTDate = 3, kDTTime = 4, kDTTimeStamp = 5,
                    kDTBinary = 6, kDTBoolean = 7 };

    inline const Text& GetAsText() const;
    inline const Locale& GetLocale() const;
    inline errcode SetAsText(const Text& textData, const Locale& sourceLocale, const DataType nativeType = kDTText);
    inline void operator delete(void* obj);

private:
    Data();
    Data(const Data& source);
};

}  // namespace fmx
}

extern "C" {
FMX_API fmx::Data* FM_Data_Constructor1(fmx::_fmxcpt& _x) throw ();
FMX_API const fmx::Text* FM_Data_GetAsText(const void* _self, fmx::_fmxcpt& _x) throw ();
FMX_API const fmx::Locale* FM_Data_GetLocale(const void* _self, fmx::_fmxcpt& _x) throw ();
FMX_API fmx::errcode FM_Data_SetAsText(void* _self, const fmx::Text& textData, const fmx::Locale& sourceLocale,
                                       const fmx::int32 nativeType, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_Data_Delete(void* _self, fmx::_fmxcpt& _x) throw ();
}

extern "C++" {
namespace fmx {

inline const Text& Data::GetAsText() const {
    _fmxcpt _x;
    const Text* _rtn = FM_Data_GetAsText(this, _x);
    _x.Check();
    return *_rtn;
}

inline const Locale& Data::GetLocale() const {
    _fmxcpt _x;
    const Locale* _rtn = FM_Data_GetLocale(this, _x);
    _x.Check();
    return *_rtn;
}

inline errcode Data::SetAsText(const Text& textData, const Locale& sourceLocale, const DataType nativeType) {
    _fmxcpt _x;
    errcode _rtn = FM_Data_SetAsText(this, textData, sourceLocale, nativeType, _x);
    _x.Check();
    return _rtn;
}

inline void Data::operator delete(void* obj) {
    _fmxcpt _x;
    FM_Data_Delete(obj, _x);
    _x.Check();
}

class DataUniquePtr : public std::unique_ptr<Data> {
public:
    DataUniquePtr() {
        _fmxcpt _x;
        reset(FM_Data_Constructor1(_x));
        _x.Check();
    }
};

}  // namespace fmx
}

#endif  // FMWRAPPER_FMXDATA_H
