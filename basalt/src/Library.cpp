#include <basalt/Library.h>

#include <string>

namespace basalt {

namespace {

std::wstring FolderOf(HMODULE module) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD n = ::GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
        if (n == 0) return std::wstring();
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    size_t slash = path.find_last_of(L"\\/");
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

std::wstring SystemFolder() {
    wchar_t buffer[MAX_PATH];
    UINT n = ::GetSystemDirectoryW(buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return std::wstring();
    return std::wstring(buffer, n) + L"\\";
}

HMODULE LoadFrom(const std::wstring& folder, const wchar_t* file, DWORD& error) {
    if (folder.empty()) return nullptr;
    // The altered search path lets the library find its own dependencies
    // beside itself rather than beside the program.
    HMODULE module = ::LoadLibraryExW((folder + file).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) error = ::GetLastError();
    return module;
}

}  // namespace

bool CLibrary::SimulatorsRequested() {
    wchar_t value[8];
    DWORD n = ::GetEnvironmentVariableW(L"CORVANE_SIMULATORS", value, 8);
    if (n == 0 || n >= 8) return n >= 8;
    return !(n == 1 && value[0] == L'0');
}

CLibrary::CLibrary(const wchar_t* file) : m_module(nullptr), m_error(ERROR_MOD_NOT_FOUND) {
    if (!file || !*file) {
        m_error = ERROR_INVALID_PARAMETER;
        return;
    }
    if (SimulatorsRequested()) m_module = LoadFrom(FolderOf(nullptr), file, m_error);
    if (!m_module) m_module = LoadFrom(SystemFolder(), file, m_error);
    if (m_module) m_error = 0;
}

CLibrary::~CLibrary() {
    if (m_module) ::FreeLibrary(m_module);
}

FARPROC CLibrary::Resolve(const char* name) const noexcept {
    return m_module ? ::GetProcAddress(m_module, name) : nullptr;
}

}  // namespace basalt
