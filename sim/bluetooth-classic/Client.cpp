// The control functions for programs: each one forwards to the export of the
// same name in the Bthprops.cpl that the driver loads too.
#include "BthSim.h"

#include <basalt/Library.h>

#include <cstdlib>
#include <cstdio>

namespace {

FARPROC Find(const char* name) {
    static basalt::CLibrary library(L"Bthprops.cpl");
    FARPROC function = library.Resolve(name);
    if (!function) {
        // A test run against the system's library would test nothing: say so loudly.
        std::fprintf(stderr, "the simulated Bthprops.cpl is not loaded (%s missing)\n", name);
        std::abort();
    }
    return function;
}

template <typename Fn>
Fn Get(const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(Find(name)));
}

}  // namespace

#define FORWARD(ret, name, params, args)                              \
    ret WINAPI name params {                                          \
        static auto function = Get<ret(WINAPI*) params>(#name);       \
        return function args;                                         \
    }

FORWARD(void, BthSimReset, (BOOL a), (a))
FORWARD(void, BthSimSetRadio, (BOOL a, ULONGLONG b, const wchar_t* c, ULONG d), (a, b, c, d))
FORWARD(BOOL, BthSimAddDevice, (ULONGLONG a, const wchar_t* b, ULONG c, DWORD d, const wchar_t* e), (a, b, c, d, e))
FORWARD(void, BthSimRemoveDevice, (ULONGLONG a), (a))
FORWARD(void, BthSimSetDeviceFlags, (ULONGLONG a, DWORD b), (a, b))
FORWARD(DWORD, BthSimGetDeviceFlags, (ULONGLONG a), (a))
FORWARD(void, BthSimSetNameDelay, (ULONGLONG a, DWORD b), (a, b))
FORWARD(BOOL, BthSimAddRecord, (ULONGLONG a, const USHORT* b, DWORD c, ULONG d, DWORD e), (a, b, c, d, e))
FORWARD(void, BthSimSetInquiryDelay, (DWORD a), (a))
FORWARD(void, BthSimFailNext, (ULONGLONG a, DWORD b, DWORD c, DWORD d), (a, b, c, d))
FORWARD(DWORD, BthSimGetCount, (ULONGLONG a, DWORD b), (a, b))
FORWARD(DWORD, BthSimGetConnectLog, (ULONGLONG a, ULONG* b, DWORD c), (a, b, c))
FORWARD(BOOL, BthSimRequestPairing, (ULONGLONG a, DWORD b, ULONG c, BTHSIM_ANSWER* d), (a, b, c, d))
FORWARD(SOCKET, BthSimTakeConnection, (ULONGLONG a, DWORD b), (a, b))
FORWARD(SOCKET, BthSimConnectToService, (ULONGLONG a, const GUID* b), (a, b))
FORWARD(DWORD, BthSimGetPublished, (GUID* a, ULONG* b, DWORD c), (a, b, c))
