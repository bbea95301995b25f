#pragma once
#include <basalt/ustring.h>

#include <oleauto.h>

namespace basalt {

// Three-way comparison of two variants: <0, 0, >0. Variants of different
// types order by type number; equal types compare by contents (numbers by
// value, texts character by character). 0 means "same type, same contents".
BASALT_API int VariantCompare(const VARIANT& a, const VARIANT& b);

// Converts value in place to type vt under lcid with VariantChangeTypeEx flags.
// Answers whether it worked; when it did not, value is unchanged and, with
// throwOnError, a CWinException ("VariantChangeTypeEx", the HRESULT) is thrown.
BASALT_API bool VariantChangeType(LCID lcid, VARTYPE vt, VARIANT& value, USHORT flags,
                                  bool throwOnError);

// Three-way comparison of two GUIDs by their bytes.
BASALT_API int CompareGUID(const GUID& a, const GUID& b);

// Case-insensitive ordering of names, usable as a map's comparison.
struct BASALT_API LessStrWN {
    bool operator()(const wchar_t* a, const wchar_t* b) const;
    bool operator()(const std::wstring& a, const std::wstring& b) const {
        return (*this)(a.c_str(), b.c_str());
    }
};

}  // namespace basalt
