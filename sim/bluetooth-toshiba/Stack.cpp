// TosBtApi.dll, simulated: the stack's application library with its answers
// posted as window messages from threads of its own, and virtual COM ports
// that are COM ports of the Wine prefix joined by a null-modem cable to a
// peer port, on which a simulated device runs.
//
// Which ports exist: TOSBTSIM_PORTS="21:41,22:42" lists the virtual ports
// the stack may create, each with the peer port its device talks through
// (cable/with-rig.sh lays such a cable). Without it no virtual port can be made.
#include "TosBtSim.h"

#include "ToshibaBluetooth/TosBtApi.h"

#include <Detached.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace TosBt;

// One service of a device: its class, the RFCOMM channel it listens on, and
// how the device plays once connected there.
struct CService {
    WORD serviceClass;
    BYTE channel;
    int behaviour;
};

struct CDevice {
    BYTE address[6];
    DWORD classOfDevice;
    std::string name;
    std::vector<CService> services;

    const CService* Offering(WORD serviceClass) const {
        for (const CService& service : services)
            if (service.serviceClass == serviceClass) return &service;
        return nullptr;
    }
    const CService* Listening(BYTE channel) const {
        for (const CService& service : services)
            if (service.channel == channel) return &service;
        return nullptr;
    }
};

// A virtual port and the device playing at its far end.
struct CVirtualPort {
    std::string name;
    std::string peer;  // empty: listed only
    DWORD kind = 0;    // as created: a connection must ask for the same
    HWND window = nullptr;
    UINT message = 0;
    std::atomic<bool> stop{false};
    std::thread device;
};

struct CWorld {
    std::mutex lock;
    std::vector<CDevice> devices;
    int fault = tosbtNoFault;
    DWORD faultAfter = 0;
    std::map<std::string, std::unique_ptr<CVirtualPort>> ports;
    HWND eventWindow = nullptr;
    UINT eventMessage = 0;
    std::atomic<DWORD> received{0};
    std::atomic<DWORD> sdpRequests{0};
    std::atomic<bool> discovering{false};
    int openClients = 0;
    DWORD modes[3] = {1, 1, 0};  // discoverability, connectability, pairing
    // Messages posted since the reset, by message number (0x8000 to 0x800F).
    std::atomic<DWORD> posted[16] = {};
    // SDP connections taken by the silent stack and not answered yet, oldest first.
    struct CUnanswered {
        HWND window;
        UINT message;
        LPARAM param;
        WORD connection;
        std::vector<BYTE> address;
    };
    std::vector<CUnanswered> unanswered;
};

// Calls of BtGetCOMMInfoList2 wait while the list is held (a lock of its
// own: the world's stays free for the threads that post).
struct CHold {
    std::mutex lock;
    std::condition_variable changed;
    bool held = false;
    DWORD waiting = 0;
};

CHold& Hold() {
    static CHold* hold = new CHold;
    return *hold;
}

CWorld& World() {
    static CWorld* world = new CWorld;
    return *world;
}

std::map<std::string, std::string> PortPool() {
    std::map<std::string, std::string> pool;
    const char* text = std::getenv("TOSBTSIM_PORTS");
    if (!text) return pool;
    std::string list(text);
    size_t at = 0;
    while (at < list.size()) {
        size_t end = list.find(',', at);
        if (end == std::string::npos) end = list.size();
        std::string item = list.substr(at, end - at);
        size_t colon = item.find(':');
        if (colon != std::string::npos)
            pool["COM" + item.substr(0, colon)] = "COM" + item.substr(colon + 1);
        at = end + 1;
    }
    return pool;
}

void AddDevice(CWorld& w, ULONGLONG address, DWORD cod, const char* name, WORD serviceClass, BYTE channel, int behaviour) {
    CDevice device;
    for (int i = 0; i < 6; ++i) device.address[i] = static_cast<BYTE>(address >> (8 * (5 - i)));
    // A device added again offers one more service; the rest stays as first given.
    for (CDevice& known : w.devices)
        if (std::memcmp(known.address, device.address, 6) == 0) {
            if (serviceClass) known.services.push_back({serviceClass, channel, behaviour});
            return;
        }
    device.classOfDevice = cod;
    device.name = name;
    if (serviceClass) device.services.push_back({serviceClass, channel, behaviour});
    w.devices.push_back(device);
}

void DefaultWorld(CWorld& w) {
    w.devices.clear();
    AddDevice(w, 0x008025000001ULL, 0x001F00, "Echo Device", 0x1101, 1, tosbtEcho);
    AddDevice(w, 0x008025000002ULL, 0x000540, "Line Streamer", 0x1103, 2, tosbtLines);
    w.fault = tosbtNoFault;
    w.faultAfter = 0;
    w.received = 0;
    w.sdpRequests = 0;
    for (auto& count : w.posted) count = 0;
    w.unanswered.clear();
    w.modes[0] = w.modes[1] = 1;
    w.modes[2] = 0;
}

struct CInit {
    CInit() { DefaultWorld(World()); }
} s_init;

BOOL Fail(LONG* status, LONG code) {
    if (status) *status = code;
    return FALSE;
}

BOOL Ok(LONG* status) {
    if (status) *status = 0;
    return TRUE;
}

// Every message the stack sends goes this way, and is counted once queued.
void Post(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!::PostMessageW(window, message, wParam, lParam)) return;
    if (message >= 0x8000 && message < 0x8010) ++World().posted[message - 0x8000];
}

// The stack answers a little later, from a thread of its own.
void PostLater(HWND window, UINT message, WPARAM wParam, LPARAM lParam, DWORD delay = 1) {
    sim::RunDetached([=] {
        ::Sleep(delay);
        Post(window, message, wParam, lParam);
    });
}

const CDevice* FindDevice(CWorld& w, const BYTE* address) {
    for (const CDevice& device : w.devices)
        if (std::memcmp(device.address, address, 6) == 0) return &device;
    return nullptr;
}

void* Allocate(size_t size) {
    void* block = std::calloc(1, size);
    return block;
}

// SDP connections: handle -> device address.
std::map<WORD, std::vector<BYTE>>& SdpConnections() {
    static auto* connections = new std::map<WORD, std::vector<BYTE>>;
    return *connections;
}

// The device at the far end of a virtual port: runs on the peer COM port.
void PlayDevice(CVirtualPort* port, int behaviour) {
    CWorld& w = World();
    std::string path = "\\\\.\\" + port->peer;
    HANDLE handle = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    ::GetCommState(handle, &dcb);
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.fBinary = TRUE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;  // the port's CTS: the device is always ready
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    ::SetCommState(handle, &dcb);
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 20, 0, 1000};
    ::SetCommTimeouts(handle, &timeouts);
    std::vector<char> buffer(65536);
    DWORD lineNumber = 0;
    DWORD lastLine = ::GetTickCount();
    while (!port->stop) {
        DWORD count = 0;
        if (!::ReadFile(handle, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) count = 0;
        if (count) {
            DWORD total = w.received += count;
            std::lock_guard<std::mutex> guard(w.lock);
            if (w.fault == tosbtLinkLost && total >= w.faultAfter) {
                // The radio link breaks: nothing more moves, the stack tells the client.
                if (port->window) Post(port->window, port->message, commLinkLost, 0);
                break;
            }
        }
        if (behaviour == tosbtEcho && count) {
            DWORD written = 0;
            ::WriteFile(handle, buffer.data(), count, &written, nullptr);
        } else if (behaviour == tosbtLines && ::GetTickCount() - lastLine >= 20) {
            char line[32];
            int size = std::snprintf(line, sizeof line, "line %lu\r\n", static_cast<unsigned long>(++lineNumber));
            DWORD written = 0;
            ::WriteFile(handle, line, static_cast<DWORD>(size), &written, nullptr);
            lastLine = ::GetTickCount();
        }
    }
    ::CloseHandle(handle);
}

void StopDevice(CVirtualPort& port) {
    port.stop = true;
    if (port.device.joinable()) port.device.join();
    port.stop = false;
}

}  // namespace

#define TOSBT_EXPORT(name, args) extern "C" __declspec(dllexport) BOOL WINAPI name args;
TOSBT_ENTRY_POINTS(TOSBT_EXPORT)
#undef TOSBT_EXPORT

// ---------------------------------------------------------------------------
// Control

void WINAPI TosBtSimReset() {
    TosBtSimHoldPortList(FALSE);
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    DefaultWorld(w);
}

void WINAPI TosBtSimClearDevices() {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    w.devices.clear();
}

void WINAPI TosBtSimAddDevice(const BYTE* address, DWORD classOfDevice, const char* name, WORD serviceClass,
                              BYTE channel, int behaviour) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    ULONGLONG value = 0;
    for (int i = 0; i < 6; ++i) value = (value << 8) | address[i];
    AddDevice(w, value, classOfDevice, name ? name : "", serviceClass, channel, behaviour);
}

void WINAPI TosBtSimSetFault(int fault, DWORD after) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    w.fault = fault;
    w.faultAfter = after;
    w.received = 0;
}

void WINAPI TosBtSimSetModes(DWORD discoverability, DWORD connectability, DWORD pairing) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    w.modes[0] = discoverability;
    w.modes[1] = connectability;
    w.modes[2] = pairing;
}

void WINAPI TosBtSimAddStalePort(const char* name) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    std::unique_ptr<CVirtualPort> port(new CVirtualPort);
    port->name = name;
    w.ports[name] = std::move(port);
}

DWORD WINAPI TosBtSimPortCount() {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    return static_cast<DWORD>(w.ports.size());
}

DWORD WINAPI TosBtSimBytesReceived() { return World().received; }

DWORD WINAPI TosBtSimSdpRequests() { return World().sdpRequests; }

DWORD WINAPI TosBtSimPosted(UINT message) {
    if (message < 0x8000 || message >= 0x8010) return 0;
    return World().posted[message - 0x8000];
}

void WINAPI TosBtSimHoldPortList(BOOL hold) {
    CHold& h = Hold();
    std::lock_guard<std::mutex> guard(h.lock);
    h.held = hold != FALSE;
    h.changed.notify_all();
}

BOOL WINAPI TosBtSimWaitPortListCaller(DWORD timeoutMs) {
    CHold& h = Hold();
    std::unique_lock<std::mutex> guard(h.lock);
    return h.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] { return h.waiting > 0; });
}

void WINAPI TosBtSimAnswerSilently(LONG status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    for (const auto& request : w.unanswered) Post(request.window, request.message, sdpConnectFailed, status);
    w.unanswered.clear();
}

BOOL WINAPI TosBtSimAnswerOldest(BOOL connected, LONG status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    if (w.unanswered.empty()) return FALSE;
    CWorld::CUnanswered request = w.unanswered.front();
    w.unanswered.erase(w.unanswered.begin());
    if (connected) {
        SdpConnections()[request.connection] = request.address;
        Post(request.window, request.message, sdpConnected, request.param);
    } else {
        Post(request.window, request.message, sdpConnectFailed, status);
    }
    return TRUE;
}

// ---------------------------------------------------------------------------
// The local radio

BOOL WINAPI BtOpenAPI(HWND, const char*, LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    if (w.fault == tosbtManagerDown) return Fail(status, -3000);
    ++w.openClients;
    return Ok(status);
}

BOOL WINAPI BtCloseAPI(LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    if (w.openClients == 0) return Fail(status, -3003);
    --w.openClients;
    return Ok(status);
}

namespace {
BYTE g_localName[250] = "Corvane Simulated Radio";
DWORD g_localClass = 0x00010C;  // a laptop
}  // namespace

BOOL WINAPI BtGetLocalInfo2(CLocalInfo* info, LONG* status) {
    if (World().fault == tosbtManagerDown) return Fail(status, -3000);
    if (!info) return Fail(status, -9);
    const BYTE address[6] = {0x00, 0x1B, 0xDC, 0x0F, 0x00, 0x01};
    std::memcpy(info->address, address, 6);
    return Ok(status);
}

BOOL WINAPI BtSetLocalDeviceName(const BYTE* name, LONG* status) {
    if (!name) return Fail(status, -9);
    std::memcpy(g_localName, name, sizeof g_localName);
    return Ok(status);
}

BOOL WINAPI BtGetLocalDeviceName(BYTE* name, LONG* status) {
    if (!name) return Fail(status, -9);
    std::memcpy(name, g_localName, sizeof g_localName);
    return Ok(status);
}

BOOL WINAPI BtSetClassOfDevice(DWORD classOfDevice, LONG* status) {
    g_localClass = classOfDevice;
    return Ok(status);
}

BOOL WINAPI BtGetClassOfDevice(DWORD* classOfDevice, LONG* status) {
    if (!classOfDevice) return Fail(status, -9);
    *classOfDevice = g_localClass;
    return Ok(status);
}

namespace {
BOOL Mode(int which, DWORD* mode, LONG* status) {
    if (!mode) return Fail(status, -9);
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    *mode = w.modes[which];
    return Ok(status);
}
}  // namespace

BOOL WINAPI BtGetDiscoverabilityMode(DWORD* mode, LONG* status) { return Mode(0, mode, status); }
BOOL WINAPI BtGetConnectabilityMode(DWORD* mode, LONG* status) { return Mode(1, mode, status); }
BOOL WINAPI BtGetPairingMode(DWORD* mode, LONG* status) { return Mode(2, mode, status); }

// ---------------------------------------------------------------------------
// Discovery: the devices arrive in two batches, the list growing in place.

BOOL WINAPI BtDiscoverRemoteDevice2(void** list, DWORD, HWND window, UINT message, LPARAM param, LONG* status) {
    CWorld& w = World();
    std::vector<CDevice> devices;
    int fault;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        devices = w.devices;
        fault = w.fault;
    }
    if (!list) return Fail(status, -9);
    BYTE* block = static_cast<BYTE*>(Allocate(discoveryRecordsAt + (devices.size() + 1) * discoveryRecordSize));
    for (size_t i = 0; i < devices.size(); ++i) {
        BYTE* record = block + discoveryRecordsAt + i * discoveryRecordSize;
        std::memcpy(record + deviceAddressAt, devices[i].address, 6);
        std::memcpy(record + deviceClassAt, &devices[i].classOfDevice, 4);
        std::strncpy(reinterpret_cast<char*>(record + deviceNameAt), devices[i].name.c_str(), deviceNameSize - 1);
    }
    *list = block;
    w.discovering = true;
    sim::RunDetached([=] {
        DWORD count = static_cast<DWORD>(devices.size());
        DWORD first = (count + 1) / 2;
        ::Sleep(5);
        std::memcpy(block, &first, 4);
        Post(window, message, discoveryResults, param);
        ::Sleep(5);
        if (fault == tosbtDiscoveryFails) {
            Post(window, message, discoveryFailed, param);
            return;
        }
        if (fault == tosbtDiscoveryClears) Post(window, message, discoveryCleared, param);
        if (count > first) {
            std::memcpy(block, &count, 4);
            Post(window, message, discoveryResults, param);
        }
        ::Sleep(5);
        Post(window, message, discoveryFinished, param);
    });
    return Ok(status);
}

BOOL WINAPI BtCancelDiscoverRemoteDevice(LONG* status) {
    World().discovering = false;
    return Ok(status);
}

// The discovery thread may still write the list after a cancel: blocks are
// kept instead of freed (the simulator's runs are short).
BOOL WINAPI BtMemFree(void*, LONG* status) { return Ok(status); }

BOOL WINAPI BtConnect(const BYTE*, LONG* status) { return Fail(status, -1095); }
BOOL WINAPI BtDisconnect(const BYTE*, LONG* status) { return Fail(status, -1095); }
BOOL WINAPI BtSendData(const void*, DWORD, LONG* status) { return Fail(status, -1095); }
BOOL WINAPI BtRecvData(void*, DWORD, LONG* status) { return Fail(status, -1095); }

// ---------------------------------------------------------------------------
// Virtual COM ports

BOOL WINAPI BtCreateCOMM(const char* name, DWORD, DWORD kind, LONG* status) {
    CWorld& w = World();
    std::map<std::string, std::string> pool = PortPool();
    std::lock_guard<std::mutex> guard(w.lock);
    auto slot = pool.find(name ? name : "");
    if (slot == pool.end() || w.ports.count(slot->first)) return Fail(status, -9);
    std::unique_ptr<CVirtualPort> port(new CVirtualPort);
    port->name = slot->first;
    port->peer = slot->second;
    port->kind = kind;
    w.ports[slot->first] = std::move(port);
    if (w.eventWindow) PostLater(w.eventWindow, w.eventMessage, 0, 0);
    return Ok(status);
}

BOOL WINAPI BtDestroyCOMM(const char* name, LONG* status) {
    CWorld& w = World();
    std::unique_ptr<CVirtualPort> port;
    {
        std::lock_guard<std::mutex> guard(w.lock);
        auto found = w.ports.find(name ? name : "");
        if (found == w.ports.end()) return Fail(status, -9);
        port = std::move(found->second);
        w.ports.erase(found);
    }
    StopDevice(*port);
    return Ok(status);
}

BOOL WINAPI BtConnectCOMM(const char*, const BYTE*, LONG* status) { return Fail(status, -1095); }

BOOL WINAPI BtConnectCOMM2(const char* name, const BYTE* address, BYTE channel, DWORD kind, WORD* connection, DWORD,
                           HWND window, UINT message, LPARAM param, LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    auto found = w.ports.find(name ? name : "");
    if (found == w.ports.end() || found->second->peer.empty() || found->second->kind != kind) return Fail(status, -9);
    const CDevice* device = FindDevice(w, address);
    const CService* service = device ? device->Listening(channel) : nullptr;
    if (w.fault == tosbtCommConnectFails || !service) {
        PostLater(window, message, commConnectFailed, -7);
        return Ok(status);
    }
    if (connection) *connection = static_cast<WORD>(0x100 + channel);
    CVirtualPort* port = found->second.get();
    StopDevice(*port);
    port->device = std::thread(PlayDevice, port, service->behaviour);
    sim::RunDetached([=] {
        ::Sleep(1);
        Post(window, message, commConnected, param);
        Post(window, message, commReady, param);
    });
    return Ok(status);
}

BOOL WINAPI BtDisconnectCOMM(const char* name, LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    auto found = w.ports.find(name ? name : "");
    if (found == w.ports.end()) return Fail(status, -9);
    found->second->window = nullptr;
    return Ok(status);
}

BOOL WINAPI BtNotifyCOMM(const char* name, DWORD, const BYTE*, WORD, HWND window, UINT message, LPARAM,
                         LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    auto found = w.ports.find(name ? name : "");
    if (found == w.ports.end()) return Fail(status, -9);
    found->second->window = window;
    found->second->message = message;
    return Ok(status);
}

BOOL WINAPI BtGetCOMMInfoList2(void** list, LONG* status) {
    {
        CHold& hold = Hold();
        std::unique_lock<std::mutex> guard(hold.lock);
        ++hold.waiting;
        hold.changed.notify_all();
        hold.changed.wait(guard, [&] { return !hold.held; });
        --hold.waiting;
    }
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!list) return Fail(status, -9);
    BYTE* block = static_cast<BYTE*>(Allocate(commRecordsAt + (w.ports.size() + 1) * commRecordSize));
    DWORD count = 0;
    for (const auto& entry : w.ports) {
        BYTE* record = block + commRecordsAt + count++ * commRecordSize;
        std::strncpy(reinterpret_cast<char*>(record + commNameAt), entry.first.c_str(), commNameSize);
    }
    std::memcpy(block, &count, 4);
    *list = block;
    return Ok(status);
}

BOOL WINAPI BtNotifyEvent(DWORD mask, HWND window, UINT message, LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    w.eventWindow = mask ? window : nullptr;
    w.eventMessage = message;
    return Ok(status);
}

BOOL WINAPI BtSetAutoConnectCOMMInfo(const char*, const BYTE*, LONG* status) { return Fail(status, -1095); }
BOOL WINAPI BtSetAutoConnectCOMMState(const char*, DWORD, LONG* status) { return Fail(status, -1095); }

// ---------------------------------------------------------------------------
// SDP

BOOL WINAPI BtConnectSDP(const BYTE* address, WORD* connection, HWND window, UINT message, LPARAM param,
                         LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!address || !connection) return Fail(status, -9);
    ++w.sdpRequests;
    static WORD next = 1;
    if (w.fault == tosbtSilent) {
        *connection = next++;
        w.unanswered.push_back({window, message, param, *connection, std::vector<BYTE>(address, address + 6)});
        return Ok(status);
    }
    if (w.fault == tosbtSdpConnectFails || !FindDevice(w, address)) {
        PostLater(window, message, sdpConnectFailed, -7);
        return Ok(status);
    }
    *connection = next++;
    SdpConnections()[*connection] = std::vector<BYTE>(address, address + 6);
    PostLater(window, message, sdpConnected, param);
    return Ok(status);
}

BOOL WINAPI BtDisconnectSDP(WORD connection, LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    if (!SdpConnections().erase(connection)) return Fail(status, -9);
    return Ok(status);
}

BOOL WINAPI BtMakeServiceSearchPattern2(const BYTE* uuid, DWORD size, void** pattern, LONG* status) {
    if (!uuid || size != 2 || !pattern) return Fail(status, -2007);
    BYTE* block = static_cast<BYTE*>(Allocate(2));
    std::memcpy(block, uuid, 2);
    *pattern = block;
    return Ok(status);
}

BOOL WINAPI BtMakeAttributeIDList2(const WORD*, DWORD, void** list, LONG* status) {
    if (!list) return Fail(status, -2010);
    *list = Allocate(4);
    return Ok(status);
}

BOOL WINAPI BtServiceSearch2(WORD, const void*, void**, HWND, UINT, LPARAM, LONG* status) {
    return Fail(status, -1095);
}

BOOL WINAPI BtServiceAttribute2(WORD, DWORD, const void*, void**, HWND, UINT, LPARAM, LONG* status) {
    return Fail(status, -1095);
}

BOOL WINAPI BtServiceSearchAttribute2(WORD connection, const void* pattern, const void*, void** result, HWND window,
                                      UINT message, LPARAM param, LONG* status) {
    CWorld& w = World();
    std::lock_guard<std::mutex> guard(w.lock);
    auto found = SdpConnections().find(connection);
    if (found == SdpConnections().end() || !pattern || !result) return Fail(status, -9);
    if (w.fault == tosbtSearchFails) {
        PostLater(window, message, searchFailed, -1000);
        return Ok(status);
    }
    const BYTE* uuid = static_cast<const BYTE*>(pattern);
    WORD wanted = static_cast<WORD>((uuid[0] << 8) | uuid[1]);
    const CDevice* device = FindDevice(w, found->second.data());
    const CService* service = device ? device->Offering(wanted) : nullptr;
    if (service) {
        BYTE* block = static_cast<BYTE*>(Allocate(4 + sizeof(CServiceRecord)));
        DWORD count = 1;
        std::memcpy(block, &count, 4);
        // The reserved byte marks, for the analysis below, a record whose
        // protocol list stops at L2CAP.
        CServiceRecord record = {wanted, static_cast<BYTE>(w.fault == tosbtNoChannel ? 0 : service->channel),
                                 static_cast<BYTE>(w.fault == tosbtChannelUnflagged ? 1 : 0)};
        std::memcpy(block + 4, &record, sizeof record);
        *result = block;
        sim::RunDetached([=] {
            ::Sleep(1);
            Post(window, message, searchResults, param);
            Post(window, message, searchFinished, param);
        });
    } else if (w.fault == tosbtEmptyResults) {
        // What a stack that reuses its buffers hands back: no record, and
        // behind the count the bytes of one it held before.
        BYTE* block = static_cast<BYTE*>(Allocate(4 + sizeof(CServiceRecord)));
        CServiceRecord stale = {wanted, 30, 0};
        std::memcpy(block + 4, &stale, sizeof stale);
        *result = block;
        sim::RunDetached([=] {
            ::Sleep(1);
            Post(window, message, searchResults, param);
            Post(window, message, searchFinished, param);
        });
    } else {
        PostLater(window, message, searchFinished, param);
    }
    return Ok(status);
}

BOOL WINAPI BtAnalyzeServiceAttributeLists2(const void* result, void** analysed, LONG* status) {
    if (!result || !analysed) return Fail(status, -3002);
    DWORD count = 0;
    std::memcpy(&count, result, 4);
    // The analysed list keeps the room of one record even when it holds none.
    size_t size = 4 + (count ? count : 1) * sizeof(CServiceRecord);
    void* copy = Allocate(size);
    std::memcpy(copy, result, size);
    *analysed = copy;
    return Ok(status);
}

BOOL WINAPI BtAnalyzeProtocolParameter2(const void* record, CProtocolParameters* parameters, LONG* status) {
    if (!record || !parameters) return Fail(status, -9);
    CServiceRecord service;
    std::memcpy(&service, record, sizeof service);
    // An L2CAP-only protocol list reports its own part (bit 0) and no RFCOMM
    // channel, whatever the channel byte holds.
    if (service.reserved) parameters->flags = 1;
    else parameters->flags = service.channel ? protocolHasChannel : 0;
    parameters->channel = service.channel;
    return Ok(status);
}

BOOL WINAPI BtFreePBTANALYZEDATTRLIST2(void*, LONG* status) { return Ok(status); }

BOOL WINAPI BtSetAutoReplyPinCode(const BYTE* address, const char* pin, LONG* status) {
    if (!address || !pin) return Fail(status, -9);
    return Ok(status);
}

BOOL WINAPI BtClearAutoReplyPinCode(const BYTE* address, LONG* status) {
    if (!address) return Fail(status, -9);
    return Ok(status);
}
