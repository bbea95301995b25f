#include <basalt/Registry.h>

namespace basalt {

namespace {

// RegOpenKeyExW/RegCreateKeyExW with the key closed at scope end.
class CKey {
public:
    CKey(HKEY root, const wchar_t* subkey, bool create) : m_key(nullptr) {
        LONG result = create ? ::RegCreateKeyExW(root, subkey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &m_key, nullptr)
                             : ::RegOpenKeyExW(root, subkey, 0, KEY_QUERY_VALUE, &m_key);
        if (result != ERROR_SUCCESS) m_key = nullptr;
    }
    ~CKey() {
        if (m_key) ::RegCloseKey(m_key);
    }
    CKey(const CKey&) = delete;
    CKey& operator=(const CKey&) = delete;
    HKEY Get() const { return m_key; }

private:
    HKEY m_key;
};

}  // namespace

bool RegGetValue(HKEY root, const wchar_t* subkey, const wchar_t* name, ustring& value) {
    CKey key(root, subkey, false);
    if (!key.Get()) return false;
    // Grow-and-retry: another process may lengthen the value between the calls.
    for (DWORD size = 256;;) {
        std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
        DWORD type = 0;
        DWORD got = size;
        LONG result = ::RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &got);
        if (result == ERROR_MORE_DATA) {
            size = got > size ? got : size * 2;
            continue;
        }
        if (result != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return false;
        // The stored text may or may not carry its terminating NUL.
        buffer.resize(got / sizeof(wchar_t));
        while (!buffer.empty() && buffer.back() == L'\0') buffer.pop_back();
        value = ustring(buffer);
        return true;
    }
}

bool RegGetValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD& value) {
    CKey key(root, subkey, false);
    if (!key.Get()) return false;
    DWORD type = 0;
    DWORD data = 0;
    DWORD size = sizeof data;
    if (::RegQueryValueExW(key.Get(), name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) != ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof data)
        return false;
    value = data;
    return true;
}

bool RegWriteValue(HKEY root, const wchar_t* subkey, const wchar_t* name, const wchar_t* value) {
    CKey key(root, subkey, true);
    if (!key.Get()) return false;
    const wchar_t* text = value ? value : L"";
    DWORD size = static_cast<DWORD>((::wcslen(text) + 1) * sizeof(wchar_t));
    return ::RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), size) == ERROR_SUCCESS;
}

bool RegWriteValue(HKEY root, const wchar_t* subkey, const wchar_t* name, DWORD value) {
    CKey key(root, subkey, true);
    if (!key.Get()) return false;
    return ::RegSetValueExW(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value) ==
           ERROR_SUCCESS;
}

}  // namespace basalt
