#pragma once
#include <basalt/Config.h>

#include <comutil.h>

#include <string>
#include <vector>

namespace basalt {

// UTF-16 text. A std::wstring with the few operations Corvane relies on; it adds
// no state, so it converts freely to and from the standard type.
class BASALT_API ustring : public std::wstring {
public:
    ustring() = default;
    ustring(const wchar_t* text);  // null gives the empty text
    ustring(const wchar_t* text, size_t length);
    ustring(const std::wstring& text) : std::wstring(text) {}
    ustring(std::wstring&& text) : std::wstring(std::move(text)) {}
    ustring(const _bstr_t& text);
    ustring(size_t count, wchar_t c) : std::wstring(count, c) {}

    ustring& operator=(const wchar_t* text);
    ustring& operator+=(const wchar_t* text) { std::wstring::operator+=(text ? text : L""); return *this; }
    ustring& operator+=(const std::wstring& text) { std::wstring::operator+=(text); return *this; }
    ustring& operator+=(wchar_t c) { std::wstring::operator+=(c); return *this; }

    operator _bstr_t() const { return _bstr_t(c_str()); }

    // Replaces the contents with a wide printf format in Microsoft's sense:
    // %s takes a wchar_t*, %hs a char*. Returns *this.
    ustring& sprintf(const wchar_t* format, ...);

    // Remove white space (space, tab, CR, LF) at the ends.
    ustring& trim();
    ustring& trim_left();
    ustring& trim_right();

    // Cuts the text at every separator. With keepEmpty false no empty piece is
    // produced ("a;;b;" gives "a", "b"); with it true every piece is kept
    // ("a=" gives "a", "").
    void split(wchar_t separator, std::vector<ustring>& pieces, bool keepEmpty = false) const;

    ustring& strupr();
    // <0, 0 or >0 as the two texts compare ignoring letter case.
    int compareNoCase(const wchar_t* other) const;
    // Leading white space, an optional sign, decimal digits; stops at the first
    // other character; 0 when there are no digits.
    long long atoi64() const;

    // Loads entry id of module's string table; false (text unchanged) if absent.
    bool xload(HMODULE module, UINT id);

    // Code-page conversions (CP_ACP, CP_UTF8, ...).
    static ustring FromCodePage(const char* text, UINT codePage = CP_ACP);
    std::string ToCodePage(UINT codePage = CP_ACP) const;

    // "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" and back; String2GUID accepts
    // the braces as optional and answers false for anything else.
    static ustring GUID2String(const GUID& guid);
    bool String2GUID(GUID& guid) const;
};

inline ustring operator+(const ustring& a, const wchar_t* b) { ustring r(a); r += b; return r; }
inline ustring operator+(const ustring& a, const std::wstring& b) { ustring r(a); r += b; return r; }

}  // namespace basalt
