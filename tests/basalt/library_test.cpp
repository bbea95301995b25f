// Libraries that stand for system ones come from the system folder; the
// simulators beside the program only when CORVANE_SIMULATORS asks for them.
#include <basalt/Library.h>

#include <gtest/gtest.h>

#include <string>

namespace {

std::wstring PathOf(HMODULE module) {
    wchar_t path[MAX_PATH] = {};
    ::GetModuleFileNameW(module, path, MAX_PATH);
    return path;
}

std::wstring ProgramFolder() {
    std::wstring path = PathOf(nullptr);
    return path.substr(0, path.find_last_of(L"\\/") + 1);
}

bool IsBeside(HMODULE module) { return PathOf(module).rfind(ProgramFolder(), 0) == 0; }

// A planted copy of a system library: the Bluetooth Smart simulator, built
// into the same folder as this program.
const wchar_t kPlanted[] = L"BluetoothApis.dll";

}  // namespace

TEST(CLibrary, APlantedLibraryIsLoadedOnlyWhenSimulatorsAreAskedFor) {
    ASSERT_NE(::GetFileAttributesW((ProgramFolder() + kPlanted).c_str()), INVALID_FILE_ATTRIBUTES)
        << "the simulator is built beside the tests";
    for (const wchar_t* off : {L"", L"0"}) {
        ::SetEnvironmentVariableW(L"CORVANE_SIMULATORS", *off ? off : nullptr);
        EXPECT_FALSE(basalt::CLibrary::SimulatorsRequested());
        basalt::CLibrary library(kPlanted);
        // Wine has a library of that name in its system folder; Windows too.
        if (library.IsLoaded()) {
            EXPECT_FALSE(IsBeside(library.Get())) << PathOf(library.Get());
        }
    }
    ::SetEnvironmentVariableW(L"CORVANE_SIMULATORS", L"1");
    EXPECT_TRUE(basalt::CLibrary::SimulatorsRequested());
    basalt::CLibrary simulator(kPlanted);
    ASSERT_TRUE(simulator.IsLoaded()) << simulator.GetError();
    EXPECT_TRUE(IsBeside(simulator.Get())) << PathOf(simulator.Get());
    EXPECT_NE(simulator.Resolve("BleSimOpenDevice"), nullptr);
    EXPECT_EQ(simulator.Resolve("NoSuchEntryPoint"), nullptr);

    // Neither beside the program nor in the system folder: empty, with the reason.
    basalt::CLibrary missing(L"NoSuchLibrary.dll");
    EXPECT_FALSE(missing.IsLoaded());
    EXPECT_EQ(missing.GetError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
    EXPECT_EQ(missing.Resolve("Anything"), nullptr);
}
