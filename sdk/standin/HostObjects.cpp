// Texts, data, locales and four-character codes of the stand-in host.

#include "HostObjects.h"

#include <algorithm>
#include <cstring>
#include <new>

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
using fmx::standin::detail::objectCreated;
using fmx::standin::detail::objectDeleted;
using fmx::standin::detail::shouldFail;

namespace {

// Allocates a host object for a constructor, reporting an allocation failure as the host does.
template <typename T, typename... Args>
T* construct(fmx::ErrorCode& error, Args&&... args) {
    T* object = new (std::nothrow) T{std::forward<Args>(args)...};
    if (!object) {
        error.code = fmx::ErrorCode::kOutOfMemory;
        return nullptr;
    }
    objectCreated();
    return object;
}

template <typename T>
void destroy(T* object) {
    if (!object) return;
    delete object;
    objectDeleted();
}

}  // namespace

fmx::Text* FM_Text_Constructor1(fmx::ErrorCode& error) {
    if (shouldFail(HostCall::TextConstructor, error)) return nullptr;
    return construct<fmx::Text>(error);
}

void FM_Text_Delete(fmx::Text* text, fmx::ErrorCode&) {
    destroy(text);
}

void FM_Text_Assign(fmx::Text& text, const char* bytes, fmx::int32 encoding, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::TextAssign, error)) return;
    if (!bytes || encoding != fmx::kEncodingUtf8) {
        error.code = fmx::ErrorCode::kUnknown;
        return;
    }
    text.units = fmx::standin::detail::utf8ToUtf16(bytes);
}

fmx::uint32 FM_Text_GetSize(const fmx::Text& text, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::TextGetSize, error)) return 0;
    return static_cast<fmx::uint32>(text.units.size());
}

void FM_Text_GetBytes(const fmx::Text& text, char* buffer, fmx::uint32 bufferSize, fmx::uint32 position,
                      fmx::uint32 size, fmx::int32 encoding, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::TextGetBytes, error)) return;
    if (!buffer || encoding != fmx::kEncodingUtf8) {
        error.code = fmx::ErrorCode::kUnknown;
        return;
    }
    const std::u16string_view units(text.units);
    const std::size_t from = std::min<std::size_t>(position, units.size());
    const std::size_t count = std::min<std::size_t>(size, units.size() - from);
    std::string bytes = fmx::standin::detail::utf16ToUtf8(units.substr(from, count));
    // Never a partial character: drop continuation bytes back to the start of the cut character.
    if (bytes.size() > bufferSize) {
        std::size_t cut = bufferSize;
        while (cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80) --cut;
        bytes.resize(cut);
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    if (bytes.size() < bufferSize) buffer[bytes.size()] = '\0';
}

fmx::Data* FM_Data_Constructor1(fmx::ErrorCode& error) {
    if (shouldFail(HostCall::DataConstructor, error)) return nullptr;
    return construct<fmx::Data>(error);
}

void FM_Data_Delete(fmx::Data* data, fmx::ErrorCode&) {
    destroy(data);
}

fmx::errcode FM_Data_SetAsText(fmx::Data& data, const fmx::Text& text, const fmx::Locale& locale, fmx::int32 type,
                               fmx::ErrorCode& error) {
    if (shouldFail(HostCall::DataSetAsText, error)) return 0;
    data.text = text;
    data.localeType = locale.type;
    data.type = type;
    return 0;
}

const fmx::Text* FM_Data_GetAsText(const fmx::Data& data, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::DataGetAsText, error)) return nullptr;
    return &data.text;
}

fmx::Locale* FM_Locale_Constructor1(fmx::int32 type, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::LocaleConstructor, error)) return nullptr;
    return construct<fmx::Locale>(error, type);
}

void FM_Locale_Delete(fmx::Locale* locale, fmx::ErrorCode&) {
    destroy(locale);
}

fmx::QuadChar* FM_QuadChar_Constructor2(char c0, char c1, char c2, char c3, fmx::ErrorCode& error) {
    if (shouldFail(HostCall::QuadCharConstructor, error)) return nullptr;
    return construct<fmx::QuadChar>(error, std::array<char, 4>{c0, c1, c2, c3});
}

void FM_QuadChar_Delete(fmx::QuadChar* quadChar, fmx::ErrorCode&) {
    destroy(quadChar);
}
