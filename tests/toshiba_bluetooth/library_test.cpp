// Where the stack's library is looked for: as a vendor library, in a folder
// of its own on PATH, never in the current folder; and a load that failed is
// tried again by the next object. It needs a process in which the library was
// never loaded: CTest runs it on its own (toshiba_bluetooth_library).
#include "ToshibaTestKit.h"

#include <string>

namespace tostest {
namespace {

std::wstring PathOf(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring Variable(const wchar_t* name) {
    DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, &value[0], size));
    return value;
}

// Puts back the process's environment and current folder however the test ends.
class CProcessState {
public:
    CProcessState() : m_path(Variable(L"PATH")), m_simulators(Variable(L"CORVANE_SIMULATORS")) {
        wchar_t folder[MAX_PATH] = {};
        ::GetCurrentDirectoryW(MAX_PATH, folder);
        m_folder = folder;
    }
    ~CProcessState() {
        ::SetEnvironmentVariableW(L"PATH", m_path.c_str());
        ::SetEnvironmentVariableW(L"CORVANE_SIMULATORS", m_simulators.c_str());
        ::SetCurrentDirectoryW(m_folder.c_str());
    }
    const std::wstring& Path() const { return m_path; }

private:
    std::wstring m_path, m_simulators, m_folder;
};

TEST(ToshibaLibrarySearch, FoundOnPathNeverInTheCurrentFolderAndTriedAgainAfterAFailure) {
    if (::GetModuleHandleW(L"TosBtApi.dll")) GTEST_SKIP() << "the library is loaded already: run this test alone";
    CProcessState saved;
    std::wstring program = PathOf(nullptr);
    std::wstring simulator = program.substr(0, program.find_last_of(L"\\/") + 1) + L"TosBtApi.dll";
    wchar_t temp[MAX_PATH] = {};
    ASSERT_NE(0u, ::GetTempPathW(MAX_PATH, temp));
    const std::wstring root = std::wstring(temp) + L"corvane-tosbt-search\\";
    const std::wstring current = root + L"current\\", vendor = root + L"vendor";
    for (const std::wstring& folder : {root, current, vendor}) ::CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(::CopyFileW(simulator.c_str(), (current + L"TosBtApi.dll").c_str(), FALSE)) << ::GetLastError();
    ASSERT_TRUE(::CopyFileW(simulator.c_str(), (vendor + L"\\TosBtApi.dll").c_str(), FALSE)) << ::GetLastError();

    // A copy beside the program (the simulator, not asked for) and one in the
    // current folder, which relative PATH entries name too: neither is taken.
    ::SetEnvironmentVariableW(L"CORVANE_SIMULATORS", L"0");
    ASSERT_TRUE(::SetCurrentDirectoryW(current.c_str()));
    ::SetEnvironmentVariableW(L"PATH", (L".;..\\current;" + saved.Path()).c_str());
    try {
        Toshiba::CToshibaBluetoothSDK sdk;
        FAIL() << "loaded " << PathOf(::GetModuleHandleW(L"TosBtApi.dll")).c_str();
    } catch (const basalt::CWinException& e) {
        EXPECT_EQ(126u, e.GetErrorCode());
        EXPECT_EQ(basalt::ustring(L"LoadLibrary"), e.GetFunction());
    }
    EXPECT_FALSE(::GetModuleHandleW(L"TosBtApi.dll"));

    // The stack installed meanwhile, in a folder of its own on PATH (named
    // without a closing separator): the next object finds it there.
    ::SetEnvironmentVariableW(L"PATH", (saved.Path() + L";" + vendor).c_str());
    EXPECT_NO_THROW(Toshiba::CToshibaBluetoothSDK sdk);
    HMODULE loaded = ::GetModuleHandleW(L"TosBtApi.dll");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(0, _wcsicmp((vendor + L"\\TosBtApi.dll").c_str(), PathOf(loaded).c_str())) << PathOf(loaded).c_str();
}

}  // namespace
}  // namespace tostest
