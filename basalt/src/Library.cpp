#include <basalt/Library.h>

#include <cwctype>
#include <string>
#include <vector>

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

// A PATH entry that names its folder in full: a drive and a root, or a
// network share. Anything else resolves against the current folder.
bool IsFullPath(const std::wstring& folder) {
    if (folder.size() >= 3 && std::iswalpha(folder[0]) && folder[1] == L':' && (folder[2] == L'\\' || folder[2] == L'/'))
        return true;
    return folder.size() >= 2 && (folder[0] == L'\\' || folder[0] == L'/') && folder[0] == folder[1];
}

// The folders PATH names in full, each ending in a separator, in PATH's order.
std::vector<std::wstring> PathFolders() {
    std::vector<std::wstring> folders;
    DWORD size = ::GetEnvironmentVariableW(L"PATH", nullptr, 0);
    if (size == 0) return folders;
    std::wstring path(size, L'\0');
    size = ::GetEnvironmentVariableW(L"PATH", &path[0], size);
    path.resize(size);
    for (size_t at = 0; at <= path.size();) {
        size_t end = path.find(L';', at);
        if (end == std::wstring::npos) end = path.size();
        std::wstring folder = path.substr(at, end - at);
        at = end + 1;
        // Entries may be quoted to hold a separator of their own.
        if (folder.size() >= 2 && folder.front() == L'"' && folder.back() == L'"')
            folder = folder.substr(1, folder.size() - 2);
        if (!IsFullPath(folder)) continue;
        if (folder.back() != L'\\' && folder.back() != L'/') folder += L'\\';
        folders.push_back(folder);
    }
    return folders;
}

}  // namespace

bool CLibrary::SimulatorsRequested() {
    wchar_t value[8];
    DWORD n = ::GetEnvironmentVariableW(L"CORVANE_SIMULATORS", value, 8);
    if (n == 0 || n >= 8) return n >= 8;
    return !(n == 1 && value[0] == L'0');
}

CLibrary::CLibrary(const wchar_t* file, ESearch search) : m_module(nullptr), m_error(ERROR_MOD_NOT_FOUND) {
    if (!file || !*file) {
        m_error = ERROR_INVALID_PARAMETER;
        return;
    }
    if (SimulatorsRequested()) m_module = LoadFrom(FolderOf(nullptr), file, m_error);
    if (!m_module) m_module = LoadFrom(SystemFolder(), file, m_error);
    if (search == searchVendor) {
        for (const std::wstring& folder : PathFolders()) {
            if (m_module) break;
            // Folders without the file are passed over: the error told is then
            // that of a copy that would not load, when there was one.
            if (::GetFileAttributesW((folder + file).c_str()) == INVALID_FILE_ATTRIBUTES) continue;
            m_module = LoadFrom(folder, file, m_error);
        }
    }
    if (m_module) m_error = 0;
}

CLibrary::~CLibrary() {
    if (m_module) ::FreeLibrary(m_module);
}

FARPROC CLibrary::Resolve(const char* name) const noexcept {
    return m_module ? ::GetProcAddress(m_module, name) : nullptr;
}

}  // namespace basalt
