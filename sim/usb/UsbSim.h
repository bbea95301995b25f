/* Control interface of the simulated USB instruments in UsbSim.dll.
 *
 * UsbSim.dll stands in for the maker's kernel driver: it exports the kernel's
 * file functions (CreateFileW, CloseHandle, DeviceIoControl, ReadFile,
 * WriteFile, GetOverlappedResult, CancelIoEx) with their signatures, plays
 * the instruments behind their interface paths and passes every other path
 * and handle to the kernel. A program drives the instruments through the
 * table that UsbSimGetApi fills in:
 *
 *     USBSIM_API sim;
 *     UsbSimLoadApi(module, &sim);          // module: UsbSim.dll, loaded as the library loads it
 *     sim.AddInstrument(L"USB\\VID_0C0A&PID_5501\\CV20000002B", L"Receiver", NULL, USBSIM_MODE_ECHO);
 *
 * Instruments are named by their serial text, the last part of the instance
 * id, in any letter case. Every function answers a Windows error code, 0 on
 * success, unless said otherwise. */
#pragma once
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* What the instrument does with bytes on its pipes. */
#define USBSIM_MODE_ECHO 0  /* sends back what it receives; its buffer fills when the host does not read */
#define USBSIM_MODE_LINES 1 /* sends numbered text lines, one per period (period 0: as fast as read) */
#define USBSIM_MODE_SINK 2  /* keeps what it receives (DeviceReceive) and sends nothing by itself */
#define USBSIM_MODE_ZERO_WRITES 3 /* a faulty driver: every write completes at once with 0 bytes taken */

/* Ready-made configuration descriptors. */
#define USBSIM_DESCRIPTOR_BULK_PAIR 0       /* bulk IN 0x81 and bulk OUT 0x02 */
#define USBSIM_DESCRIPTOR_ONE_ENDPOINT 1    /* the interface has bulk IN 0x81 only */
#define USBSIM_DESCRIPTOR_MALFORMED 2       /* two endpoints, the second one 6 bytes long */
#define USBSIM_DESCRIPTOR_INTERRUPT_FIRST 3 /* interrupt IN 0x83, then bulk OUT 0x04 and bulk IN 0x85 */

/* The interface class of the driver's device interfaces. */
#define USBSIM_INTERFACE_CLASS_TEXT L"{325ddf96-938c-11d3-9e34-0080c82727f4}"
/* The vendor and product the default instrument's instance id carries;
 * RemoveNodes(NULL) removes the nodes whose instance id starts with it. */
#define USBSIM_INSTANCE_PREFIX L"USB\\VID_0C0A&PID_55"
#define USBSIM_DEFAULT_INSTANCE L"USB\\VID_0C0A&PID_5501\\CV10000001A"
#define USBSIM_DEFAULT_SERIAL L"CV10000001A"

/* One control code as the instrument received it. */
typedef struct USBSIM_CONTROL {
    DWORD code;
    DWORD access;   /* GENERIC_READ or GENERIC_WRITE: the handle it came on */
    DWORD argument; /* the endpoint address for the bind code, else 0 */
    DWORD result;   /* 0, or the error it was answered with */
} USBSIM_CONTROL;

typedef struct USBSIM_COUNTERS {
    DWORD openHandles;   /* handles open on the instrument now */
    DWORD opens;         /* successful opens since it was added */
    DWORD pendingReads;  /* reads waiting for bytes */
    DWORD pendingWrites; /* writes waiting for room in the echo buffer */
    ULONGLONG bytesToDevice;
    ULONGLONG bytesToHost;
    DWORD largestRead;   /* the largest size a read asked for */
    DWORD largestWrite;  /* the largest size a write offered */
    /* ReadFile, WriteFile and GetOverlappedResult calls on its handles: a
     * port that is idle, with its read pending, makes none. */
    ULONGLONG calls;
} USBSIM_COUNTERS;

typedef struct USBSIM_API {
    DWORD size; /* sizeof(USBSIM_API), set by the caller */
    /* Removes every instrument; handles open on them behave as on unplugged ones. */
    DWORD(__cdecl* Reset)(void);
    /* A present instrument with the bulk-pair descriptor. Either description may be NULL (absent). */
    DWORD(__cdecl* AddInstrument)(const wchar_t* instanceId, const wchar_t* description, const wchar_t* busDescription,
                                  DWORD mode);
    DWORD(__cdecl* RemoveInstrument)(const wchar_t* serial);
    /* The interface path of an instrument, as SetupAPI reports it (capacity in characters). */
    DWORD(__cdecl* GetPath)(const wchar_t* serial, wchar_t* path, DWORD capacity);
    DWORD(__cdecl* SetDescriptorVariant)(const wchar_t* serial, DWORD variant);
    DWORD(__cdecl* SetDescriptor)(const wchar_t* serial, const BYTE* bytes, DWORD size);
    /* The bytes of a ready-made variant; *size in, capacity; out, the length. */
    DWORD(__cdecl* GetDescriptorVariant)(DWORD variant, BYTE* bytes, DWORD* size);
    /* The error the preparing control code answers with (0: success), e.g. 22 or 0xE0001005. */
    DWORD(__cdecl* SetPrepareError)(const wchar_t* serial, DWORD error);
    DWORD(__cdecl* SetMode)(const wchar_t* serial, DWORD mode, DWORD linePeriodMs);
    /* Room in the echo buffer (default 256 KiB): writes wait while it is full. */
    DWORD(__cdecl* SetEchoBuffer)(const wchar_t* serial, DWORD bytes);
    /* Bytes the instrument sends on its IN pipe. */
    DWORD(__cdecl* DeviceSend)(const wchar_t* serial, const void* data, DWORD size);
    /* Moves up to size received bytes (sink mode) into buffer; *taken says how many;
     * a NULL buffer answers the count waiting in *taken. */
    DWORD(__cdecl* DeviceReceive)(const wchar_t* serial, void* buffer, DWORD size, DWORD* taken);
    /* The instrument leaves the bus: pending reads end with 0 bytes, later reads end at
     * once with 0 bytes, writes and control codes fail with 1167, opens with 2. */
    DWORD(__cdecl* Unplug)(const wchar_t* serial);
    DWORD(__cdecl* Plug)(const wchar_t* serial);
    /* The control codes received so far, oldest first; *count in, capacity; out, the number copied. */
    DWORD(__cdecl* GetControlLog)(const wchar_t* serial, USBSIM_CONTROL* entries, DWORD* count);
    DWORD(__cdecl* ClearControlLog)(const wchar_t* serial);
    DWORD(__cdecl* GetCounters)(const wchar_t* serial, USBSIM_COUNTERS* counters);
    /* The IN pipe carries at most this many bytes per second (0: as fast as memory
     * allows); a read completes once the bus has carried all it hands out. */
    DWORD(__cdecl* SetBusRate)(const wchar_t* serial, DWORD bytesPerSecond);
    /* Registers every instrument's device node and interface with SetupAPI. */
    DWORD(__cdecl* RegisterNodes)(void);
    /* Removes the nodes whose instance id starts with prefix (NULL: USBSIM_INSTANCE_PREFIX);
     * answers the number removed. */
    DWORD(__cdecl* RemoveNodes)(const wchar_t* prefix);
} USBSIM_API;

/* Fills in the table; ERROR_INVALID_PARAMETER when api->size is not known. */
typedef DWORD(__cdecl* UsbSimGetApiFn)(USBSIM_API* api);

#ifdef __cplusplus
}

/* The table of a loaded UsbSim.dll; false when the module is not the simulator. */
inline bool UsbSimLoadApi(HMODULE module, USBSIM_API* api) {
    if (!module || !api) return false;
    UsbSimGetApiFn get = reinterpret_cast<UsbSimGetApiFn>(
        reinterpret_cast<void*>(::GetProcAddress(module, "UsbSimGetApi")));
    api->size = sizeof(USBSIM_API);
    return get && get(api) == 0;
}
#endif
