// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
#ifndef FMWRAPPER_FMXTYPES_H
#define FMWRAPPER_FMXTYPES_H

#include "FMWrapper/FMXClient.h"

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

extern "C++" {
namespace fmx {

class QuadChar {
public:
    inline void operator delete(void* obj);

private:
    QuadChar();
    QuadChar(const QuadChar& value);
};

class Locale {
public:
    enum Type { kType_None = 0, kType_System = 1, kType_UnicodeRaw = 2, kType_UnicodeStandard = 3, kType_Catalog = 4,
                kType_ENG = 21, kType_Invalid = 0xFFFF };

    inline void operator delete(void* obj);

private:
    Locale();
    Locale(const Locale& copyConstruct);
};

}  // namespace fmx
}

extern "C" {
FMX_API fmx::QuadChar* FM_QuadChar_Constructor2(char c0, char c1, char c2, char c3, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_QuadChar_Delete(void* _self, fmx::_fmxcpt& _x) throw ();
FMX_API fmx::Locale* FM_Locale_Constructor1(fmx::int32 inputType, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_Locale_Delete(void* _self, fmx::_fmxcpt& _x) throw ();
}

extern "C++" {
namespace fmx {

inline void QuadChar::operator delete(void* obj) {
    _fmxcpt _x;
    FM_QuadChar_Delete(obj, _x);
    _x.Check();
}

inline void Locale::operator delete(void* obj) {
    _fmxcpt _x;
    FM_Locale_Delete(obj, _x);
    _x.Check();
}

class QuadCharUniquePtr : public std::unique_ptr<QuadChar> {
public:
    QuadCharUniquePtr(char c0, char c1, char c2, char c3) {
        _fmxcpt _x;
        reset(FM_QuadChar_Constructor2(c0, c1, c2, c3, _x));
        _x.Check();
    }
};

class LocaleUniquePtr : public std::unique_ptr<Locale> {
public:
    LocaleUniquePtr(Locale::Type inputType = Locale::kType_System) {
        _fmxcpt _x;
        reset(FM_Locale_Constructor1(inputType, _x));
        _x.Check();
    }
};

}  // namespace fmx
}

#endif  // FMWRAPPER_FMXTYPES_H
