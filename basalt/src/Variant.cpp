#include <basalt/Exceptions.h>
#include <basalt/Variant.h>

#include <cmath>
#include <cstring>
#include <cwchar>

namespace basalt {

namespace {

template <class T>
int Three(T a, T b) {
    return a < b ? -1 : (b < a ? 1 : 0);
}

// Floating values: NaNs sort after every number and equal each other, so
// that an ordered container stays consistent.
template <class T>
int ThreeFloat(T a, T b) {
    bool na = std::isnan(a), nb = std::isnan(b);
    if (na || nb) return na == nb ? 0 : (na ? 1 : -1);
    return Three(a, b);
}

int CompareBytes(const void* a, size_t na, const void* b, size_t nb) {
    int r = std::memcmp(a, b, na < nb ? na : nb);
    if (r != 0) return r < 0 ? -1 : 1;
    return Three(na, nb);
}

size_t ArrayBytes(SAFEARRAY* array) {
    if (!array) return 0;
    size_t count = 1;
    for (USHORT d = 0; d < array->cDims; ++d) count *= array->rgsabound[d].cElements;
    return count * array->cbElements;
}

int CompareArrays(SAFEARRAY* a, SAFEARRAY* b) {
    if (!a || !b) return Three(a != nullptr, b != nullptr);
    return CompareBytes(a->pvData, ArrayBytes(a), b->pvData, ArrayBytes(b));
}

}  // namespace

int VariantCompare(const VARIANT& a, const VARIANT& b) {
    if (a.vt != b.vt) return Three(a.vt, b.vt);
    if (a.vt & VT_ARRAY) return CompareArrays(a.parray, b.parray);
    switch (a.vt) {
    case VT_EMPTY:
    case VT_NULL: return 0;
    case VT_I1: return Three(a.cVal, b.cVal);
    case VT_UI1: return Three(a.bVal, b.bVal);
    case VT_I2: return Three(a.iVal, b.iVal);
    case VT_UI2: return Three(a.uiVal, b.uiVal);
    case VT_I4: return Three(a.lVal, b.lVal);
    case VT_UI4: return Three(a.ulVal, b.ulVal);
    case VT_INT: return Three(a.intVal, b.intVal);
    case VT_UINT: return Three(a.uintVal, b.uintVal);
    case VT_I8: return Three(a.llVal, b.llVal);
    case VT_UI8: return Three(a.ullVal, b.ullVal);
    case VT_R4: return ThreeFloat(a.fltVal, b.fltVal);
    case VT_R8: return ThreeFloat(a.dblVal, b.dblVal);
    case VT_DATE: return ThreeFloat(a.date, b.date);
    case VT_CY: return Three(a.cyVal.int64, b.cyVal.int64);
    case VT_ERROR: return Three(a.scode, b.scode);
    // VARIANT_FALSE (0) orders before VARIANT_TRUE (-1): false < true.
    case VT_BOOL: return Three(a.boolVal != VARIANT_FALSE, b.boolVal != VARIANT_FALSE);
    case VT_BSTR:
        return CompareBytes(a.bstrVal, ::SysStringByteLen(a.bstrVal), b.bstrVal,
                            ::SysStringByteLen(b.bstrVal)) == 0
                   ? 0
                   : Three(std::wstring(a.bstrVal ? a.bstrVal : L"", ::SysStringLen(a.bstrVal)),
                           std::wstring(b.bstrVal ? b.bstrVal : L"", ::SysStringLen(b.bstrVal)));
    case VT_DECIMAL: {
        HRESULT r = ::VarDecCmp(const_cast<DECIMAL*>(&a.decVal), const_cast<DECIMAL*>(&b.decVal));
        return r == VARCMP_LT ? -1 : (r == VARCMP_GT ? 1 : 0);
    }
    default:
        // Pointers and other types without an order of their own: by the
        // bits they carry, which is at least stable.
        return CompareBytes(&a.llVal, sizeof a.llVal, &b.llVal, sizeof b.llVal);
    }
}

bool VariantChangeType(LCID lcid, VARTYPE vt, VARIANT& value, USHORT flags, bool throwOnError) {
    VARIANT converted;
    ::VariantInit(&converted);
    HRESULT hr = ::VariantChangeTypeEx(&converted, &value, lcid, flags, vt);
    if (FAILED(hr)) {
        ::VariantClear(&converted);
        if (throwOnError)
            throw CWinException(__LINE__, L"Variant", L"VariantChangeTypeEx", static_cast<DWORD>(hr));
        return false;
    }
    ::VariantClear(&value);
    value = converted;  // ownership of any BSTR moves over
    return true;
}

int CompareGUID(const GUID& a, const GUID& b) {
    int r = std::memcmp(&a, &b, sizeof(GUID));
    return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

bool LessStrWN::operator()(const wchar_t* a, const wchar_t* b) const {
    return ::_wcsicmp(a ? a : L"", b ? b : L"") < 0;
}

}  // namespace basalt
