#pragma once
// The simulated instruments and the device files open on them. One world per
// process, behind one lock; completions of pending reads and writes happen
// on whichever thread makes them possible (a write, a read, DeviceSend, the
// line clock), as a driver completes them from its own context.
#include "UsbSim.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace usbsim {

// A read or write waiting in the simulated driver.
struct PendingIo {
    HANDLE file;
    OVERLAPPED* record;
    BYTE* buffer;       // read: where bytes go
    const BYTE* data;   // write: what is left to take
    DWORD size;
    DWORD done;
};

struct Instrument {
    std::wstring instanceId;
    std::wstring serial;  // the last part of the instance id, as given
    std::wstring path;    // \\?\usb#vid_...#serial#{class}, lower case
    std::wstring description, busDescription;
    bool hasDescription = false, hasBusDescription = false;
    std::vector<BYTE> descriptor;
    DWORD prepareError = 0;
    DWORD mode = USBSIM_MODE_ECHO;
    DWORD linePeriodMs = 0;
    DWORD nextLineTick = 0;
    DWORD lineNumber = 0;
    DWORD echoBuffer = 256 * 1024;
    DWORD busRate = 0;           // bytes per second on the IN pipe; 0: unlimited
    double busCredit = 0;        // bytes the bus may still carry now
    LONGLONG busCreditedAt = 0;  // performance-counter time of the last credit
    bool present = true;
    HANDLE reader = nullptr, writer = nullptr;  // the one handle of each direction
    std::deque<BYTE> toHost;                    // the IN pipe's bytes not yet read
    std::deque<BYTE> received;                  // sink mode: what the host wrote
    std::deque<PendingIo> reads, writes;
    std::vector<USBSIM_CONTROL> log;
    USBSIM_COUNTERS counters = {};
};

struct SimFile {
    std::shared_ptr<Instrument> instrument;
    DWORD access = 0;
    BYTE pipe = 0;  // the bound endpoint; 0 before the bind code
};

class World {
public:
    static World& Get();

    // The seam, with the kernel's signatures; other paths and handles go to the kernel.
    HANDLE CreateFile(const wchar_t* path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile);
    BOOL CloseHandle(HANDLE handle);
    BOOL DeviceIoControl(HANDLE handle, DWORD code, void* input, DWORD inputSize, void* output, DWORD outputSize,
                         DWORD* returned, OVERLAPPED* record);
    BOOL ReadFile(HANDLE handle, void* buffer, DWORD size, DWORD* done, OVERLAPPED* record);
    BOOL WriteFile(HANDLE handle, const void* data, DWORD size, DWORD* done, OVERLAPPED* record);
    BOOL GetOverlappedResult(HANDLE handle, OVERLAPPED* record, DWORD* done, BOOL wait);
    BOOL CancelIoEx(HANDLE handle, OVERLAPPED* record);

    // Control
    DWORD Reset();
    DWORD AddInstrument(const wchar_t* instanceId, const wchar_t* description, const wchar_t* busDescription,
                        DWORD mode);
    DWORD RemoveInstrument(const wchar_t* serial);
    DWORD GetPath(const wchar_t* serial, wchar_t* path, DWORD capacity);
    DWORD SetDescriptorVariant(const wchar_t* serial, DWORD variant);
    DWORD SetDescriptor(const wchar_t* serial, const BYTE* bytes, DWORD size);
    DWORD SetPrepareError(const wchar_t* serial, DWORD error);
    DWORD SetMode(const wchar_t* serial, DWORD mode, DWORD linePeriodMs);
    DWORD SetEchoBuffer(const wchar_t* serial, DWORD bytes);
    DWORD SetBusRate(const wchar_t* serial, DWORD bytesPerSecond);
    DWORD DeviceSend(const wchar_t* serial, const void* data, DWORD size);
    DWORD DeviceReceive(const wchar_t* serial, void* buffer, DWORD size, DWORD* taken);
    DWORD Unplug(const wchar_t* serial);
    DWORD Plug(const wchar_t* serial);
    DWORD GetControlLog(const wchar_t* serial, USBSIM_CONTROL* entries, DWORD* count);
    DWORD ClearControlLog(const wchar_t* serial);
    DWORD GetCounters(const wchar_t* serial, USBSIM_COUNTERS* counters);
    // For the node registration: every instrument's id and descriptions.
    std::vector<Instrument> Snapshot();

private:
    World();
    std::shared_ptr<Instrument> Find(const wchar_t* serial) const;
    SimFile* FileOf(HANDLE handle);
    void CancelFileIo(HANDLE handle, OVERLAPPED* record, bool& found);
    // Moves bytes while anything can move: IN bytes to pending reads, pending
    // echo writes into the echo buffer, lines into an idle IN pipe.
    void Pump(Instrument& instrument);
    void Gone(Instrument& instrument);
    void AppendLine(Instrument& instrument);
    // Whether the bus has carried count more bytes by now; takes them if so.
    static bool TakeBusCredit(Instrument& instrument, DWORD count);
    void StartClock();
    static DWORD WINAPI ClockProc(void*);

    CRITICAL_SECTION m_lock;
    std::vector<std::shared_ptr<Instrument>> m_instruments;
    std::map<HANDLE, SimFile> m_files;
    HANDLE m_clock = nullptr;
};

// The configuration descriptor of a ready-made variant; empty for an unknown one.
std::vector<BYTE> Descriptor(DWORD variant);

}  // namespace usbsim
