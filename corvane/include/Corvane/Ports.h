#pragma once
#include <Corvane/Addresses.h>

namespace corvane {

// What a notice is told; the value a client receives in wParam or OVERLAPPED.Internal.
enum EEventType {
    eventAll = 0,  // a wildcard for DeregisterNotice only
    eventDataAvailable = 1,
    eventIncomingEmpty = 2,
    eventIncomingOverflow = 3,
    eventOutgoingPending = 4,
    eventOutgoingEmpty = 5,
    eventOutgoingOverflow = 6,
    eventConnectionAccepted = 7,
    eventStateChanged = 8,
    eventError = 9,
    eventTerminated = 10,
};

// Which stack or driver serves a port.
enum EDriver {
    driverDefault = 1,    // the library chooses (for Bluetooth: Microsoft first, then Toshiba)
    driverMicrosoft = 2,  // the system's own driver or stack
    driverToshiba = 3,    // the Toshiba Bluetooth stack (locators only)
};

// How a client is told of an event: a window message or an OVERLAPPED event.
class INotice {
public:
    // Posts message to window with wParam = the event and the given lParam.
    static CORVANE_API boost::shared_ptr<INotice> CreateInstance(HWND window, UINT message, LPARAM lParam);
    // Stores the event in overlapped.Internal and sets overlapped.hEvent.
    static CORVANE_API boost::shared_ptr<INotice> CreateInstance(OVERLAPPED& overlapped);

    virtual ~INotice() {}
    // Nonzero on success; throws basalt::CWinException when the system refuses.
    virtual int Notify(EEventType type) = 0;
};

// Root of every object that fires events.
class INotifier {
public:
    virtual ~INotifier() {}
    virtual bool RegisterNotice(boost::shared_ptr<INotice> notice, EEventType type) = 0;
    // eventAll and an empty notice act as wildcards.
    virtual bool DeregisterNotice(boost::shared_ptr<INotice> notice, EEventType type) = 0;
};

// A byte stream to a device with buffered input and output.
class IConnection : public INotifier {
public:
    virtual bool IsOpen() const = 0;
    virtual void Close() = 0;
    virtual void SetBufferSize(DWORD incoming, DWORD outgoing) = 0;
    virtual void GetBufferSize(DWORD* incoming, DWORD* outgoing) = 0;
    virtual void Purge(DWORD flags) = 0;
    // Queues bytes for the send worker; returns how many were taken.
    virtual DWORD Send(const void* data, DWORD size) = 0;
    // Moves received bytes out; with no buffer or size 0 returns how many wait.
    virtual DWORD Recv(void* buffer, DWORD size) = 0;
    // Named commands: a null name lists them, empty args describe one, else it runs.
    virtual boost::shared_ptr<IPropertySet> Escape(const wchar_t* name,
                                                   boost::shared_ptr<IPropertySet> args) = 0;
};

// A port to one device, created closed for an address.
class IPort : public IConnection {
public:
    // An empty pointer when no driver serves the address's type with that driver.
    static CORVANE_API boost::shared_ptr<IPort> CreateInstance(boost::shared_ptr<const IPortAddr> address,
                                                               EDriver driver);

    virtual boost::shared_ptr<const IPortAddr> GetAddress() const = 0;
    virtual void Open() = 0;
    // A driver-specific switch; false when the code is not supported.
    virtual bool IoControl(DWORD code, DWORD* value) = 0;
    virtual boost::shared_ptr<IPropertySet> GetSettings() = 0;
    virtual void SetSettings(boost::shared_ptr<IPropertySet> settings) = 0;
    virtual boost::shared_ptr<IPropertySet> GetStatus() = 0;
};

// Discovers the devices of one transport and hands out their addresses.
class IPortLocator : public INotifier {
public:
    static CORVANE_API boost::shared_ptr<IPortLocator> CreateInstance(IPortAddr::EPortType type,
                                                                      EDriver driver);

    virtual IPortAddr::EPortType GetType() const = 0;
    virtual bool IsHardwareAvailableAndPoweredOn() const = 0;
    virtual boost::shared_ptr<IPropertySet> GetSettings() = 0;
    virtual void SetSettings(boost::shared_ptr<IPropertySet> settings) = 0;
    virtual boost::shared_ptr<IPropertySet> Escape(const wchar_t* name,
                                                   boost::shared_ptr<IPropertySet> args) = 0;
    virtual void BeginSearch(DWORD param1, DWORD param2) = 0;
    virtual void EndSearch() = 0;
    virtual bool IsRunning() const = 0;
    // Re-raises a stored search error first; empty when no address waits.
    virtual boost::shared_ptr<const IPortAddr> GetNextAddress() = 0;
};

// Decides whether an incoming connection is kept: (local, remote, context) -> nonzero to keep.
typedef int(__stdcall* AcceptCallback)(boost::shared_ptr<const IPortAddr> local,
                                       boost::shared_ptr<const IPortAddr> remote, DWORD context);

// Publishes a Bluetooth service and accepts incoming connections as ports.
class IStreamServer : public INotifier {
public:
    static CORVANE_API boost::shared_ptr<IStreamServer> CreateInstance(
        boost::shared_ptr<const IServerDescription> service, AcceptCallback callback, DWORD context,
        EDriver driver);

    virtual bool IsRunning() const = 0;
    virtual void Start() = 0;
    virtual void Stop() = 0;
    virtual boost::shared_ptr<IPort> GetNextPort() = 0;
};

}  // namespace corvane
