#pragma once
#include <basalt/Config.h>

#include <windows.h>

namespace basalt {

// A dynamic-link library loaded for the life of this object.
//
// Libraries that stand for system ones (the Bluetooth stacks, the GATT
// functions) are loaded from the system folder by full path, so that a DLL of
// the same name planted beside a client program is never picked up. The
// simulators of the SDK are such planted DLLs on purpose: with the environment
// variable CORVANE_SIMULATORS set to anything but "" or "0", the folder of the
// program's executable is searched first, then the system folder.
//
// A vendor's library (a Bluetooth stack's application library, say) is
// installed in a folder of the vendor's own that the installer puts on PATH:
// such a library is looked for in the system folder, then in each folder PATH
// names by a full path. Relative entries are skipped, and the current folder
// is never searched, so a copy planted there is not picked up either.
class BASALT_API CLibrary {
public:
    enum ESearch {
        searchSystem,  // the system folder
        searchVendor,  // the system folder, then the folders on PATH
    };

    // Loads the library `file` (a bare file name) as described above.
    // A library that cannot be found leaves the object empty: optional system
    // DLLs are a normal absence, not a failure. GetError tells why.
    explicit CLibrary(const wchar_t* file, ESearch search = searchSystem);
    ~CLibrary();
    CLibrary(const CLibrary&) = delete;
    CLibrary& operator=(const CLibrary&) = delete;

    bool IsLoaded() const noexcept { return m_module != nullptr; }
    HMODULE Get() const noexcept { return m_module; }
    // The Windows error of the last load attempt; 0 once loaded.
    DWORD GetError() const noexcept { return m_error; }
    // The entry point `name`, or null when the library lacks it (or is not loaded).
    FARPROC Resolve(const char* name) const noexcept;
    template <typename Fn>
    Fn Resolve(const char* name) const noexcept {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(Resolve(name)));
    }

    // True when CORVANE_SIMULATORS asks for the simulators beside the program.
    static bool SimulatorsRequested();

private:
    HMODULE m_module;
    DWORD m_error;
};

}  // namespace basalt
