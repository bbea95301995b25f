#include <basalt/ustring.h>

#include <cstdarg>
#include <cwchar>
#include <cwctype>

namespace basalt {

namespace {
bool IsSpace(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\r' || c == L'\n'; }
}  // namespace

ustring::ustring(const wchar_t* text) : std::wstring(text ? text : L"") {}
ustring::ustring(const wchar_t* text, size_t length) : std::wstring(text, length) {}
ustring::ustring(const _bstr_t& text)
    : std::wstring(static_cast<const wchar_t*>(text) ? static_cast<const wchar_t*>(text) : L"",
                   text.length()) {}

ustring& ustring::operator=(const wchar_t* text) {
    assign(text ? text : L"");
    return *this;
}

ustring& ustring::sprintf(const wchar_t* format, ...) {
    // msvcrt's formatter: %s is a wide string in a wide format, as on Windows
    // (the C99 one that mingw substitutes by default reads %s as narrow).
    va_list args;
    va_start(args, format);
    int needed = ::_vscwprintf(format, args);
    va_end(args);
    if (needed < 0) {
        clear();
        return *this;
    }
    std::wstring buffer(static_cast<size_t>(needed) + 1, L'\0');
    va_start(args, format);
    ::_vsnwprintf(&buffer[0], buffer.size(), format, args);
    va_end(args);
    buffer.resize(static_cast<size_t>(needed));
    assign(std::move(buffer));
    return *this;
}

ustring& ustring::trim() { return trim_right().trim_left(); }

ustring& ustring::trim_left() {
    size_t i = 0;
    while (i < size() && IsSpace((*this)[i])) ++i;
    erase(0, i);
    return *this;
}

ustring& ustring::trim_right() {
    size_t n = size();
    while (n > 0 && IsSpace((*this)[n - 1])) --n;
    resize(n);
    return *this;
}

void ustring::split(wchar_t separator, std::vector<ustring>& pieces, bool keepEmpty) const {
    pieces.clear();
    size_t start = 0;
    for (;;) {
        size_t end = find(separator, start);
        size_t stop = end == npos ? size() : end;
        if (keepEmpty || stop > start) pieces.emplace_back(substr(start, stop - start));
        if (end == npos) break;
        start = end + 1;
    }
}

ustring& ustring::strupr() {
    if (!empty()) ::CharUpperBuffW(&(*this)[0], static_cast<DWORD>(size()));
    return *this;
}

int ustring::compareNoCase(const wchar_t* other) const {
    return ::_wcsicmp(c_str(), other ? other : L"");
}

long long ustring::atoi64() const { return ::_wtoi64(c_str()); }

bool ustring::xload(HMODULE module, UINT id) {
    const wchar_t* text = nullptr;
    // With a zero buffer length LoadStringW hands out a pointer into the
    // resource itself, so no length limit applies.
    int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    if (length <= 0 || !text) return false;
    assign(text, static_cast<size_t>(length));
    return true;
}

ustring ustring::FromCodePage(const char* text, UINT codePage) {
    if (!text || !*text) return ustring();
    int length = ::MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
    if (length <= 0) return ustring();
    std::wstring result(static_cast<size_t>(length), L'\0');
    ::MultiByteToWideChar(codePage, 0, text, -1, &result[0], length);
    result.resize(static_cast<size_t>(length) - 1);
    return ustring(std::move(result));
}

std::string ustring::ToCodePage(UINT codePage) const {
    if (empty()) return std::string();
    int length = ::WideCharToMultiByte(codePage, 0, c_str(), static_cast<int>(size()), nullptr, 0,
                                       nullptr, nullptr);
    std::string result(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0)
        ::WideCharToMultiByte(codePage, 0, c_str(), static_cast<int>(size()), &result[0], length,
                              nullptr, nullptr);
    return result;
}

ustring ustring::GUID2String(const GUID& guid) {
    ustring text;
    text.sprintf(L"{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                 static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
                 guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
                 guid.Data4[6], guid.Data4[7]);
    return text;
}

bool ustring::String2GUID(GUID& guid) const {
    ustring text(*this);
    text.trim();
    if (text.size() == 38 && text.front() == L'{' && text.back() == L'}')
        text = text.substr(1, 36);
    if (text.size() != 36) return false;
    static const size_t dashes[] = {8, 13, 18, 23};
    for (size_t i = 0; i < text.size(); ++i) {
        bool dash = i == dashes[0] || i == dashes[1] || i == dashes[2] || i == dashes[3];
        if (dash ? text[i] != L'-' : !std::iswxdigit(text[i])) return false;
    }
    auto hex = [&](size_t at, size_t count) {
        return std::wcstoull(text.substr(at, count).c_str(), nullptr, 16);
    };
    GUID result;
    result.Data1 = static_cast<unsigned long>(hex(0, 8));
    result.Data2 = static_cast<unsigned short>(hex(9, 4));
    result.Data3 = static_cast<unsigned short>(hex(14, 4));
    result.Data4[0] = static_cast<unsigned char>(hex(19, 2));
    result.Data4[1] = static_cast<unsigned char>(hex(21, 2));
    for (int i = 0; i < 6; ++i) result.Data4[2 + i] = static_cast<unsigned char>(hex(24 + 2 * i, 2));
    guid = result;
    return true;
}

}  // namespace basalt
