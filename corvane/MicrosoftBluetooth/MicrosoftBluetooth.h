#pragma once
// Classic Bluetooth through the operating system's stack: RFCOMM ports over
// Winsock, the locator with its registry cache, and the stream server that
// accepts devices' connections.
#include "BtDrtApi.h"
#include "Shared/PinEscape.h"
#include "Shared/SocketWorkers.h"
#include "Shared/StreamPort.h"
#include "Shared/WorkerWake.h"

#include <basalt/Sockets.h>
#include <basalt/Threads.h>

#include <ws2bth.h>

#include <atomic>
#include <deque>
#include <vector>

namespace Microsoft {

using corvane::EEventType;
using corvane::INotice;
using corvane::IPortAddr;
using corvane::IPropertySet;

// The 16-bit service classes of the serial port and dial-up networking profiles.
const USHORT kSerialPortClass = 0x1101;
const USHORT kDialupNetworkingClass = 0x1103;

// Whether an SDP record lists uuid16 among its service classes (attribute 1),
// walked with the system's parsers; false when they are missing.
bool RecordHasServiceClass(const BYTE* record, ULONG size, USHORT uuid16);

// A PIN argument that names no PIN: null, empty, or a text that is a null string.
bool IsNullText(const VARIANT& value);

class CBluetoothPort : public corvane::CStreamPort {
public:
    static constexpr DWORD defaultBufferSize = 0x10000;
    // The most one receive asks for: 1 KiB receives cost a kernel round trip
    // per KiB; the stream's free room cuts it further (see CSocketWorkers).
    static constexpr DWORD receiveChunk = 0x10000;

    explicit CBluetoothPort(boost::shared_ptr<const IPortAddr> address);
    // An accepted connection: open from birth, its workers running.
    explicit CBluetoothPort(basalt::CWSASocket&& accepted);
    ~CBluetoothPort() override;

    bool IsOpen() const override;
    void Close() override;
    void Open() override;

    // Appends the RFCOMM channels of the device's records of service class
    // uuid16; false when the lookup could not be made.
    static bool DetectRFCommChannel(ULONGLONG device, USHORT uuid16, bool autoRevoke, std::vector<ULONG>& channels);

    bool GetAutoRevokePairing() const { return m_autoRevoke; }

private:
    class CRegisterForAuthenticationFunc;
    class CUnregisterAuthenticationFunc;
    class CSetAutoRevokePairingFunc;

    void RegisterEscapes();
    ULONGLONG DeviceAddress(const wchar_t* function) const;
    void OpenSteps(bool& registered);
    void ConnectWalk(ULONGLONG device, const std::vector<ULONG>& channels, const basalt::ustring& pin);
    void StartWorkers();

    void SendThreadProcFn();
    void RecvThreadProcFn();
    // The worker loops on this port's socket, streams and records.
    corvane::CSocketWorkers Workers();

    corvane::CWorkerPair m_workers;
    basalt::CWSASocket m_socket;
    std::atomic<bool> m_open{false};  // the socket exists; IsOpen reads it without the port lock
    basalt::CWSAOverlapped m_sendRecord;
    basalt::CWSAOverlapped m_recvRecord;
    std::atomic<bool> m_autoRevoke{true};
    basalt::CCriticalSection m_lock;
    // The send worker's wake-up: the outgoing stream's worker notice sets it
    // for the port's whole life.
    corvane::CWorkerWake m_wake;
};

class CBluetoothPortLocator : public corvane::CNotifierOf<corvane::IPortLocator>, public basalt::CMultiThreadObject {
public:
    CBluetoothPortLocator();
    ~CBluetoothPortLocator() override;

    IPortAddr::EPortType GetType() const override;
    bool IsHardwareAvailableAndPoweredOn() const override;
    boost::shared_ptr<IPropertySet> GetSettings() override;
    void SetSettings(boost::shared_ptr<IPropertySet> settings) override;
    boost::shared_ptr<IPropertySet> Escape(const wchar_t* name, boost::shared_ptr<IPropertySet> args) override;
    void BeginSearch(DWORD classFilter, DWORD flags) override;
    void EndSearch() override;
    bool IsRunning() const override;
    boost::shared_ptr<const IPortAddr> GetNextAddress() override;

    static const DWORD flagCacheOnly = 2;
    static const int maxPasses = 3;

private:
    static DWORD WINAPI ThreadProc(void* locator);
    void ThreadProcFn();
    // One pass over what the stack reports; true when it met a device whose
    // name neither the stack nor the cache knew.
    bool SearchPass(std::vector<boost::shared_ptr<const IPortAddr>>& found);
    // Queues a failure of the search for GetNextAddress and announces it.
    void QueueError(const basalt::CWinException& error);
    bool Wanted(DWORD classOfDevice) const;

    int m_classFilter;
    DWORD m_flags;
    basalt::CThread m_thread;
    basalt::CEvent m_stop;
    std::deque<boost::shared_ptr<const IPortAddr>> m_addresses;
    std::deque<basalt::CWinException> m_errors;
};

class CBluetoothStreamServer : public corvane::CNotifierOf<corvane::IStreamServer>, public basalt::CMultiThreadObject {
public:
    CBluetoothStreamServer(boost::shared_ptr<const corvane::IServerDescription> description,
                           corvane::AcceptCallback callback, DWORD parameter);
    ~CBluetoothStreamServer() override;

    bool IsRunning() const override;
    void Start() override;
    void Stop() override;
    boost::shared_ptr<corvane::IPort> GetNextPort() override;

private:
    // Start's socket and publication steps.
    void Listen();
    static DWORD WINAPI ThreadProc(void* server);
    void AcceptThreadProcFn();
    static int CALLBACK AcceptCondition(LPWSABUF callerId, LPWSABUF callerData, LPQOS socketQos, LPQOS groupQos,
                                        LPWSABUF calleeId, LPWSABUF calleeData, GROUP* group, DWORD_PTR context);

    boost::shared_ptr<const corvane::IServerDescription> m_description;
    corvane::AcceptCallback m_callback;
    DWORD m_parameter;
    boost::shared_ptr<const basalt::CStdException> m_error;
    std::deque<boost::shared_ptr<corvane::IPort>> m_ports;
    bool m_registered;
    SOCKADDR_BTH m_local;
    CSADDR_INFO m_addressRecord;
    WSAQUERYSETW m_query;
    GUID m_serviceClass;
    basalt::ustring m_serviceName;
    basalt::ustring m_comment;
    basalt::CEvent m_stop;
    basalt::CWSASocket m_listener;
    basalt::CThread m_thread;
};

}  // namespace Microsoft

namespace corvane {
// The makers behind the factories.
boost::shared_ptr<IPort> CreateMicrosoftBluetoothPort(boost::shared_ptr<const IPortAddr> address);
boost::shared_ptr<IPortLocator> CreateMicrosoftBluetoothPortLocator();
boost::shared_ptr<IStreamServer> CreateMicrosoftBluetoothServer(boost::shared_ptr<const IServerDescription> service,
                                                                AcceptCallback callback, DWORD context);
}  // namespace corvane
