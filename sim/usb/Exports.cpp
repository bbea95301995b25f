// The exports of UsbSim.dll. The seam carries the kernel's names (exports.def
// maps them onto the SimXxx functions below, which keep the kernel's
// signatures); the control table is handed out by UsbSimGetApi.
#include "World.h"

#include <algorithm>

using usbsim::World;

extern "C" {

HANDLE WINAPI SimCreateFileW(const wchar_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                             DWORD disposition, DWORD flags, HANDLE templateFile) {
    return World::Get().CreateFile(path, access, share, security, disposition, flags, templateFile);
}

BOOL WINAPI SimCloseHandle(HANDLE handle) { return World::Get().CloseHandle(handle); }

BOOL WINAPI SimDeviceIoControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                               DWORD* returned, OVERLAPPED* record) {
    return World::Get().DeviceIoControl(handle, code, input, inputSize, output, outputSize, returned, record);
}

BOOL WINAPI SimReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* done, OVERLAPPED* record) {
    return World::Get().ReadFile(handle, buffer, size, done, record);
}

BOOL WINAPI SimWriteFile(HANDLE handle, const void* data, DWORD size, DWORD* done, OVERLAPPED* record) {
    return World::Get().WriteFile(handle, data, size, done, record);
}

BOOL WINAPI SimGetOverlappedResult(HANDLE handle, OVERLAPPED* record, DWORD* done, BOOL wait) {
    return World::Get().GetOverlappedResult(handle, record, done, wait);
}

BOOL WINAPI SimCancelIoEx(HANDLE handle, OVERLAPPED* record) { return World::Get().CancelIoEx(handle, record); }

DWORD __cdecl UsbSimRegisterNodes(void);
DWORD __cdecl UsbSimRemoveNodes(const wchar_t* prefix);

}  // extern "C"

namespace {

DWORD __cdecl Reset() { return World::Get().Reset(); }
DWORD __cdecl AddInstrument(const wchar_t* id, const wchar_t* description, const wchar_t* bus, DWORD mode) {
    return World::Get().AddInstrument(id, description, bus, mode);
}
DWORD __cdecl RemoveInstrument(const wchar_t* serial) { return World::Get().RemoveInstrument(serial); }
DWORD __cdecl GetPath(const wchar_t* serial, wchar_t* path, DWORD capacity) {
    return World::Get().GetPath(serial, path, capacity);
}
DWORD __cdecl SetDescriptorVariant(const wchar_t* serial, DWORD variant) {
    return World::Get().SetDescriptorVariant(serial, variant);
}
DWORD __cdecl SetDescriptor(const wchar_t* serial, const BYTE* bytes, DWORD size) {
    return World::Get().SetDescriptor(serial, bytes, size);
}
DWORD __cdecl GetDescriptorVariant(DWORD variant, BYTE* bytes, DWORD* size) {
    std::vector<BYTE> descriptor = usbsim::Descriptor(variant);
    if (!size || descriptor.empty()) return ERROR_INVALID_PARAMETER;
    if (!bytes || *size < descriptor.size()) {
        *size = static_cast<DWORD>(descriptor.size());
        return ERROR_INSUFFICIENT_BUFFER;
    }
    std::copy(descriptor.begin(), descriptor.end(), bytes);
    *size = static_cast<DWORD>(descriptor.size());
    return 0;
}
DWORD __cdecl SetPrepareError(const wchar_t* serial, DWORD error) { return World::Get().SetPrepareError(serial, error); }
DWORD __cdecl SetMode(const wchar_t* serial, DWORD mode, DWORD period) { return World::Get().SetMode(serial, mode, period); }
DWORD __cdecl SetEchoBuffer(const wchar_t* serial, DWORD bytes) { return World::Get().SetEchoBuffer(serial, bytes); }
DWORD __cdecl SetBusRate(const wchar_t* serial, DWORD rate) { return World::Get().SetBusRate(serial, rate); }
DWORD __cdecl DeviceSend(const wchar_t* serial, const void* data, DWORD size) {
    return World::Get().DeviceSend(serial, data, size);
}
DWORD __cdecl DeviceReceive(const wchar_t* serial, void* buffer, DWORD size, DWORD* taken) {
    return World::Get().DeviceReceive(serial, buffer, size, taken);
}
DWORD __cdecl Unplug(const wchar_t* serial) { return World::Get().Unplug(serial); }
DWORD __cdecl Plug(const wchar_t* serial) { return World::Get().Plug(serial); }
DWORD __cdecl GetControlLog(const wchar_t* serial, USBSIM_CONTROL* entries, DWORD* count) {
    return World::Get().GetControlLog(serial, entries, count);
}
DWORD __cdecl ClearControlLog(const wchar_t* serial) { return World::Get().ClearControlLog(serial); }
DWORD __cdecl GetCounters(const wchar_t* serial, USBSIM_COUNTERS* counters) {
    return World::Get().GetCounters(serial, counters);
}

}  // namespace

extern "C" DWORD __cdecl UsbSimGetApi(USBSIM_API* api) {
    if (!api || api->size != sizeof(USBSIM_API)) return ERROR_INVALID_PARAMETER;
    api->Reset = Reset;
    api->AddInstrument = AddInstrument;
    api->RemoveInstrument = RemoveInstrument;
    api->GetPath = GetPath;
    api->SetDescriptorVariant = SetDescriptorVariant;
    api->SetDescriptor = SetDescriptor;
    api->GetDescriptorVariant = GetDescriptorVariant;
    api->SetPrepareError = SetPrepareError;
    api->SetMode = SetMode;
    api->SetEchoBuffer = SetEchoBuffer;
    api->DeviceSend = DeviceSend;
    api->DeviceReceive = DeviceReceive;
    api->Unplug = Unplug;
    api->Plug = Plug;
    api->GetControlLog = GetControlLog;
    api->ClearControlLog = ClearControlLog;
    api->GetCounters = GetCounters;
    api->SetBusRate = SetBusRate;
    api->RegisterNodes = UsbSimRegisterNodes;
    api->RemoveNodes = UsbSimRemoveNodes;
    return 0;
}
