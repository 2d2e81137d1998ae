// Texts, data, locales and four-character codes of the stand-in host.

#include "HostObjects.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

namespace fmx::standin::detail {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void appendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

void appendUtf16(std::u16string& out, char32_t c) {
    if (c < 0x10000) {
        out.push_back(static_cast<char16_t>(c));
    } else {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    }
}

}  // namespace

std::u16string utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        if (length == 0 || i + length > utf8.size()) {
            appendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
        bool valid = true;
        for (std::size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(utf8[i + k]);
            if ((next & 0xC0) != 0x80) valid = false;
            c = (c << 6) | (next & 0x3F);
        }
        static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!valid || c < kSmallest[length] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            appendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        appendUtf16(out, c);
        i += length;
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view utf16) {
    std::string out;
    out.reserve(utf16.size());
    for (std::size_t i = 0; i < utf16.size(); ++i) {
        char32_t c = utf16[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 && utf16[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = kReplacement;
        }
        appendUtf8(out, c);
    }
    return out;
}

}  // namespace fmx::standin::detail

using fmx::standin::HostCall;
using fmx::standin::detail::DataObject;
using fmx::standin::detail::guarded;
using fmx::standin::detail::handOut;
using fmx::standin::detail::LocaleObject;
using fmx::standin::detail::objectOf;
using fmx::standin::detail::QuadCharObject;
using fmx::standin::detail::shouldFail;
using fmx::standin::detail::TextObject;

namespace {

// Allocates a host object for a constructor, reporting an allocation failure as the host does.
template <typename Sdk, typename Object, typename... Args>
Sdk* construct(HostCall call, fmx::_fmxcpt& error, Args... args) noexcept {
    if (shouldFail(call, error)) return nullptr;
    auto* object = new (std::nothrow) Object{args...};
    if (!object) {
        error.m_code = fmx::_fmxcpt::kBadAlloc;
        return nullptr;
    }
    fmx::standin::detail::objectCreated();
    return handOut<Sdk>(object);
}

// Never reports an error: the SDK's owning pointers release in a noexcept destructor.
template <typename Object>
void destroy(void* self) noexcept {
    if (!self) return;
    delete static_cast<Object*>(self);
    fmx::standin::detail::objectDeleted();
}

}  // namespace

fmx::Text* FM_Text_Constructor1(fmx::_fmxcpt& _x) throw () {
    return construct<fmx::Text, TextObject>(HostCall::TextConstructor, _x);
}

void FM_Text_Delete(void* _self, fmx::_fmxcpt&) throw () {
    destroy<TextObject>(_self);
}

void FM_Text_Assign(void* _self, const char* s, fmx::int32 encoding, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::TextAssign, _x)) return;
    // This host knows UTF-8 only; the native encoding of a real host would mangle non-ASCII text.
    if (!s || encoding != fmx::Text::kEncoding_UTF8) {
        _x.m_code = fmx::_fmxcpt::kUnknown;
        return;
    }
    guarded(_x, 0, [&] { return objectOf<TextObject>(_self).units = fmx::standin::detail::utf8ToUtf16(s), 0; });
}

fmx::uint32 FM_Text_GetSize(const void* _self, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::TextGetSize, _x)) return 0;
    return static_cast<fmx::uint32>(objectOf<TextObject>(_self).units.size());
}

void FM_Text_GetBytes(const void* _self, char* buffer, fmx::uint32 buffersize, fmx::uint32 position, fmx::uint32 size,
                      fmx::int32 encoding, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::TextGetBytes, _x)) return;
    if (!buffer || encoding != fmx::Text::kEncoding_UTF8) {
        _x.m_code = fmx::_fmxcpt::kUnknown;
        return;
    }
    guarded(_x, 0, [&] {
        const std::u16string_view units(objectOf<TextObject>(_self).units);
        const std::size_t from = std::min<std::size_t>(position, units.size());
        const std::size_t count = std::min<std::size_t>(size, units.size() - from);
        std::string bytes = fmx::standin::detail::utf16ToUtf8(units.substr(from, count));
        // Never a partial character: drop continuation bytes back to the start of the cut character.
        if (bytes.size() > buffersize) {
            std::size_t cut = buffersize;
            while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
            bytes.resize(cut);
        }
        std::memcpy(buffer, bytes.data(), bytes.size());
        if (bytes.size() < buffersize) buffer[bytes.size()] = '\0';
        return 0;
    });
}

fmx::Data* FM_Data_Constructor1(fmx::_fmxcpt& _x) throw () {
    return construct<fmx::Data, DataObject>(HostCall::DataConstructor, _x);
}

void FM_Data_Delete(void* _self, fmx::_fmxcpt&) throw () {
    destroy<DataObject>(_self);
}

fmx::errcode FM_Data_SetAsText(void* _self, const fmx::Text& textData, const fmx::Locale& sourceLocale,
                               const fmx::int32 nativeType, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::DataSetAsText, _x)) return 0;
    return guarded<fmx::errcode>(_x, 0, [&] {
        auto& data = objectOf<DataObject>(_self);
        data.text = objectOf<TextObject>(static_cast<const void*>(&textData));
        data.locale = objectOf<LocaleObject>(static_cast<const void*>(&sourceLocale));
        data.type = nativeType;
        return fmx::errcode{0};
    });
}

const fmx::Text* FM_Data_GetAsText(const void* _self, fmx::_fmxcpt& _x) throw () {
    if (shouldFail(HostCall::DataGetAsText, _x)) return nullptr;
    return handOut<const fmx::Text>(&objectOf<DataObject>(_self).text);
}

const fmx::Locale* FM_Data_GetLocale(const void* _self, fmx::_fmxcpt&) throw () {
    return handOut<const fmx::Locale>(&objectOf<DataObject>(_self).locale);
}

fmx::Locale* FM_Locale_Constructor1(fmx::int32 inputType, fmx::_fmxcpt& _x) throw () {
    return construct<fmx::Locale, LocaleObject>(HostCall::LocaleConstructor, _x, inputType);
}

void FM_Locale_Delete(void* _self, fmx::_fmxcpt&) throw () {
    destroy<LocaleObject>(_self);
}

fmx::QuadChar* FM_QuadChar_Constructor2(char c0, char c1, char c2, char c3, fmx::_fmxcpt& _x) throw () {
    return construct<fmx::QuadChar, QuadCharObject>(HostCall::QuadCharConstructor, _x, std::array<char, 4>{c0, c1, c2, c3});
}

void FM_QuadChar_Delete(void* _self, fmx::_fmxcpt&) throw () {
    destroy<QuadCharObject>(_self);
}
