// Written from the FileMaker plug-in SDK's documented interface, so that the plug-in builds and is tested without the SDK.
#ifndef FMWRAPPER_FMXTEXT_H
#define FMWRAPPER_FMXTEXT_H

#include "FMWrapper/FMXClient.h"

extern "C++" {
namespace fmx {

class Text {
public:
    enum Encoding { kEncoding_Native = 0, kEncoding_UTF8 = 1 };
    enum { kSize_Invalid = 0xFFFFFFFF, kSize_End = 0xFFFFFFFF };

    inline uint32 GetSize() const;
    inline void Assign(const char* s, Encoding encoding = kEncoding_Native);
    inline void GetBytes(char* buffer, uint32 buffersize, uint32 position = 0, uint32 size = kSize_End,
                         Encoding encoding = kEncoding_Native) const;
    inline void operator delete(void* obj);

private:
    Text();
    Text(const Text& source);
};

}  // namespace fmx
}

extern "C" {
FMX_API fmx::Text* FM_Text_Constructor1(fmx::_fmxcpt& _x) throw ();
FMX_API fmx::uint32 FM_Text_GetSize(const void* _self, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_Text_Assign(void* _self, const char* s, fmx::int32 encoding, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_Text_GetBytes(const void* _self, char* buffer, fmx::uint32 buffersize, fmx::uint32 position,
                              fmx::uint32 size, fmx::int32 encoding, fmx::_fmxcpt& _x) throw ();
FMX_API void FM_Text_Delete(void* _self, fmx::_fmxcpt& _x) throw ();
}

extern "C++" {
namespace fmx {

inline uint32 Text::GetSize() const {
    _fmxcpt _x;
    uint32 _rtn = FM_Text_GetSize(this, _x);
    _x.Check();
    return _rtn;
}

inline void Text::Assign(const char* s, Encoding encoding) {
    _fmxcpt _x;
    FM_Text_Assign(this, s, encoding, _x);
    _x.Check();
}

inline void Text::GetBytes(char* buffer, uint32 buffersize, uint32 position, uint32 size, Encoding encoding) const {
    _fmxcpt _x;
    FM_Text_GetBytes(this, buffer, buffersize, position, size, encoding, _x);
    _x.Check();
}

inline void Text::operator delete(void* obj) {
    _fmxcpt _x;
    FM_Text_Delete(obj, _x);
    _x.Check();
}

class TextUniquePtr : public std::unique_ptr<Text> {
public:
    TextUniquePtr() {
        _fmxcpt _x;
        reset(FM_Text_Constructor1(_x));
        _x.Check();
    }
};

}  // namespace fmx
}

#endif  // FMWRAPPER_FMXTEXT_H
